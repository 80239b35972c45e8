#include "support/checks.h"
#include "support/remote_mount.h"
#include "support/sync_pair.h"
#include "support/tree.h"
#include "sync/decision/tree_clock.h"
#include "sync/fs/file_system.h"

#include <QtTest>

#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>

// What a file system is known to hold, as the rows write it down.
struct Traits
{
    qint64 resolutionUs;
    bool caseInsensitive;
    bool windowsNames;
    bool asciiNamesOnly;
    bool restampsOnRename;
    bool reservedNames = false;
    bool stampsAtClose = false;
};
Q_DECLARE_METATYPE(Traits)

// One behaviour table with the remote on every file system a user syncs to
// (support/remote_mount.h), the local tree on the ordinary disk. Each row
// writes down what that file system is known to hold; each case runs on its
// own trees, so that one failure hides no other. What a file system cannot
// hold is learned and worked around, never a failure of every file.
class TestFileSystems : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { mounts.clear(); }

    void probeLearnsWhatTheTreeHolds_data() { rows(); }
    void probeLearnsWhatTheTreeHolds();
    void firstUploadCarriesContentAndTimes_data() { rows(); }
    void firstUploadCarriesContentAndTimes();
    void inStepTreesAreQuietBothWays_data() { rows(); }
    void inStepTreesAreQuietBothWays();
    void editsGoBothWaysAndANewerTargetIsKept_data() { rows(); }
    void editsGoBothWaysAndANewerTargetIsKept();
    void folderMovedInWithOldDatesIsCopied_data() { rows(); }
    void folderMovedInWithOldDatesIsCopied();
    void namesTheTargetCannotHoldAreSaid_data() { rows(); }
    void namesTheTargetCannotHoldAreSaid();
    void conflictIsKeptUntilTheTwoAreEqual_data() { rows(); }
    void conflictIsKeptUntilTheTwoAreEqual();
    void linkedFileGoesUpAndIsNeverWrittenThrough_data() { rows(); }
    void linkedFileGoesUpAndIsNeverWrittenThrough();
    void faultKeepsTheStampUntilItIsGone_data() { rows(); }
    void faultKeepsTheStampUntilItIsGone();

private:
    static void rows();
    // The trees of one case: a fresh local tree, a fresh directory on the
    // mount of the row's kind (mounted once for the whole test). Null, after
    // a failure, when the kind cannot be mounted.
    struct Case
    {
        QTemporaryDir here;
        QString local;
        QString remote;
        Traits traits;
        std::unique_ptr<SyncPair> pair;
    };
    std::unique_ptr<Case> setUp();

    std::map<QString, std::unique_ptr<RemoteMount>> mounts;
    int cases = 0;
};

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);
const qint64 second = 1000000;

bool sameTimeAt(qint64 aMs, qint64 bMs, qint64 resolutionUs)
{
    return floorTo(aMs * 1000, resolutionUs) == floorTo(bMs * 1000, resolutionUs);
}

// An edit made on the remote side. fusefat leaves a file's time as it was
// when the file is written, so the edit is given the time a FAT driver
// ought to give it; every other driver stamps it itself. Both times are
// set: fusefat ignores a time set with the other one omitted.
bool editOnRemote(const QString &path, const QByteArray &content)
{
    Tree::writeFile(path, content);
    timespec now[2];
    ::clock_gettime(CLOCK_REALTIME, &now[0]);
    now[1] = now[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), now, 0) == 0;
}

// Past the tick of the coarsest tree (FAT keeps even seconds), so that
// what was just written is no longer in it.
void waitForTick()
{
    QThread::msleep(2100);
}

// The program's own names (temporaries, probes) are gone from both trees
// after every run.
QStringList ownNamesLeft(const SyncPair &pair)
{
    return (Tree::names(pair.localDir.text()) + Tree::names(pair.remoteDir.text()))
            .filter(QStringLiteral(".twinfold-"));
}

#define CHECK_RUN(pair, outcome) \
    do { \
        QVERIFY2((outcome).completed, qPrintable(QStringLiteral(#outcome ":\n") + (pair).said())); \
        COMPARE_LISTS(ownNamesLeft(pair), QStringList()); \
    } while (false)

#define CHECK_QUIET(pair, outcome) \
    do { \
        CHECK_RUN(pair, outcome); \
        QVERIFY2((pair).body().isEmpty(), \
                 qPrintable(QStringLiteral(#outcome ":\n") + (pair).said())); \
    } while (false)

} // namespace

void TestFileSystems::rows()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<Traits>("traits");
    // resolution, case-insensitive, Windows names, ASCII names only, renames
    // restamp, device names shown under others, written files stamped at close
    QTest::newRow("ext4") << "ext4" << Traits {1, false, false, false, false};
    QTest::newRow("xfs") << "xfs" << Traits {1, false, false, false, false};
    QTest::newRow("btrfs") << "btrfs" << Traits {1, false, false, false, false};
    QTest::newRow("tmpfs") << "tmpfs" << Traits {1, false, false, false, false};
    QTest::newRow("ntfs") << "ntfs" << Traits {1, false, false, false, false};
    QTest::newRow("ntfs-windows-names")
            << "ntfs-windows-names" << Traits {1, false, true, false, false, true};
    QTest::newRow("exfat") << "exfat" << Traits {second, true, true, false, false};
    QTest::newRow("fat32") << "fat32" << Traits {2 * second, true, true, true, true};
    QTest::newRow("sshfs") << "sshfs" << Traits {second, false, false, false, false};
    QTest::newRow("bindfs") << "bindfs" << Traits {1, false, false, false, false};
    QTest::newRow("smb") << "smb" << Traits {second, true, true, false, false, true, true};
    QTest::newRow("smb-gvfs") << "smb-gvfs"
                              << Traits {second, true, true, false, false, true, true};
}

std::unique_ptr<TestFileSystems::Case> TestFileSystems::setUp()
{
    QFETCH(QString, kind);
    QFETCH(Traits, traits);
    auto &mount = mounts[kind];
    if (!mount)
        mount = std::make_unique<RemoteMount>(kind);
    if (!mount->isMounted()) {
        QTest::qFail(qPrintable(QStringLiteral("cannot mount ") + kind + QStringLiteral(": ")
                                + mount->error()),
                     __FILE__, __LINE__);
        return nullptr;
    }
    auto trees = std::make_unique<Case>();
    trees->local = trees->here.filePath(QStringLiteral("local"));
    trees->remote = mount->path() + QStringLiteral("/case%1").arg(++cases);
    trees->traits = traits;
    trees->pair = std::make_unique<SyncPair>(trees->local, trees->remote);
    return trees;
}

// The row's traits are what the engine learns: the table below relies on them.
void TestFileSystems::probeLearnsWhatTheTreeHolds()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    QVERIFY(QDir().mkpath(trees->remote));
    std::unique_ptr<FileSystem> fileSystem = makeFileSystem();
    Directory dir;
    FsError error;
    QCOMPARE(fileSystem->openRoot(trees->remote, &dir, &error), OpenResult::Opened);
    TreeClock clock;
    QVERIFY(!fileSystem->probeClock(dir, true, &clock).failed());
    QCOMPARE(clock.resolutionUs, trees->traits.resolutionUs);
    QCOMPARE(clock.caseInsensitive, trees->traits.caseInsensitive);
    QCOMPARE(clock.windowsNames, trees->traits.windowsNames);
    QCOMPARE(clock.asciiNamesOnly, trees->traits.asciiNamesOnly);
    QCOMPARE(clock.restampsOnRename, trees->traits.restampsOnRename);
    QCOMPARE(clock.reservedNames, trees->traits.reservedNames);
    QCOMPARE(clock.stampsAtClose, trees->traits.stampsAtClose);
    COMPARE_LISTS(Tree::names(trees->remote), QStringList());
}

// Contents, and times to the coarser resolution; a name outside ASCII is
// said, and left out, where the target takes none.
void TestFileSystems::firstUploadCarriesContentAndTimes()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    const QStringList files {"a.txt", "docs/说明 文档.txt", ".hidden", "sub/deeper/data.bin",
                             "sub/empty.txt"};
    for (int i = 0; i < files.size(); ++i) {
        const QByteArray content = i == 3 ? QByteArray(100 << 10, 'd') : files.at(i).toUtf8();
        Tree::writeFile(trees->local + '/' + files.at(i), i == 4 ? QByteArray() : content,
                        oldTime.addSecs(i * 37));
    }
    QStringList copied = files;
    if (trees->traits.asciiNamesOnly)
        copied.removeOne(QStringLiteral("docs/说明 文档.txt"));

    SyncPair &pair = *trees->pair;
    const SyncOutcome outcome = pair.upload();
    CHECK_RUN(pair, outcome);
    QCOMPARE(outcome.copied, copied.size());
    QCOMPARE(pair.body().filter(QStringLiteral("NameRefused")).size(),
             files.size() - copied.size());
    for (const QString &file : copied) {
        const QString there = trees->remote + '/' + file;
        const QString here = trees->local + '/' + file;
        QCOMPARE(Tree::readFile(there), Tree::readFile(here));
        QVERIFY2(sameTimeAt(Tree::modifiedMs(there), Tree::modifiedMs(here),
                            trees->traits.resolutionUs),
                 qPrintable(QStringLiteral("%1: %2 against %3")
                                    .arg(file)
                                    .arg(Tree::modifiedMs(there))
                                    .arg(Tree::modifiedMs(here))));
    }
}

// Quiet both ways once in step, also from a cleared stamp.
void TestFileSystems::inStepTreesAreQuietBothWays()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/a.txt", "a", oldTime);
    Tree::writeFile(trees->local + "/sub/b.txt", "b", oldTime.addSecs(5));
    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());

    CHECK_QUIET(pair, pair.download());
    QCOMPARE(Tree::names(trees->local + "/sub"), Tree::names(trees->remote + "/sub"));
    CHECK_QUIET(pair, pair.upload());
    pair.uploadTime = 0;
    CHECK_QUIET(pair, pair.upload());
    pair.downloadTime = 0;
    CHECK_QUIET(pair, pair.download());
}

// Edits go both ways; the remote edit is a newer target for the upload.
void TestFileSystems::editsGoBothWaysAndANewerTargetIsKept()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/a.txt", "a", oldTime);
    Tree::writeFile(trees->local + "/sub/empty.txt", "", oldTime);
    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());

    Tree::writeFile(trees->local + "/a.txt", "edited here, longer");
    QVERIFY(editOnRemote(trees->remote + "/sub/empty.txt", "edited on the remote"));
    waitForTick();
    CHECK_RUN(pair, pair.upload());
    COMPARE_LISTS(Tree::sorted(pair.body()),
                  QStringList({"Copied a.txt", "TargetNewer sub/empty.txt"}));
    CHECK_RUN(pair, pair.download());
    COMPARE_LISTS(pair.body(), QStringList {"Copied sub/empty.txt"});
    QCOMPARE(Tree::readFile(trees->local + "/sub/empty.txt"), QByteArray("edited on the remote"));
    QCOMPARE(Tree::readFile(trees->remote + "/a.txt"), QByteArray("edited here, longer"));
    CHECK_QUIET(pair, pair.upload());
    CHECK_QUIET(pair, pair.download());
}

// Both sides edited since they were in step: neither overwrites the other,
// both directions say so, until a copy by any means makes them equal.
void TestFileSystems::conflictIsKeptUntilTheTwoAreEqual()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/a.txt", "a", oldTime);
    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());

    Tree::writeFile(trees->local + "/a.txt", "edited here");
    QVERIFY(editOnRemote(trees->remote + "/a.txt", "edited on the remote"));
    waitForTick();
    for (const bool up : {true, false}) {
        const SyncOutcome outcome = up ? pair.upload() : pair.download();
        QVERIFY2(!outcome.completed, qPrintable(pair.said()));
        COMPARE_LISTS(pair.body(), QStringList {"BothChanged a.txt"});
    }
    QCOMPARE(Tree::readFile(trees->local + "/a.txt"), QByteArray("edited here"));
    QCOMPARE(Tree::readFile(trees->remote + "/a.txt"), QByteArray("edited on the remote"));

    Tree::writeFile(trees->local + "/a.txt", "edited on the remote"); // fusefat ignores O_TRUNC
    CHECK_QUIET(pair, pair.upload());
    CHECK_QUIET(pair, pair.download());
}

void TestFileSystems::folderMovedInWithOldDatesIsCopied()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/a.txt", "a", oldTime);
    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());

    Tree::writeFile(trees->here.filePath("outside/moved/x.txt"), "x", oldTime);
    Tree::writeFile(trees->here.filePath("outside/moved/inner/y.txt"), "y", oldTime);
    QVERIFY(QDir().rename(trees->here.filePath("outside/moved"), trees->local + "/moved"));
    CHECK_RUN(pair, pair.upload());
    COMPARE_LISTS(Tree::sorted(pair.body()),
                  QStringList({"Copied moved/inner/y.txt", "Copied moved/x.txt"}));
}

// Names the row says the target refuses, and case twins where it ignores
// case, are said, never copied; the run completes, and says it once.
void TestFileSystems::namesTheTargetCannotHoldAreSaid()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    const Traits traits = trees->traits;
    const QStringList names {"what?.txt",  "what",      "a:b.txt",  "README.txt",
                             "Readme.txt", "plain.txt", "说明.txt", "aux.txt"};
    for (const QString &name : names)
        Tree::writeFile(trees->local + "/names/" + name, name.toUtf8(), oldTime);
    QStringList expected;
    for (const QString &name : names) {
        if (traits.windowsNames && (name.contains('?') || name.contains(':')))
            expected << "NameRefused names/" + name;
        else if (traits.asciiNamesOnly && name == QStringLiteral("说明.txt"))
            expected << "NameRefused names/" + name;
        else if (traits.reservedNames && name == QStringLiteral("aux.txt"))
            expected << "NameRefused names/" + name;
        else if (traits.caseInsensitive && name == QStringLiteral("Readme.txt"))
            expected << "CaseTwin names/" + name;
        else
            expected << "Copied names/" + name;
    }

    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());
    COMPARE_LISTS(Tree::sorted(pair.body()), Tree::sorted(expected));
    for (const QString &line : expected.filter(QStringLiteral("Copied "))) {
        const QString name = line.mid(QStringLiteral("Copied ").size());
        QCOMPARE(Tree::readFile(trees->remote + '/' + name),
                 Tree::readFile(trees->local + '/' + name));
    }
    CHECK_QUIET(pair, pair.upload());
}

// A link to a file of the local tree: its content goes up, and the download
// is in step with it, then keeps it when the copy is edited.
void TestFileSystems::linkedFileGoesUpAndIsNeverWrittenThrough()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/links/real.txt", "real", oldTime);
    QVERIFY(QFile::link(QStringLiteral("real.txt"), trees->local + "/links/link.txt"));
    SyncPair &pair = *trees->pair;
    CHECK_RUN(pair, pair.upload());
    QCOMPARE(Tree::readFile(trees->remote + "/links/link.txt"), QByteArray("real"));
    CHECK_QUIET(pair, pair.download());

    QVERIFY(editOnRemote(trees->remote + "/links/link.txt", "edited copy"));
    waitForTick();
    CHECK_RUN(pair, pair.download());
    COMPARE_LISTS(pair.body(), QStringList {"KeptLink links/link.txt"});
    QVERIFY(QFileInfo(trees->local + "/links/link.txt").isSymLink());
    QCOMPARE(Tree::readFile(trees->local + "/links/real.txt"), QByteArray("real"));
}

// A fault keeps the stamp; once it is gone the next run completes.
void TestFileSystems::faultKeepsTheStampUntilItIsGone()
{
    const auto trees = setUp();
    RETURN_IF_FAILED();
    Tree::writeFile(trees->local + "/retry/blocked.txt", "blocked", oldTime);
    QVERIFY(QDir().mkpath(trees->remote + "/retry/blocked.txt"));
    SyncPair &pair = *trees->pair;
    pair.uploadTime = 1000;
    QVERIFY2(!pair.upload().completed && pair.uploadTime == 1000, qPrintable(pair.said()));
    QVERIFY(QDir().rmdir(trees->remote + "/retry/blocked.txt"));
    CHECK_RUN(pair, pair.upload());
    QCOMPARE(Tree::readFile(trees->remote + "/retry/blocked.txt"), QByteArray("blocked"));
}

QTEST_GUILESS_MAIN(TestFileSystems)
#include "test_file_systems.moc"
