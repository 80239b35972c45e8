#include "sync/walk/copy_pool.h"

#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

// The pool runs copies beside each other, never more than it was given, and
// everything that follows a copy on the thread that handed it over.
class TestCopyPool : public QObject
{
    Q_OBJECT

private slots:
    void copiesOverlapUpToTheLimitAndFollowUpsStayOnTheWalkThread_data();
    void copiesOverlapUpToTheLimitAndFollowUpsStayOnTheWalkThread();
    void aCopyIntoAnotherDirectoryDoesNotWaitBehindOneDirectorysQueue();
};

void TestCopyPool::copiesOverlapUpToTheLimitAndFollowUpsStayOnTheWalkThread_data()
{
    QTest::addColumn<int>("atOnce");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("four") << 4;
}

void TestCopyPool::copiesOverlapUpToTheLimitAndFollowUpsStayOnTheWalkThread()
{
    QFETCH(int, atOnce);
    const std::thread::id walk = std::this_thread::get_id();
    std::atomic<int> running {0}, mostAtOnce {0};
    int followed = 0, offThread = 0, pendingAtDrain = -1;
    {
        CopyPool pool(atOnce);
        for (int i = 0; i < 24; ++i) {
            pool.submit(
                    &pool,
                    [&] {
                        const int now = ++running;
                        for (int seen = mostAtOnce;
                             now > seen && !mostAtOnce.compare_exchange_weak(seen, now);) { }
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        --running;
                    },
                    [&] {
                        ++followed;
                        offThread += std::this_thread::get_id() != walk ? 1 : 0;
                    });
        }
        pool.drain();
        pendingAtDrain = 24 - followed;
    }
    QCOMPARE(pendingAtDrain, 0);
    QCOMPARE(offThread, 0);
    QVERIFY2(mostAtOnce <= atOnce, qPrintable(QString::number(mostAtOnce)));
    if (atOnce > 1)
        QVERIFY2(mostAtOnce > 1, "no two copies ran at once");
}

void TestCopyPool::aCopyIntoAnotherDirectoryDoesNotWaitBehindOneDirectorysQueue()
{
    const int one = 1, other = 2;
    std::mutex lock;
    std::vector<const int *> started;
    {
        CopyPool pool(2);
        for (int i = 0; i < 9; ++i) {
            const int *lane = i < 8 ? &one : &other;
            pool.submit(
                    lane,
                    [&, lane] {
                        {
                            std::lock_guard<std::mutex> guard(lock);
                            started.push_back(lane);
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    },
                    [] {});
        }
        pool.drain();
    }
    QCOMPARE(int(started.size()), 9);
    // Taken in the order handed over, it would start last.
    QVERIFY(started.back() != &other);
}

QTEST_GUILESS_MAIN(TestCopyPool)
#include "test_copy_pool.moc"
