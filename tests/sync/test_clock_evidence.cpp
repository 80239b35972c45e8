#include "support/ctime_blind_file_system.h"
#include "support/mounts.h"
#include "support/remote_mount.h"
#include "support/sync_pair.h"
#include "support/tree.h"
#include "sync/directory_copy.h"
#include "sync/live_text.h"
#include "sync/once_notices.h"
#include "sync/sync_job.h"

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
    void copyCutShortIsRepairedNeverCarriedBack();
};

namespace {

const QString copyLine = QStringLiteral("    复制文件：");
const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString described(const QStringList &lines, const QString &errors = QString())
{
    return lines.join(QLatin1Char('\n')) + errors;
}

using Pair = SyncPair;

// One run of twinfold-sync-runner with its clock moved by shiftMs.
struct ShiftedRun
{
    int exitCode = -1;
    QStringList lines;
    qint64 start = 0; // the start line's time: the shifted clock's
    qint64 stamp = 0; // the new stamp, or the kept one
    QString errors; // what it wrote to standard error
};

ShiftedRun runShifted(const QString &mode, const QString &local, const QString &remote,
                      qint64 since, qint64 shiftMs)
{
    QProcess runner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CLOCK_SHIFT));
    environment.insert(QStringLiteral("TWINFOLD_CLOCK_SHIFT_MS"), QString::number(shiftMs));
    // The preloaded library comes before the sanitizer's runtime.
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asan + (asan.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
    runner.setProcessEnvironment(environment);
    runner.start(QStringLiteral(SYNC_RUNNER),
                 {mode, local, remote, QStringLiteral("--since"), QString::number(since)});
    ShiftedRun result;
    if (!runner.waitForFinished(120000))
        return result;
    result.exitCode = runner.exitStatus() == QProcess::NormalExit ? runner.exitCode() : -1;
    const QString out = QString::fromUtf8(runner.readAllStandardOutput());
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        result.lines << line;
        if (line.startsWith(QStringLiteral("开始")))
            result.start = line.section(QStringLiteral(" --> "), 1).toLongLong();
        const int done = line.indexOf(QStringLiteral("成功 "));
        if (done > 0)
            result.stamp = line.mid(done + 3).toLongLong();
        const int kept = line.indexOf(QStringLiteral("保留时间 "));
        if (kept > 0)
            result.stamp = line.mid(kept + 5).toLongLong();
    }
    result.errors = QString::fromLocal8Bit(runner.readAllStandardError());
    return result;
}

// Waits until this machine's clock is a little past the next whole second.
void waitForNextSecond()
{
    const qint64 now = nowMs();
    QThread::msleep(static_cast<unsigned long>(1000 - now % 1000 + 30));
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    QVERIFY(QDir().mkpath(local));
    Tree::writeFile(remote + "/plan.txt", "share version",
                    QDateTime::currentDateTimeUtc().addSecs(aheadSeconds));

    Pair pair(local, remote);
    QVERIFY2(pair.run(SyncDirection::Download).completed, qPrintable(described(pair.lines)));
    QCOMPARE(Tree::readFile(local + "/plan.txt"), QByteArray("share version"));

    QByteArray edited = "edited here, longer than before";
    if (edit == QLatin1String("inPlaceSameSize"))
        edited = "SHARE VERSION";
    if (edit == QLatin1String("saveAnew")) {
        QSaveFile file(local + "/plan.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(edited);
        QVERIFY(file.commit());
    } else {
        QFile file(local + "/plan.txt");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(edited);
    }

    // A timed tick with both boxes: upload, then download.
    QVERIFY2(pair.run(SyncDirection::Upload).completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList {copyLine + "/plan.txt"});
    QVERIFY2(pair.run(SyncDirection::Download).completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList());
    QCOMPARE(Tree::readFile(local + "/plan.txt"), edited);
    QCOMPARE(Tree::readFile(remote + "/plan.txt"), edited);
}

// Files edited or created on the share after a download carry the share's
// times; whether its clock runs behind or ahead, the next download brings
// them. The sync runs with its own clock shifted against the file stamps.
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    QVERIFY(QDir().mkpath(local));
    Tree::writeFile(remote + "/a.txt", "a", oldTime);
    Tree::writeFile(remote + "/dir/b.txt", "b", oldTime);

    const qint64 before = nowMs();
    const ShiftedRun first = runShifted("download", local, remote, 0, shiftMs);
    QVERIFY2(first.exitCode == 0, qPrintable(described(first.lines, first.errors)));
    QVERIFY2(qAbs(first.start - before - shiftMs) < 10000,
             qPrintable(QStringLiteral("the shifted clock did not take: start %1, here %2")
                                .arg(first.start)
                                .arg(before)));
    QCOMPARE(Tree::readFile(local + "/dir/b.txt"), QByteArray("b"));

    Tree::writeFile(remote + "/a.txt", "a, edited on the share");
    Tree::writeFile(remote + "/dir/new.txt", "created on the share");
    Tree::writeFile(remote + "/top.txt", "also new");
    const ShiftedRun second = runShifted("download", local, remote, first.stamp, shiftMs);
    QVERIFY2(second.exitCode == 0, qPrintable(described(second.lines, second.errors)));
    QCOMPARE(Tree::readFile(local + "/a.txt"), QByteArray("a, edited on the share"));
    QCOMPARE(Tree::readFile(local + "/dir/new.txt"), QByteArray("created on the share"));
    QCOMPARE(Tree::readFile(local + "/top.txt"), QByteArray("also new"));
    QVERIFY2(Tree::difference(Tree::snapshot(local), Tree::snapshot(remote)).isEmpty(),
             qPrintable(Tree::difference(Tree::snapshot(local), Tree::snapshot(remote))));
}

// A stamp later than the source tree's clock (a clock stepped back, or one
// taken from another clock) would hide every change made since: it is
// named, every file is looked at, and the new stamp is the tree's time.
void TestClockEvidence::storedStampAheadOfTheTreeIsNotTrusted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    QVERIFY(QDir().mkpath(local));
    Tree::writeFile(remote + "/old.txt", "old", oldTime);
    Tree::writeFile(remote + "/fresh.txt", "fresh");
    QThread::msleep(20);

    Pair pair(local, remote);
    pair.downloadTime = nowMs() + 3600 * 1000;
    const SyncOutcome outcome = pair.run(SyncDirection::Download);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    const QStringList said = indentedLines(pair.lines);
    QVERIFY2(!said.isEmpty()
                     && said.first()
                                == QStringLiteral(
                                        "    上次同步时间晚于源目录的当前时间，本次检查全部文件"),
             qPrintable(described(pair.lines)));
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::unique_ptr<RemoteMount> image;
    QString local = dir.filePath("local");
    if (wholeSeconds) {
        image = std::make_unique<RemoteMount>(QStringLiteral("ext2-whole-seconds"));
        REQUIRE_MOUNT(*image);
        local = image->path() + "/local";
    }
    const QString remote = dir.filePath("remote");
    QVERIFY(QDir().mkpath(local));

    Pair pair(local, remote);
    int diverged = 0;
    int deferred = 0;
    for (int round = 0; round < rounds; ++round) {
        // Starts at another point of the second each round.
        if (wholeSeconds)
            QThread::msleep(static_cast<unsigned long>(round * 230));
        for (int i = 0; i < files; ++i)
            Tree::writeFile(local + QStringLiteral("/f%1.txt").arg(i),
                            QStringLiteral("round %1 version 1").arg(round, 3).toUtf8());
        const SyncOutcome first = pair.run(SyncDirection::Upload);
        QVERIFY2(first.completed, qPrintable(described(pair.lines)));
        deferred += first.deferred;
        for (int i = 0; i < files; ++i)
            Tree::writeFile(local + QStringLiteral("/f%1.txt").arg(i),
                            QStringLiteral("round %1 version 2").arg(round, 3).toUtf8());
        if (wholeSeconds)
            waitForNextSecond();
        const SyncOutcome second = pair.run(SyncDirection::Upload);
        QVERIFY2(second.completed, qPrintable(described(pair.lines)));
        for (int i = 0; i < files; ++i) {
            const QString name = QStringLiteral("/f%1.txt").arg(i);
            if (Tree::readFile(remote + name) != Tree::readFile(local + name))
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = image.path() + "/remote";
    int count = 0;
    for (int a = 0; a < 6; ++a) {
        for (int b = 0; b < 5; ++b) {
            for (int f = 0; f < 10; ++f, ++count)
                Tree::writeFile(
                        QStringLiteral("%1/d%2/e%3/file %4.txt").arg(local).arg(a).arg(b).arg(f),
                        QByteArray::number(count), oldTime.addMSecs(count * 7919));
        }
    }
    QCOMPARE(count, 300);

    Pair pair(local, remote);
    SyncOutcome outcome = pair.run(SyncDirection::Upload);
    QVERIFY2(outcome.completed && outcome.copied == 300, qPrintable(described(pair.lines)));

    // As after 清除缓存: every file is looked at again, in both directions.
    pair.uploadTime = 0;
    outcome = pair.run(SyncDirection::Upload);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList());
    outcome = pair.run(SyncDirection::Download);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList());

    Tree::writeFile(local + "/d2/new.txt", "new", oldTime);
    outcome = pair.run(SyncDirection::Upload);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList {copyLine + "/d2/new.txt"});
    outcome = pair.run(SyncDirection::Download);
    QCOMPARE(indentedLines(pair.lines), QStringList());
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::unique_ptr<RemoteMount> image;
    QString remote = dir.filePath("remote");
    if (wholeSecondRemote) {
        image = std::make_unique<RemoteMount>(QStringLiteral("ext2-whole-seconds"));
        REQUIRE_MOUNT(*image);
        remote = image->path() + "/remote";
    }
    const QString local = dir.filePath("local");
    for (int i = 0; i < 20; ++i)
        Tree::writeFile(QStringLiteral("%1/dir%2/old %3.txt").arg(local).arg(i % 4).arg(i), "old",
                        oldTime.addSecs(i));
    Tree::writeFile(local + "/ahead.txt", "dated an hour ahead",
                    QDateTime::currentDateTimeUtc().addSecs(3600));
    Tree::writeFile(local + "/dir1/fresh.txt", "written just now");
    QThread::msleep(1100); // past the running second

    const ShiftedRun first = runShifted("upload", local, remote, 0, shiftMs);
    QVERIFY2(first.exitCode == 0, qPrintable(described(first.lines, first.errors)));
    QCOMPARE(indentedLines(first.lines).size(), 22);
    qint64 uploadStamp = first.stamp;
    qint64 downloadStamp = 0;
    for (int round = 0; round < 2; ++round) {
        const ShiftedRun download = runShifted("download", local, remote, downloadStamp, shiftMs);
        QVERIFY2(download.exitCode == 0 && download.lines.size() == 2,
                 qPrintable(described(download.lines, download.errors)));
        downloadStamp = download.stamp;
        const ShiftedRun upload = runShifted("upload", local, remote, uploadStamp, shiftMs);
        QVERIFY2(upload.exitCode == 0 && upload.lines.size() == 2,
                 qPrintable(described(upload.lines, upload.errors)));
        uploadStamp = upload.stamp;
    }
    QCOMPARE(Tree::names(local), Tree::names(remote));
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/keep.txt", "keep", oldTime);
    Tree::writeFile(source + "/sub/keep.txt", "keep", oldTime);
    Tree::writeFile(dir.filePath("outside/moved/x.txt"), "x", oldTime);
    Tree::writeFile(dir.filePath("outside/moved/deeper/y.txt"), "y", oldTime);
    QVERIFY(setDirectoryTime(dir.filePath("outside/moved/deeper"), oldTime));
    QVERIFY(setDirectoryTime(dir.filePath("outside/moved"), oldTime));
    Tree::writeFile(dir.filePath("outside/lone.txt"), "lone", oldTime);

    LiveText pattern;
    LiveText localField(source + QLatin1Char('/'));
    QStringList lines;
    const auto copyOnce = [&](qint64 since) {
        std::unique_ptr<FileSystem> fileSystem;
        if (ctimeBlind)
            fileSystem = std::make_unique<CtimeBlindFileSystem>();
        else
            fileSystem = makeFileSystem();
        DirectoryCopy copy(
                pattern, localField, [&lines](const QString &line) { lines << line; }, nullptr,
                fileSystem.get());
        return copy.run(source, target, true, since);
    };
    QVERIFY(copyOnce(0).complete());
    QThread::msleep(20);
    const qint64 since = nowMs();
    QThread::msleep(20);
    QVERIFY(QDir().rename(dir.filePath("outside/moved"), source + "/" + into + "moved"));
    QVERIFY(QDir().rename(dir.filePath("outside/lone.txt"), source + "/" + into + "lone.txt"));

    lines.clear();
    const CopyReport report = copyOnce(since);
    QVERIFY2(report.complete(), qPrintable(described(lines)));
    QCOMPARE(Tree::sorted(lines),
             QStringList({copyLine + into + "lone.txt", copyLine + into + "moved/deeper/y.txt",
                          copyLine + into + "moved/x.txt"}));
}

// Nothing can be created in a read-only source: the run keeps this machine's
// clock with a wide margin, says so once, and still copies.
void TestClockEvidence::unwritableSourceUsesLocalClockAndSaysSoOnce()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Tree::writeFile(dir.filePath("files/a.txt"), "a", oldTime);
    ReadOnlyView view(dir.filePath("files"));
    REQUIRE_MOUNT(view);
    const QString remote = dir.filePath("remote");

    Pair pair(view.path(), remote);
    const qint64 before = nowMs();
    SyncOutcome outcome = pair.run(SyncDirection::Upload);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    const QStringList notices = indentedLines(pair.lines).filter(QStringLiteral("按本机时钟计时"));
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().startsWith(QStringLiteral("    无法在源目录创建临时文件（")),
             qPrintable(notices.first()));
    QCOMPARE(Tree::readFile(remote + "/a.txt"), QByteArray("a"));
    QVERIFY(outcome.stamp <= before - SyncJob::unmeasuredMarginMs + 1000);
    QVERIFY(outcome.stamp >= before - SyncJob::unmeasuredMarginMs - 1000);

    outcome = pair.run(SyncDirection::Upload);
    QVERIFY(outcome.completed);
    QCOMPARE(indentedLines(pair.lines), QStringList());
}

// A power cut after a copy's time and mark reached the disk but before its
// data did leaves a short file that looks like the copy. It is no edit: the
// next upload replaces it, and no download carries it over the original.
void TestClockEvidence::copyCutShortIsRepairedNeverCarriedBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString local = dir.filePath("local");
    const QString remote = dir.filePath("remote");
    const QByteArray content(5000, 'x');
    Tree::writeFile(local + "/doc.txt", content, oldTime);
    Pair pair(local, remote);
    QVERIFY2(pair.run(SyncDirection::Upload).completed, qPrintable(described(pair.lines)));

    QFile copy(remote + "/doc.txt");
    QVERIFY(copy.open(QIODevice::ReadWrite));
    QVERIFY(copy.resize(1024));
    QVERIFY(copy.setFileTime(oldTime, QFileDevice::FileModificationTime));
    copy.close();

    SyncOutcome outcome = pair.run(SyncDirection::Download);
    QVERIFY(!outcome.completed);
    QCOMPARE(indentedLines(pair.lines),
             QStringList {QStringLiteral("    复制失败：") + remote
                          + QStringLiteral("/doc.txt（源文件是未写完整的副本（大小与复制时不符），"
                                           "未复制）")});
    QCOMPARE(Tree::readFile(local + "/doc.txt"), content);

    outcome = pair.run(SyncDirection::Upload);
    QVERIFY2(outcome.completed, qPrintable(described(pair.lines)));
    QCOMPARE(indentedLines(pair.lines), QStringList {copyLine + "/doc.txt"});
    QCOMPARE(Tree::readFile(remote + "/doc.txt"), content);
    QVERIFY(pair.run(SyncDirection::Download).completed);
    QCOMPARE(indentedLines(pair.lines), QStringList());
}

QTEST_GUILESS_MAIN(TestClockEvidence)
#include "test_clock_evidence.moc"
