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
    // One copy handed to the pool: what it was asked, and how it went.
    struct Copy
    {
        CopyRequest request;
        CopyResult result = CopyResult::Failed;
        FsError error;
        EntryStatus placed;
    };
    void copied(const Copy &copy, const QString &path, const DirectoryEntry &entry,
                const EntryStatus &source, const Directory &into, LevelRecord &rows,
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
