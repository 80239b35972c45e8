#pragma once

#include "sync/record/sync_record.h"

#include <QHash>
#include <QString>

#include <optional>

// The record's rows for one directory of the walk, read from the record when
// a file of it is first looked at: a rescan that finds nothing changed reads
// none of them.
class LevelRecord
{
public:
    LevelRecord(SyncRecord &record, QString relativeDir)
        : record(record)
        , dir(std::move(relativeDir))
    { }

    // "" for the root, else "a/b".
    const QString &relativeDir() const { return dir; }
    // Null when the record holds nothing for this name.
    const RecordRow *row(const QString &name)
    {
        if (!rows)
            rows = record.directory(dir);
        const auto found = rows->constFind(name);
        return found == rows->constEnd() ? nullptr : &found.value();
    }
    // A path below this directory, relative to the tree's root.
    QString below(const QString &name) const
    {
        return dir.isEmpty() ? name : dir + QLatin1Char('/') + name;
    }

private:
    SyncRecord &record;
    QString dir;
    std::optional<QHash<QString, RecordRow>> rows;
};
