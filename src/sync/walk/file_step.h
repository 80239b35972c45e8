#pragma once

#include "sync/decision/copy_decision.h"
#include "sync/fs/entry.h"

struct RunContext;
class TargetLevel;

// One file of the source tree that the walk found: whether it changed after
// the stamp, whether its name may go, what decideCopy says of it against
// the target, and the copy.
class FileStep
{
public:
    explicit FileStep(RunContext &run)
        : run(run)
    { }

    // source: the file's status, or that of the file a link leads to
    // (throughLink); arrivedUs: the latest time it changed or arrived in the
    // tree (for a link, also when the link was made).
    void copy(const Directory &from, const DirectoryEntry &entry, const EntryStatus &source,
              qint64 arrivedUs, bool throughLink, TargetLevel &level, qint64 sinceMs);

private:
    CopyDecision decide(const Directory &from, const DirectoryEntry &entry,
                        const EntryStatus &source, bool throughLink, const Directory &into,
                        const EntryStatus &existing);
    bool waitForSourceTime(qint64 sourceUs) const;
    bool staysInTargetTree(const QString &path);

    RunContext &run;
};
