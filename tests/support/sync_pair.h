#pragma once

#include "sync/live_text.h"
#include "sync/once_notices.h"
#include "sync/sync_job.h"

#include <QStringList>

// The lines of a run between its start and its end line: the indented ones.
inline QStringList indentedLines(const QStringList &lines)
{
    QStringList inner;
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("    ")))
            inner << line;
    }
    return inner;
}

// Both directions of a sync in this process, with the stamps the window
// would keep and the lines of the last run.
struct SyncPair
{
    SyncPair(const QString &local, const QString &remote)
        : localDir(local)
        , remoteDir(remote)
        , localField(local)
    { }

    SyncOutcome run(SyncDirection direction)
    {
        lines.clear();
        SyncJob job(SyncShared {localDir, remoteDir, pattern, localField, &notices},
                    [this](const QString &line) { lines << line; });
        qint64 &stamp = direction == SyncDirection::Upload ? uploadTime : downloadTime;
        const SyncOutcome outcome = job.run(direction, stamp);
        if (outcome.completed)
            stamp = outcome.stamp;
        return outcome;
    }
    SyncOutcome upload() { return run(SyncDirection::Upload); }
    SyncOutcome download() { return run(SyncDirection::Download); }

    QStringList body() const { return indentedLines(lines); }
    QString said() const { return lines.join(QLatin1Char('\n')); }

    LiveText localDir;
    LiveText remoteDir;
    LiveText pattern {QStringLiteral("^\\..*/$")};
    LiveText localField;
    OnceNotices notices;
    qint64 uploadTime = 0;
    qint64 downloadTime = 0;
    QStringList lines;
};
