#pragma once

#include "sync/copy_decision.h"
#include "sync/file_system.h"
#include "sync/ignore_filter.h"
#include "sync/tree_clock.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class LiveText;
class OnceNotices;

struct CopyReport
{
    bool sourceFound = true;
    int copied = 0;
    int failures = 0; // each one has had its line
    int deferred = 0; // stamped within the current tick: the next run takes them
    int skipped = 0; // names the target cannot hold: said, not retried
    bool cancelled = false;
    // What the run measured of the source tree's clock at its start; this
    // machine's clock when nothing could be created there.
    TreeClock sourceClock;

    bool complete() const { return sourceFound && failures == 0 && !cancelled; }
};

// Carries one directory tree into another: every file changed after `since`
// (a time of the source tree's own clock) goes to the same relative place,
// the directory skeleton is recreated, names matching the ignore pattern are
// skipped, and each copy is a log line.
//
// What happens to a file that exists on both sides is decideCopy's verdict
// (copy_decision.h): a target is replaced only when it is known unchanged
// since it was last in step and the source changed since. Writes appear
// whole or not at all. Nothing in either tree is ever deleted.
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
    // Where notices that would repeat on every run are remembered; without
    // it they are given every time.
    void setNotices(OnceNotices *notices) { this->notices = notices; }

private:
    // The target directory of one level. An existing one is opened only when
    // something in it is needed: a rescan in which nothing changed then costs
    // one look per directory that has no subdirectories.
    struct TargetLevel
    {
        enum State { Pending, Open, Failed };
        State state = Pending;
        const Directory *parent = nullptr;
        const DirectoryEntry *entry = nullptr;
        Directory directory;
    };

    // Files below a directory are looked at when changed after since; all
    // of them when the directory itself is new on the target side.
    void copyLevel(const Directory &from, TargetLevel &into, qint64 since, bool wholeTree);
    void copyFileEntry(const Directory &from, const DirectoryEntry &entry,
                       const EntryStatus &source, bool throughLink, TargetLevel &into,
                       qint64 since);
    void copyLinkEntry(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                       qint64 fileSince, qint64 linkSince);
    void copyDirectoryEntry(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                            qint64 since, bool wholeTree, bool parentChanged);
    void markCaseTwins(std::vector<DirectoryEntry> *entries);
    QString nameRefusal(const DirectoryEntry &entry) const;
    // The level's directory, opened now if it was not; null after a failure,
    // which is reported once.
    const Directory *openedTarget(TargetLevel &level);
    bool openTargetChild(const Directory &into, const DirectoryEntry &entry, Directory *child,
                         bool *created);
    void measureClocks(const QString &source, const Directory &from, const Directory &into);
    CopyDecision decide(const Directory &from, const DirectoryEntry &entry,
                        const EntryStatus &source, bool throughLink, const Directory &into,
                        const EntryStatus &existing);
    bool waitForSourceTime(qint64 sourceUs) const;
    bool staysInTargetTree(const QString &path);
    bool cancelRequested() const;
    void fail(const QString &path, const QString &reason);
    void refuse(const QString &line, const QString &path);
    void sayOnce(const QString &line, const QString &path, qint64 modifiedUs, qint64 size);
    QString shown(const QString &path) const;

    const LiveText &localFieldText;
    Log log;
    const std::atomic<bool> *cancel;
    std::unique_ptr<FileSystem> ownFileSystem;
    FileSystem *fileSystem;
    IgnoreFilter filter;
    OnceNotices *notices = nullptr;

    // State of the run under way.
    bool makeWritable = false;
    const Directory *targetRoot = nullptr;
    QString targetRootPath; // its canonical path with a trailing "/", once needed
    TreeClock targetClock;
    qint64 resolutionUs = 1; // the coarser of the two trees
    CopyReport report;
};
