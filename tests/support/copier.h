#pragma once

#include "support/events.h"
#include "sync/fs/file_system.h"
#include "sync/walk/directory_copy.h"
#include "sync/walk/live_text.h"

#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>

// One copy set-up for the walk's tests: the pattern field's text, the cancel
// flag, the file system (the platform's own unless one is given), a sync
// record of its own that lasts across its runs, and the events of every run.
struct Copier
{
    explicit Copier(std::unique_ptr<FileSystem> fileSystem = nullptr)
        : fileSystem(std::move(fileSystem))
    { }

    CopyReport run(const QString &source, const QString &target, qint64 since = 0)
    {
        lastSource = source;
        DirectoryCopy copy({pattern,
                            [this](const SyncEvent &event) {
                                log.events.append(event);
                                if (onEvent)
                                    onEvent(event);
                            },
                            nullptr, &cancel, fileSystem.get(), recordFile()});
        const CopyReport report = copy.run(source, target, true, since);
        if (!report.cancelled)
            copy.finish(std::nullopt);
        return report;
    }

    // The events of the runs so far, paths relative to the last run's source.
    QStringList briefs() const { return log.briefs(lastSource); }
    // What the runs said, worded as the window words it, for failure messages.
    QString said() const { return log.said(); }

    LiveText pattern;
    std::atomic<bool> cancel {false};
    std::unique_ptr<FileSystem> fileSystem;
    std::function<void(const SyncEvent &)> onEvent;
    EventLog log;
    QString lastSource;
    QTemporaryDir recordDirectory;
    QString recordFile() const { return recordDirectory.filePath(QStringLiteral("record.sqlite")); }
};
