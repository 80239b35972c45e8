#pragma once

#include <QByteArray>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// The little of SQLite's C API the record uses, with its resources owned:
// a connection, prepared statements with bound values, transactions.

class SqliteStatement
{
public:
    SqliteStatement(sqlite3 *db, const char *sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    bool prepared() const { return statement != nullptr; }
    // Indexes count from 1, as SQLite's do.
    void bind(int index, qint64 value);
    void bind(int index, const QString &value);
    void bind(int index, const QByteArray &value);
    // True while a row is there to read; false at the end or on an error.
    bool step();
    // Runs it to its end: true when that went without an error.
    bool run();
    void reset();

    qint64 integer(int column) const;
    QString text(int column) const;
    QByteArray blob(int column) const;

private:
    sqlite3_stmt *statement = nullptr;
    bool failed = false;
};

class SqliteDatabase
{
public:
    enum class Opened { Fine, Damaged, Failed };

    SqliteDatabase() = default;
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase &) = delete;
    SqliteDatabase &operator=(const SqliteDatabase &) = delete;

    // Damaged: the file is there but holds no database SQLite can read.
    Opened open(const QString &path);
    void close();
    bool isOpen() const { return db != nullptr; }
    bool exec(const char *sql);
    QString lastError() const;
    sqlite3 *handle() const { return db; }

private:
    sqlite3 *db = nullptr;
};
