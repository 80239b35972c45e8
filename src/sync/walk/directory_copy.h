#pragma once

#include "sync/fs/file_system.h"
#include "sync/walk/copy_report.h"
#include "sync/walk/ignore_filter.h"
#include "sync/walk/sync_event.h"

#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class LiveText;
class OnceNotices;
class SyncRecord;

// Carries one directory tree into another: every file changed after `since`
// (a time of the source tree's own clock) goes to the same relative place,
// the directory skeleton is recreated, names matching the ignore pattern are
// skipped, and what happens to each file is an event.
//
// What happens to a file that exists on both sides is decideCopy's verdict
// (decision/copy_decision.h) against the sync record of the pair: a target
// is replaced only when it is known unchanged since the two were last in
// step and the source changed since. Writes appear whole or not at all.
// Nothing in either tree is ever deleted, and the source tree is only read.
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
        // The sync record's file; empty: one in memory, which remembers the
        // pair for as long as this object lives.
        QString recordFile = QString();
        // Upload: the source is the local tree (the record keeps each side).
        SyncDirection direction = SyncDirection::Upload;
    };

    explicit DirectoryCopy(Setup setup);
    ~DirectoryCopy();

    // The stamp the record keeps for this pair and direction: 0 for a pair
    // it does not know. A stamp kept elsewhere (the settings) may belong to
    // another pair; the earlier of the two is the one to trust.
    qint64 stampOfPair(const QString &source, const QString &target);
    // Looks at the files changed after sinceMs.
    CopyReport run(const QString &source, const QString &target, bool makeWritable, qint64 sinceMs);
    // Ends the last run: makes what it wrote durable (one flush of each file
    // system written to, not one per file), then lets the record keep what
    // it learned and, for a completed run, its new stamp. False, after a
    // FlushFailed event, when that fails. Without flushWrites (a measurement
    // against tools that do not flush), only the record is made durable.
    bool finish(std::optional<qint64> newStamp, bool flushWrites = true);
    bool isIgnored(const QString &name) { return filter.isIgnored(name); }

private:
    void measureClocks(const QString &source, const Directory &from, const Directory &into,
                       struct RunContext &run);
    void openRecord(const QString &source, const QString &target);

    QString recordFile;
    SyncDirection direction;
    std::unique_ptr<SyncRecord> record;
    QString recordRoots; // the pair the open record is of
    EventSink events;
    OnceNotices *notices;
    const std::atomic<bool> *cancel;
    std::unique_ptr<FileSystem> ownFileSystem;
    FileSystem *fileSystem;
    IgnoreFilter filter;
};
