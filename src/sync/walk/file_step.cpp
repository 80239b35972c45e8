#include "sync/walk/file_step.h"

#include "sync/walk/ignore_filter.h"
#include "sync/walk/run_context.h"
#include "sync/walk/target_level.h"
#include "sync/walk/target_names.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace {

// What a decision that leaves the pair alone as a failure says of it.
Failure refusalOf(CopyAction action)
{
    switch (action) {
    case CopyAction::Tie: return Failure::SameTimeOtherSize;
    case CopyAction::SourceIncomplete: return Failure::SourceCutShort;
    case CopyAction::RefuseLink: return Failure::TargetIsLink;
    case CopyAction::RefuseDirectory: return Failure::TargetIsDirectory;
    default: return Failure::TargetNotFile;
    }
}

} // namespace

void FileStep::copy(const Directory &from, const DirectoryEntry &entry, const EntryStatus &source,
                    qint64 arrivedUs, bool throughLink, TargetLevel &level, qint64 sinceMs)
{
    if (!changedAfter(arrivedUs, sinceMs))
        return;
    if (run.filter.isIgnored(entry.name))
        return;
    const QString path = from.path + entry.name;
    // No retry changes a name, so it is said, not counted as a failure: the
    // stamp moves on and the file is named again when it changes.
    if (const auto refusal = nameRefusal(entry, run.targetClock)) {
        ++run.report.skipped;
        run.sayOnce(*refusal, path, source.modifiedUs, source.size);
        return;
    }
    const Directory *opened = level.directory(run);
    if (!opened)
        return;
    const Directory &into = *opened;

    const EntryStatus existing = run.fileSystem.status(into, entry, false);
    if (existing.type == EntryType::Unknown) {
        run.fail(path, Failure::FileSystem, existing.error);
        return;
    }
    const CopyDecision decision = decide(from, entry, source, throughLink, into, existing);
    switch (decision.action) {
    case CopyAction::Copy:
    case CopyAction::Replace: break;
    case CopyAction::InStep: return;
    case CopyAction::KeepTarget: run.say(EventKind::TargetNewer, path); return;
    case CopyAction::Conflict: run.refuse(EventKind::BothChanged, path); return;
    case CopyAction::FutureUndecided: run.refuse(EventKind::FutureUndecided, path); return;
    case CopyAction::Defer:
        ++run.report.deferred;
        run.say(EventKind::Deferred, path);
        return;
    case CopyAction::KeepLink:
        // Said once: the stamp moves on, and the link is never written through.
        ++run.report.skipped;
        run.sayOnce(EventKind::KeptLink, path, source.modifiedUs, source.size);
        return;
    case CopyAction::Tie:
    case CopyAction::SourceIncomplete:
    case CopyAction::RefuseLink:
    case CopyAction::RefuseDirectory:
    case CopyAction::RefuseOther: run.fail(path, refusalOf(decision.action)); return;
    }
    if (decision.readAfterUs != 0 && !waitForSourceTime(decision.readAfterUs)) {
        run.report.cancelled = true;
        return;
    }

    CopyRequest request;
    request.followLink = throughLink;
    request.placement = decision.action == CopyAction::Copy ? Placement::New : Placement::Replace;
    request.source = source;
    request.replaced = existing;
    request.makeWritable = run.makeWritable;
    request.cancel = run.cancel;
    FsError error;
    switch (run.fileSystem.copyFile(from, entry, into, request, &error)) {
    case CopyResult::Copied:
        ++run.report.copied;
        run.say(EventKind::Copied, path);
        return;
    case CopyResult::TargetInUse:
        // Nothing was written; like a failure it keeps the stamp, so the next
        // run replaces the file once the other program lets go of it.
        run.refuse(EventKind::TargetInUse, path);
        return;
    case CopyResult::Failed:
        if (run.cancelRequested())
            run.report.cancelled = true;
        else
            run.fail(path, Failure::FileSystem, error);
        return;
    }
}

// The marks are read only when the times and sizes alone do not show the
// two in step: that is one open more for a changed file, none for the rest.
CopyDecision FileStep::decide(const Directory &from, const DirectoryEntry &entry,
                              const EntryStatus &source, bool throughLink, const Directory &into,
                              const EntryStatus &existing)
{
    DecisionInput input;
    input.source = source;
    input.target = existing;
    input.resolutionUs = run.resolutionUs;
    input.sourceTickUs = run.report.sourceClock.tickUs;
    input.sourceNowUs = run.report.sourceClock.nowUs();
    input.targetNowUs = run.targetClock.nowUs();
    if (existing.type == EntryType::Link) {
        input.linkedTarget = run.fileSystem.status(into, entry, true);
        input.linkStaysInTree = staysInTargetTree(into.path + entry.name);
        if (!throughLink)
            input.sourceMark = run.fileSystem.readMark(from, entry);
    } else if (existing.type == EntryType::File
               && !looksInStep(source, existing, run.resolutionUs)) {
        // A file reached through a link is never marked (it may lie outside
        // the tree), so a mark found there says nothing about this pair.
        if (!throughLink)
            input.sourceMark = run.fileSystem.readMark(from, entry);
        input.targetMark = run.fileSystem.readMark(into, entry);
    }
    return decideCopy(input);
}

// Whether the link at path, followed to the end, names a file inside the
// target tree. Only paths are compared: nothing is written through it.
bool FileStep::staysInTargetTree(const QString &path)
{
    if (run.targetRootPath.isEmpty()) // resolved once a run, when a link first needs it
        run.targetRootPath = QFileInfo(run.targetRoot->path).canonicalFilePath() + QLatin1Char('/');
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return !resolved.isEmpty() && run.targetRootPath.size() > 1
           && resolved.startsWith(run.targetRootPath);
}

// Until the source tree's clock shows sourceUs: at most longestTickWaitUs.
bool FileStep::waitForSourceTime(qint64 sourceUs) const
{
    const TreeClock &clock = run.report.sourceClock;
    for (qint64 left = sourceUs - clock.nowUs(); left > 0; left = sourceUs - clock.nowUs()) {
        if (run.cancelRequested())
            return false;
        QThread::usleep(static_cast<unsigned long>(std::min<qint64>(left, 10000)));
    }
    return true;
}
