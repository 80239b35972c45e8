#pragma once

#include "sync/decision/side_state.h"
#include "sync/record/sqlite_database.h"
#include "sync/walk/sync_event.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

// A file both trees hold, as it was when the program last put them in step.
struct RecordRow
{
    SideState local;
    SideState remote;

    const SideState &side(bool local) const { return local ? this->local : remote; }
    SideState &side(bool local) { return local ? this->local : remote; }
};

// The program's memory of one pair of trees, kept in a SQLite file of its
// own (never inside either tree), keyed by the pair's canonical roots: per
// relative path, what each side looked like right after the last copy or
// agreement; the pair's stamps; the notices given once; and the token in the
// names of the program's own files. A record that is missing, damaged or of
// another version knows nothing; it is never taken for "in step".
//
// Writes are batched: put() collects, commit() writes them in one
// transaction. A run marks itself begun (committed at once) and ended: a run
// that did not end (killed, a power cut) may have copied files whose rows
// were never written, which interrupted() tells the next run.
class SyncRecord
{
public:
    enum class State {
        Known, // opened as it was
        New, // no record was there
        SetAside, // the file was damaged or of another version: set aside, a new one begun
        Unavailable, // nothing can be stored there: this run remembers nothing
    };

    SyncRecord(const QString &file, const QString &localRoot, const QString &remoteRoot);
    ~SyncRecord();
    SyncRecord(const SyncRecord &) = delete;
    SyncRecord &operator=(const SyncRecord &) = delete;

    State state() const { return opened; }
    QString problem() const { return why; }

    qint64 stamp(SyncDirection direction) const;
    void setStamp(SyncDirection direction, qint64 stamp);

    bool interrupted() const { return wasInterrupted; }
    void beginRun();
    void endRun();

    // The rows of one directory, by name; relativeDir is "" for the root,
    // else "a/b" with "/".
    QHash<QString, RecordRow> directory(const QString &relativeDir);
    void put(const QString &relativeDir, const QString &name, const RecordRow &row);
    void forget(const QString &relativeDir, const QString &name);
    bool commit();
    // Drops what was put since the last commit.
    void discard();

    // True the first time a notice of this kind is asked for this path and
    // version (what the file looked like); remembered across runs.
    bool firstNotice(const QString &path, int kind, const QString &version);

    // The pair's token for the names of the program's own files
    // (temporaries, probes), recorded before any is made.
    QString pairToken() const { return token; }

private:
    bool setUp(const QString &localRoot, const QString &remoteRoot);
    void startFresh(const QString &file);
    void joinBatch();

    SqliteDatabase db;
    State opened = State::Unavailable;
    QString why;
    qint64 pairId = -1;
    qint64 stamps[2] = {0, 0};
    bool wasInterrupted = false;
    QString token;
    int pending = 0;
    std::unique_ptr<SqliteStatement> selectDirectory;
    std::unique_ptr<SqliteStatement> upsertRow;
    std::unique_ptr<SqliteStatement> deleteRow;
    std::unique_ptr<SqliteStatement> selectNotice;
    std::unique_ptr<SqliteStatement> insertNotice;
};
