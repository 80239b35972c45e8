#include "support/checks.h"
#include "support/copier.h"
#include "support/ctime_blind_file_system.h"
#include "support/mounts.h"
#include "support/remote_mount.h"
#include "support/runner_run.h"
#include "support/sync_pair.h"
#include "support/tree.h"
#include "support/tree_pair.h"
#include "sync/record/sync_record.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

// Runs on trees whose clocks do not agree with this machine's or keep times
// coarsely, as shares and removable disks do. Three models:
// - a loop-mounted ext2 image with 128-byte inodes: whole-second times;
// - the sync in a process of its own with its wall clock shifted against
//   the kernel's file stamps (tests/support/clock_shift.cpp, preloaded):
//   the trees then look like a share whose server clock runs ahead or behind;
// - a file system that reports no change times (support/ctime_blind_file_system.h),
//   as exFAT, FAT, sshfs and Windows do.
class TestClockEvidence : public QObject
{
    Q_OBJECT

private slots:
    void localEditSurvivesRemoteDatedAhead_data();
    void localEditSurvivesRemoteDatedAhead();
    void remoteChangesArriveWhateverTheShareClock_data();
    void remoteChangesArriveWhateverTheShareClock();
    void storedStampAheadOfTheTreeIsNotTrusted();
    void sameSizeRewriteNeverLooksInStep_data();
    void sameSizeRewriteNeverLooksInStep();
    void coarseTargetStaysQuiet();
    void steadyStateIsQuiet_data();
    void steadyStateIsQuiet();
    void folderMovedInWithOldDatesIsCopied_data();
    void folderMovedInWithOldDatesIsCopied();
    void unwritableSourceUsesLocalClockAndSaysSoOnce();
    void rewriteKeepingTheTimeIsAnEdit();
};

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);
// The margins a new stamp keeps below the start, as the README documents
// them: against the source tree's own clock when it could be read, against
// this machine's (which a share's may differ from by hours) when not.
constexpr qint64 measuredMarginMs = 2000;
constexpr qint64 unmeasuredMarginMs = 24 * 3600 * 1000;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// One run of twinfold-sync-runner with its wall clock moved by shiftMs.
RunnerRun runShifted(const QString &mode, const QString &local, const QString &remote, qint64 since,
                     qint64 shiftMs)
{
    RunnerOptions options;
    options.environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CLOCK_SHIFT));
    options.environment.insert(QStringLiteral("TWINFOLD_CLOCK_SHIFT_MS"), QString::number(shiftMs));
    // The preloaded library comes before the sanitizer's runtime.
    const QString asan = options.environment.value(QStringLiteral("ASAN_OPTIONS"));
    options.environment.insert(QStringLiteral("ASAN_OPTIONS"),
                               asan + (asan.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
    return runRunner(SYNC_RUNNER, {mode, local, remote, "--since", QString::number(since)},
                     options);
}

// Waits until this machine's clock is a little past the next whole second.
void waitForNextSecond()
{
    QThread::msleep(static_cast<unsigned long>(1000 - nowMs() % 1000 + 30));
}

bool setDirectoryTime(const QString &path, const QDateTime &time)
{
    const qint64 ms = time.toMSecsSinceEpoch();
    const timespec times[2]
            = {{ms / 1000, (ms % 1000) * 1000000}, {ms / 1000, (ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

#define REQUIRE_MOUNT(mount) \
    QVERIFY2((mount).isMounted(), qPrintable(QStringLiteral("cannot mount: ") + (mount).error()))

} // namespace

// A share holds a file dated ahead of this machine (its server, or the
// client that wrote it, runs fast). It is downloaded and edited here; the
// next timed tick uploads the edit and the download leaves it alone.
void TestClockEvidence::localEditSurvivesRemoteDatedAhead_data()
{
    QTest::addColumn<int>("aheadSeconds");
    QTest::addColumn<QString>("edit");

    for (const int ahead : {3600, 5}) {
        for (const char *edit : {"inPlace", "saveAnew", "inPlaceSameSize"})
            QTest::addRow("%ds/%s", ahead, edit) << ahead << QString::fromLatin1(edit);
    }
}

void TestClockEvidence::localEditSurvivesRemoteDatedAhead()
{
    QFETCH(int, aheadSeconds);
    QFETCH(QString, edit);
    TreePair trees;
    QVERIFY(QDir().mkpath(trees.local));
    Tree::writeFile(trees.remote + "/plan.txt", "share version",
                    QDateTime::currentDateTimeUtc().addSecs(aheadSeconds));

    SyncPair pair(trees.local, trees.remote);
    QVERIFY2(pair.download().completed, qPrintable(pair.said()));
    QCOMPARE(Tree::readFile(trees.local + "/plan.txt"), QByteArray("share version"));

    const QByteArray edited = edit == QLatin1String("inPlaceSameSize")
                                      ? "SHARE VERSION"
                                      : "edited here, longer than before";
    if (edit == QLatin1String("saveAnew")) {
        QSaveFile file(trees.local + "/plan.txt");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(edited) == edited.size());
        QVERIFY(file.commit());
    } else {
        QFile file(trees.local + "/plan.txt");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(edited), qint64(edited.size()));
    }

    // A timed tick with both boxes: upload, then download.
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied plan.txt"});
    QVERIFY2(pair.download().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList());
    QCOMPARE(Tree::readFile(trees.local + "/plan.txt"), edited);
    QCOMPARE(Tree::readFile(trees.remote + "/plan.txt"), edited);
}

// Files edited or created on the share after a download carry the share's
// times; whether its clock runs behind or ahead, the next download brings
// them. The sync runs with its own clock shifted against the file stamps,
// and its stamp follows the share's clock, not its own.
void TestClockEvidence::remoteChangesArriveWhateverTheShareClock_data()
{
    QTest::addColumn<qint64>("shiftMs"); // this machine's clock minus the share's

    QTest::newRow("shareBehindMinute") << qint64(60000);
    QTest::newRow("shareBehindHour") << qint64(3600000);
    QTest::newRow("shareAheadHour") << qint64(-3600000);
}

void TestClockEvidence::remoteChangesArriveWhateverTheShareClock()
{
    QFETCH(qint64, shiftMs);
    TreePair trees;
    QVERIFY(QDir().mkpath(trees.local));
    Tree::writeFile(trees.remote + "/a.txt", "a", oldTime);
    Tree::writeFile(trees.remote + "/dir/b.txt", "b", oldTime);

    const qint64 before = nowMs();
    const qint64 shareBefore = Tree::clockMs(trees.remote);
    const RunnerRun first = runShifted("download", trees.local, trees.remote, 0, shiftMs);
    const qint64 shareAfter = Tree::clockMs(trees.remote);
    QVERIFY2(first.completed(), qPrintable(first.said()));
    QVERIFY2(qAbs(first.number("start") - before - shiftMs) < 10000,
             qPrintable(QStringLiteral("the shifted clock did not take: start %1, here %2")
                                .arg(first.number("start"))
                                .arg(before)));
    QVERIFY2(first.stamp() >= shareBefore - measuredMarginMs
                     && first.stamp() <= shareAfter - measuredMarginMs,
             qPrintable(QStringLiteral("stamp %1, the share's clock from %2 to %3")
                                .arg(first.stamp())
                                .arg(shareBefore)
                                .arg(shareAfter)));
    QCOMPARE(Tree::readFile(trees.local + "/dir/b.txt"), QByteArray("b"));

    Tree::writeFile(trees.remote + "/a.txt", "a, edited on the share");
    Tree::writeFile(trees.remote + "/dir/new.txt", "created on the share");
    Tree::writeFile(trees.remote + "/top.txt", "also new");
    const RunnerRun second
            = runShifted("download", trees.local, trees.remote, first.stamp(), shiftMs);
    QVERIFY2(second.completed(), qPrintable(second.said()));
    QCOMPARE(Tree::readFile(trees.local + "/a.txt"), QByteArray("a, edited on the share"));
    QCOMPARE(Tree::readFile(trees.local + "/dir/new.txt"), QByteArray("created on the share"));
    QCOMPARE(Tree::readFile(trees.local + "/top.txt"), QByteArray("also new"));
    COMPARE_LISTS(Tree::snapshot(trees.local), Tree::snapshot(trees.remote));
}

// A stamp later than the source tree's clock (a clock stepped back, or one
// taken from another clock) would hide every change made since: it is
// named, every file is looked at, and the new stamp is the tree's time.
void TestClockEvidence::storedStampAheadOfTheTreeIsNotTrusted()
{
    TreePair trees;
    QVERIFY(QDir().mkpath(trees.local));
    Tree::writeFile(trees.remote + "/old.txt", "old", oldTime);
    Tree::writeFile(trees.remote + "/fresh.txt", "fresh");
    QThread::msleep(20);

    SyncPair pair(trees.local, trees.remote);
    pair.downloadTime = nowMs() + 3600 * 1000;
    { // the record's stamp too: a clock stepped back since it was taken
        SyncRecord record(pair.recordFile(), QFileInfo(trees.local).canonicalFilePath(),
                          QFileInfo(trees.remote).canonicalFilePath());
        record.setStamp(SyncDirection::Download, pair.downloadTime);
        QVERIFY(record.commit());
    }
    const SyncOutcome outcome = pair.download();
    QVERIFY2(outcome.completed, qPrintable(pair.said()));
    QVERIFY2(!pair.body().isEmpty() && pair.body().first().startsWith("StampAhead"),
             qPrintable(pair.said()));
    QCOMPARE(outcome.copied, 2);
    QVERIFY(outcome.stamp < nowMs());
}

// A file rewritten with the same size right after its copy, within the same
// tick of its file system's clock, would carry the copy's time: it must never
// look in step. Each trial copies, rewrites at once, and syncs again once
// the tick is over.
void TestClockEvidence::sameSizeRewriteNeverLooksInStep_data()
{
    QTest::addColumn<bool>("wholeSeconds");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<int>("files");

    QTest::newRow("ext4") << false << 60 << 1;
    QTest::newRow("wholeSecondSource") << true << 4 << 15;
}

void TestClockEvidence::sameSizeRewriteNeverLooksInStep()
{
    QFETCH(bool, wholeSeconds);
    QFETCH(int, rounds);
    QFETCH(int, files);
    TreePair trees;
    const auto image = wholeSeconds ? std::make_unique<RemoteMount>("ext2-whole-seconds") : nullptr;
    if (image)
        REQUIRE_MOUNT(*image);
    const QString local = image ? image->path() + "/local" : trees.local;
    QVERIFY(QDir().mkpath(local));

    SyncPair pair(local, trees.remote);
    int diverged = 0;
    int deferred = 0;
    const auto writeAll = [&](int round, int version) {
        for (int i = 0; i < files; ++i)
            Tree::writeFile(
                    local + QStringLiteral("/f%1.txt").arg(i),
                    QStringLiteral("round %1 version %2").arg(round, 3).arg(version).toUtf8());
    };
    for (int round = 0; round < rounds; ++round) {
        // Starts at another point of the second each round.
        if (wholeSeconds)
            QThread::msleep(static_cast<unsigned long>(round * 230));
        writeAll(round, 1);
        const SyncOutcome first = pair.upload();
        QVERIFY2(first.completed, qPrintable(pair.said()));
        deferred += first.deferred;
        writeAll(round, 2);
        if (wholeSeconds)
            waitForNextSecond();
        QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
        for (int i = 0; i < files; ++i) {
            const QString name = QStringLiteral("/f%1.txt").arg(i);
            if (Tree::readFile(trees.remote + name) != Tree::readFile(local + name))
                ++diverged;
        }
    }
    qInfo("%d trials, %d diverged, %d copies left to the next run", rounds * files, diverged,
          deferred);
    QCOMPARE(diverged, 0);
    if (wholeSeconds)
        QVERIFY2(deferred > 0, "no copy met the running second: the trial proves nothing");
}

// A remote that keeps whole seconds holds every copy a little "older" than
// its source. That is in step: looking again, from either side, copies
// nothing and reports nothing, and a new file copies just itself.
void TestClockEvidence::coarseTargetStaysQuiet()
{
    RemoteMount image(QStringLiteral("ext2-whole-seconds"));
    REQUIRE_MOUNT(image);
    TreePair trees;
    for (int count = 0; count < 300; ++count)
        Tree::writeFile(QStringLiteral("%1/d%2/e%3/file %4.txt")
                                .arg(trees.local)
                                .arg(count / 50)
                                .arg(count / 10 % 5)
                                .arg(count % 10),
                        QByteArray::number(count), oldTime.addMSecs(count * 7919));

    SyncPair pair(trees.local, image.path() + "/remote");
    SyncOutcome outcome = pair.upload();
    QVERIFY2(outcome.completed && outcome.copied == 300, qPrintable(pair.said()));

    // As after 清除缓存: every file is looked at again, in both directions.
    pair.uploadTime = 0;
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList());
    QVERIFY2(pair.download().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList());

    Tree::writeFile(trees.local + "/d2/new.txt", "new", oldTime);
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied d2/new.txt"});
    pair.download();
    COMPARE_LISTS(pair.body(), QStringList());
}

// With nothing edited by anyone, upload → download → upload → download
// copies nothing and says nothing but the start and end lines, on a plain
// disk, on a whole-second remote, and against share clocks an hour or a
// minute off (the sync's own clock shifted).
void TestClockEvidence::steadyStateIsQuiet_data()
{
    QTest::addColumn<bool>("wholeSecondRemote");
    QTest::addColumn<qint64>("shiftMs");

    QTest::newRow("ext4") << false << qint64(0);
    QTest::newRow("wholeSecondRemote") << true << qint64(0);
    QTest::newRow("shareAheadHour") << false << qint64(-3600000);
    QTest::newRow("shareBehindHour") << false << qint64(3600000);
    QTest::newRow("shareBehindMinuteWholeSeconds") << true << qint64(60000);
}

void TestClockEvidence::steadyStateIsQuiet()
{
    QFETCH(bool, wholeSecondRemote);
    QFETCH(qint64, shiftMs);
    TreePair trees;
    const auto image
            = wholeSecondRemote ? std::make_unique<RemoteMount>("ext2-whole-seconds") : nullptr;
    if (image)
        REQUIRE_MOUNT(*image);
    const QString remote = image ? image->path() + "/remote" : trees.remote;
    for (int i = 0; i < 20; ++i)
        Tree::writeFile(QStringLiteral("%1/dir%2/old %3.txt").arg(trees.local).arg(i % 4).arg(i),
                        "old", oldTime.addSecs(i));
    Tree::writeFile(trees.local + "/ahead.txt", "dated an hour ahead",
                    QDateTime::currentDateTimeUtc().addSecs(3600));
    Tree::writeFile(trees.local + "/dir1/fresh.txt", "written just now");
    QThread::msleep(1100); // past the running second

    const RunnerRun first = runShifted("upload", trees.local, remote, 0, shiftMs);
    QVERIFY2(first.completed(), qPrintable(first.said()));
    QCOMPARE(first.body().size(), 22);
    QCOMPARE(first.copied().size(), 22);
    qint64 stamps[] = {first.stamp(), 0}; // upload, download
    for (int round = 0; round < 2; ++round) {
        for (const int download : {1, 0}) {
            const RunnerRun run = runShifted(download ? "download" : "upload", trees.local, remote,
                                             stamps[download], shiftMs);
            QVERIFY2(run.completed() && run.body().isEmpty(), qPrintable(run.said()));
            stamps[download] = run.stamp();
        }
    }
    COMPARE_LISTS(Tree::names(trees.local), Tree::names(remote));
}

// A folder or a file moved or unpacked into the tree keeps its old dates,
// and where change times mean nothing only its parent's time shows it arrived.
void TestClockEvidence::folderMovedInWithOldDatesIsCopied_data()
{
    QTest::addColumn<bool>("ctimeBlind");
    QTest::addColumn<QString>("into"); // relative to the source root

    for (const bool blind : {false, true}) {
        const char *fs = blind ? "noChangeTimes" : "posix";
        QTest::addRow("%s/intoRoot", fs) << blind << QString();
        QTest::addRow("%s/intoSubdirectory", fs) << blind << QStringLiteral("sub/");
    }
}

void TestClockEvidence::folderMovedInWithOldDatesIsCopied()
{
    QFETCH(bool, ctimeBlind);
    QFETCH(QString, into);
    TreePair trees;
    Tree::writeFile(trees.local + "/keep.txt", "keep", oldTime);
    Tree::writeFile(trees.local + "/sub/keep.txt", "keep", oldTime);
    Tree::writeFile(trees.path("outside/moved/x.txt"), "x", oldTime);
    Tree::writeFile(trees.path("outside/moved/deeper/y.txt"), "y", oldTime);
    QVERIFY(setDirectoryTime(trees.path("outside/moved/deeper"), oldTime));
    QVERIFY(setDirectoryTime(trees.path("outside/moved"), oldTime));
    Tree::writeFile(trees.path("outside/lone.txt"), "lone", oldTime);

    Copier copier(ctimeBlind ? std::make_unique<CtimeBlindFileSystem>() : nullptr);
    QVERIFY2(copier.run(trees.local, trees.remote).complete(), qPrintable(copier.said()));
    QThread::msleep(20);
    const qint64 since = nowMs();
    QThread::msleep(20);
    QVERIFY(QDir().rename(trees.path("outside/moved"), trees.local + "/" + into + "moved"));
    QVERIFY(QDir().rename(trees.path("outside/lone.txt"), trees.local + "/" + into + "lone.txt"));

    copier.log.clear();
    QVERIFY2(copier.run(trees.local, trees.remote, since).complete(), qPrintable(copier.said()));
    COMPARE_LISTS(
            Tree::sorted(copier.briefs()),
            QStringList({"Copied " + into + "lone.txt", "Copied " + into + "moved/deeper/y.txt",
                         "Copied " + into + "moved/x.txt"}));
}

// Nothing can be created in a read-only source: the run keeps this machine's
// clock with the margin of a day, says so once, and still copies.
void TestClockEvidence::unwritableSourceUsesLocalClockAndSaysSoOnce()
{
    TreePair trees;
    Tree::writeFile(trees.path("files/a.txt"), "a", oldTime);
    ReadOnlyView view(trees.path("files"));
    REQUIRE_MOUNT(view);

    SyncPair pair(view.path(), trees.remote);
    const qint64 before = nowMs();
    SyncOutcome outcome = pair.upload();
    const qint64 after = nowMs();
    QVERIFY2(outcome.completed, qPrintable(pair.said()));
    QCOMPARE(pair.log.count(EventKind::SourceClockUnreadable), 1);
    COMPARE_LISTS(pair.body(),
                  QStringList({"SourceClockUnreadable " + view.path(), "Copied a.txt"}));
    QCOMPARE(Tree::readFile(trees.remote + "/a.txt"), QByteArray("a"));
    QVERIFY2(outcome.stamp >= before - unmeasuredMarginMs
                     && outcome.stamp <= after - unmeasuredMarginMs,
             qPrintable(QStringLiteral("stamp %1, this machine's clock from %2 to %3")
                                .arg(outcome.stamp)
                                .arg(before)
                                .arg(after)));

    QVERIFY(pair.upload().completed);
    COMPARE_LISTS(pair.body(), QStringList());
}

// A power cut after a copy's time and mark reached the disk but before its
// data did leaves a short file that looks like the copy. It is no edit: the
// next upload replaces it, and no download carries it over the original.
void TestClockEvidence::rewriteKeepingTheTimeIsAnEdit()
{
    TreePair trees;
    const QByteArray content(5000, 'x');
    Tree::writeFile(trees.local + "/doc.txt", content, oldTime);
    SyncPair pair(trees.local, trees.remote);
    QVERIFY2(pair.upload().completed, qPrintable(pair.said()));

    // As a driver that keeps a file's time when a program rewrites it in
    // place: only the size and the record tell.
    QFile copy(trees.remote + "/doc.txt");
    QVERIFY(copy.open(QIODevice::ReadWrite));
    QVERIFY(copy.resize(1024));
    QVERIFY(copy.setFileTime(oldTime, QFileDevice::FileModificationTime));
    copy.close();

    pair.uploadTime = 0; // every file looked at
    QVERIFY(pair.upload().completed);
    COMPARE_LISTS(pair.body(), QStringList {"TargetNewer doc.txt"});
    QCOMPARE(QFileInfo(trees.remote + "/doc.txt").size(), qint64(1024));
    QVERIFY2(pair.download().completed, qPrintable(pair.said()));
    COMPARE_LISTS(pair.body(), QStringList {"Copied doc.txt"});
    QCOMPARE(Tree::readFile(trees.local + "/doc.txt"), content.left(1024));
}

QTEST_GUILESS_MAIN(TestClockEvidence)
#include "test_clock_evidence.moc"
