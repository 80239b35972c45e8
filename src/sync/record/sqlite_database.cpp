#include "sync/record/sqlite_database.h"

#include <QFile>

#include <sqlite3.h>

SqliteStatement::SqliteStatement(sqlite3 *db, const char *sql)
{
    if (db && sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(statement);
}

void SqliteStatement::bind(int index, qint64 value)
{
    if (statement)
        sqlite3_bind_int64(statement, index, value);
}

void SqliteStatement::bind(int index, const QString &value)
{
    if (!statement)
        return;
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(statement, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
}

void SqliteStatement::bind(int index, const QByteArray &value)
{
    if (!statement)
        return;
    if (value.isNull())
        sqlite3_bind_null(statement, index);
    else
        sqlite3_bind_blob(statement, index, value.constData(), value.size(), SQLITE_TRANSIENT);
}

bool SqliteStatement::step()
{
    if (!statement || failed)
        return false;
    const int result = sqlite3_step(statement);
    failed = result != SQLITE_ROW && result != SQLITE_DONE;
    return result == SQLITE_ROW;
}

bool SqliteStatement::run()
{
    while (step()) { }
    const bool fine = statement && !failed;
    reset();
    return fine;
}

void SqliteStatement::reset()
{
    if (statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    failed = false;
}

qint64 SqliteStatement::integer(int column) const
{
    return sqlite3_column_int64(statement, column);
}

QString SqliteStatement::text(int column) const
{
    const auto *utf8 = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    return QString::fromUtf8(utf8, sqlite3_column_bytes(statement, column));
}

QByteArray SqliteStatement::blob(int column) const
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return QByteArray();
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return QByteArray(data, sqlite3_column_bytes(statement, column));
}

SqliteDatabase::~SqliteDatabase()
{
    close();
}

SqliteDatabase::Opened SqliteDatabase::open(const QString &path)
{
    close();
    const QByteArray name = path.toUtf8();
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK) {
        close();
        return Opened::Failed;
    }
    sqlite3_busy_timeout(db, 5000);
    // No checkpoint when a run closes the record: its flush to the disk would
    // wait for everything else written to that file system meanwhile (a
    // quarter of a second after a large edit). The log is copied back now
    // and then as it grows, and read again at the next open.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // A file that is no database only says so when it is first read.
    SqliteStatement check(db, "SELECT count(*) FROM sqlite_master");
    if (!check.prepared() || !check.step()) {
        const int code = sqlite3_errcode(db);
        close();
        return code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? Opened::Damaged : Opened::Failed;
    }
    return Opened::Fine;
}

void SqliteDatabase::close()
{
    if (db)
        sqlite3_close_v2(db); // also with a statement still open: closed once it is finalized
    db = nullptr;
}

bool SqliteDatabase::exec(const char *sql)
{
    return db && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QString SqliteDatabase::lastError() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("no database");
}
