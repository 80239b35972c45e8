#pragma once

#include "sync/file_system.h"
#include "sync/ignore_filter.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class LiveText;

struct CopyReport
{
    bool sourceFound = true;
    int copied = 0;
    int failures = 0; // each one has had its "复制失败" line
    bool cancelled = false;

    bool complete() const { return sourceFound && failures == 0 && !cancelled; }
};

// Carries one directory tree into another: every file changed after `since`
// goes to the same relative place, the directory skeleton is recreated, names
// matching the ignore pattern are skipped, and each copy is a log line.
//
// A changed file replaces the target only when the target is older; a newer
// target is kept and reported, and so is one of the same age but another
// size unless the source changed after it. Writes appear whole or not at
// all. Nothing in either tree is ever deleted.
class DirectoryCopy
{
public:
    using Log = std::function<void(const QString &)>;

    // The two texts are read at every use, so an edit made while a copy runs
    // applies from the next entry on. cancel, when set, stops the copy at the
    // next file boundary.
    DirectoryCopy(const LiveText &ignorePattern, const LiveText &localFieldText, Log log,
                  const std::atomic<bool> *cancel = nullptr, FileSystem *fileSystem = nullptr);
    ~DirectoryCopy();

    CopyReport run(const QString &source, const QString &target, bool makeWritable, qint64 since);
    // Makes every file the runs so far wrote durable: one flush of each file
    // system written to, not one per file. A job calls it before it stores a
    // new time stamp. False, after a failure line, when that fails.
    bool flush();
    bool isIgnored(const QString &name) { return filter.isIgnored(name); }

private:
    void copyLevel(const Directory &from, const Directory &into);
    void copyFileEntry(const Directory &from, const DirectoryEntry &entry,
                       const EntryStatus &source, bool throughLink, const Directory &into);
    void copyLinkEntry(const Directory &from, const DirectoryEntry &entry, const Directory &into);
    void copyDirectoryEntry(const Directory &from, const DirectoryEntry &entry,
                            const Directory &into);
    bool openTargetChild(const Directory &into, const DirectoryEntry &entry, Directory *child);
    bool cancelRequested() const;
    void fail(const QString &path, const QString &reason);
    QString shown(const QString &path) const;

    const LiveText &localFieldText;
    Log log;
    const std::atomic<bool> *cancel;
    std::unique_ptr<FileSystem> ownFileSystem;
    FileSystem *fileSystem;
    IgnoreFilter filter;

    // State of the run under way.
    bool makeWritable = false;
    qint64 since = 0;
    const Directory *targetRoot = nullptr;
    CopyReport report;
};
