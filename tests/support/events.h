#pragma once

#include "sync/walk/sync_event.h"

#include <QString>
#include <QStringList>
#include <QVector>

// What a run reported, kept for a test to compare: each event as a short
// line, "Copied docs/a.txt", "TargetNewer a.txt",
// "Failed(TargetIsDirectory) sub", "Failed(FileSystem:SourceChanged) b.txt",
// with paths relative to a root and written with "/".
QString brief(const SyncEvent &event, const QString &root);

struct EventLog
{
    QVector<SyncEvent> events;

    EventSink sink()
    {
        return [this](const SyncEvent &event) {
            events.append(event);
        };
    }
    void clear() { events.clear(); }
    // The events about files and directories (not those of the job), briefly.
    QStringList briefs(const QString &root) const;
    // Every event as the window words it, for a failure message.
    QString said(const QString &localField = QString()) const;
    int count(EventKind kind) const;
};
