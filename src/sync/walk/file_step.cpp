#include "sync/walk/file_step.h"

#include "sync/record/sync_record.h"
#include "sync/walk/copy_pool.h"
#include "sync/walk/ignore_filter.h"
#include "sync/walk/level_record.h"
#include "sync/walk/run_context.h"
#include "sync/walk/target_level.h"
#include "sync/walk/target_names.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

// What a decision that leaves the pair alone as a failure says of it.
Failure refusalOf(CopyAction action)
{
    switch (action) {
    case CopyAction::RefuseLink: return Failure::TargetIsLink;
    case CopyAction::RefuseDirectory: return Failure::TargetIsDirectory;
    default: return Failure::TargetNotFile;
    }
}

} // namespace

void FileStep::copy(const Directory &from, const DirectoryEntry &entry, const EntryStatus &source,
                    bool throughLink, TargetLevel &level, LevelRecord &rows)
{
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

    // In a directory this run made, another program's file is found when
    // the copy is placed (it is never replaced); a lookup each would cost a
    // round trip per file on a share.
    EntryStatus existing
            = level.madeByRun() ? EntryStatus() : run.fileSystem.status(into, entry, false);
    if (existing.type == EntryType::Unknown) {
        run.fail(path, Failure::FileSystem, existing.error);
        return;
    }
    const RecordRow *row = rows.row(entry.name);
    DecisionInput input;
    CopyDecision decision;
    QByteArray digest;
    const auto decide = [&] {
        input = inputFor(source, existing, row);
        if (existing.type == EntryType::Link) {
            input.linkedTarget = run.fileSystem.status(into, entry, true);
            input.linkStaysInTree = staysInTargetTree(into.path + entry.name);
        }
        decision = decideCopy(input);
        if (decision.action != CopyAction::CompareContents)
            return true;
        if (!compareContents(from, entry, throughLink, into, &input, &digest))
            return false;
        decision = decideCopy(input);
        return true;
    };
    if (!decide())
        return;
    // A share's client may have shown the target as its cache remembers it:
    // asked afresh, it may have changed on the server since.
    if (decision.action == CopyAction::Replace) {
        const EntryStatus fresh = run.fileSystem.freshStatus(into, entry);
        if (fresh.type != existing.type || fresh.size != existing.size
            || fresh.modifiedUs != existing.modifiedUs || fresh.fileId != existing.fileId) {
            existing = fresh;
            digest.clear();
            if (!decide())
                return;
        }
    }
    switch (decision.action) {
    case CopyAction::Copy:
    case CopyAction::Replace: break;
    case CopyAction::InStep:
    case CopyAction::LeaveRemoved:
    case CopyAction::CompareContents: // decided above
        return;
    case CopyAction::Record: keep(rows, entry, source, existing, digest); return;
    case CopyAction::KeepTarget: run.say(EventKind::TargetNewer, path); return;
    case CopyAction::Conflict:
        run.refuse(row ? EventKind::BothChanged : EventKind::BothDiffer, path);
        return;
    case CopyAction::Defer:
        ++run.report.deferred;
        run.say(EventKind::Deferred, path);
        return;
    case CopyAction::KeepLink:
        // Said once: the stamp moves on, and the link is never written through.
        ++run.report.skipped;
        run.sayOnce(EventKind::KeptLink, path, source.modifiedUs, source.size);
        return;
    case CopyAction::RefuseLink:
    case CopyAction::RefuseDirectory:
    case CopyAction::RefuseOther: run.fail(path, refusalOf(decision.action)); return;
    }
    if (decision.readAfterUs != 0 && !waitForSourceTime(decision.readAfterUs)) {
        run.report.cancelled = true;
        return;
    }

    auto copy = std::make_shared<Copy>();
    copy->request.followLink = throughLink;
    copy->request.placement
            = decision.action == CopyAction::Copy ? Placement::New : Placement::Replace;
    copy->request.source = source;
    copy->request.replaced = existing;
    copy->request.makeWritable = run.makeWritable;
    copy->request.cancel = run.cancel;
    copy->request.placed = &copy->placed;
    copy->from = &from;
    copy->into = &into;
    // Decided here, copied perhaps beside other copies (in other directories
    // too: each holds its own handles of the two directories), and what
    // follows is done here again as it completes.
    FileSystem &fileSystem = run.fileSystem;
    const bool beside = run.copies->parallel() && fileSystem.duplicate(from, &copy->ownFrom)
                        && fileSystem.duplicate(into, &copy->ownInto);
    if (beside) {
        copy->from = &copy->ownFrom;
        copy->into = &copy->ownInto;
    }
    RunContext &context = run;
    const QString relativeDir = rows.relativeDir();
    auto work = [&fileSystem, entry, copy] {
        // A copy still waiting when the run is cancelled costs no round trip.
        const std::atomic<bool> *cancel = copy->request.cancel;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            copy->error = FsError {FsFault::Cancelled, 0, QString()};
            return; // Failed, and said as the cancel
        }
        copy->result
                = fileSystem.copyFile(*copy->from, entry, *copy->into, copy->request, &copy->error);
        // What the target reads back is what the record keeps: a file
        // system that stores times coarsely, shifted or clamped stays quiet.
        if (copy->result == CopyResult::Copied && copy->placed.type != EntryType::File)
            copy->placed = fileSystem.freshStatus(*copy->into, entry);
    };
    auto then = [&context, copy, path, relativeDir, name = entry.name, source, digest] {
        copied(context, *copy, path, relativeDir, name, source, digest);
    };
    if (beside)
        run.copies->submit(&into, std::move(work), std::move(then));
    else
        run.copies->runHere(std::move(work), std::move(then));
}

void FileStep::copied(RunContext &run, const Copy &copy, const QString &path,
                      const QString &relativeDir, const QString &name, const EntryStatus &source,
                      const QByteArray &digest)
{
    switch (copy.result) {
    case CopyResult::Copied:
        ++run.report.copied;
        run.say(EventKind::Copied, path);
        keepRow(run, relativeDir, name, source, copy.placed, digest);
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
            run.fail(path, Failure::FileSystem, copy.error);
        return;
    }
}

DecisionInput FileStep::inputFor(const EntryStatus &source, const EntryStatus &existing,
                                 const RecordRow *row) const
{
    DecisionInput input;
    input.source = source;
    input.target = existing;
    if (row) {
        input.recordedSource = row->side(run.sourceIsLocal);
        input.recordedTarget = row->side(!run.sourceIsLocal);
    }
    input.sourceTraits = run.sourceTraits;
    input.targetTraits = run.targetTraits;
    input.everything = run.sinceCleared;
    input.rowsMayBeMissing = run.rowsMayBeMissing;
    input.sourceTickUs = run.report.sourceClock.tickUs;
    input.sourceNowUs = run.report.sourceClock.nowUs();
    return input;
}

// Reads both files; false, after saying why, when one cannot be read.
bool FileStep::compareContents(const Directory &from, const DirectoryEntry &entry, bool throughLink,
                               const Directory &into, DecisionInput *input, QByteArray *digest)
{
    QByteArray theirs;
    FsError error = run.fileSystem.digest(from, entry, throughLink, digest);
    if (!error.failed())
        error = run.fileSystem.digest(into, entry, false, &theirs);
    if (error.failed()) {
        run.fail(from.path + entry.name, Failure::FileSystem, error);
        return false;
    }
    input->contentsEqual = *digest == theirs;
    if (!*input->contentsEqual)
        digest->clear(); // it speaks of the source alone
    return true;
}

void FileStep::keep(LevelRecord &rows, const DirectoryEntry &entry, const EntryStatus &source,
                    const EntryStatus &target, const QByteArray &digest)
{
    keepRow(run, rows.relativeDir(), entry.name, source, target, digest);
}

void FileStep::keepRow(RunContext &run, const QString &relativeDir, const QString &name,
                       const EntryStatus &source, const EntryStatus &target,
                       const QByteArray &digest)
{
    RecordRow row;
    row.side(run.sourceIsLocal) = sideStateOf(source, run.sourceTraits, digest);
    row.side(!run.sourceIsLocal) = sideStateOf(target, run.targetTraits, digest);
    run.keep(relativeDir, name, row);
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
