#include "support/tree.h"
#include "sync/walk/read_ahead.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// Directories read ahead of the walk come back as the walk would have read
// them itself, each to the level that asked, and nothing read and not taken
// keeps a handle open.
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
    const std::unique_ptr<FileSystem> fileSystem = makeFileSystem();
    Directory top;
    FsError error;
    QCOMPARE(fileSystem->openRoot(root.path(), &top, &error), OpenResult::Opened);
    std::vector<DirectoryEntry> entries;
    QVERIFY(!fileSystem->list(top, &entries).failed());
    // The skipped one is not read: the walk would not enter it.
    const auto chosen = [](const DirectoryEntry &entry) {
        return entry.name != QLatin1String("d1");
    };

    LevelReader reader(*fileSystem, readers, nullptr);
    ReadAhead ahead(reader, top, entries, 0, chosen);
    int readAhead = 0;
    for (const DirectoryEntry &entry : entries) {
        std::unique_ptr<ReadLevel> level = ahead.take(entry);
        if (!level)
            continue;
        ++readAhead;
        QVERIFY2(chosen(entry), qPrintable(entry.name));
        QCOMPARE(level->opened, OpenResult::Opened);
        QCOMPARE(level->dir.path, top.path + entry.name + QLatin1Char('/'));
        QVERIFY(!level->listError.failed());
        const int index = entry.name.mid(1).toInt();
        QCOMPARE(int(level->entries.size()), index + 2);
        for (size_t i = 0; i < level->entries.size(); ++i) {
            const DirectoryEntry &inside = level->entries[i];
            const EntryStatus status = level->statuses[i];
            if (inside.name == QLatin1String("sub"))
                continue;
            QCOMPARE(status.type, EntryType::File);
            QCOMPARE(status.size, qint64(index));
        }
        // The handle is the walk's now: its files are copied through it.
        std::vector<DirectoryEntry> again;
        QVERIFY(!fileSystem->list(level->dir, &again).failed());
        QCOMPARE(again.size(), level->entries.size());
    }
    QCOMPARE(readAhead, readers > 0 ? directories - 1 : 0);
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
            QVERIFY(ahead.take(entries.front()) != nullptr);
        }
        // A level left (cancelled, or its target failed) gives its handles
        // back, and the next level gets its subdirectories read ahead.
        ReadAhead next(reader, top, entries, 0, [](const DirectoryEntry &) { return true; });
        QVERIFY(next.take(entries[1]) != nullptr);
    }
    QCOMPARE(openHandles(), before);
}

QTEST_GUILESS_MAIN(TestReadAhead)
#include "test_read_ahead.moc"
