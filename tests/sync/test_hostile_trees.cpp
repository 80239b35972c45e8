// Symbolic links planted in the target tree, pointing out of it: a run must
// never create, replace or change the permissions of anything outside the
// target, must report such an entry and leave the link as it is. In both
// directions, and while a second thread keeps swapping a target directory
// (and a file) for a link to the outside.
//
// The runs are twinfold-sync-runner processes, as root: the worst case, for
// which no permission bit outside would stop a write.

#include "support/checks.h"
#include "support/runner_run.h"
#include "support/tree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t size = ::readlink(encoded(path).constData(), buffer, sizeof buffer);
    return size < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(size)));
}

// Every entry below root (root itself included, the subtree `skip` left out)
// as it is on disk, without following links: type and permission bits,
// owner, link count, size, modification and status-change times to the
// nanosecond, and the content's hash or the link's target. Any write, chmod,
// chown, new link or new entry changes some line.
QStringList inodeSnapshot(const QString &root, const QString &skip = QString())
{
    QStringList paths {root};
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    const QDir base(root);
    QStringList lines;
    for (const QString &path : qAsConst(paths)) {
        const QString relative = base.relativeFilePath(path);
        if (!skip.isEmpty() && (relative == skip || relative.startsWith(skip + '/')))
            continue;
        struct stat st;
        if (::lstat(encoded(path).constData(), &st) != 0) {
            lines << relative + QStringLiteral(" (vanished)");
            continue;
        }
        QString what;
        if (S_ISREG(st.st_mode)) {
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Md5);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            what = QString::fromLatin1(hash.result().toHex());
        } else if (S_ISLNK(st.st_mode)) {
            what = QStringLiteral("-> ") + linkTarget(path);
        }
        lines << QStringLiteral(
                         "%1 mode %2 owner %3:%4 links %5 size %6 mtime %7.%8 ctime %9.%10 %11")
                         .arg(relative)
                         .arg(st.st_mode, 0, 8)
                         .arg(st.st_uid)
                         .arg(st.st_gid)
                         .arg(st.st_nlink)
                         .arg(st.st_size)
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec, 9, 10, QChar('0'))
                         .arg(st.st_ctim.tv_sec)
                         .arg(st.st_ctim.tv_nsec, 9, 10, QChar('0'))
                         .arg(what);
    }
    lines.sort();
    return lines;
}

} // namespace

class TestHostileTrees : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void directoryLinkInTargetIsReportedAndLeftAlone_data() { directions(); }
    void directoryLinkInTargetIsReportedAndLeftAlone();
    void fileLinkInTargetIsReportedAndLeftAlone_data() { directions(); }
    void fileLinkInTargetIsReportedAndLeftAlone();
    void linkAsIntermediateComponentIsReportedAndLeftAlone_data() { directions(); }
    void linkAsIntermediateComponentIsReportedAndLeftAlone();
    void targetSwappedForLinkDuringRunsNeverReachesOutside_data() { directions(); }
    void targetSwappedForLinkDuringRunsNeverReachesOutside();

private:
    static void directions();
    // A fresh case: its source and target, for the direction of the current row.
    void makeCase(const QString &name);
    RunnerRun run(qint64 since = 0);
    // The run did not complete: each path has its TargetIsLink failure, and
    // nothing else failed. A link in place of a directory is named by its
    // path in the target, one in place of a file by the source file's
    // (relative to the source root, as the runner prints it).
    void verifyFailures(const RunnerRun &result, const QStringList &paths);
    void verifyOutsideUnchanged();

    std::unique_ptr<QTemporaryDir> base; // made by initTestCase
    QString outside;
    QStringList outsideBefore;
    QString local;
    QString remote;
    QString source;
    QString target;
    bool download = false;
};

void TestHostileTrees::directions()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("upload: links in the remote tree") << false;
    QTest::newRow("download: links in the local tree") << true;
}

void TestHostileTrees::initTestCase()
{
    base = std::make_unique<QTemporaryDir>();
    QVERIFY(base->isValid());
    outside = base->path() + "/outside";
    const QDateTime old = QDateTime::fromMSecsSinceEpoch(
            (QDateTime::currentMSecsSinceEpoch() / 1000 - 30 * 24 * 3600) * 1000);
    Tree::writeFile(outside + "/secret.txt", "the outside's secret", old);
    Tree::writeFile(outside + "/dir/keep.txt", "keep me", old);
    Tree::writeFile(outside + "/dir/sub/x.txt", "an outside x", old);
    Tree::writeFile(outside + "/dir/nested/n.txt", "nested", old);
    QVERIFY(::chmod(encoded(outside + "/secret.txt").constData(), 0600) == 0);
    QVERIFY(::chmod(encoded(outside + "/dir/keep.txt").constData(), 0444) == 0);
    QVERIFY(::chmod(encoded(outside + "/dir").constData(), 0750) == 0);
    QVERIFY(QDir().mkpath(base->path() + "/cases"));
}

void TestHostileTrees::makeCase(const QString &name)
{
    QFETCH(bool, download);
    this->download = download;
    const QString dir = base->path() + "/cases/" + name + (download ? "-down" : "-up");
    local = dir + "/local";
    remote = dir + "/remote";
    source = download ? remote : local;
    target = download ? local : remote;
    QVERIFY(QDir().mkpath(local));
    QVERIFY(QDir().mkpath(remote));
    // The cases live in cases/, everything else in the base is outside.
    outsideBefore = inodeSnapshot(base->path(), QStringLiteral("cases"));
}

// Its events, one line each ("Copied a.txt", "Failed(TargetIsLink) sub"),
// paths relative to the source.
RunnerRun TestHostileTrees::run(qint64 since)
{
    return runRunner(SYNC_RUNNER, {download ? "download" : "upload", local, remote, "--since",
                                   QString::number(since)});
}

void TestHostileTrees::verifyFailures(const RunnerRun &result, const QStringList &paths)
{
    QVERIFY2(result.exitCode == 1, qPrintable(result.said()));
    COMPARE_LISTS(Tree::sorted(result.failed()),
                  Tree::sorted(Tree::prefixed(QStringLiteral("Failed(TargetIsLink) "), paths)));
    const QString incomplete = QStringLiteral("Incomplete failures=%1 kept=0").arg(paths.size());
    QVERIFY2(result.lines.contains(incomplete),
             qPrintable(incomplete + QStringLiteral(" not in\n") + result.said()));
}

void TestHostileTrees::verifyOutsideUnchanged()
{
    const QStringList now = inodeSnapshot(base->path(), QStringLiteral("cases"));
    if (now == outsideBefore)
        return;
    QStringList changes;
    for (const QString &line : now) {
        if (!outsideBefore.contains(line))
            changes << QStringLiteral("now:    ") + line;
    }
    for (const QString &line : qAsConst(outsideBefore)) {
        if (!now.contains(line))
            changes << QStringLiteral("before: ") + line;
    }
    QFAIL(qPrintable(QStringLiteral("outside the target changed:\n") + changes.join('\n')));
}

void TestHostileTrees::directoryLinkInTargetIsReportedAndLeftAlone()
{
    makeCase("directory-link");
    RETURN_IF_FAILED();
    Tree::writeFile(source + "/sub/x.txt", "the source's x");
    Tree::writeFile(source + "/sub/keep.txt", "would overwrite the outside's keep.txt");
    Tree::writeFile(source + "/sub/deeper/y.txt", "y");
    Tree::writeFile(source + "/top.txt", "top");
    // One absolute link, one relative.
    QVERIFY(QFile::link(outside + "/dir", target + "/sub"));
    Tree::writeFile(source + "/rel/r.txt", "r");
    QVERIFY(::symlink("../../../outside/dir/nested", encoded(target + "/rel").constData()) == 0);
    QVERIFY(QFileInfo(target + "/rel/n.txt").exists()); // the relative link does lead out

    const RunnerRun result = run();
    verifyOutsideUnchanged();
    RETURN_IF_FAILED();
    verifyFailures(result, {target + "/sub", target + "/rel"});
    RETURN_IF_FAILED();
    QCOMPARE(linkTarget(target + "/sub"), outside + "/dir");
    QCOMPARE(linkTarget(target + "/rel"), QStringLiteral("../../../outside/dir/nested"));
    QCOMPARE(Tree::readFile(target + "/top.txt"), QByteArray("top"));

    // Still there next time, and still reported.
    const RunnerRun again = run();
    verifyOutsideUnchanged();
    RETURN_IF_FAILED();
    verifyFailures(again, {target + "/sub", target + "/rel"});
}

void TestHostileTrees::fileLinkInTargetIsReportedAndLeftAlone()
{
    makeCase("file-link");
    RETURN_IF_FAILED();
    const QDateTime now = QDateTime::currentDateTime();
    Tree::writeFile(source + "/a.txt", "newer than the secret", now);
    Tree::writeFile(source + "/fresh.txt", "would create a file outside", now);
    Tree::writeFile(source + "/rel.txt", "through a relative link", now);
    Tree::writeFile(source + "/plain.txt", "plain", now);
    QVERIFY(QFile::link(outside + "/secret.txt", target + "/a.txt"));
    // Dangling: following it would create the file outside.
    QVERIFY(QFile::link(outside + "/dir/fresh.txt", target + "/fresh.txt"));
    QVERIFY(::symlink("../../../outside/secret.txt", encoded(target + "/rel.txt").constData())
            == 0);
    QVERIFY(QFileInfo(target + "/rel.txt").isFile());

    const RunnerRun result = run();
    verifyOutsideUnchanged();
    RETURN_IF_FAILED();
    verifyFailures(result, {"a.txt", "fresh.txt", "rel.txt"});
    RETURN_IF_FAILED();
    QCOMPARE(linkTarget(target + "/a.txt"), outside + "/secret.txt");
    QCOMPARE(linkTarget(target + "/fresh.txt"), outside + "/dir/fresh.txt");
    QCOMPARE(linkTarget(target + "/rel.txt"), QStringLiteral("../../../outside/secret.txt"));
    QCOMPARE(Tree::readFile(target + "/plain.txt"), QByteArray("plain"));
}

void TestHostileTrees::linkAsIntermediateComponentIsReportedAndLeftAlone()
{
    makeCase("intermediate-link");
    RETURN_IF_FAILED();
    Tree::writeFile(source + "/p/q/r/s.txt", "s");
    Tree::writeFile(source + "/p/q/keep.txt", "would overwrite the outside's keep.txt");
    Tree::writeFile(source + "/p/q/sub/x.txt", "would overwrite the outside's sub/x.txt");
    Tree::writeFile(source + "/p/t.txt", "t");
    QVERIFY(QDir().mkpath(target + "/p"));
    QVERIFY(QFile::link(outside + "/dir", target + "/p/q"));

    const RunnerRun result = run();
    verifyOutsideUnchanged();
    RETURN_IF_FAILED();
    verifyFailures(result, {target + "/p/q"});
    RETURN_IF_FAILED();
    QCOMPARE(linkTarget(target + "/p/q"), outside + "/dir");
    QCOMPARE(Tree::readFile(target + "/p/t.txt"), QByteArray("t"));
    QCOMPARE(Tree::names(target), QStringList({"p", "p/q", "p/t.txt"}));
}

void TestHostileTrees::targetSwappedForLinkDuringRunsNeverReachesOutside()
{
    makeCase("swapped");
    RETURN_IF_FAILED();
    // Several directories and files, each with a link to the outside beside
    // it in the target; the swapper exchanges each pair, atomically, as fast
    // as it can, so that every run meets names that are now a directory (or
    // file) and now a link.
    const int pairs = 8;
    const int filesEach = 8;
    QStringList sourceFiles;
    QVector<QByteArray> swapped;
    for (int d = 0; d < pairs; ++d) {
        const QString dir = QStringLiteral("/d%1").arg(d);
        for (int f = 0; f < filesEach; ++f)
            sourceFiles << dir + QStringLiteral("/f%1.txt").arg(f);
        sourceFiles << dir + "/keep.txt" << dir + "/sub/x.txt";
        QVERIFY(QDir().mkpath(target + dir));
        QVERIFY(QFile::link(outside + "/dir", target + dir + ".swap"));
        swapped << encoded(target + dir) << encoded(target + dir + ".swap");

        const QString file = QStringLiteral("/secret%1.txt").arg(d);
        sourceFiles << file;
        Tree::writeFile(target + file, "the target's own", QDateTime::fromSecsSinceEpoch(1));
        QVERIFY(QFile::link(outside + "/secret.txt", target + file + ".swap"));
        swapped << encoded(target + file) << encoded(target + file + ".swap");
    }
    for (const QString &file : qAsConst(sourceFiles))
        Tree::writeFile(source + file, "written through a link, this would change the outside");

    std::atomic<bool> stop {false};
    std::atomic<int> swaps {0};
    std::thread swapper([&] {
        while (!stop.load()) {
            for (int i = 0; i + 1 < swapped.size(); i += 2) {
                if (::renameat2(AT_FDCWD, swapped[i].constData(), AT_FDCWD,
                                swapped[i + 1].constData(), RENAME_EXCHANGE)
                    == 0)
                    swaps.fetch_add(1);
            }
        }
    });

    // Runs one after another for a while, each with every source file newer
    // than the target, so that each one writes everything it can.
    QElapsedTimer clock;
    clock.start();
    int runs = 0, linkReports = 0, copies = 0, badExits = 0;
    QString lastOutput;
    qint64 stamp = QDateTime::currentMSecsSinceEpoch() / 1000 * 1000;
    while (clock.elapsed() < 1000 || runs < 5) {
        stamp += 1000;
        const QDateTime mtime = QDateTime::fromMSecsSinceEpoch(stamp);
        for (const QString &file : qAsConst(sourceFiles))
            Tree::setModified(source + file, mtime);
        const RunnerRun result = run();
        ++runs;
        linkReports += result.failed().filter(QStringLiteral("(TargetIsLink)")).size();
        copies += result.copied().size();
        if (result.exitCode != 0 && result.exitCode != 1) {
            ++badExits;
            lastOutput = result.said();
        }
    }
    stop.store(true);
    swapper.join();
    std::printf("%d runs while the target names were swapped %d times: %d files copied, %d "
                "links met and reported\n",
                runs, swaps.load(), copies, linkReports);

    QVERIFY2(badExits == 0, qPrintable(lastOutput));
    QVERIFY(swaps.load() > runs);
    QVERIFY(copies > 0);
    QVERIFY(linkReports > 0);
    verifyOutsideUnchanged();
    // Directories are never replaced: each link to the outside directory is
    // still there, under one name of its pair or the other.
    for (int d = 0; d < pairs; ++d) {
        const QString dir = target + QStringLiteral("/d%1").arg(d);
        const int links = (linkTarget(dir) == outside + "/dir" ? 1 : 0)
                          + (linkTarget(dir + ".swap") == outside + "/dir" ? 1 : 0);
        QVERIFY2(links == 1, qPrintable(dir));
    }
}

QTEST_GUILESS_MAIN(TestHostileTrees)
#include "test_hostile_trees.moc"
