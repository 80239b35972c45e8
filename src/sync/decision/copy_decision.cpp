#include "sync/decision/copy_decision.h"

#include "sync/decision/tree_clock.h"

#include <algorithm>

namespace {

bool sameTime(qint64 aUs, qint64 bUs, qint64 resolutionUs)
{
    return floorTo(aUs, resolutionUs) == floorTo(bUs, resolutionUs);
}

// The file is still in the state the mark recorded.
bool matches(const EntryStatus &file, const CopyMark &mark, qint64 resolutionUs)
{
    return mark.present && file.size == mark.size
           && sameTime(file.modifiedUs, mark.modifiedUs, resolutionUs);
}

// A copy this program wrote that has its mark's time but fewer bytes was
// cut short (a power cut before the data reached the disk): an edit would
// have given it a new time.
bool cutShort(const EntryStatus &file, const CopyMark &mark, qint64 resolutionUs)
{
    return mark.present && mark.written && file.size < mark.size
           && sameTime(file.modifiedUs, mark.modifiedUs, resolutionUs);
}

// Which side changed since the two were last in step, as far as the marks
// tell; InStep stands for "they tell nothing".
CopyAction byMarks(const DecisionInput &in)
{
    const qint64 resolution = in.resolutionUs;
    const bool sourceUnchanged = matches(in.source, in.sourceMark, resolution);
    const bool targetUnchanged = matches(in.target, in.targetMark, resolution);
    if (targetUnchanged && !sourceUnchanged)
        return CopyAction::Replace;
    if (sourceUnchanged && !targetUnchanged)
        return CopyAction::KeepTarget;
    if (sourceUnchanged && targetUnchanged)
        return CopyAction::InStep; // each in step with some other copy: no evidence here

    // Neither is as its own mark says. A mark that the other side still
    // matches names the state both had: that side is the unchanged one.
    if (matches(in.source, in.targetMark, resolution))
        return CopyAction::KeepTarget;
    if (matches(in.target, in.sourceMark, resolution))
        return CopyAction::Replace;
    // A stale mark shows its file changed since a sync, and the other side
    // is not in the state of that sync either.
    if (in.sourceMark.present || in.targetMark.present)
        return CopyAction::Conflict;
    return CopyAction::InStep;
}

// Where no mark could be kept: the times, at the coarser resolution. A time
// ahead of its own tree's clock says nothing about which side is newer.
CopyAction byTimes(const DecisionInput &in)
{
    const qint64 resolution = in.resolutionUs;
    if (in.source.modifiedUs > in.sourceNowUs + futureSlackUs
        || in.target.modifiedUs > in.targetNowUs + futureSlackUs)
        return CopyAction::FutureUndecided;
    const qint64 source = floorTo(in.source.modifiedUs, resolution);
    const qint64 target = floorTo(in.target.modifiedUs, resolution);
    if (source > target)
        return CopyAction::Replace;
    if (source < target)
        return CopyAction::KeepTarget;
    return CopyAction::Tie;
}

// Copy or Replace, unless the source's tick is still running.
CopyDecision whenSettled(CopyAction action, const DecisionInput &in)
{
    const qint64 unit = std::max({in.sourceTickUs, in.resolutionUs, qint64(1)});
    const qint64 tickEnd = floorTo(in.source.modifiedUs, unit) + unit;
    const qint64 now = in.sourceNowUs;
    if (tickEnd <= now || in.source.modifiedUs > now + unit + futureSlackUs)
        return {action, 0}; // the tick is over, or the time is no tick of this clock
    if (tickEnd - now <= longestTickWaitUs)
        return {action, tickEnd};
    return {CopyAction::Defer, 0};
}

// A link to a file at the target: the other direction copied through it, as
// a file, what it points to. In step while the two agree; never written
// through. A link that leads out of the tree, where the source is no copy
// made through it, is no link of the user's tree: refused.
CopyDecision overLink(const DecisionInput &in)
{
    if (in.linkedTarget.type != EntryType::File)
        return {CopyAction::RefuseLink, 0};
    const bool copiedThroughIt = in.sourceMark.present && in.sourceMark.written;
    if (!copiedThroughIt && !in.linkStaysInTree)
        return {CopyAction::RefuseLink, 0};
    if (looksInStep(in.source, in.linkedTarget, in.resolutionUs))
        return {CopyAction::InStep, 0};
    if (matches(in.source, in.sourceMark, in.resolutionUs))
        return {CopyAction::KeepTarget, 0}; // the linked file changed: it goes the other way
    return {CopyAction::KeepLink, 0};
}

} // namespace

bool looksInStep(const EntryStatus &a, const EntryStatus &b, qint64 resolutionUs)
{
    return a.size == b.size && sameTime(a.modifiedUs, b.modifiedUs, resolutionUs);
}

CopyDecision decideCopy(const DecisionInput &in)
{
    switch (in.target.type) {
    case EntryType::Missing: return whenSettled(CopyAction::Copy, in);
    case EntryType::File: break;
    case EntryType::Link: return overLink(in);
    case EntryType::Directory: return {CopyAction::RefuseDirectory, 0};
    default: return {CopyAction::RefuseOther, 0};
    }
    if (looksInStep(in.source, in.target, in.resolutionUs))
        return {CopyAction::InStep, 0};
    if (cutShort(in.source, in.sourceMark, in.resolutionUs))
        return {CopyAction::SourceIncomplete, 0};
    CopyAction action = cutShort(in.target, in.targetMark, in.resolutionUs) ? CopyAction::Replace
                                                                            : byMarks(in);
    if (action == CopyAction::InStep)
        action = byTimes(in);
    if (action == CopyAction::Replace)
        return whenSettled(action, in);
    return {action, 0};
}
