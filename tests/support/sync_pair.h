#pragma once

#include "support/events.h"
#include "sync/job/sync_job.h"
#include "sync/walk/live_text.h"
#include "sync/walk/once_notices.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>

// Both directions of a sync in this process, with the stamps the window
// would keep and the events of the last run.
struct SyncPair
{
    SyncPair(const QString &local, const QString &remote)
        : localDir(local)
        , remoteDir(remote)
    { }

    SyncOutcome run(SyncDirection direction)
    {
        log.clear();
        lastSource = direction == SyncDirection::Upload ? localDir.text() : remoteDir.text();
        SyncJob job(
                {localDir, remoteDir, pattern, &notices, recordFile()},
                [this](const SyncEvent &event) {
                    log.events.append(event);
                    if (onEvent)
                        onEvent(event);
                },
                &cancel);
        qint64 &stamp = direction == SyncDirection::Upload ? uploadTime : downloadTime;
        const SyncOutcome outcome = job.run(direction, stamp);
        if (outcome.completed)
            stamp = outcome.stamp;
        return outcome;
    }
    SyncOutcome upload() { return run(SyncDirection::Upload); }
    SyncOutcome download() { return run(SyncDirection::Download); }

    // The last run's events about files, paths relative to its source.
    QStringList body() const { return log.briefs(lastSource); }
    // The last run as the window would log it.
    QString said() const { return log.said(QDir::toNativeSeparators(localDir.text())); }

    LiveText localDir;
    LiveText remoteDir;
    LiveText pattern {QStringLiteral("^\\..*/$")};
    OnceNotices notices;
    qint64 uploadTime = 0;
    qint64 downloadTime = 0;
    std::atomic<bool> cancel {false};
    std::function<void(const SyncEvent &)> onEvent;
    EventLog log;
    QString lastSource;
    // The record lasts as long as the pair: the runs of the window's jobs
    // share theirs the same way.
    QTemporaryDir recordDirectory;
    QString recordFile() const { return recordDirectory.filePath(QStringLiteral("record.sqlite")); }
};
