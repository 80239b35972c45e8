#include "support/remote_mount.h"
#include "support/sync_pair.h"
#include "support/tree.h"
#include "sync/file_system.h"
#include "sync/tree_clock.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

// The same behaviour table with the remote on every file system a user
// syncs to (support/remote_mount.h), the local tree on the ordinary disk:
// first upload, steady state, edits both ways, a newer target, a folder
// moved in with old dates, names the target cannot hold, links, and a retry
// after a fault. What a file system cannot hold is learned and worked
// around, never a failure of every file.
class TestFileSystems : public QObject
{
    Q_OBJECT

private slots:
    void behaviourTable_data();
    void behaviourTable();
};

namespace {

const QString copyLine = QStringLiteral("    复制文件：");
const QString newerLine = QStringLiteral("    目标较新，未覆盖：");
const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

// What the engine learns of the mounted tree, as a run would.
TreeClock probe(const QString &root)
{
    TreeClock clock;
    std::unique_ptr<FileSystem> fileSystem = makeFileSystem();
    Directory dir;
    QString error;
    if (fileSystem->openRoot(root, &dir, &error) == OpenResult::Opened)
        fileSystem->probeClock(dir, true, &clock, &error);
    return clock;
}

bool sameTimeAt(qint64 aMs, qint64 bMs, qint64 resolutionUs)
{
    return floorTo(aMs * 1000, resolutionUs) == floorTo(bMs * 1000, resolutionUs);
}

// Every "复制文件" line names a file the remote holds with the local content.
QString copiesNotOnTarget(const SyncPair &pair, const QString &source, const QString &target)
{
    QStringList missing;
    for (const QString &line : pair.lines) {
        if (!line.startsWith(copyLine))
            continue;
        const QString relative = line.mid(copyLine.size());
        const QString from = relative.startsWith(source) ? relative : source + relative;
        const QString to = target + from.mid(source.size());
        if (Tree::readFile(to) != Tree::readFile(from))
            missing << relative;
    }
    return missing.join(QStringLiteral(", "));
}

// An edit made on the remote side. fusefat leaves a file's time as it was
// when the file is written, so the edit is given the time a FAT driver
// ought to give it; every other driver stamps it itself.
void editOnRemote(const QString &path, const QByteArray &content)
{
    Tree::writeFile(path, content);
    // Both times: fusefat ignores a time set with the other one omitted,
    // as QFile::setFileTime does.
    timespec now[2];
    ::clock_gettime(CLOCK_REALTIME, &now[0]);
    now[1] = now[0];
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), now, 0) == 0);
}

// Past the tick of the coarsest tree (FAT keeps even seconds), so that
// what was just written is no longer in it.
void waitForTick()
{
    QThread::msleep(2100);
}

#define CHECK_RUN(pair, outcome) \
    QVERIFY2((outcome).completed, qPrintable(QStringLiteral(#outcome ":\n") + (pair).said()))

#define CHECK_QUIET(pair, outcome) \
    do { \
        CHECK_RUN(pair, outcome); \
        QVERIFY2((pair).body().isEmpty(), \
                 qPrintable(QStringLiteral(#outcome ":\n") + (pair).said())); \
    } while (false)

} // namespace

void TestFileSystems::behaviourTable_data()
{
    QTest::addColumn<QString>("kind");
    for (const QString &kind : RemoteMount::kinds())
        QTest::newRow(qPrintable(kind)) << kind;
}

void TestFileSystems::behaviourTable()
{
    QFETCH(QString, kind);
    RemoteMount mount(kind);
    QVERIFY2(mount.isMounted(), qPrintable(QStringLiteral("cannot mount ") + kind
                                           + QStringLiteral(": ") + mount.error()));
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const TreeClock remoteClock = probe(mount.path());
    QVERIFY2(remoteClock.measured, "the engine could not probe the mounted tree");
    const qint64 resolution = std::max(remoteClock.resolutionUs, probe(here.path()).resolutionUs);
    qInfo("%s: resolution %lld us, case-insensitive %d, Windows names %d, ASCII names only %d, "
          "renames restamp %d",
          qPrintable(kind), remoteClock.resolutionUs, remoteClock.caseInsensitive,
          remoteClock.windowsNames, remoteClock.asciiNamesOnly, remoteClock.restampsOnRename);

    // First upload: contents, and times to the coarser resolution.
    const QString local = here.filePath("local");
    const QString remote = mount.path() + "/remote";
    const QStringList files {"a.txt", "docs/说明 文档.txt", ".hidden", "sub/deeper/data.bin",
                             "sub/empty.txt"};
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray content = i == 3 ? QByteArray(100 << 10, 'd') : files.at(i).toUtf8();
        Tree::writeFile(local + '/' + files.at(i), i == 4 ? QByteArray() : content,
                        oldTime.addSecs(i * 37));
    }
    // fusefat takes no name outside ASCII: said, and left out.
    QStringList copied = files;
    if (remoteClock.asciiNamesOnly)
        copied.removeOne(QStringLiteral("docs/说明 文档.txt"));
    SyncPair pair(local, remote);
    SyncOutcome outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(outcome.copied, copied.size());
    QCOMPARE(pair.body().filter(QStringLiteral("不接受此文件名")).size(),
             files.size() - copied.size());
    for (const QString &file : copied) {
        QCOMPARE(Tree::readFile(remote + '/' + file), Tree::readFile(local + '/' + file));
        QVERIFY2(sameTimeAt(Tree::modifiedMs(remote + '/' + file),
                            Tree::modifiedMs(local + '/' + file), resolution),
                 qPrintable(QStringLiteral("%1: %2 against %3")
                                    .arg(file)
                                    .arg(Tree::modifiedMs(remote + '/' + file))
                                    .arg(Tree::modifiedMs(local + '/' + file))));
    }

    // Steady state: quiet both ways, also from a cleared stamp.
    outcome = pair.download();
    CHECK_QUIET(pair, outcome);
    QCOMPARE(Tree::names(local + "/sub"), Tree::names(remote + "/sub"));
    outcome = pair.upload();
    CHECK_QUIET(pair, outcome);
    pair.uploadTime = 0;
    outcome = pair.upload();
    CHECK_QUIET(pair, outcome);
    outcome = pair.download();
    CHECK_QUIET(pair, outcome);

    // Edits both ways; the remote edit is a newer target for the upload.
    Tree::writeFile(local + "/a.txt", "edited here, longer");
    editOnRemote(remote + "/sub/empty.txt", "edited on the remote");
    waitForTick();
    outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(Tree::sorted(pair.body()),
             QStringList({copyLine + "/a.txt", newerLine + "/sub/empty.txt"}));
    outcome = pair.download();
    CHECK_RUN(pair, outcome);
    QCOMPARE(pair.body().size(), 1);
    QVERIFY2(pair.body().first().startsWith(copyLine)
                     && pair.body().first().endsWith(QStringLiteral("/sub/empty.txt")),
             qPrintable(pair.said()));
    QCOMPARE(Tree::readFile(local + "/sub/empty.txt"), QByteArray("edited on the remote"));
    QCOMPARE(Tree::readFile(remote + "/a.txt"), QByteArray("edited here, longer"));
    outcome = pair.upload();
    CHECK_QUIET(pair, outcome);
    outcome = pair.download();
    CHECK_QUIET(pair, outcome);

    // A folder moved in with old dates.
    Tree::writeFile(here.filePath("outside/moved/x.txt"), "x", oldTime);
    Tree::writeFile(here.filePath("outside/moved/inner/y.txt"), "y", oldTime);
    QVERIFY(QDir().rename(here.filePath("outside/moved"), local + "/moved"));
    outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(Tree::sorted(pair.body()),
             QStringList({copyLine + "/moved/inner/y.txt", copyLine + "/moved/x.txt"}));

    // Names: refused ones and case twins are said, never counted as copied,
    // and the run completes.
    const QStringList names {"what?.txt",  "a:b.txt",   "README.txt",
                             "Readme.txt", "plain.txt", "说明.txt"};
    for (const QString &name : names)
        Tree::writeFile(local + "/names/" + name, name.toUtf8(), oldTime);
    outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    const QString notOnTarget = copiesNotOnTarget(pair, local, remote);
    QVERIFY2(notOnTarget.isEmpty(), qPrintable(notOnTarget + "\n" + pair.said()));
    const QStringList refused = pair.body().filter(QStringLiteral("不接受此文件名"));
    const QStringList twins = pair.body().filter(QStringLiteral("不区分大小写"));
    QCOMPARE(refused.size(),
             (remoteClock.windowsNames ? 2 : 0) + (remoteClock.asciiNamesOnly ? 1 : 0));
    QCOMPARE(twins.size(), remoteClock.caseInsensitive ? 1 : 0);
    QCOMPARE(pair.body().filter(copyLine).size(), names.size() - refused.size() - twins.size());
    outcome = pair.upload();
    CHECK_QUIET(pair, outcome);

    // A link to a file of the local tree: its content goes up, and the
    // download is in step with it, then keeps it when the copy is edited.
    Tree::writeFile(local + "/links/real.txt", "real", oldTime);
    QVERIFY(QFile::link(QStringLiteral("real.txt"), local + "/links/link.txt"));
    outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(Tree::readFile(remote + "/links/link.txt"), QByteArray("real"));
    outcome = pair.download();
    CHECK_QUIET(pair, outcome);
    editOnRemote(remote + "/links/link.txt", "edited copy");
    waitForTick();
    outcome = pair.download();
    CHECK_RUN(pair, outcome);
    QCOMPARE(pair.body().filter(QStringLiteral("目标是符号链接，未覆盖")).size(), 1);
    QVERIFY(QFileInfo(local + "/links/link.txt").isSymLink());
    QCOMPARE(Tree::readFile(local + "/links/real.txt"), QByteArray("real"));

    // A fault keeps the stamp; once it is gone the next run completes.
    Tree::writeFile(local + "/retry/blocked.txt", "blocked", oldTime);
    QVERIFY(QDir().mkpath(remote + "/retry/blocked.txt"));
    const qint64 kept = pair.uploadTime;
    outcome = pair.upload();
    QVERIFY2(!outcome.completed && pair.uploadTime == kept, qPrintable(pair.said()));
    QVERIFY(QDir().rmdir(remote + "/retry/blocked.txt"));
    outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(Tree::readFile(remote + "/retry/blocked.txt"), QByteArray("blocked"));
}

QTEST_GUILESS_MAIN(TestFileSystems)
#include "test_file_systems.moc"
