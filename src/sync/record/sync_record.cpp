#include "sync/record/sync_record.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {

constexpr int schemaVersion = 1;

const char schema[] = R"(
CREATE TABLE IF NOT EXISTS pairs(
    id INTEGER PRIMARY KEY, local_root TEXT NOT NULL, remote_root TEXT NOT NULL,
    upload_stamp INTEGER NOT NULL DEFAULT 0, download_stamp INTEGER NOT NULL DEFAULT 0,
    running INTEGER NOT NULL DEFAULT 0, token TEXT NOT NULL,
    UNIQUE(local_root, remote_root));
CREATE TABLE IF NOT EXISTS entries(
    pair INTEGER NOT NULL, dir TEXT NOT NULL, name TEXT NOT NULL,
    local_size INTEGER, local_mtime INTEGER, local_id INTEGER, local_ctime INTEGER,
    local_digest BLOB,
    remote_size INTEGER, remote_mtime INTEGER, remote_id INTEGER, remote_ctime INTEGER,
    remote_digest BLOB,
    PRIMARY KEY(pair, dir, name)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS notices(
    pair INTEGER NOT NULL, path TEXT NOT NULL, kind INTEGER NOT NULL, version TEXT NOT NULL,
    PRIMARY KEY(pair, path, kind)) WITHOUT ROWID;
)";

void bindSide(SqliteStatement &statement, int first, const SideState &side)
{
    statement.bind(first, side.size);
    statement.bind(first + 1, side.modifiedUs);
    statement.bind(first + 2, qint64(side.fileId));
    statement.bind(first + 3, side.changedUs);
    statement.bind(first + 4, side.digest);
}

SideState sideAt(const SqliteStatement &statement, int first)
{
    SideState side;
    side.size = statement.integer(first);
    side.modifiedUs = statement.integer(first + 1);
    side.fileId = quint64(statement.integer(first + 2));
    side.changedUs = statement.integer(first + 3);
    side.digest = statement.blob(first + 4);
    return side;
}

int userVersion(SqliteDatabase &db)
{
    SqliteStatement version(db.handle(), "PRAGMA user_version");
    return version.step() ? int(version.integer(0)) : -1;
}

bool hasTables(SqliteDatabase &db)
{
    SqliteStatement tables(db.handle(), "SELECT count(*) FROM sqlite_master");
    return tables.step() && tables.integer(0) > 0;
}

} // namespace

SyncRecord::SyncRecord(const QString &file, const QString &localRoot, const QString &remoteRoot)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    switch (db.open(file)) {
    case SqliteDatabase::Opened::Fine:
        opened = hasTables(db) ? State::Known : State::New;
        if (opened == State::Known && userVersion(db) != schemaVersion) {
            why = QStringLiteral("a record of another version");
            startFresh(file);
        }
        break;
    case SqliteDatabase::Opened::Damaged:
        why = QStringLiteral("a damaged record");
        startFresh(file);
        break;
    case SqliteDatabase::Opened::Failed: why = db.lastError(); break;
    }
    if (db.isOpen() && setUp(localRoot, remoteRoot))
        return;
    // Nothing can be kept there: the run goes on with a record that
    // remembers nothing past its end.
    if (why.isEmpty())
        why = db.lastError();
    opened = State::Unavailable;
    if (db.open(QStringLiteral(":memory:")) == SqliteDatabase::Opened::Fine)
        setUp(localRoot, remoteRoot);
}

// What was never committed speaks of copies that may not be on the disk.
SyncRecord::~SyncRecord()
{
    discard();
}

// Set aside, not deleted: what it held may still explain something.
void SyncRecord::startFresh(const QString &file)
{
    db.close();
    const QString aside
            = file + QStringLiteral(".set-aside-%1").arg(QDateTime::currentMSecsSinceEpoch());
    QFile::rename(file, aside);
    for (const char *suffix : {"-wal", "-shm"})
        QFile::remove(file + QLatin1String(suffix));
    opened = db.open(file) == SqliteDatabase::Opened::Fine ? State::SetAside : State::Unavailable;
}

bool SyncRecord::setUp(const QString &localRoot, const QString &remoteRoot)
{
    // Commits are not waited for on the disk: each follows a flush of the
    // trees it speaks of, so the record never claims more than the trees
    // hold, and one a power cut loses only makes it know less. (Waiting
    // would also wait for every file written to the same file system
    // meanwhile: a quarter of a second after a large edit.)
    if (!db.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || !db.exec(schema))
        return false;
    if (userVersion(db) != schemaVersion
        && !db.exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion).toUtf8()))
        return false;
    SqliteStatement find(db.handle(),
                         "SELECT id, upload_stamp, download_stamp, running, token FROM pairs "
                         "WHERE local_root = ?1 AND remote_root = ?2");
    find.bind(1, localRoot);
    find.bind(2, remoteRoot);
    if (!find.step()) {
        // The pair's token, in the record before any name that carries it
        // is made; the same for every run, so that what a killed run left
        // is known and taken over by the next.
        SqliteStatement add(db.handle(),
                            "INSERT INTO pairs(local_root, remote_root, token) VALUES(?1, ?2, ?3)");
        add.bind(1, localRoot);
        add.bind(2, remoteRoot);
        add.bind(3, QString::number(QRandomGenerator::system()->generate64() | 1ULL << 63, 16)
                            .left(12));
        if (!add.run())
            return false;
        find.reset();
        find.bind(1, localRoot);
        find.bind(2, remoteRoot);
        if (!find.step())
            return false;
    }
    pairId = find.integer(0);
    stamps[0] = find.integer(1);
    stamps[1] = find.integer(2);
    wasInterrupted = find.integer(3) != 0;
    token = find.text(4);

    selectDirectory = std::make_unique<SqliteStatement>(
            db.handle(), "SELECT name, local_size, local_mtime, local_id, local_ctime, "
                         "local_digest, remote_size, remote_mtime, remote_id, remote_ctime, "
                         "remote_digest FROM entries WHERE pair = ?1 AND dir = ?2");
    upsertRow = std::make_unique<SqliteStatement>(
            db.handle(), "INSERT OR REPLACE INTO entries VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                         "?9, ?10, ?11, ?12, ?13)");
    deleteRow = std::make_unique<SqliteStatement>(
            db.handle(), "DELETE FROM entries WHERE pair = ?1 AND dir = ?2 AND name = ?3");
    selectNotice = std::make_unique<SqliteStatement>(
            db.handle(), "SELECT version FROM notices WHERE pair = ?1 AND path = ?2 AND kind = ?3");
    insertNotice = std::make_unique<SqliteStatement>(
            db.handle(), "INSERT OR REPLACE INTO notices VALUES(?1, ?2, ?3, ?4)");
    return true;
}

qint64 SyncRecord::stamp(SyncDirection direction) const
{
    return stamps[direction == SyncDirection::Upload ? 0 : 1];
}

void SyncRecord::setStamp(SyncDirection direction, qint64 stamp)
{
    const bool upload = direction == SyncDirection::Upload;
    stamps[upload ? 0 : 1] = stamp;
    joinBatch();
    SqliteStatement set(db.handle(), upload ? "UPDATE pairs SET upload_stamp = ?2 WHERE id = ?1"
                                            : "UPDATE pairs SET download_stamp = ?2 WHERE id = ?1");
    set.bind(1, pairId);
    set.bind(2, stamp);
    set.run();
}

void SyncRecord::beginRun()
{
    commit();
    SqliteStatement mark(db.handle(), "UPDATE pairs SET running = 1 WHERE id = ?1");
    mark.bind(1, pairId);
    mark.run();
}

void SyncRecord::endRun()
{
    commit();
    SqliteStatement mark(db.handle(), "UPDATE pairs SET running = 0 WHERE id = ?1");
    mark.bind(1, pairId);
    if (mark.run())
        wasInterrupted = false;
}

QHash<QString, RecordRow> SyncRecord::directory(const QString &relativeDir)
{
    QHash<QString, RecordRow> rows;
    if (!selectDirectory)
        return rows;
    selectDirectory->bind(1, pairId);
    selectDirectory->bind(2, relativeDir);
    while (selectDirectory->step()) {
        RecordRow row;
        row.local = sideAt(*selectDirectory, 1);
        row.remote = sideAt(*selectDirectory, 6);
        rows.insert(selectDirectory->text(0), row);
    }
    selectDirectory->reset();
    return rows;
}

void SyncRecord::put(const QString &relativeDir, const QString &name, const RecordRow &row)
{
    if (!upsertRow)
        return;
    joinBatch();
    upsertRow->bind(1, pairId);
    upsertRow->bind(2, relativeDir);
    upsertRow->bind(3, name);
    bindSide(*upsertRow, 4, row.local);
    bindSide(*upsertRow, 9, row.remote);
    upsertRow->run();
}

void SyncRecord::forget(const QString &relativeDir, const QString &name)
{
    if (!deleteRow)
        return;
    joinBatch();
    deleteRow->bind(1, pairId);
    deleteRow->bind(2, relativeDir);
    deleteRow->bind(3, name);
    deleteRow->run();
}

// Writes between two commits go in one transaction.
void SyncRecord::joinBatch()
{
    if (pending++ == 0)
        db.exec("BEGIN");
}

bool SyncRecord::commit()
{
    if (pending == 0)
        return true;
    pending = 0;
    return db.exec("COMMIT");
}

void SyncRecord::discard()
{
    if (pending == 0)
        return;
    pending = 0;
    db.exec("ROLLBACK");
}

bool SyncRecord::firstNotice(const QString &path, int kind, const QString &version)
{
    if (!selectNotice)
        return true;
    selectNotice->bind(1, pairId);
    selectNotice->bind(2, path);
    selectNotice->bind(3, qint64(kind));
    const bool given = selectNotice->step() && selectNotice->text(0) == version;
    selectNotice->reset();
    if (given)
        return false;
    joinBatch();
    insertNotice->bind(1, pairId);
    insertNotice->bind(2, path);
    insertNotice->bind(3, qint64(kind));
    insertNotice->bind(4, version);
    insertNotice->run();
    return true;
}
