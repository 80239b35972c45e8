// What the sync record keeps a pair from: the habits and places that made
// the times and the old copy marks lose an edit or miss a change. Each case
// runs both directions as the window chains them, on the file system where
// the habit meets it (support/remote_mount.h), the local tree on the
// ordinary disk.

#include "support/checks.h"
#include "support/remote_mount.h"
#include "support/sync_pair.h"
#include "support/tree.h"

#include <QSaveFile>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7), Qt::UTC);

// As editors that save atomically do: a new file renamed over the old one.
bool saveByRename(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
           && file.commit();
}

#define CHECK_RUN(pair, outcome) \
    QVERIFY2((outcome).completed, qPrintable(QStringLiteral(#outcome ":\n") + (pair).said()))
#define CHECK_BODY(pair, expected) \
    COMPARE_LISTS(Tree::sorted((pair).body()), Tree::sorted(expected))

} // namespace

class TestSyncRecord : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { mounts.clear(); }

    void editsSavedByRenameOnBothSidesAreBothKept_data();
    void editsSavedByRenameOnBothSidesAreBothKept();
    void twoMachinesOnOneShareOverwriteNothing();
    void sameNameNeverSyncedIsKeptOnBothSides();
    void restoredOldVersionGoesForward_data();
    void restoredOldVersionGoesForward();
    void inPlaceWriteWithAnOlderDateIsFound();
    void shareEditHiddenByTheAttributeCacheIsNeitherOverwrittenNorMissed();
    void newRemotePathGetsEverything();
    void conflictSettledByACopyIsQuiet();
    void zoneChangeOnFatChangesNothing();
    void filesNamedLikeTheProgramsAreCopied();
    void caseTwinIsRefusedByItsOwnName();
    void deepTreeStopsAtADocumentedDepth();
    void timeTheTargetCannotHoldIsNotCarriedBack();
    void lostRecordOverwritesNothing_data();
    void lostRecordOverwritesNothing();

private:
    // A fresh local tree and a fresh directory on the kind's mount (mounted
    // once for the whole test); null after a failure.
    struct Case
    {
        QTemporaryDir here;
        QString local;
        QString remote;
        RemoteMount *mount = nullptr;
        std::unique_ptr<SyncPair> pair;
    };
    std::unique_ptr<Case> setUp(const QString &kind);

    std::map<QString, std::unique_ptr<RemoteMount>> mounts;
    int cases = 0;
};

std::unique_ptr<TestSyncRecord::Case> TestSyncRecord::setUp(const QString &kind)
{
    auto c = std::make_unique<Case>();
    c->local = c->here.filePath(QStringLiteral("local"));
    if (kind.isEmpty()) {
        c->remote = c->here.filePath(QStringLiteral("remote"));
    } else {
        auto &mount = mounts[kind];
        if (!mount)
            mount = std::make_unique<RemoteMount>(kind);
        if (!mount->isMounted()) {
            QTest::qFail(qPrintable(kind + QStringLiteral(": ") + mount->error()), __FILE__,
                         __LINE__);
            return nullptr;
        }
        c->mount = mount.get();
        c->remote = mount->path() + QStringLiteral("/case%1").arg(++cases);
    }
    QDir().mkpath(c->local);
    QDir().mkpath(c->remote);
    c->pair = std::make_unique<SyncPair>(c->local, c->remote);
    return c;
}

void TestSyncRecord::editsSavedByRenameOnBothSidesAreBothKept_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("ext4") << QString();
    QTest::newRow("exfat") << QStringLiteral("exfat");
}

void TestSyncRecord::editsSavedByRenameOnBothSidesAreBothKept()
{
    QFETCH(QString, kind);
    auto c = setUp(kind);
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/notes.txt", "v1", oldTime);
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());

    QVERIFY(saveByRename(c->local + "/notes.txt", "edited here"));
    QVERIFY(saveByRename(c->remote + "/notes.txt", "edited there, longer"));
    for (int round = 0; round < 2; ++round) {
        QVERIFY(!pair.upload().completed);
        CHECK_BODY(pair, QStringList {"BothChanged notes.txt"});
        QVERIFY(!pair.download().completed);
        CHECK_BODY(pair, QStringList {"BothChanged notes.txt"});
    }
    QCOMPARE(Tree::readFile(c->local + "/notes.txt"), QByteArray("edited here"));
    QCOMPARE(Tree::readFile(c->remote + "/notes.txt"), QByteArray("edited there, longer"));
}

void TestSyncRecord::twoMachinesOnOneShareOverwriteNothing()
{
    auto c = setUp(QString());
    QVERIFY(c);
    const QString second = c->here.filePath(QStringLiteral("second"));
    QDir().mkpath(second);
    SyncPair &one = *c->pair;
    SyncPair two(second, c->remote);
    Tree::writeFile(c->local + "/plan.txt", "v1", oldTime);
    CHECK_RUN(one, one.upload());
    CHECK_RUN(two, two.download());

    Tree::writeFile(c->local + "/plan.txt", "v2 from one");
    CHECK_RUN(one, one.upload());
    Tree::writeFile(second + "/plan.txt", "v3 from two, longer");
    QVERIFY(!two.upload().completed);
    CHECK_BODY(two, QStringList {"BothChanged plan.txt"});
    CHECK_RUN(one, one.download());
    CHECK_BODY(one, QStringList());
    QCOMPARE(Tree::readFile(c->remote + "/plan.txt"), QByteArray("v2 from one"));
    QCOMPARE(Tree::readFile(c->local + "/plan.txt"), QByteArray("v2 from one"));
    QCOMPARE(Tree::readFile(second + "/plan.txt"), QByteArray("v3 from two, longer"));
}

void TestSyncRecord::sameNameNeverSyncedIsKeptOnBothSides()
{
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/todo.txt", "mine", oldTime);
    Tree::writeFile(c->remote + "/todo.txt", "theirs, written later");
    Tree::writeFile(c->local + "/same.txt", "alike", oldTime);
    Tree::writeFile(c->remote + "/same.txt", "alike");
    QVERIFY(!pair.upload().completed);
    CHECK_BODY(pair, QStringList {"BothDiffer todo.txt"});
    QVERIFY(!pair.download().completed);
    CHECK_BODY(pair, QStringList {"BothDiffer todo.txt"});
    QCOMPARE(Tree::readFile(c->local + "/todo.txt"), QByteArray("mine"));
    QCOMPARE(Tree::readFile(c->remote + "/todo.txt"), QByteArray("theirs, written later"));
}

void TestSyncRecord::restoredOldVersionGoesForward_data()
{
    QTest::addColumn<bool>("onRemote");
    QTest::newRow("restoredLocally") << false;
    QTest::newRow("restoredOnTheShare") << true;
}

// A backup's copy keeps its old date (cp -a, rsync -a, tar): older than
// what it replaces, and still the newest change.
void TestSyncRecord::restoredOldVersionGoesForward()
{
    QFETCH(bool, onRemote);
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/report.txt", "version from the backup", oldTime);
    CHECK_RUN(pair, pair.upload());
    Tree::writeFile(c->local + "/report.txt", "a later version");
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());

    const QString restored = (onRemote ? c->remote : c->local) + "/report.txt";
    Tree::writeFile(restored, "version from the backup", oldTime);
    for (int round = 0; round < 2; ++round) {
        CHECK_RUN(pair, pair.upload());
        CHECK_RUN(pair, pair.download());
    }
    QCOMPARE(Tree::readFile(c->local + "/report.txt"), QByteArray("version from the backup"));
    QCOMPARE(Tree::readFile(c->remote + "/report.txt"), QByteArray("version from the backup"));
    CHECK_BODY(pair, QStringList());
}

// exFAT keeps no change time: a file rewritten in place with an older date
// (cp -p over it) shows only against the record.
void TestSyncRecord::inPlaceWriteWithAnOlderDateIsFound()
{
    auto c = setUp(QStringLiteral("exfat"));
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/a.txt", "first", oldTime.addDays(10));
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());
    Tree::writeFile(c->remote + "/a.txt", "older, other");
    // After the close, both times, as cp -p does.
    const timespec times[2]
            = {{time_t(oldTime.toSecsSinceEpoch()), 0}, {time_t(oldTime.toSecsSinceEpoch()), 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(c->remote + "/a.txt").constData(), times, 0)
            == 0);
    QCOMPARE(Tree::modifiedMs(c->remote + "/a.txt"), oldTime.toMSecsSinceEpoch());
    CHECK_RUN(pair, pair.upload());
    CHECK_BODY(pair, QStringList {"TargetNewer a.txt"});
    CHECK_RUN(pair, pair.download());
    QVERIFY2(pair.body() == QStringList {"Copied a.txt"}, qPrintable(pair.said()));
    QCOMPARE(Tree::readFile(c->local + "/a.txt"), QByteArray("older, other"));
}

// sshfs with its default options caches attributes for about 20 s: an edit
// made on the server is unseen for that long, and must neither be
// overwritten meanwhile nor be missed once the cache lets go of it.
void TestSyncRecord::shareEditHiddenByTheAttributeCacheIsNeitherOverwrittenNorMissed()
{
    auto c = setUp(QStringLiteral("sshfs"));
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/a.txt", "v1", oldTime);
    Tree::writeFile(c->local + "/b.txt", "v1", oldTime);
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());
    const QString served = c->mount->underPath() + c->remote.mid(c->mount->path().size());
    QCOMPARE(Tree::readFile(served + "/a.txt"), QByteArray("v1"));

    Tree::writeFile(served + "/a.txt", "edited on the server");
    Tree::writeFile(served + "/b.txt", "edited on the server too");
    // Dated out of the running tick, so that the run takes it at once.
    Tree::writeFile(c->local + "/a.txt", "edited here",
                    QDateTime::currentDateTimeUtc().addSecs(-5));
    QVERIFY2(!pair.upload().completed, qPrintable(pair.said()));
    CHECK_BODY(pair, QStringList {"BothChanged a.txt"});
    QCOMPARE(Tree::readFile(served + "/a.txt"), QByteArray("edited on the server"));

    QDeadlineTimer deadline(60000);
    while (Tree::readFile(c->local + "/b.txt") == "v1" && !deadline.hasExpired()) {
        pair.download();
        QThread::msleep(1000);
    }
    QCOMPARE(Tree::readFile(c->local + "/b.txt"), QByteArray("edited on the server too"));
    QCOMPARE(Tree::readFile(c->local + "/a.txt"), QByteArray("edited here"));
}

// A second stick under the same path field: the stamp the settings keep
// belongs to the first.
void TestSyncRecord::newRemotePathGetsEverything()
{
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/old.txt", "written long ago", oldTime);
    CHECK_RUN(pair, pair.upload());
    const QString stick = c->here.filePath(QStringLiteral("second-stick"));
    QDir().mkpath(stick);
    pair.remoteDir.setText(stick);
    CHECK_RUN(pair, pair.upload());
    CHECK_BODY(pair, QStringList {"Copied old.txt"});
}

void TestSyncRecord::conflictSettledByACopyIsQuiet()
{
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/a.txt", "v1", oldTime);
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());
    Tree::writeFile(c->local + "/a.txt", "mine");
    Tree::writeFile(c->remote + "/a.txt", "theirs!");
    QVERIFY(!pair.upload().completed);

    // Settled with nothing but a plain copy: same content, a new time.
    QVERIFY(QFile::remove(c->remote + "/a.txt"));
    QVERIFY(QFile::copy(c->local + "/a.txt", c->remote + "/a.txt"));
    for (int round = 0; round < 2; ++round) {
        const qint64 stamps[2] = {pair.uploadTime, pair.downloadTime};
        CHECK_RUN(pair, pair.upload());
        CHECK_BODY(pair, QStringList());
        CHECK_RUN(pair, pair.download());
        CHECK_BODY(pair, QStringList());
        QVERIFY(pair.uploadTime > stamps[0] && pair.downloadTime > stamps[1]);
    }
}

// fusefat turns times into the zone its process runs in: after the zone
// changes (a trip, daylight saving time), every time it shows moves by the
// offset, and only the contents can tell that nothing changed.
void TestSyncRecord::zoneChangeOnFatChangesNothing()
{
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Asia/Shanghai");
    mounts.erase(QStringLiteral("fat32"));
    auto c = setUp(QStringLiteral("fat32"));
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/a.txt", "in step", oldTime);
    Tree::writeFile(c->local + "/b.txt", "in step too", oldTime.addDays(1));
    CHECK_RUN(pair, pair.upload());
    const QStringList local = Tree::snapshot(c->local);
    for (const char *later : {"Europe/Berlin", "UTC"}) {
        qputenv("TZ", later);
        QVERIFY2(c->mount->remount(), qPrintable(c->mount->error()));
        CHECK_RUN(pair, pair.download());
        CHECK_BODY(pair, QStringList());
        CHECK_RUN(pair, pair.upload());
        CHECK_BODY(pair, QStringList());
        COMPARE_LISTS(Tree::snapshot(c->local), local);
    }
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    mounts.erase(QStringLiteral("fat32"));
}

void TestSyncRecord::filesNamedLikeTheProgramsAreCopied()
{
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    const QStringList names {".twinfold-probe.tmp", ".twinfold-probe-renamed.tmp",
                             ".twinfold-0123abcd.tmp", "sub/.twinfold-deadbeef.tmp"};
    for (const QString &name : names)
        Tree::writeFile(c->remote + "/" + name, name.toUtf8());
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());
    CHECK_BODY(pair, Tree::prefixed(QStringLiteral("Copied "), names));
    COMPARE_LISTS(Tree::snapshot(c->local), Tree::snapshot(c->remote));
}

void TestSyncRecord::caseTwinIsRefusedByItsOwnName()
{
    auto c = setUp(QStringLiteral("exfat"));
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/TODO.txt", "the synced one", oldTime);
    CHECK_RUN(pair, pair.upload());
    Tree::writeFile(c->local + "/todo.txt", "a newcomer");
    CHECK_RUN(pair, pair.upload());
    CHECK_BODY(pair, QStringList {"CaseTwin todo.txt"});
    COMPARE_LISTS(Tree::names(c->remote), QStringList {"TODO.txt"});
    QCOMPARE(Tree::readFile(c->remote + "/TODO.txt"), QByteArray("the synced one"));
}

// Deeper than a run goes: said once with the path, the rest copied, with
// few descriptors and a small stack.
void TestSyncRecord::deepTreeStopsAtADocumentedDepth()
{
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    QString deep = c->local;
    for (int level = 0; level < 300; ++level)
        deep += QStringLiteral("/d");
    Tree::writeFile(deep + "/bottom.txt", "too deep");
    Tree::writeFile(c->local + "/top.txt", "top");
    rlimit limit {};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    const rlimit kept = limit;
    limit.rlim_cur = 1024;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
    const SyncOutcome outcome = pair.upload();
    ::setrlimit(RLIMIT_NOFILE, &kept);
    CHECK_RUN(pair, outcome);
    QStringList body = pair.body();
    QCOMPARE(body.filter(QStringLiteral("Copied top.txt")).size(), 1);
    QCOMPARE(body.filter(QStringLiteral("TooDeep")).size(), 1);
    QVERIFY(QFileInfo::exists(c->remote + "/top.txt"));
    CHECK_RUN(pair, pair.upload());
    CHECK_BODY(pair, QStringList());
}

// An ext2 image with 128-byte inodes keeps times up to 2038.
void TestSyncRecord::timeTheTargetCannotHoldIsNotCarriedBack()
{
    auto c = setUp(QStringLiteral("ext2-whole-seconds"));
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    const QDateTime future(QDate(2040, 1, 2), QTime(3, 4, 5), Qt::UTC);
    Tree::writeFile(c->local + "/later.txt", "dated 2040", future);
    CHECK_RUN(pair, pair.upload());
    QVERIFY(Tree::modifiedMs(c->remote + "/later.txt") < future.toMSecsSinceEpoch());
    for (int round = 0; round < 2; ++round) {
        CHECK_RUN(pair, pair.download());
        CHECK_BODY(pair, QStringList());
        CHECK_RUN(pair, pair.upload());
        CHECK_BODY(pair, QStringList());
    }
    QCOMPARE(Tree::modifiedMs(c->local + "/later.txt"), future.toMSecsSinceEpoch());
}

void TestSyncRecord::lostRecordOverwritesNothing_data()
{
    QTest::addColumn<bool>("truncated");
    QTest::newRow("deleted") << false;
    QTest::newRow("truncated") << true;
}

// Edits on both sides, then the record is lost: never "in step", so
// nothing that differs is overwritten.
void TestSyncRecord::lostRecordOverwritesNothing()
{
    QFETCH(bool, truncated);
    auto c = setUp(QString());
    QVERIFY(c);
    SyncPair &pair = *c->pair;
    Tree::writeFile(c->local + "/a.txt", "v1", oldTime);
    Tree::writeFile(c->local + "/b.txt", "in step", oldTime);
    CHECK_RUN(pair, pair.upload());
    CHECK_RUN(pair, pair.download());
    Tree::writeFile(c->local + "/a.txt", "mine");
    Tree::writeFile(c->remote + "/a.txt", "theirs!");
    const QString file = pair.recordFile();
    for (const QString &part : QStringList {file, file + "-wal", file + "-shm"}) {
        QFile record(part);
        QVERIFY(!record.exists()
                || (truncated ? record.resize(record.size() / 3) : record.remove()));
    }
    QVERIFY(!pair.upload().completed);
    QStringList said {"BothDiffer a.txt"};
    if (truncated) // said once, and set aside, not deleted
        said << "RecordSetAside " + QDir::toNativeSeparators(file);
    CHECK_BODY(pair, said);
    QVERIFY(!pair.download().completed);
    CHECK_BODY(pair, QStringList {"BothDiffer a.txt"});
    QCOMPARE(Tree::readFile(c->local + "/a.txt"), QByteArray("mine"));
    QCOMPARE(Tree::readFile(c->remote + "/a.txt"), QByteArray("theirs!"));
}

QTEST_GUILESS_MAIN(TestSyncRecord)
#include "test_sync_record.moc"
