#include "support/checks.h"
#include "support/tree.h"
#include "support/tree_pair.h"
#include "sync/decision/tree_clock.h"
#include "sync/fs/file_system.h"
#include "sync/fs/own_names.h"

#include <QtTest>

#include <memory>

// What every file-system implementation promises the walk, checked against
// each: the POSIX one and the portable one (Windows has the portable one
// alone). Where the portable one cannot keep a promise the row says so.
class TestFileSystemContract : public QObject
{
    Q_OBJECT

private slots:
    void sourceRewrittenInTheSameMillisecondIsLeft_data() { backEnds(); }
    void sourceRewrittenInTheSameMillisecondIsLeft();
    void targetSavedByRenameWithSameTimeAndSizeIsKept_data() { backEnds(); }
    void targetSavedByRenameWithSameTimeAndSizeIsKept();
    void unreadableEntryIsAnErrorNotAbsent_data() { backEnds(); }
    void unreadableEntryIsAnErrorNotAbsent();
    void newLinkToOldFileIsNew_data() { backEnds(); }
    void newLinkToOldFileIsNew();
    void leftoverProbeIsTakenOverAndRemoved_data() { backEnds(); }
    void leftoverProbeIsTakenOverAndRemoved();
    void readOnlyTargetIsReplaced_data() { backEnds(); }
    void readOnlyTargetIsReplaced();
    void refusedNameIsSaidAsSuch_data() { backEnds(); }
    void refusedNameIsSaidAsSuch();

private:
    static void backEnds();
};

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

std::unique_ptr<FileSystem> named(const QString &backEnd)
{
    return backEnd == QLatin1String("posix") ? makeFileSystem() : makePortableFileSystem();
}

DirectoryEntry entryNamed(const QString &name)
{
    return DirectoryEntry {name, QFile::encodeName(name), EntryType::Unknown};
}

// A name no file system here can hold: longer than a name may be on Linux
// (ENAMETOOLONG); with a "?" on Windows, where wine would take an overlong
// one for absent.
#ifdef Q_OS_WIN
const QString impossibleName = QStringLiteral("what?.txt");
#else
const QString impossibleName(300, QLatin1Char('n'));
#endif

// One back-end with a source and a target directory open.
struct Trees
{
    explicit Trees(const QString &backEnd)
        : fs(named(backEnd))
    {
        QDir().mkpath(pair.local);
        QDir().mkpath(pair.remote);
        FsError error;
        opened = fs->openRoot(pair.local, &from, &error) == OpenResult::Opened
                 && fs->openRoot(pair.remote, &into, &error) == OpenResult::Opened;
    }

    CopyResult copy(const QString &name, Placement placement, const EntryStatus &source,
                    const EntryStatus &replaced, FsError *error)
    {
        CopyRequest request;
        request.placement = placement;
        request.source = source;
        request.replaced = replaced;
        request.makeWritable = true;
        return fs->copyFile(from, entryNamed(name), into, request, error);
    }
    EntryStatus sourceStatus(const QString &name)
    {
        return fs->status(from, entryNamed(name), false);
    }
    EntryStatus targetStatus(const QString &name)
    {
        return fs->status(into, entryNamed(name), false);
    }

    TreePair pair;
    std::unique_ptr<FileSystem> fs;
    Directory from;
    Directory into;
    bool opened = false;
};

} // namespace

void TestFileSystemContract::backEnds()
{
    QTest::addColumn<QString>("backEnd");
#ifndef Q_OS_WIN
    QTest::newRow("posix") << QStringLiteral("posix");
#endif
    QTest::newRow("portable") << QStringLiteral("portable");
}

// Two versions of the same size a fraction of a millisecond apart: the copy
// of the one looked at must not be made from the other.
void TestFileSystemContract::sourceRewrittenInTheSameMillisecondIsLeft()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    const QString path = trees.pair.local + "/a.txt";
    Tree::writeFile(path, "version 1", oldTime);
    const EntryStatus seen = trees.sourceStatus("a.txt");
    Tree::writeFile(path, "version 2");
    QVERIFY(Tree::setModifiedUs(path, seen.modifiedUs + 300));

    FsError error;
    QCOMPARE(trees.copy("a.txt", Placement::New, seen, {}, &error), CopyResult::Failed);
    QCOMPARE(int(error.fault), int(FsFault::SourceChanged));
    QVERIFY(!QFileInfo::exists(trees.pair.remote + "/a.txt"));
}

// Another program saves the target by writing a new file and renaming it
// over, with the time and size the old one had: that is another file, and
// it is kept.
void TestFileSystemContract::targetSavedByRenameWithSameTimeAndSizeIsKept()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    Tree::writeFile(trees.pair.local + "/a.txt", "the source", oldTime.addDays(1));
    Tree::writeFile(trees.pair.remote + "/a.txt", "old target", oldTime);
    const EntryStatus looked = trees.targetStatus("a.txt");
    Tree::writeFile(trees.pair.path("saved"), "new target", oldTime);
    QVERIFY(QFile::remove(trees.pair.remote + "/a.txt"));
    QVERIFY(QFile::rename(trees.pair.path("saved"), trees.pair.remote + "/a.txt"));

    FsError error;
    QCOMPARE(trees.copy("a.txt", Placement::Replace, trees.sourceStatus("a.txt"), looked, &error),
             CopyResult::Failed);
    QCOMPARE(int(error.fault), int(FsFault::TargetChanged));
    QCOMPARE(Tree::readFile(trees.pair.remote + "/a.txt"), QByteArray("new target"));
    COMPARE_LISTS(Tree::names(trees.pair.remote), QStringList {"a.txt"});
}

// An entry that cannot be looked at is an error with the system's reason,
// never taken for absent (which would let a copy go ahead).
void TestFileSystemContract::unreadableEntryIsAnErrorNotAbsent()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    const EntryStatus status = trees.targetStatus(impossibleName);
    QCOMPARE(int(status.type), int(EntryType::Unknown));
    QVERIFY(status.error.failed() && !status.error.detail.isEmpty());
}

// A link made now to a file of long ago arrived now: its own change time
// says so. (Windows' links are shortcuts, files of their own.)
void TestFileSystemContract::newLinkToOldFileIsNew()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    Tree::writeFile(trees.pair.local + "/old.txt", "old", oldTime);
    QVERIFY(QFile::link(QStringLiteral("old.txt"), trees.pair.local + "/link"));
    const EntryStatus link = trees.sourceStatus("link");
#ifdef Q_OS_WIN
    QCOMPARE(int(link.type), int(EntryType::File));
#else
    QCOMPARE(int(link.type), int(EntryType::Link));
    const EntryStatus pointee = trees.fs->status(trees.from, entryNamed("link"), true);
    QCOMPARE(pointee.modifiedUs, oldTime.toMSecsSinceEpoch() * 1000);
#endif
    // The link's own times, not those of the file it leads to.
    const qint64 aDayLater = (oldTime.toMSecsSinceEpoch() + 86400000) * 1000;
    QVERIFY(link.modifiedUs > aDayLater && link.statusChangedUs > aDayLater);
}

// A run killed while it probed a target left its probe behind: the next
// probe takes the name over and leaves nothing.
void TestFileSystemContract::leftoverProbeIsTakenOverAndRemoved()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    const OwnNames names(QStringLiteral("0123456789ab"));
    trees.fs->setOwnNames(names);
    Tree::writeFile(trees.pair.remote + "/" + QString::fromLatin1(names.probe()), "left by a kill");
    TreeClock clock;
    QVERIFY(!trees.fs->probeClock(trees.into, true, &clock).failed());
    QVERIFY(clock.measured);
    COMPARE_LISTS(Tree::names(trees.pair.remote), QStringList());
}

void TestFileSystemContract::readOnlyTargetIsReplaced()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    Tree::writeFile(trees.pair.local + "/a.txt", "new", oldTime.addDays(1));
    Tree::writeFile(trees.pair.remote + "/a.txt", "old", oldTime);
    QVERIFY(QFile::setPermissions(trees.pair.remote + "/a.txt",
                                  QFileDevice::ReadOwner | QFileDevice::ReadGroup));

    FsError error;
    QCOMPARE(trees.copy("a.txt", Placement::Replace, trees.sourceStatus("a.txt"),
                        trees.targetStatus("a.txt"), &error),
             CopyResult::Copied);
    QCOMPARE(Tree::readFile(trees.pair.remote + "/a.txt"), QByteArray("new"));
    QCOMPARE(Tree::modifiedMs(trees.pair.remote + "/a.txt"),
             oldTime.addDays(1).toMSecsSinceEpoch());
}

// A name the target's file system cannot hold is said as such, and nothing
// is left of the attempt. (Files with such names are met on the mounts of
// test_file_systems: FAT, exFAT, NTFS with Windows names.)
void TestFileSystemContract::refusedNameIsSaidAsSuch()
{
    QFETCH(QString, backEnd);
    Trees trees(backEnd);
    QVERIFY(trees.opened);
    const FsError error = trees.fs->makeChild(trees.into, entryNamed(impossibleName));
    QCOMPARE(int(error.fault), int(FsFault::NameRefused));
    QVERIFY(!error.detail.isEmpty());
    COMPARE_LISTS(Tree::names(trees.pair.remote), QStringList());
}

QTEST_GUILESS_MAIN(TestFileSystemContract)
#include "test_file_system_contract.moc"
