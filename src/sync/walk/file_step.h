#pragma once

#include "sync/decision/copy_decision.h"
#include "sync/fs/entry.h"
#include "sync/fs/file_system.h"

struct RunContext;
struct RecordRow;
class LevelRecord;
class TargetLevel;

// One file of the source tree that the walk found: whether its name may go,
// what decideCopy says of it against the target and the record, the copy,
// and what the record keeps of the pair afterwards.
class FileStep
{
public:
    explicit FileStep(RunContext &run)
        : run(run)
    { }

    // source: the file's status, or that of the file a link leads to
    // (throughLink).
    void copy(const Directory &from, const DirectoryEntry &entry, const EntryStatus &source,
              bool throughLink, TargetLevel &level, LevelRecord &rows);

private:
    // One copy handed to the pool: what it was asked, the directories it
    // works in (its own handles of them when it runs beside the walk), and
    // how it went.
    struct Copy
    {
        CopyRequest request;
        const Directory *from = nullptr;
        const Directory *into = nullptr;
        Directory ownFrom;
        Directory ownInto;
        CopyResult result = CopyResult::Failed;
        FsError error;
        EntryStatus placed;
    };
    // What follows a copy, after its level may be gone: the run alone.
    static void copied(RunContext &run, const Copy &copy, const QString &path,
                       const QString &relativeDir, const QString &name, const EntryStatus &source,
                       const QByteArray &digest);
    static void keepRow(RunContext &run, const QString &relativeDir, const QString &name,
                        const EntryStatus &source, const EntryStatus &target,
                        const QByteArray &digest);
    DecisionInput inputFor(const EntryStatus &source, const EntryStatus &existing,
                           const RecordRow *row) const;
    bool compareContents(const Directory &from, const DirectoryEntry &entry, bool throughLink,
                         const Directory &into, DecisionInput *input, QByteArray *digest);
    void keep(LevelRecord &rows, const DirectoryEntry &entry, const EntryStatus &source,
              const EntryStatus &target, const QByteArray &digest);
    bool waitForSourceTime(qint64 sourceUs) const;
    bool staysInTargetTree(const QString &path);

    RunContext &run;
};
