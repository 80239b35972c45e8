#include "support/delegating_file_system.h"
#include "support/tree.h"
#include "sync/walk/read_ahead.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

namespace {

// Counts the subdirectories opened by a thread other than the test's (the
// readers').
class CountingFileSystem : public DelegatingFileSystem
{
public:
    CountingFileSystem()
        : DelegatingFileSystem(makeFileSystem())
    { }
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         FsError *error) override
    {
        if (std::this_thread::get_id() != walk)
            ++byReaders;
        return DelegatingFileSystem::openChild(dir, entry, child, error);
    }
    const std::thread::id walk = std::this_thread::get_id();
    std::atomic<int> byReaders {0};
};

} // namespace

// Directories read ahead of the walk come back as the walk would have read
// them itself, each to the level that asked; one no reader has started on is
// left to the walk; nothing read and not taken keeps a handle open.
class TestReadAhead : public QObject
{
    Q_OBJECT

private slots:
    void eachSubdirectoryComesBackAsTheWalkWouldReadIt_data();
    void eachSubdirectoryComesBackAsTheWalkWouldReadIt();
    void whatIsNotTakenIsClosed();

private:
    // root/d0 … d(count-1), directory i holding i + 1 files of i bytes and
    // one subdirectory.
    static void makeLevel(const QString &root, int count);
    static int openHandles();
};

void TestReadAhead::makeLevel(const QString &root, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString dir = root + QStringLiteral("/d%1").arg(i);
        for (int f = 0; f <= i; ++f)
            Tree::writeFile(dir + QStringLiteral("/f%1").arg(f), QByteArray(i, 'x'));
        QDir().mkpath(dir + QStringLiteral("/sub"));
    }
}

int TestReadAhead::openHandles()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                       .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                       .size());
}

void TestReadAhead::eachSubdirectoryComesBackAsTheWalkWouldReadIt_data()
{
    QTest::addColumn<int>("readers");
    QTest::addColumn<int>("directories");
    QTest::newRow("no readers: the walk reads each itself") << 0 << 5;
    QTest::newRow("fewer than a level asks for") << 3 << 5;
    QTest::newRow("more than the limit of handles") << 4 << 80;
}

void TestReadAhead::eachSubdirectoryComesBackAsTheWalkWouldReadIt()
{
    QFETCH(int, readers);
    QFETCH(int, directories);
    QTemporaryDir root;
    makeLevel(root.path(), directories);
    CountingFileSystem fileSystem;
    Directory top;
    FsError error;
    QCOMPARE(fileSystem.openRoot(root.path(), &top, &error), OpenResult::Opened);
    std::vector<DirectoryEntry> entries;
    QVERIFY(!fileSystem.list(top, &entries).failed());
    // The skipped one is not read: the walk would not enter it.
    const auto chosen = [](const DirectoryEntry &entry) {
        return entry.name != QLatin1String("d1");
    };

    LevelReader reader(fileSystem, readers, nullptr);
    ReadAhead ahead(reader, top, entries, 0, chosen);
    // Once a reader has begun one, the walk waits for it instead of reading it.
    if (readers > 0)
        QTRY_VERIFY_WITH_TIMEOUT(fileSystem.byReaders > 0, 30000);
    int readAhead = 0;
    for (const DirectoryEntry &entry : entries) {
        std::unique_ptr<ReadLevel> level = ahead.take(entry);
        if (level) {
            ++readAhead;
            QVERIFY2(chosen(entry), qPrintable(entry.name));
        } else {
            level = std::make_unique<ReadLevel>();
            level->opened = fileSystem.openChild(top, entry, &level->dir, &level->openError);
            level->readEntries(fileSystem, nullptr);
        }
        QCOMPARE(level->opened, OpenResult::Opened);
        QCOMPARE(level->dir.path, top.path + entry.name + QLatin1Char('/'));
        QVERIFY(!level->listError.failed());
        const int index = entry.name.mid(1).toInt();
        QCOMPARE(int(level->entries.size()), index + 2);
        for (size_t i = 0; i < level->entries.size(); ++i) {
            if (level->entries[i].name == QLatin1String("sub"))
                continue;
            QCOMPARE(level->statuses[i].type, EntryType::File);
            QCOMPARE(level->statuses[i].size, qint64(index));
        }
    }
    QCOMPARE(readAhead > 0, readers > 0);
    QVERIFY(readAhead <= fileSystem.byReaders);
}

void TestReadAhead::whatIsNotTakenIsClosed()
{
    QTemporaryDir root;
    makeLevel(root.path(), 20);
    const std::unique_ptr<FileSystem> fileSystem = makeFileSystem();
    Directory top;
    FsError error;
    QCOMPARE(fileSystem->openRoot(root.path(), &top, &error), OpenResult::Opened);
    std::vector<DirectoryEntry> entries;
    QVERIFY(!fileSystem->list(top, &entries).failed());
    const int before = openHandles();
    {
        LevelReader reader(*fileSystem, 4, nullptr);
        {
            ReadAhead ahead(reader, top, entries, 0, [](const DirectoryEntry &) { return true; });
            ahead.take(entries.front());
        }
        // A level left (cancelled, or its target failed) gives its handles
        // back, and the next level gets its subdirectories read ahead.
        ReadAhead next(reader, top, entries, 0, [](const DirectoryEntry &) { return true; });
        next.take(entries[1]);
    }
    QCOMPARE(openHandles(), before);
}

QTEST_GUILESS_MAIN(TestReadAhead)
#include "test_read_ahead.moc"
