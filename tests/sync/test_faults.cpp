// Faults during an upload: a source that cannot be read, a target that cannot
// be written, a file where a directory is needed, a write that fails half-way
// and a source directory that goes away while the run walks. Each run is a
// separate process (twinfold-sync-runner) on real trees; the permission cases
// run it as an unprivileged user, since permission bits do not stop root.
//
// Every fault must leave the target as it was or holding complete new files,
// be reported with a failure line, keep the run's time stamp, and the next
// run after the fault is gone must bring the trees in step.

#include "support/tree.h"
#include "sync/sync_job.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <dirent.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// Ends the test function when a helper that checks something has failed.
#define RETURN_IF_FAILED() \
    do { \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)

namespace {

const QString failurePrefix = QStringLiteral("    复制失败：");
const QString copyPrefix = QStringLiteral("    复制文件：");

struct RunResult
{
    int exitCode = -1;
    QStringList lines;
    QString errors;

    QStringList failures() const { return lines.filter(QRegularExpression("^    复制失败：")); }
    QStringList copies() const { return lines.filter(QRegularExpression("^    复制文件：")); }
};

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

QDateTime minutesAgo(int minutes)
{
    return QDateTime::fromMSecsSinceEpoch(
            (QDateTime::currentMSecsSinceEpoch() / 1000 - minutes * 60) * 1000);
}

void setMode(const QString &path, mode_t mode)
{
    QVERIFY2(::chmod(QFile::encodeName(path).constData(), mode) == 0, qPrintable(path));
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void unreadableSourceFileIsReportedAndCopiedOnceReadable();
    void unreadableSourceDirectoryIsReportedAndCopiedOnceReadable();
    void unwritableTargetDirectoryIsLeftAsItWasAndFilledOnceWritable();
    void unwritableTargetRootFailsEveryFileAndIsFilledOnceWritable();
    void fileOrDirectoryInTheWayIsLeftAloneAndReported();
    void writeFailingHalfWayLeavesNoPartialFile();
    void replaceRefusedAfterTheCopyLeavesNoTemporary();
    void sourceDirectoryVanishingDuringTheRunIsReportedAndCopiedWhenBack();
    void sourceDirectoryAwayDuringACompletedRunIsCopiedWhenBack();

private:
    // A fresh case directory with local/ and remote/ inside.
    QString makeCase(const QString &name);
    // Hands the case to the unprivileged user the runner becomes.
    void giveToUnprivileged(const QString &caseDir);
    RunResult run(const QString &caseDir, qint64 since, const QStringList &extra = {});
    RunResult runAs(const QString &caseDir, qint64 since, const QStringList &extra = {})
    {
        return run(caseDir, since, QStringList {"--user", unprivilegedName} + extra);
    }
    // Exit code 1, one failure line for each shown path and no other, the
    // "incomplete" line with that many failures and the stamp the run got.
    void verifyIncomplete(const RunResult &result, qint64 since, const QStringList &failedPaths);
    // Exit code 0, no failure line, the success line; the trees are in step.
    void verifyCompleteAndInStep(const RunResult &result, const QString &caseDir);
    // The stamp the "incomplete" line says it kept.
    static qint64 keptStamp(const RunResult &result);

    std::unique_ptr<QTemporaryDir> base; // made by initTestCase
    QString unprivilegedName = QStringLiteral("nobody");
    uid_t unprivilegedUid = 0;
    gid_t unprivilegedGid = 0;
    qint64 since = 0;
};

void TestFaults::initTestCase()
{
    base = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/twinfold-faults-XXXXXX"));
    QVERIFY(base->isValid());
    // The unprivileged runner has to get through the base to the cases.
    setMode(base->path(), 0711);
    const passwd *user = ::getpwnam(unprivilegedName.toLocal8Bit().constData());
    QVERIFY2(user, "the permission cases need the user 'nobody'");
    unprivilegedUid = user->pw_uid;
    unprivilegedGid = user->pw_gid;
    QVERIFY2(unprivilegedUid != 0,
             "'nobody' is root here; the permission cases would test nothing");
    QVERIFY2(::geteuid() == 0,
             "the permission cases run the copy as 'nobody', which takes root to arrange");
    // Every source file here is newer than this: a run with it looks at all of them.
    since = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;

    // The runner really becomes that user, or refuses.
    QProcess probe;
    probe.start(SYNC_RUNNER, {"copy", base->path() + "/none", base->path() + "/none-target",
                              "--user", unprivilegedName});
    QVERIFY(probe.waitForFinished(30000));
    // 1: the run found no source; 2: it could not become that user and refused to run.
    QVERIFY2(probe.exitCode() == 1, probe.readAllStandardError().constData());
}

QString TestFaults::makeCase(const QString &name)
{
    const QString dir = base->path() + QLatin1Char('/') + name;
    if (!QDir(dir + "/local").exists() && !QDir().mkpath(dir + "/local"))
        return QString();
    if (!QDir(dir + "/remote").exists() && !QDir().mkpath(dir + "/remote"))
        return QString();
    return dir;
}

void TestFaults::giveToUnprivileged(const QString &caseDir)
{
    QStringList paths {caseDir};
    QDirIterator it(caseDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    for (const QString &path : qAsConst(paths)) {
        QVERIFY2(::lchown(QFile::encodeName(path).constData(), unprivilegedUid, unprivilegedGid)
                         == 0,
                 qPrintable(path));
    }
}

RunResult TestFaults::run(const QString &caseDir, qint64 since, const QStringList &extra)
{
    RunResult result;
    QProcess runner;
    runner.start(SYNC_RUNNER, QStringList {"upload", caseDir + "/local", caseDir + "/remote",
                                           "--since", QString::number(since)}
                                      + extra);
    if (!runner.waitForFinished(120000)) {
        runner.kill();
        runner.waitForFinished(10000);
        result.errors = QStringLiteral("the runner did not finish");
        return result;
    }
    result.exitCode = runner.exitStatus() == QProcess::NormalExit ? runner.exitCode() : -1;
    result.lines = QString::fromUtf8(runner.readAllStandardOutput()).split(QLatin1Char('\n'));
    result.errors = QString::fromLocal8Bit(runner.readAllStandardError());
    return result;
}

void TestFaults::verifyIncomplete(const RunResult &result, qint64 since,
                                  const QStringList &failedPaths)
{
    const QString output = result.lines.join(QLatin1Char('\n')) + result.errors;
    QVERIFY2(result.exitCode == 1, qPrintable(output));
    const QStringList failures = result.failures();
    QCOMPARE(failures.size(), failedPaths.size());
    for (const QString &path : failedPaths) {
        const QString start = failurePrefix + path + QStringLiteral("（");
        int matching = 0;
        for (const QString &line : failures) {
            if (line.startsWith(start) && line.endsWith(QStringLiteral("）")))
                ++matching;
        }
        QVERIFY2(matching == 1, qPrintable(path + QStringLiteral(" in\n") + output));
    }
    const QString incomplete = QStringLiteral("上传未完成，失败 %1 项，保留时间 %2")
                                       .arg(failedPaths.size())
                                       .arg(since);
    QVERIFY2(result.lines.contains(incomplete), qPrintable(output));
    QVERIFY2(result.lines.filter(QStringLiteral("成功")).isEmpty(), qPrintable(output));
}

void TestFaults::verifyCompleteAndInStep(const RunResult &result, const QString &caseDir)
{
    const QString output = result.lines.join(QLatin1Char('\n')) + result.errors;
    QVERIFY2(result.exitCode == 0, qPrintable(output));
    QVERIFY2(result.failures().isEmpty(), qPrintable(output));
    QVERIFY2(!result.lines.filter(QRegularExpression("^上传成功 -?\\d+$")).isEmpty(),
             qPrintable(output));
    QCOMPARE(Tree::snapshot(caseDir + "/remote"), Tree::snapshot(caseDir + "/local"));
}

qint64 TestFaults::keptStamp(const RunResult &result)
{
    const QRegularExpression kept("^上传未完成，失败 \\d+ 项，保留时间 (-?\\d+)$");
    for (const QString &line : result.lines) {
        const QRegularExpressionMatch match = kept.match(line);
        if (match.hasMatch())
            return match.captured(1).toLongLong();
    }
    return -1;
}

void TestFaults::unreadableSourceFileIsReportedAndCopiedOnceReadable()
{
    const QString dir = makeCase("unreadable-file");
    QVERIFY(!dir.isEmpty());
    const QByteArray secret = randomBytes(64 << 10, 1);
    const QByteArray oldSecret("the target's version");
    Tree::writeFile(dir + "/local/a.txt", "alpha", minutesAgo(10));
    Tree::writeFile(dir + "/local/secret.bin", secret, minutesAgo(10));
    Tree::writeFile(dir + "/local/sub/b.txt", "beta", minutesAgo(10));
    Tree::writeFile(dir + "/remote/secret.bin", oldSecret, minutesAgo(120));
    const qint64 oldTime = Tree::modifiedMs(dir + "/remote/secret.bin");
    giveToUnprivileged(dir);
    RETURN_IF_FAILED();
    setMode(dir + "/local/secret.bin", 0);
    RETURN_IF_FAILED();

    const RunResult faulty = runAs(dir, since);
    verifyIncomplete(faulty, since, {"/secret.bin"});
    RETURN_IF_FAILED();
    QCOMPARE(Tree::names(dir + "/remote"),
             QStringList({"a.txt", "secret.bin", "sub", "sub/b.txt"}));
    QCOMPARE(Tree::readFile(dir + "/remote/secret.bin"), oldSecret);
    QCOMPARE(Tree::modifiedMs(dir + "/remote/secret.bin"), oldTime);
    QCOMPARE(Tree::readFile(dir + "/remote/a.txt"), QByteArray("alpha"));
    QCOMPARE(Tree::readFile(dir + "/remote/sub/b.txt"), QByteArray("beta"));

    setMode(dir + "/local/secret.bin", 0644);
    RETURN_IF_FAILED();
    const RunResult next = runAs(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies(), QStringList {copyPrefix + "/secret.bin"});
}

void TestFaults::unreadableSourceDirectoryIsReportedAndCopiedOnceReadable()
{
    const QString dir = makeCase("unreadable-directory");
    QVERIFY(!dir.isEmpty());
    Tree::writeFile(dir + "/local/locked/x.txt", "x", minutesAgo(10));
    Tree::writeFile(dir + "/local/locked/deeper/y.txt", "y", minutesAgo(10));
    Tree::writeFile(dir + "/local/open/z.txt", "z", minutesAgo(10));
    Tree::writeFile(dir + "/local/top.txt", "top", minutesAgo(10));
    giveToUnprivileged(dir);
    RETURN_IF_FAILED();
    setMode(dir + "/local/locked", 0);
    RETURN_IF_FAILED();

    const RunResult faulty = runAs(dir, since);
    verifyIncomplete(faulty, since, {"/locked"});
    RETURN_IF_FAILED();
    QStringList arrived = Tree::names(dir + "/remote");
    arrived.removeOne("locked"); // the skeleton may be there, nothing in it
    QCOMPARE(arrived, QStringList({"open", "open/z.txt", "top.txt"}));

    setMode(dir + "/local/locked", 0755);
    RETURN_IF_FAILED();
    const RunResult next = runAs(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies().size(), 2);
}

void TestFaults::unwritableTargetDirectoryIsLeftAsItWasAndFilledOnceWritable()
{
    const QString dir = makeCase("unwritable-directory");
    QVERIFY(!dir.isEmpty());
    const QByteArray oldContent("old version, in a directory nobody may write");
    Tree::writeFile(dir + "/local/ro/old.txt", randomBytes(200 << 10, 2), minutesAgo(10));
    Tree::writeFile(dir + "/local/ro/new.txt", "new", minutesAgo(10));
    Tree::writeFile(dir + "/local/ro/inner/deep.txt", "deep", minutesAgo(10));
    Tree::writeFile(dir + "/local/ok.txt", "ok", minutesAgo(10));
    Tree::writeFile(dir + "/remote/ro/old.txt", oldContent, minutesAgo(120));
    const qint64 oldTime = Tree::modifiedMs(dir + "/remote/ro/old.txt");
    giveToUnprivileged(dir);
    RETURN_IF_FAILED();
    setMode(dir + "/remote/ro", 0555);
    RETURN_IF_FAILED();

    const RunResult faulty = runAs(dir, since);
    verifyIncomplete(faulty, since, {"/ro/old.txt", "/ro/new.txt", dir + "/remote/ro/inner"});
    RETURN_IF_FAILED();
    QCOMPARE(Tree::names(dir + "/remote"), QStringList({"ok.txt", "ro", "ro/old.txt"}));
    QCOMPARE(Tree::readFile(dir + "/remote/ro/old.txt"), oldContent);
    QCOMPARE(Tree::modifiedMs(dir + "/remote/ro/old.txt"), oldTime);
    QCOMPARE(Tree::readFile(dir + "/remote/ok.txt"), QByteArray("ok"));

    setMode(dir + "/remote/ro", 0755);
    RETURN_IF_FAILED();
    const RunResult next = runAs(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies().size(), 3);
}

void TestFaults::unwritableTargetRootFailsEveryFileAndIsFilledOnceWritable()
{
    const QString dir = makeCase("unwritable-root");
    QVERIFY(!dir.isEmpty());
    Tree::writeFile(dir + "/local/one.txt", "one", minutesAgo(10));
    Tree::writeFile(dir + "/local/two.txt", "two", minutesAgo(10));
    Tree::writeFile(dir + "/local/sub/three.txt", "three", minutesAgo(10));
    giveToUnprivileged(dir);
    RETURN_IF_FAILED();
    setMode(dir + "/remote", 0555);
    RETURN_IF_FAILED();

    const RunResult faulty = runAs(dir, since);
    verifyIncomplete(faulty, since, {"/one.txt", "/two.txt", dir + "/remote/sub"});
    RETURN_IF_FAILED();
    QCOMPARE(Tree::names(dir + "/remote"), QStringList());

    setMode(dir + "/remote", 0755);
    RETURN_IF_FAILED();
    verifyCompleteAndInStep(runAs(dir, keptStamp(faulty)), dir);
}

void TestFaults::fileOrDirectoryInTheWayIsLeftAloneAndReported()
{
    const QString dir = makeCase("in-the-way");
    QVERIFY(!dir.isEmpty());
    Tree::writeFile(dir + "/local/d/f1.txt", "f1", minutesAgo(10));
    Tree::writeFile(dir + "/local/d/e/f2.txt", "f2", minutesAgo(10));
    Tree::writeFile(dir + "/local/plain.txt", "plain", minutesAgo(10));
    Tree::writeFile(dir + "/local/ok.txt", "ok", minutesAgo(10));
    // The user's own things, where the copy wants the other kind.
    Tree::writeFile(dir + "/remote/d", "a file named d", minutesAgo(120));
    Tree::writeFile(dir + "/remote/plain.txt/inside.txt", "inside", minutesAgo(120));
    const QStringList before = Tree::snapshot(dir + "/remote");

    const RunResult faulty = run(dir, since);
    verifyIncomplete(faulty, since, {dir + "/remote/d", "/plain.txt"});
    RETURN_IF_FAILED();
    QStringList expected
            = before + Tree::snapshot(dir + "/local").filter(QRegularExpression("^ok.txt "));
    expected.sort();
    QCOMPARE(Tree::snapshot(dir + "/remote"), expected);

    // The user clears both out of the way.
    QVERIFY(QFile::remove(dir + "/remote/d"));
    QVERIFY(QDir(dir + "/remote/plain.txt").removeRecursively());
    const RunResult next = run(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies().size(), 3);
}

void TestFaults::writeFailingHalfWayLeavesNoPartialFile()
{
    const QString dir = makeCase("file-size-limit");
    QVERIFY(!dir.isEmpty());
    const int limit = 1 << 20;
    const QByteArray oldBig("the target's short old version of big2");
    QStringList big {"big1.bin", "big2.bin", "big3.bin", "sub/big4.bin"};
    QStringList small {"small1.txt", "small2.txt", "small3.bin", "sub/small4.txt"};
    for (int i = 0; i < big.size(); ++i)
        Tree::writeFile(dir + "/local/" + big[i], randomBytes(4 << 20, 10 + i), minutesAgo(10));
    const int smallSizes[] = {1, 4096, limit - 1, 70000};
    for (int i = 0; i < small.size(); ++i) {
        Tree::writeFile(dir + "/local/" + small[i], randomBytes(smallSizes[i], 20 + i),
                        minutesAgo(10));
    }
    Tree::writeFile(dir + "/remote/big2.bin", oldBig, minutesAgo(120));
    const qint64 oldTime = Tree::modifiedMs(dir + "/remote/big2.bin");

    const RunResult faulty = run(dir, since, {"--fsize-limit", QString::number(limit)});
    QStringList bigShown;
    for (const QString &name : qAsConst(big))
        bigShown << QLatin1Char('/') + name;
    verifyIncomplete(faulty, since, bigShown);
    RETURN_IF_FAILED();

    // The small files whole, the old big2 as it was, nothing else: no
    // partial file under a real name and no temporary left over.
    QStringList expected = small + QStringList {"big2.bin", "sub"};
    expected.sort();
    QCOMPARE(Tree::names(dir + "/remote"), expected);
    for (const QString &name : qAsConst(small)) {
        QVERIFY2(Tree::readFile(dir + "/remote/" + name) == Tree::readFile(dir + "/local/" + name),
                 qPrintable(name));
        QCOMPARE(Tree::modifiedMs(dir + "/remote/" + name),
                 Tree::modifiedMs(dir + "/local/" + name));
    }
    QCOMPARE(Tree::readFile(dir + "/remote/big2.bin"), oldBig);
    QCOMPARE(Tree::modifiedMs(dir + "/remote/big2.bin"), oldTime);

    const RunResult next = run(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies().size(), big.size());
}

void TestFaults::replaceRefusedAfterTheCopyLeavesNoTemporary()
{
    // A shared directory with the sticky bit, holding another user's file:
    // the new content is written and named, and only the rename over the
    // old file is refused. The named temporary must not stay behind.
    const QString dir = makeCase("sticky");
    QVERIFY(!dir.isEmpty());
    const QByteArray theirs("another user's file");
    Tree::writeFile(dir + "/local/shared.txt", randomBytes(300 << 10, 50), minutesAgo(10));
    Tree::writeFile(dir + "/local/mine.txt", "mine", minutesAgo(10));
    Tree::writeFile(dir + "/remote/shared.txt", theirs, minutesAgo(120));
    const qint64 oldTime = Tree::modifiedMs(dir + "/remote/shared.txt");
    giveToUnprivileged(dir);
    RETURN_IF_FAILED();
    QVERIFY(::lchown(QFile::encodeName(dir + "/remote").constData(), 0, 0) == 0);
    QVERIFY(::lchown(QFile::encodeName(dir + "/remote/shared.txt").constData(), 0, 0) == 0);
    setMode(dir + "/remote", 01777);
    RETURN_IF_FAILED();

    const RunResult faulty = runAs(dir, since);
    verifyIncomplete(faulty, since, {"/shared.txt"});
    RETURN_IF_FAILED();
    QCOMPARE(Tree::names(dir + "/remote"), QStringList({"mine.txt", "shared.txt"}));
    QCOMPARE(Tree::readFile(dir + "/remote/shared.txt"), theirs);
    QCOMPARE(Tree::modifiedMs(dir + "/remote/shared.txt"), oldTime);

    // The owner hands the file over.
    QVERIFY(::lchown(QFile::encodeName(dir + "/remote/shared.txt").constData(), unprivilegedUid,
                     unprivilegedGid)
            == 0);
    const RunResult next = runAs(dir, keptStamp(faulty));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies(), QStringList {copyPrefix + "/shared.txt"});
}

void TestFaults::sourceDirectoryVanishingDuringTheRunIsReportedAndCopiedWhenBack()
{
    const QString dir = makeCase("vanishing");
    QVERIFY(!dir.isEmpty());
    const int directories = 80;
    const int filesEach = 12;
    for (int d = 0; d < directories; ++d) {
        const QString sub = QStringLiteral("%1/local/dir%2/").arg(dir).arg(d, 3, 10, QChar('0'));
        for (int f = 0; f < filesEach; ++f)
            Tree::writeFile(sub + QStringLiteral("file%1.bin").arg(f),
                            randomBytes(4096, d * 100 + f));
    }
    // The walk goes through a directory in the order the file system lists
    // it; the last directory so listed is the one walked last.
    QString victim;
    {
        DIR *listing = ::opendir(QFile::encodeName(dir + "/local").constData());
        QVERIFY(listing);
        while (const dirent *entry = ::readdir(listing)) {
            if (entry->d_name[0] != '.')
                victim = QFile::decodeName(entry->d_name);
        }
        ::closedir(listing);
    }
    QVERIFY(!victim.isEmpty());
    const QString victimPath = dir + "/local/" + victim;
    const QString asidePath = dir + "/aside";

    int vanishedBeforeWalk = 0;
    int vanishedAfterWalk = 0;
    for (int attempt = 0; attempt < 3 && vanishedBeforeWalk == 0; ++attempt) {
        const QString target = dir + "/remote";
        QVERIFY(QDir(target).removeRecursively());
        QVERIFY(QDir().mkpath(target));

        QProcess runner;
        runner.start(SYNC_RUNNER,
                     {"upload", dir + "/local", target, "--since", QString::number(since)});
        QVERIFY(runner.waitForStarted(30000));
        QByteArray output;
        QElapsedTimer waited;
        waited.start();
        // At the first file copied, take the last directory away.
        while (!output.contains(copyPrefix.toUtf8()) && waited.elapsed() < 60000
               && runner.state() == QProcess::Running) {
            runner.waitForReadyRead(1000);
            output += runner.readAllStandardOutput();
        }
        QVERIFY2(::rename(QFile::encodeName(victimPath).constData(),
                          QFile::encodeName(asidePath).constData())
                         == 0,
                 qPrintable(victimPath));
        QVERIFY(runner.waitForFinished(120000));
        output += runner.readAllStandardOutput();
        RunResult result;
        result.exitCode = runner.exitStatus() == QProcess::NormalExit ? runner.exitCode() : -1;
        result.lines = QString::fromUtf8(output).split(QLatin1Char('\n'));

        const bool walked = !result.copies().filter("/" + victim + "/").isEmpty();
        if (walked) {
            // Too late: the directory had been copied already.
            ++vanishedAfterWalk;
            QVERIFY(result.exitCode == 0 || result.exitCode == 1);
        } else {
            ++vanishedBeforeWalk;
            verifyIncomplete(result, since, {"/" + victim});
            RETURN_IF_FAILED();
            QVERIFY(result.lines.filter(QStringLiteral("目录在同步时消失")).size() == 1);
            QVERIFY(!QFileInfo::exists(target + "/" + victim));
            QCOMPARE(result.copies().size(), (directories - 1) * filesEach);
        }
        if (QTest::currentTestFailed())
            return;

        // Back where it was: the next run, from the stamp kept, copies it.
        QVERIFY(::rename(QFile::encodeName(asidePath).constData(),
                         QFile::encodeName(victimPath).constData())
                == 0);
        const qint64 from = result.exitCode == 1 ? keptStamp(result) : since;
        const RunResult next = run(dir, from);
        verifyCompleteAndInStep(next, dir);
        RETURN_IF_FAILED();
        if (!walked)
            QCOMPARE(next.copies().size(), filesEach);
    }
    std::printf("vanishing directory %s: before it was walked %d, after %d\n", qPrintable(victim),
                vanishedBeforeWalk, vanishedAfterWalk);
    QVERIFY2(vanishedBeforeWalk > 0,
             "the directory never went away before the walk reached it; the case tested nothing");
}

void TestFaults::sourceDirectoryAwayDuringACompletedRunIsCopiedWhenBack()
{
    // The directory went away before the run listed its parent, so the run
    // had nothing to report and completed. Once it is back, its files are
    // new to the tree and the next run must copy them, however old they are.
    const QString dir = makeCase("away-during-completed-run");
    QVERIFY(!dir.isEmpty());
    Tree::writeFile(dir + "/local/keep.txt", "keep");
    Tree::writeFile(dir + "/aside/album/p1.jpg", randomBytes(30000, 40));
    Tree::writeFile(dir + "/aside/album/inner/p2.jpg", randomBytes(50000, 41));
    // Older than the stamp of the run below, margin included.
    const qint64 written = QDateTime::currentMSecsSinceEpoch();
    QTRY_VERIFY_WITH_TIMEOUT(
            QDateTime::currentMSecsSinceEpoch() > written + SyncJob::stampMarginMs + 100, 10000);

    const RunResult completed = run(dir, since);
    verifyCompleteAndInStep(completed, dir);
    RETURN_IF_FAILED();
    const QRegularExpression success("^上传成功 (-?\\d+)$");
    qint64 stamp = -1;
    for (const QString &line : completed.lines) {
        if (success.match(line).hasMatch())
            stamp = success.match(line).captured(1).toLongLong();
    }
    QVERIFY(stamp > written);

    QVERIFY(::rename(QFile::encodeName(dir + "/aside/album").constData(),
                     QFile::encodeName(dir + "/local/album").constData())
            == 0);
    const RunResult next = run(dir, stamp);
    QVERIFY2(QFileInfo::exists(dir + "/remote/album/p1.jpg")
                     && QFileInfo::exists(dir + "/remote/album/inner/p2.jpg"),
             qPrintable(QStringLiteral("the files of a directory moved into the source tree were "
                                       "not copied; the run said:\n")
                        + next.lines.join('\n')));
    verifyCompleteAndInStep(next, dir);
    RETURN_IF_FAILED();
    QCOMPARE(next.copies().size(), 2);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
