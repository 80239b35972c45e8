#pragma once

#include "sync/fs/file_system.h"
#include "sync/walk/copy_report.h"
#include "sync/walk/ignore_filter.h"
#include "sync/walk/sync_event.h"

#include <QString>

#include <atomic>
#include <memory>

class LiveText;
class OnceNotices;

// Carries one directory tree into another: every file changed after `since`
// (a time of the source tree's own clock) goes to the same relative place,
// the directory skeleton is recreated, names matching the ignore pattern are
// skipped, and what happens to each file is an event.
//
// What happens to a file that exists on both sides is decideCopy's verdict
// (decision/copy_decision.h): a target is replaced only when it is known
// unchanged since it was last in step and the source changed since. Writes
// appear whole or not at all. Nothing in either tree is ever deleted.
class DirectoryCopy
{
public:
    struct Setup
    {
        const LiveText &ignorePattern; // read at every name: an edit applies from the next one
        EventSink events;
        // Where notices that would repeat on every run are remembered;
        // without them they are given every time.
        OnceNotices *notices = nullptr;
        const std::atomic<bool> *cancel = nullptr; // stops the copy at the next file or block
        FileSystem *fileSystem = nullptr; // the platform's own when null
    };

    explicit DirectoryCopy(Setup setup);
    ~DirectoryCopy();

    CopyReport run(const QString &source, const QString &target, bool makeWritable, qint64 sinceMs);
    // Makes every file the runs so far wrote durable: one flush of each file
    // system written to, not one per file. A job calls it before it stores a
    // new time stamp. False, after a FlushFailed event, when that fails.
    bool flush();
    bool isIgnored(const QString &name) { return filter.isIgnored(name); }

private:
    void measureClocks(const QString &source, const Directory &from, const Directory &into,
                       struct RunContext &run);

    EventSink events;
    OnceNotices *notices;
    const std::atomic<bool> *cancel;
    std::unique_ptr<FileSystem> ownFileSystem;
    FileSystem *fileSystem;
    IgnoreFilter filter;
};
