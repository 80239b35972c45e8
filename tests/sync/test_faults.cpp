// Faults during an upload: a source that cannot be read, a target that cannot
// be written, a file where a directory is needed, a write that fails half-way
// and a source directory that goes away while the run walks. Each run is a
// separate process (twinfold-sync-runner) on real trees; the permission cases
// run it as an unprivileged user, since permission bits do not stop root.
//
// Every fault must leave the target as it was or holding complete new files,
// be reported with a failure event, keep the run's time stamp, and the next
// run after the fault is gone must bring the trees in step.

#include "support/checks.h"
#include "support/runner_run.h"
#include "support/tree.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

enum class Fault {
    UnreadableSourceFile,
    UnreadableSourceDirectory,
    UnwritableTargetDirectory,
    UnwritableTargetRoot,
    InTheWay, // a file where the copy needs a directory, and the other way round
    FileSizeLimit, // writes past 1 MiB fail half-way (setrlimit)
    StickyShared, // the rename over another user's file in a sticky directory is refused
};
Q_DECLARE_METATYPE(Fault)

namespace {

constexpr int sizeLimit = 1 << 20;

QByteArray randomBytes(int size, quint32 seed)
{
    QVector<quint32> words(size / 4 + 1);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QDateTime minutesAgo(int minutes)
{
    return QDateTime::fromMSecsSinceEpoch(
            (QDateTime::currentMSecsSinceEpoch() / 1000 - minutes * 60) * 1000);
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool setOwner(const QString &path, uid_t uid, gid_t gid)
{
    return ::lchown(QFile::encodeName(path).constData(), uid, gid) == 0;
}

bool moveTo(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faultIsReportedAndMendedOnceGone_data();
    void faultIsReportedAndMendedOnceGone();
    void sourceDirectoryVanishingDuringTheRunIsReportedAndCopiedWhenBack();
    void sourceDirectoryAwayDuringACompletedRunIsCopiedWhenBack();

private:
    // A fresh case directory with local/ and remote/ inside; empty on failure.
    QString makeCase(const QString &name) const;
    // Hands the case to the unprivileged user the runner becomes.
    bool giveToNobody(const QString &caseDir) const;
    // Puts the fault in place (on) or takes it away; false when that failed.
    bool arrange(Fault fault, const QString &dir, bool on) const;
    RunnerRun upload(const QString &dir, qint64 from, const QStringList &extra = {},
                     const RunnerOptions &options = {}) const
    {
        return runRunner(SYNC_RUNNER,
                         QStringList {"upload", dir + "/local", dir + "/remote", "--since",
                                      QString::number(from), "--record", dir + "/record.sqlite"}
                                 + extra,
                         options);
    }

    std::unique_ptr<QTemporaryDir> base; // made by initTestCase
    const QString nobody = QStringLiteral("nobody");
    uid_t nobodyUid = 0;
    gid_t nobodyGid = 0;
    qint64 since = 0;
};

void TestFaults::initTestCase()
{
    base = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/twinfold-faults-XXXXXX"));
    QVERIFY(base->isValid());
    // The unprivileged runner has to get through the base to the cases.
    QVERIFY(setMode(base->path(), 0711));
    const passwd *user = ::getpwnam(nobody.toLocal8Bit().constData());
    QVERIFY2(user, "the permission cases need the user 'nobody'");
    nobodyUid = user->pw_uid;
    nobodyGid = user->pw_gid;
    QVERIFY2(nobodyUid != 0, "'nobody' is root here; the permission cases would test nothing");
    QVERIFY2(::geteuid() == 0,
             "the permission cases run the copy as 'nobody', which takes root to arrange");
    // Every source file here is newer than this: a run with it looks at all of them.
    since = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;

    // The runner really becomes that user, or refuses. 1: the run found no
    // source; 2: it could not become that user and refused to run.
    const RunnerRun probe
            = runRunner(SYNC_RUNNER, {"copy", base->path() + "/none", base->path() + "/none-target",
                                      "--user", nobody});
    QVERIFY2(probe.exitCode == 1, qPrintable(probe.said()));
}

QString TestFaults::makeCase(const QString &name) const
{
    const QString dir = base->path() + QLatin1Char('/') + name;
    return QDir().mkpath(dir + "/local") && QDir().mkpath(dir + "/remote") ? dir : QString();
}

bool TestFaults::giveToNobody(const QString &caseDir) const
{
    return QProcess::execute("chown", {"-R", nobody + ":", caseDir}) == 0;
}

bool TestFaults::arrange(Fault fault, const QString &dir, bool on) const
{
    switch (fault) {
    case Fault::UnreadableSourceFile: return setMode(dir + "/local/secret.bin", on ? 0 : 0644);
    case Fault::UnreadableSourceDirectory: return setMode(dir + "/local/locked", on ? 0 : 0755);
    case Fault::UnwritableTargetDirectory: return setMode(dir + "/remote/ro", on ? 0555 : 0755);
    case Fault::UnwritableTargetRoot: return setMode(dir + "/remote", on ? 0555 : 0755);
    case Fault::InTheWay: // the user's own things; then the user clears them out of the way
        return on
               || (QFile::remove(dir + "/remote/d")
                   && QDir(dir + "/remote/plain.txt").removeRecursively());
    case Fault::FileSizeLimit: // the first run's --fsize-limit
        return true;
    case Fault::StickyShared: // the new content is written and named, only the rename is
                              // refused; then the owner hands the file over
        if (!on)
            return setOwner(dir + "/remote/shared.txt", nobodyUid, nobodyGid);
        return setOwner(dir + "/remote", 0, 0) && setOwner(dir + "/remote/shared.txt", 0, 0)
               && setMode(dir + "/remote", 01777);
    }
    return false;
}

void TestFaults::faultIsReportedAndMendedOnceGone_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<QStringList>("local"); // "path size"
    QTest::addColumn<QStringList>("remote"); // older files already there
    QTest::addColumn<QStringList>("failed"); // <remote> stands for the target root
    QTest::addColumn<QStringList>("left"); // the target's names after the faulty run
    QTest::addColumn<QStringList>("copiedNext"); // by the run after the fault is gone

    QTest::newRow("unreadableSourceFile")
            << Fault::UnreadableSourceFile << true
            << QStringList {"a.txt 5", "secret.bin 65536", "sub/b.txt 4"}
            << QStringList {"secret.bin"}
            << QStringList {"Failed(FileSystem:ReadSource) secret.bin"}
            << QStringList {"a.txt", "secret.bin", "sub", "sub/b.txt"}
            << QStringList {"Copied secret.bin"};
    QTest::newRow("unreadableSourceDirectory")
            << Fault::UnreadableSourceDirectory << true
            << QStringList {"locked/x.txt 1", "locked/deeper/y.txt 1", "open/z.txt 1", "top.txt 3"}
            << QStringList() << QStringList {"Failed(FileSystem:System) locked"}
            << QStringList {"open", "open/z.txt", "top.txt"}
            << QStringList {"Copied locked/deeper/y.txt", "Copied locked/x.txt"};
    QTest::newRow("unwritableTargetDirectory")
            << Fault::UnwritableTargetDirectory << true
            << QStringList {"ro/old.txt 204800", "ro/new.txt 3", "ro/inner/deep.txt 4", "ok.txt 2"}
            << QStringList {"ro/old.txt"}
            << QStringList {"Failed(FileSystem:System) <remote>/ro/inner",
                            "Failed(FileSystem:WriteTargetDirectory) ro/new.txt",
                            "Failed(FileSystem:WriteTargetDirectory) ro/old.txt"}
            << QStringList {"ok.txt", "ro", "ro/old.txt"}
            << QStringList {"Copied ro/inner/deep.txt", "Copied ro/new.txt", "Copied ro/old.txt"};
    QTest::newRow("unwritableTargetRoot")
            << Fault::UnwritableTargetRoot << true
            << QStringList {"one.txt 3", "two.txt 3", "sub/three.txt 5"} << QStringList()
            << QStringList {"Failed(FileSystem:System) <remote>/sub",
                            "Failed(FileSystem:WriteTargetDirectory) one.txt",
                            "Failed(FileSystem:WriteTargetDirectory) two.txt"}
            << QStringList()
            << QStringList {"Copied one.txt", "Copied sub/three.txt", "Copied two.txt"};
    QTest::newRow("fileOrDirectoryInTheWay")
            << Fault::InTheWay << false
            << QStringList {"d/f1.txt 2", "d/e/f2.txt 2", "plain.txt 5", "ok.txt 2"}
            << QStringList {"d", "plain.txt/inside.txt"}
            << QStringList {"Failed(TargetIsDirectory) plain.txt",
                            "Failed(TargetNotDirectory) <remote>/d"}
            << QStringList {"d", "ok.txt", "plain.txt", "plain.txt/inside.txt"}
            << QStringList {"Copied d/e/f2.txt", "Copied d/f1.txt", "Copied plain.txt"};
    // No partial file under a real name and no temporary left over.
    const QString big = QString::number(4 << 20);
    QTest::newRow("writeFailingHalfWay")
            << Fault::FileSizeLimit << false
            << QStringList {"big1.bin " + big,
                            "big2.bin " + big,
                            "big3.bin " + big,
                            "sub/big4.bin " + big,
                            "small1.txt 1",
                            "small2.txt 4096",
                            "small3.bin " + QString::number(sizeLimit - 1),
                            "sub/small4.txt 70000"}
            << QStringList {"big2.bin"}
            << QStringList {"Failed(FileSystem:WriteTarget) big1.bin",
                            "Failed(FileSystem:WriteTarget) big2.bin",
                            "Failed(FileSystem:WriteTarget) big3.bin",
                            "Failed(FileSystem:WriteTarget) sub/big4.bin"}
            << QStringList {"big2.bin",   "small1.txt", "small2.txt",
                            "small3.bin", "sub",        "sub/small4.txt"}
            << QStringList {"Copied big1.bin", "Copied big2.bin", "Copied big3.bin",
                            "Copied sub/big4.bin"};
    // The named temporary must not stay behind.
    QTest::newRow("replaceRefusedAfterTheCopy")
            << Fault::StickyShared << true << QStringList {"shared.txt 307200", "mine.txt 4"}
            << QStringList {"shared.txt"}
            << QStringList {"Failed(FileSystem:WriteTarget) shared.txt"}
            << QStringList {"mine.txt", "shared.txt"} << QStringList {"Copied shared.txt"};
}

void TestFaults::faultIsReportedAndMendedOnceGone()
{
    QFETCH(Fault, fault);
    QFETCH(bool, asNobody);
    QFETCH(QStringList, local);
    QFETCH(QStringList, remote);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, left);
    QFETCH(QStringList, copiedNext);
    const QString dir = makeCase(QTest::currentDataTag());
    QVERIFY(!dir.isEmpty());
    // The target's files were put there by an earlier run (in step, then
    // changed on the local side only), or are the user's own in the way.
    const bool inStepBefore = fault != Fault::InTheWay;
    for (const QString &name : qAsConst(remote)) {
        for (const char *side : {"/local/", "/remote/"}) {
            if (inStepBefore || side[1] == 'r')
                Tree::writeFile(dir + side + name, "the target's version of " + name.toUtf8(),
                                minutesAgo(120));
        }
    }
    RETURN_IF_FAILED();
    const QStringList user = asNobody ? QStringList {"--user", nobody} : QStringList();
    QVERIFY(!asNobody || giveToNobody(dir));
    if (inStepBefore && !remote.isEmpty())
        QVERIFY(upload(dir, 0, user).completed());
    for (const QString &entry : qAsConst(local)) {
        const QString name = entry.section(QLatin1Char(' '), 0, 0);
        Tree::writeFile(dir + "/local/" + name,
                        randomBytes(entry.section(QLatin1Char(' '), 1).toInt(), qHash(name)),
                        minutesAgo(10));
    }
    RETURN_IF_FAILED();
    QVERIFY(!asNobody || giveToNobody(dir)); // the local files written since
    const QStringList targetBefore = Tree::snapshot(dir + "/remote");
    QVERIFY(arrange(fault, dir, true));

    QStringList limit;
    if (fault == Fault::FileSizeLimit)
        limit << "--fsize-limit" << QString::number(sizeLimit);
    const RunnerRun faulty = upload(dir, since, user + limit);
    QVERIFY2(faulty.exitCode == 1, qPrintable(faulty.said()));
    COMPARE_LISTS(Tree::sorted(faulty.failed()),
                  Tree::sorted(failed.replaceInStrings("<remote>", dir + "/remote")));
    COMPARE_LISTS(faulty.ends(), QStringList {QStringLiteral("Incomplete failures=%1 kept=%2")
                                                      .arg(failed.size())
                                                      .arg(since)});
    // The target holds what it held and whole copies, times included, and
    // nothing else; a source directory that failed may have its skeleton there.
    QStringList names = Tree::names(dir + "/remote");
    for (const QString &line : faulty.failed()) {
        const QString path = line.section(QLatin1Char(' '), 1);
        if (QFileInfo(dir + "/local/" + path).isDir())
            names.removeOne(path);
    }
    COMPARE_LISTS(names, left);
    const QStringList localNow = Tree::snapshot(dir + "/local");
    const QStringList targetNow = Tree::snapshot(dir + "/remote");
    for (const QString &line : targetNow)
        QVERIFY2(targetBefore.contains(line) || localNow.contains(line), qPrintable(line));
    for (const QString &line : targetBefore)
        QVERIFY2(targetNow.contains(line), qPrintable(line));

    QVERIFY(arrange(fault, dir, false));
    const RunnerRun next = upload(dir, faulty.stamp(), user);
    QVERIFY2(next.completed(), qPrintable(next.said()));
    COMPARE_LISTS(Tree::snapshot(dir + "/remote"), Tree::snapshot(dir + "/local"));
    COMPARE_LISTS(Tree::sorted(next.copied()), copiedNext);
}

void TestFaults::sourceDirectoryVanishingDuringTheRunIsReportedAndCopiedWhenBack()
{
    const QString dir = makeCase("vanishing");
    QVERIFY(!dir.isEmpty());
    const int directories = 80;
    const int filesEach = 12;
    for (int d = 0; d < directories; ++d) {
        for (int f = 0; f < filesEach; ++f)
            Tree::writeFile(QStringLiteral("%1/local/dir%2/file%3.bin")
                                    .arg(dir)
                                    .arg(d, 3, 10, QChar('0'))
                                    .arg(f),
                            randomBytes(4096, d * 100 + f));
    }
    // The walk goes through a directory in the order the file system lists
    // it (unsorted); the last directory so listed is the one walked last.
    const QString victim = QDir(dir + "/local")
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted)
                                   .last();
    const QString victimPath = dir + "/local/" + victim;
    const QString asidePath = dir + "/aside";

    int vanishedBeforeWalk = 0;
    int vanishedAfterWalk = 0;
    for (int attempt = 0; attempt < 3 && vanishedBeforeWalk == 0; ++attempt) {
        QVERIFY(QDir(dir + "/remote").removeRecursively() && QDir().mkpath(dir + "/remote"));
        // At the first file copied, take the last directory away.
        bool moved = false;
        RunnerOptions options;
        options.onLine = [&](const QString &line) {
            if (!moved && line.startsWith(QStringLiteral("Copied ")))
                moved = moveTo(victimPath, asidePath);
        };
        const RunnerRun run = upload(dir, since, {}, options);
        QVERIFY2(moved || moveTo(victimPath, asidePath), qPrintable(victimPath));

        const bool walked
                = !run.copied().filter(QRegularExpression("^Copied " + victim + "/")).isEmpty();
        if (walked) {
            // Too late: the directory had been copied already.
            ++vanishedAfterWalk;
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(run.said()));
        } else {
            ++vanishedBeforeWalk;
            QVERIFY2(run.exitCode == 1, qPrintable(run.said()));
            COMPARE_LISTS(run.failed(), QStringList {"Failed(DirectoryVanished) " + victim});
            COMPARE_LISTS(run.ends(),
                          QStringList {QStringLiteral("Incomplete failures=1 kept=%1").arg(since)});
            QVERIFY(!QFileInfo::exists(dir + "/remote/" + victim));
            QCOMPARE(run.copied().size(), (directories - 1) * filesEach);
        }

        // Back where it was: the next run, from the stamp kept, copies it.
        QVERIFY(moveTo(asidePath, victimPath));
        const RunnerRun next = upload(dir, run.exitCode == 1 ? run.stamp() : since);
        QVERIFY2(next.completed(), qPrintable(next.said()));
        COMPARE_LISTS(Tree::snapshot(dir + "/remote"), Tree::snapshot(dir + "/local"));
        if (!walked)
            QCOMPARE(next.copied().size(), filesEach);
    }
    std::printf("vanishing directory %s: before it was walked %d, after %d\n", qPrintable(victim),
                vanishedBeforeWalk, vanishedAfterWalk);
    QVERIFY2(vanishedBeforeWalk > 0,
             "the directory never went away before the walk reached it; the case tested nothing");
}

// The directory went away before the run listed its parent, so the run had
// nothing to report and completed. Once it is back, its files are new to the
// tree and the next run must copy them, however old they are.
void TestFaults::sourceDirectoryAwayDuringACompletedRunIsCopiedWhenBack()
{
    const QString dir = makeCase("away-during-completed-run");
    QVERIFY(!dir.isEmpty());
    Tree::writeFile(dir + "/local/keep.txt", "keep");
    Tree::writeFile(dir + "/aside/album/p1.jpg", randomBytes(30000, 40));
    Tree::writeFile(dir + "/aside/album/inner/p2.jpg", randomBytes(50000, 41));
    // Older than the stamp of the run below, its 2 s margin included.
    const qint64 written = QDateTime::currentMSecsSinceEpoch();
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentMSecsSinceEpoch() > written + 2000 + 100, 10000);

    const RunnerRun completed = upload(dir, since);
    QVERIFY2(completed.completed(), qPrintable(completed.said()));
    COMPARE_LISTS(Tree::snapshot(dir + "/remote"), Tree::snapshot(dir + "/local"));
    QVERIFY(completed.stamp() > written);

    QVERIFY(moveTo(dir + "/aside/album", dir + "/local/album"));
    const RunnerRun next = upload(dir, completed.stamp());
    QVERIFY2(next.completed(), qPrintable(next.said()));
    COMPARE_LISTS(Tree::snapshot(dir + "/remote"), Tree::snapshot(dir + "/local"));
    COMPARE_LISTS(Tree::sorted(next.copied()),
                  QStringList({"Copied album/inner/p2.jpg", "Copied album/p1.jpg"}));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "test_faults.moc"
