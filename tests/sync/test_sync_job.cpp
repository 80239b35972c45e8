#include "support/held_file.h"
#include "support/tree.h"
#include "sync/live_text.h"
#include "sync/sync_job.h"

#include <QtTest>

#include <atomic>

// One upload or download run: its start and end lines, the copy in between,
// and the time stamp that it advances only when everything went through.
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

#define COMPARE_LISTS(actual, expected) \
    do { \
        const QStringList actualList = (actual); \
        const QStringList expectedList = (expected); \
        QVERIFY2(actualList == expectedList, \
                 qPrintable(Tree::difference(actualList, expectedList))); \
    } while (false)

Q_DECLARE_METATYPE(SyncDirection)

namespace {

const QString copyLine = QStringLiteral("    复制文件：");
const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

// What the window shares with a job, and what the window does with the
// outcomes: it keeps the stamp of every completed run.
struct Session
{
    explicit Session(const QString &local, const QString &remote)
        : localDir(local)
        , remoteDir(remote)
        , localField(QDir::toNativeSeparators(local))
    { }

    // Lines are kept with their paths written with "/" (Windows shows "\\").
    SyncJob job()
    {
        return SyncJob(
                SyncShared {localDir, remoteDir, pattern, localField},
                [this](const QString &line) {
                    lines << QDir::fromNativeSeparators(line);
                    if (onLine)
                        onLine(lines.last());
                },
                &cancel);
    }

    // One run from the stamp kept for its direction; true when it completed.
    bool run(SyncDirection direction) { return run(job(), direction); }
    bool run(SyncJob job, SyncDirection direction)
    {
        std::atomic<qint64> &time = direction == SyncDirection::Upload ? uploadTime : downloadTime;
        const SyncOutcome outcome = job.run(direction, time.load());
        if (outcome.completed) {
            time = outcome.stamp;
            stored << direction;
        } else if (outcome.stamp != outcome.since) {
            stamps << outcome.stamp; // an incomplete run must hand back its old stamp
        }
        return outcome.completed;
    }

    LiveText localDir;
    LiveText remoteDir;
    LiveText pattern {QStringLiteral("^\\..*/$")};
    LiveText localField;
    std::atomic<qint64> uploadTime {0};
    std::atomic<qint64> downloadTime {0};
    std::atomic<bool> cancel {false};
    std::function<void(const QString &)> onLine;
    QStringList lines;
    QList<SyncDirection> stored;
    QList<qint64> stamps;
};

void build(const QString &root, const QStringList &files)
{
    QDir().mkpath(root);
    for (const QString &file : files)
        Tree::writeFile(root + QLatin1Char('/') + file, file.toUtf8() + '\n', oldTime);
}

using Tree::prefixed;
using Tree::sorted;

// The start time a start line shows, or -1 when it is not one for this run.
qint64 startOf(const QString &line, const QString &name, qint64 since)
{
    const QString prefix = QStringLiteral("\n开始") + name + QLatin1Char(' ')
                           + QString::number(since) + QStringLiteral(" --> ");
    if (!line.startsWith(prefix))
        return -1;
    bool ok = false;
    const qint64 start = line.mid(prefix.size()).toLongLong(&ok);
    return ok ? start : -1;
}

} // namespace

void TestSyncJob::firstRunCopiesAndAdvancesStamp_data()
{
    QTest::addColumn<SyncDirection>("direction");

    QTest::newRow("upload") << SyncDirection::Upload;
    QTest::newRow("download") << SyncDirection::Download;
}

void TestSyncJob::firstRunCopiesAndAdvancesStamp()
{
    QFETCH(SyncDirection, direction);
    const bool upload = direction == SyncDirection::Upload;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    const QString source = upload ? local : remote;
    const QString target = upload ? remote : local;
    const QStringList files {"a.txt", "docs/b.md", ".gitignore", ".git/config"};
    build(source, files);
    QVERIFY(QDir().mkpath(local)); // the local directory of a download exists

    Session session(local, remote);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const qint64 treeBefore = Tree::clockMs(dir.path());
    const bool completed = session.run(direction);
    const qint64 treeAfter = Tree::clockMs(dir.path());
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QVERIFY2(completed, qPrintable(session.lines.join(QLatin1Char('\n'))));
    const QString name = upload ? QStringLiteral("上传") : QStringLiteral("下载");
    QVERIFY(session.lines.size() >= 2);
    const qint64 start = startOf(session.lines.first(), name, 0);
    QVERIFY2(start >= before && start <= after, qPrintable(session.lines.first()));
    // The source tree's own time at the start, as its file system stamps
    // files (which on Windows lags this machine's clock by up to a 16 ms
    // tick), less two seconds.
    const QString done = name + QStringLiteral("成功 ");
    QVERIFY2(session.lines.last().startsWith(done), qPrintable(session.lines.last()));
    const qint64 stamp = session.lines.last().mid(done.size()).toLongLong();
    QVERIFY2(stamp >= treeBefore - 2000 && stamp <= treeAfter - 2000,
             qPrintable(QStringLiteral("stamp %1, the tree's clock from %2 to %3")
                                .arg(stamp)
                                .arg(treeBefore)
                                .arg(treeAfter)));

    // The local field prefixes the upload's paths; a download shows them whole.
    const QStringList copied {"a.txt", "docs/b.md", ".gitignore"};
    const QString shownPrefix = upload ? QStringLiteral("/") : remote + QLatin1Char('/');
    COMPARE_LISTS(sorted(session.lines.mid(1, session.lines.size() - 2)),
                  sorted(prefixed(copyLine + shownPrefix, copied)));
    QCOMPARE(Tree::names(target), QStringList({".gitignore", "a.txt", "docs", "docs/b.md"}));
    for (const QString &file : copied)
        QCOMPARE(Tree::readFile(target + QLatin1Char('/') + file),
                 QByteArray(file.toUtf8() + '\n'));

    std::atomic<qint64> &time = upload ? session.uploadTime : session.downloadTime;
    std::atomic<qint64> &other = upload ? session.downloadTime : session.uploadTime;
    QCOMPARE(time.load(), stamp);
    QCOMPARE(other.load(), qint64(0));
    QCOMPARE(session.stored, QList<SyncDirection> {direction});
}

// The stamp lies before the start, so the next run looks at what the first
// one copied again, and passes over it without a line.
void TestSyncJob::unchangedTreeCopiesNothingNextRun()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    build(local, {"a.txt", "docs/b.md"});
    Session session(local, remote);
    QVERIFY(session.run(SyncDirection::Upload));
    const qint64 firstStamp = session.uploadTime.load();
    const QStringList afterFirst = Tree::snapshot(remote);

    session.lines.clear();
    QVERIFY(session.run(SyncDirection::Upload));

    QCOMPARE(session.lines.size(), 2);
    QVERIFY2(startOf(session.lines.first(), QStringLiteral("上传"), firstStamp) > firstStamp,
             qPrintable(session.lines.first()));
    QVERIFY2(session.lines.last().startsWith(QStringLiteral("上传成功 ")),
             qPrintable(session.lines.last()));
    QVERIFY(session.uploadTime.load() >= firstStamp);
    QCOMPARE(session.stored.size(), 2);
    COMPARE_LISTS(Tree::snapshot(remote), afterFirst);
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
    const bool upload = direction == SyncDirection::Upload;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    const QString source = upload ? local : remote;
    const QString target = upload ? remote : local;
    build(source, {"ok.txt", "one/a.txt", "two/b.txt", "three/c.txt"});
    for (const QString &name : blocked)
        Tree::writeFile(target + QLatin1Char('/') + name, "in the way");

    Session session(local, remote);
    const qint64 kept = 1000;
    session.uploadTime = kept;
    session.downloadTime = kept;
    const bool completed = session.run(direction);

    QVERIFY(!completed);
    const QString name = upload ? QStringLiteral("上传") : QStringLiteral("下载");
    QVERIFY(startOf(session.lines.first(), name, kept) > 0);
    QCOMPARE(session.lines.last(), QString(name
                                           + QStringLiteral("未完成，失败 %1 项，保留时间 %2")
                                                     .arg(blocked.size())
                                                     .arg(kept)));
    QCOMPARE(session.lines.filter(QRegularExpression(QStringLiteral("^    复制失败："))).size(),
             blocked.size());
    QCOMPARE(session.uploadTime.load(), kept);
    QCOMPARE(session.downloadTime.load(), kept);
    QCOMPARE(session.stored, QList<SyncDirection>());
    QCOMPARE(session.stamps, QList<qint64>());
    QCOMPARE(Tree::readFile(target + "/ok.txt"), QByteArray("ok.txt\n"));
    for (const QString &entry : blocked)
        QCOMPARE(Tree::readFile(target + QLatin1Char('/') + entry), QByteArray("in the way"));
}

// The stamp kept by a failed run makes the next one try again, and once the
// fault is gone that run completes and copies what was left out.
void TestSyncJob::runAfterFaultIsRemovedCompletes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    build(local, {"ok.txt", "one/a.txt"});
    Tree::writeFile(remote + "/one", "in the way");
    Session session(local, remote);
    QVERIFY(!session.run(SyncDirection::Upload));
    QCOMPARE(session.uploadTime.load(), qint64(0));

    QVERIFY(QFile::remove(remote + "/one"));
    session.lines.clear();
    QVERIFY2(session.run(SyncDirection::Upload), qPrintable(session.lines.join(QLatin1Char('\n'))));

    QCOMPARE(session.lines.size(), 3);
    QVERIFY(startOf(session.lines.first(), QStringLiteral("上传"), 0) > 0);
    QCOMPARE(session.lines.at(1), QString(copyLine + "/one/a.txt"));
    QVERIFY2(session.lines.last().startsWith(QStringLiteral("上传成功 ")),
             qPrintable(session.lines.last()));
    QVERIFY(session.uploadTime.load() > 0);
    QCOMPARE(session.stored, QList<SyncDirection> {SyncDirection::Upload});
    COMPARE_LISTS(Tree::snapshot(remote), Tree::snapshot(local));
}

void TestSyncJob::missingSourceKeepsStamp_data()
{
    QTest::addColumn<SyncDirection>("direction");

    QTest::newRow("upload") << SyncDirection::Upload;
    QTest::newRow("download") << SyncDirection::Download;
}

void TestSyncJob::missingSourceKeepsStamp()
{
    QFETCH(SyncDirection, direction);
    const bool upload = direction == SyncDirection::Upload;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Typed with a doubled separator, and shown as typed.
    const QString missing = dir.path() + QStringLiteral("//gone");
    const QString present = dir.filePath("present");
    QVERIFY(QDir().mkpath(present));
    const QString local = upload ? missing : present;
    const QString remote = upload ? present : missing;
    const QString target = upload ? remote : local;
    Tree::writeFile(present + "/a.txt", "untouched");

    Session session(local, remote);
    const qint64 kept = 123456789;
    session.uploadTime = kept;
    session.downloadTime = kept;
    QVERIFY(!session.run(direction));

    const QString name = upload ? QStringLiteral("上传") : QStringLiteral("下载");
    QCOMPARE(session.lines.size(), 3);
    QVERIFY(startOf(session.lines.at(0), name, kept) > 0);
    QCOMPARE(session.lines.at(1), QString(QStringLiteral("    源目录不存在：") + missing));
    QCOMPARE(session.lines.at(2), QString(name + QStringLiteral("未完成，失败 1 项，保留时间 ")
                                          + QString::number(kept)));
    QCOMPARE(session.uploadTime.load(), kept);
    QCOMPARE(session.downloadTime.load(), kept);
    QCOMPARE(session.stored, QList<SyncDirection>());
    QCOMPARE(session.stamps, QList<qint64>());
    COMPARE_LISTS(Tree::names(dir.path()), QStringList({"present", "present/a.txt"}));
    QCOMPARE(Tree::readFile(target + "/a.txt"), QByteArray("untouched"));
}

// A file edited after the walk passed it carries a time after the new stamp:
// the next run copies it.
void TestSyncJob::fileEditedDuringRunIsCopiedNextRun()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    build(local, {"a.txt", "b.txt", "c.txt"});

    Session session(local, remote);
    bool edited = false;
    session.onLine = [&edited, &local](const QString &line) {
        if (!edited && line == copyLine + "/b.txt") {
            Tree::writeFile(local + "/b.txt", "edited while the run was under way");
            edited = true;
        }
    };
    QVERIFY(session.run(SyncDirection::Upload));
    QVERIFY(edited);
    QCOMPARE(Tree::readFile(remote + "/b.txt"), QByteArray("b.txt\n"));
    const qint64 stamp = session.uploadTime.load();
    QVERIFY2(Tree::modifiedMs(local + "/b.txt") > stamp,
             qPrintable(QStringLiteral("edited at %1, stamp %2")
                                .arg(Tree::modifiedMs(local + "/b.txt"))
                                .arg(stamp)));

    session.lines.clear();
    QVERIFY(session.run(SyncDirection::Upload));

    QCOMPARE(session.lines.size(), 3);
    QCOMPARE(session.lines.at(1), QString(copyLine + "/b.txt"));
    QCOMPARE(Tree::readFile(remote + "/b.txt"), QByteArray("edited while the run was under way"));
    COMPARE_LISTS(Tree::snapshot(remote), Tree::snapshot(local));
}

void TestSyncJob::cancelledRunKeepsStamp()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    build(local, {"a.txt", "b.txt", "c.txt", "d.txt"});

    Session session(local, remote);
    session.uploadTime = 42;
    session.onLine = [&session](const QString &line) {
        if (line.startsWith(copyLine))
            session.cancel = true;
    };
    QVERIFY(!session.run(SyncDirection::Upload));

    QCOMPARE(session.lines.size(), 3);
    QVERIFY(startOf(session.lines.first(), QStringLiteral("上传"), 42) > 0);
    QVERIFY(session.lines.at(1).startsWith(copyLine));
    QCOMPARE(session.lines.last(), QStringLiteral("上传已中止，保留时间 42"));
    QCOMPARE(session.uploadTime.load(), qint64(42));
    QCOMPARE(session.stored, QList<SyncDirection>());
    QCOMPARE(session.stamps, QList<qint64>());
    QCOMPARE(Tree::names(remote).size(), 1);
}

// The paths are read when the job runs, not when it was made.
void TestSyncJob::usesPathsCurrentWhenItRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    build(dir.filePath("first"), {"first.txt"});
    build(dir.filePath("second"), {"second.txt"});

    Session session(dir.filePath("first"), dir.filePath("remote1"));
    SyncJob job = session.job();
    session.localDir.setText(dir.filePath("second"));
    session.remoteDir.setText(dir.filePath("remote2"));
    QVERIFY(session.run(job, SyncDirection::Upload));

    QVERIFY(!QFileInfo::exists(dir.filePath("remote1")));
    QCOMPARE(Tree::names(dir.filePath("remote2")), QStringList {"second.txt"});
}

// A target another program holds (open on Windows, busy on a share) is
// neither replaced nor reported as copied: the run says so and keeps its
// stamp, and the next run replaces it once it is free.
void TestSyncJob::heldTargetIsKeptAndReplacedOnceFree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    Tree::writeFile(local + "/a.txt", "new", oldTime.addDays(1));
    Tree::writeFile(remote + "/a.txt", "old", oldTime);
    Session session(local, remote);

    HeldFile held(remote + "/a.txt");
    QVERIFY2(held.isHeld(), qPrintable(held.error()));
    QVERIFY(!session.run(SyncDirection::Upload));
    QCOMPARE(session.lines.at(1),
             QStringLiteral("    目标文件正被其他程序使用，下次同步时重试：/a.txt"));
    QCOMPARE(session.lines.size(), 3);
    QCOMPARE(session.uploadTime.load(), qint64(0));
    held.release();
    QCOMPARE(Tree::readFile(remote + "/a.txt"), QByteArray("old"));
    COMPARE_LISTS(Tree::names(remote), QStringList {"a.txt"});

    session.lines.clear();
    QVERIFY2(session.run(SyncDirection::Upload), qPrintable(session.lines.join('\n')));
    QCOMPARE(session.lines.at(1), QString(copyLine + "/a.txt"));
    QCOMPARE(Tree::readFile(remote + "/a.txt"), QByteArray("new"));
}

QTEST_GUILESS_MAIN(TestSyncJob)
#include "test_sync_job.moc"
