#include "support/checks.h"
#include "support/held_file.h"
#include "support/sync_pair.h"
#include "support/tree.h"
#include "support/tree_pair.h"

#include <QtTest>

// One direction of a sync: its events, its stamp, and what a fault, a
// missing tree or a cancel does to them.
class TestSyncJob : public QObject
{
    Q_OBJECT

private slots:
    void firstRunCopiesAndAdvancesStamp_data();
    void firstRunCopiesAndAdvancesStamp();
    void unchangedTreeCopiesNothingNextRun();
    void failedRunKeepsStamp_data();
    void failedRunKeepsStamp();
    void runAfterFaultIsRemovedCompletes();
    void missingSourceKeepsStamp_data();
    void missingSourceKeepsStamp();
    void fileEditedDuringRunIsCopiedNextRun();
    void cancelledRunKeepsStamp();
    void usesPathsCurrentWhenItRuns();
    void heldTargetIsKeptAndReplacedOnceFree();
};

Q_DECLARE_METATYPE(SyncDirection)

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

void build(const QString &root, const QStringList &files)
{
    QDir().mkpath(root);
    for (const QString &file : files)
        Tree::writeFile(root + QLatin1Char('/') + file, file.toUtf8() + '\n', oldTime);
}

void directionRows()
{
    QTest::addColumn<SyncDirection>("direction");
    QTest::newRow("upload") << SyncDirection::Upload;
    QTest::newRow("download") << SyncDirection::Download;
}

// The job's own events, in order: "Started 1000", "Completed", ...
QStringList jobEvents(const SyncPair &pair)
{
    QStringList found;
    for (const SyncEvent &event : pair.log.events) {
        if (event.kind == EventKind::Started)
            found << QStringLiteral("Started %1").arg(event.since);
        else if (event.kind == EventKind::Incomplete)
            found << QStringLiteral("Incomplete %1 %2").arg(event.failures).arg(event.since);
        else if (event.kind == EventKind::Cancelled)
            found << QStringLiteral("Cancelled %1").arg(event.since);
        else if (event.kind == EventKind::Completed)
            found << QStringLiteral("Completed");
    }
    return found;
}

const SyncEvent *lastOf(const SyncPair &pair, EventKind kind)
{
    for (auto it = pair.log.events.rbegin(); it != pair.log.events.rend(); ++it) {
        if (it->kind == kind)
            return &*it;
    }
    return nullptr;
}

} // namespace

void TestSyncJob::firstRunCopiesAndAdvancesStamp_data()
{
    directionRows();
}

void TestSyncJob::firstRunCopiesAndAdvancesStamp()
{
    QFETCH(SyncDirection, direction);
    TreePair trees;
    build(trees.source(direction), {"a.txt", "docs/b.md", ".gitignore", ".git/config"});
    QVERIFY(QDir().mkpath(trees.local)); // the local directory of a download exists
    SyncPair pair(trees.local, trees.remote);

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const qint64 treeBefore = Tree::clockMs(trees.dir.path());
    const SyncOutcome outcome = pair.run(direction);
    const qint64 treeAfter = Tree::clockMs(trees.dir.path());
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QVERIFY2(outcome.completed, qPrintable(pair.said()));
    COMPARE_LISTS(jobEvents(pair), QStringList({"Started 0", "Completed"}));
    const qint64 start = pair.log.events.first().time;
    QVERIFY2(start >= before && start <= after, qPrintable(pair.said()));
    // The source tree's own time at the start, as its file system stamps
    // files (which on Windows lags this machine's clock by up to a 16 ms
    // tick), less two seconds.
    QVERIFY2(outcome.stamp >= treeBefore - 2000 && outcome.stamp <= treeAfter - 2000,
             qPrintable(QStringLiteral("stamp %1, the tree's clock from %2 to %3")
                                .arg(outcome.stamp)
                                .arg(treeBefore)
                                .arg(treeAfter)));
    QCOMPARE(lastOf(pair, EventKind::Completed)->time, outcome.stamp);
    COMPARE_LISTS(Tree::sorted(pair.body()),
                  QStringList({"Copied .gitignore", "Copied a.txt", "Copied docs/b.md"}));
    const QString target = trees.target(direction);
    QCOMPARE(Tree::names(target), QStringList({".gitignore", "a.txt", "docs", "docs/b.md"}));
    QCOMPARE(Tree::readFile(target + "/docs/b.md"), QByteArray("docs/b.md\n"));
    QCOMPARE(direction == SyncDirection::Upload ? pair.uploadTime : pair.downloadTime,
             outcome.stamp);
    QCOMPARE(direction == SyncDirection::Upload ? pair.downloadTime : pair.uploadTime, qint64(0));
}

// The stamp lies before the start, so the next run looks at what the first
// one copied again, and passes over it without an event.
void TestSyncJob::unchangedTreeCopiesNothingNextRun()
{
    TreePair trees;
    build(trees.local, {"a.txt", "docs/b.md"});
    SyncPair pair(trees.local, trees.remote);
    QVERIFY(pair.upload().completed);
    const qint64 firstStamp = pair.uploadTime;
    const QStringList afterFirst = Tree::snapshot(trees.remote);

    QVERIFY(pair.upload().completed);
    COMPARE_LISTS(jobEvents(pair),
                  QStringList({QStringLiteral("Started %1").arg(firstStamp), "Completed"}));
    QVERIFY(pair.log.events.first().time > firstStamp);
    COMPARE_LISTS(pair.body(), QStringList());
    QVERIFY(pair.uploadTime >= firstStamp);
    COMPARE_LISTS(Tree::snapshot(trees.remote), afterFirst);
}

void TestSyncJob::failedRunKeepsStamp_data()
{
    QTest::addColumn<SyncDirection>("direction");
    QTest::addColumn<QStringList>("blocked"); // target directories with a file in their place

    QTest::newRow("uploadOneFault") << SyncDirection::Upload << QStringList {"one"};
    QTest::newRow("uploadTwoFaults") << SyncDirection::Upload << QStringList({"one", "two"});
    QTest::newRow("downloadOneFault") << SyncDirection::Download << QStringList {"one"};
    QTest::newRow("downloadThreeFaults")
            << SyncDirection::Download << QStringList({"one", "two", "three"});
}

void TestSyncJob::failedRunKeepsStamp()
{
    QFETCH(SyncDirection, direction);
    QFETCH(QStringList, blocked);
    TreePair trees;
    const QString target = trees.target(direction);
    build(trees.source(direction), {"ok.txt", "one/a.txt", "two/b.txt", "three/c.txt"});
    for (const QString &name : blocked)
        Tree::writeFile(target + QLatin1Char('/') + name, "in the way");
    SyncPair pair(trees.local, trees.remote);
    pair.uploadTime = 1000;
    pair.downloadTime = 1000;

    const SyncOutcome outcome = pair.run(direction);

    QVERIFY(!outcome.completed);
    QCOMPARE(outcome.stamp, qint64(1000));
    COMPARE_LISTS(jobEvents(pair),
                  QStringList({"Started 1000",
                               QStringLiteral("Incomplete %1 1000").arg(blocked.size())}));
    QCOMPARE(pair.body().filter(QStringLiteral("Failed(TargetNotDirectory)")).size(),
             blocked.size());
    QCOMPARE(pair.uploadTime, qint64(1000));
    QCOMPARE(pair.downloadTime, qint64(1000));
    QCOMPARE(Tree::readFile(target + "/ok.txt"), QByteArray("ok.txt\n"));
    for (const QString &entry : blocked)
        QCOMPARE(Tree::readFile(target + QLatin1Char('/') + entry), QByteArray("in the way"));
}

// The stamp kept by a failed run makes the next one try again, and once the
// fault is gone that run completes and copies what was left out.
void TestSyncJob::runAfterFaultIsRemovedCompletes()
{
    TreePair trees;
    build(trees.local, {"ok.txt", "one/a.txt"});
    Tree::writeFile(trees.remote + "/one", "in the way");
    SyncPair pair(trees.local, trees.remote);
    QVERIFY(!pair.upload().completed);
    QCOMPARE(pair.uploadTime, qint64(0));

    QVERIFY(QFile::remove(trees.remote + "/one"));
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied one/a.txt"});
    QVERIFY(pair.uploadTime > 0);
    COMPARE_LISTS(Tree::snapshot(trees.remote), Tree::snapshot(trees.local));
}

void TestSyncJob::missingSourceKeepsStamp_data()
{
    directionRows();
}

void TestSyncJob::missingSourceKeepsStamp()
{
    QFETCH(SyncDirection, direction);
    const bool upload = direction == SyncDirection::Upload;
    TreePair trees;
    const QString missing = trees.dir.path() + QStringLiteral("//gone");
    const QString present = trees.path("present");
    Tree::writeFile(present + "/a.txt", "untouched");
    SyncPair pair(upload ? missing : present, upload ? present : missing);
    pair.uploadTime = 123456789;
    pair.downloadTime = 123456789;

    QVERIFY(!pair.run(direction).completed);
    COMPARE_LISTS(jobEvents(pair), QStringList({"Started 123456789", "Incomplete 1 123456789"}));
    COMPARE_LISTS(pair.body(), QStringList {"SourceMissing " + missing});
    QCOMPARE(pair.uploadTime, qint64(123456789));
    QCOMPARE(pair.downloadTime, qint64(123456789));
    COMPARE_LISTS(Tree::names(trees.dir.path()), QStringList({"present", "present/a.txt"}));
}

// A file edited after the walk passed it carries a time after the new stamp:
// the next run copies it.
void TestSyncJob::fileEditedDuringRunIsCopiedNextRun()
{
    TreePair trees;
    build(trees.local, {"a.txt", "b.txt", "c.txt"});
    SyncPair pair(trees.local, trees.remote);
    bool edited = false;
    pair.onEvent = [&](const SyncEvent &event) {
        if (!edited && brief(event, trees.local) == QLatin1String("Copied b.txt")) {
            Tree::writeFile(trees.local + "/b.txt", "edited while the run was under way");
            edited = true;
        }
    };
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    {
        QProcess p;
        p.start("sqlite3",
                {pair.recordFile(),
                 "select * from pairs; select pair,dir,name,local_size,remote_size from entries;"});
        p.waitForFinished();
        qInfo("%s", p.readAll().constData());
    }
    QVERIFY(edited);
    QCOMPARE(Tree::readFile(trees.remote + "/b.txt"), QByteArray("b.txt\n"));
    QVERIFY2(Tree::modifiedMs(trees.local + "/b.txt") > pair.uploadTime,
             qPrintable(QStringLiteral("edited at %1, stamp %2")
                                .arg(Tree::modifiedMs(trees.local + "/b.txt"))
                                .arg(pair.uploadTime)));

    pair.onEvent = nullptr;
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied b.txt"});
    COMPARE_LISTS(Tree::snapshot(trees.remote), Tree::snapshot(trees.local));
}

void TestSyncJob::cancelledRunKeepsStamp()
{
    TreePair trees;
    build(trees.local, {"a.txt", "b.txt", "c.txt", "d.txt"});
    SyncPair pair(trees.local, trees.remote);
    pair.uploadTime = 42;
    pair.onEvent = [&pair](const SyncEvent &event) {
        if (event.kind == EventKind::Copied)
            pair.cancel = true;
    };

    const SyncOutcome outcome = pair.upload();
    QVERIFY(!outcome.completed && outcome.cancelled);
    COMPARE_LISTS(jobEvents(pair), QStringList({"Started 42", "Cancelled 42"}));
    QCOMPARE(pair.log.count(EventKind::Copied), 1);
    QCOMPARE(pair.uploadTime, qint64(42));
    QCOMPARE(Tree::names(trees.remote).size(), 1);
}

// The paths are read when the job runs, not when it was made.
void TestSyncJob::usesPathsCurrentWhenItRuns()
{
    TreePair trees;
    build(trees.path("first"), {"first.txt"});
    build(trees.path("second"), {"second.txt"});
    LiveText localDir(trees.path("first"));
    LiveText remoteDir(trees.path("remote1"));
    const LiveText pattern;
    SyncJob job({localDir, remoteDir, pattern}, [](const SyncEvent &) {});
    localDir.setText(trees.path("second"));
    remoteDir.setText(trees.path("remote2"));

    QVERIFY(job.run(SyncDirection::Upload, 0).completed);
    QVERIFY(!QFileInfo::exists(trees.path("remote1")));
    QCOMPARE(Tree::names(trees.path("remote2")), QStringList {"second.txt"});
}

// A target another program holds (open on Windows, busy on a share) is
// neither replaced nor reported as copied: the run says so and keeps its
// stamp, and the next run replaces it once it is free.
void TestSyncJob::heldTargetIsKeptAndReplacedOnceFree()
{
    TreePair trees;
    Tree::writeFile(trees.local + "/a.txt", "old", oldTime);
    SyncPair pair(trees.local, trees.remote);
    QVERIFY(pair.upload().completed);
    const qint64 stamp = pair.uploadTime;
    Tree::writeFile(trees.local + "/a.txt", "new", oldTime.addDays(1));

    HeldFile held(trees.remote + "/a.txt");
    QVERIFY2(held.isHeld(), qPrintable(held.error()));
    QVERIFY(!pair.upload().completed);
    COMPARE_LISTS(pair.body(), QStringList {"TargetInUse a.txt"});
    QCOMPARE(pair.uploadTime, stamp);
    held.release();
    QCOMPARE(Tree::readFile(trees.remote + "/a.txt"), QByteArray("old"));
    COMPARE_LISTS(Tree::names(trees.remote), QStringList {"a.txt"});

    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied a.txt"});
    QCOMPARE(Tree::readFile(trees.remote + "/a.txt"), QByteArray("new"));
}

QTEST_GUILESS_MAIN(TestSyncJob)
#include "test_sync_job.moc"
