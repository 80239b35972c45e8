#include "sync/decision/copy_decision.h"

#include "sync/decision/tree_clock.h"

#include <algorithm>

namespace {

constexpr qint64 hourUs = 3600LL * 1000000;

// How a side stands against what the record says of it.
enum class SideChange {
    Unchanged,
    Changed,
    // Its time moved by whole hours (FAT's times after a time-zone change):
    // the contents tell whether it changed.
    Uncertain,
};

bool sameTime(qint64 aUs, qint64 bUs, qint64 resolutionUs)
{
    return floorTo(aUs, resolutionUs) == floorTo(bUs, resolutionUs);
}

// A zone change on FAT (or a machine's zone set differently) moves every
// time of a tree by whole hours, up to a day.
bool shiftedByWholeHours(qint64 aUs, qint64 bUs, qint64 resolutionUs)
{
    const qint64 shift = floorTo(aUs, resolutionUs) - floorTo(bUs, resolutionUs);
    return shift != 0 && shift % hourUs == 0 && std::abs(shift) <= 26 * hourUs;
}

SideChange changeOf(const EntryStatus &now, const SideState &recorded, const SideTraits &traits)
{
    if (now.size != recorded.size
        || (traits.idsLast && recorded.fileId != 0 && now.fileId != recorded.fileId))
        return SideChange::Changed;
    if (!sameTime(now.modifiedUs, recorded.modifiedUs, traits.resolutionUs))
        return shiftedByWholeHours(now.modifiedUs, recorded.modifiedUs, traits.resolutionUs)
                       ? SideChange::Uncertain
                       : SideChange::Changed;
    // A change time that moved alone (a chmod, a chown, a backup tool's
    // attribute) tells of no new content: the change time serves the run's
    // fast filter only.
    return SideChange::Unchanged;
}

qint64 coarserResolution(const DecisionInput &in)
{
    return std::max(in.sourceTraits.resolutionUs, in.targetTraits.resolutionUs);
}

// Copy or Replace, unless the source's tick is still running.
CopyDecision whenSettled(CopyAction action, const DecisionInput &in)
{
    const qint64 unit = std::max({in.sourceTickUs, coarserResolution(in), qint64(1)});
    const qint64 tickEnd = floorTo(in.source.modifiedUs, unit) + unit;
    const qint64 now = in.sourceNowUs;
    if (tickEnd <= now || in.source.modifiedUs > now + unit + futureSlackUs)
        return {action, 0}; // the tick is over, or the time is no tick of this clock
    if (tickEnd - now <= longestTickWaitUs)
        return {action, tickEnd};
    return {CopyAction::Defer, 0};
}

// Both present, never recorded: in step when they look it (a pair synced by
// an earlier version joins the record without a read), else their contents
// decide, and different contents are never guessed at.
CopyDecision unrecorded(const DecisionInput &in)
{
    if (looksInStep(in.source, in.target, coarserResolution(in)) && !in.rowsMayBeMissing)
        return {CopyAction::Record, 0};
    if (in.source.size != in.target.size)
        return {CopyAction::Conflict, 0};
    if (!in.contentsEqual)
        return {CopyAction::CompareContents, 0};
    return {*in.contentsEqual ? CopyAction::Record : CopyAction::Conflict, 0};
}

CopyDecision recorded(const DecisionInput &in)
{
    SideChange source = changeOf(in.source, *in.recordedSource, in.sourceTraits);
    SideChange target = changeOf(in.target, *in.recordedTarget, in.targetTraits);
    if (source == SideChange::Unchanged && target == SideChange::Unchanged)
        return {CopyAction::InStep, 0};
    const bool onlyContentsTell
            = source == SideChange::Uncertain || target == SideChange::Uncertain
              || (source == SideChange::Changed && target == SideChange::Changed);
    if (onlyContentsTell && !in.contentsEqual)
        return {CopyAction::CompareContents, 0};
    if (in.contentsEqual && *in.contentsEqual)
        return {CopyAction::Record, 0};
    // The contents differ: what only looked moved did change.
    if (source == SideChange::Uncertain)
        source = SideChange::Changed;
    if (target == SideChange::Uncertain)
        target = SideChange::Changed;
    if (source == SideChange::Changed && target == SideChange::Changed)
        return {CopyAction::Conflict, 0};
    if (target == SideChange::Changed)
        return {CopyAction::KeepTarget, 0};
    return whenSettled(CopyAction::Replace, in);
}

// A link to a file at the target: the other direction copied through it, as
// a file, what it points to. In step while the two agree; never written
// through. A link that leads out of the tree, where the pair was never in
// step, is no link of the user's tree: refused.
CopyDecision overLink(const DecisionInput &in)
{
    if (in.linkedTarget.type != EntryType::File)
        return {CopyAction::RefuseLink, 0};
    if (!in.recordedSource && !in.linkStaysInTree)
        return {CopyAction::RefuseLink, 0};
    if (looksInStep(in.source, in.linkedTarget, coarserResolution(in)))
        return {CopyAction::InStep, 0};
    if (in.recordedSource
        && changeOf(in.source, *in.recordedSource, in.sourceTraits) == SideChange::Unchanged)
        return {CopyAction::KeepTarget, 0}; // the linked file changed: it goes the other way
    return {CopyAction::KeepLink, 0};
}

} // namespace

bool matchesRecord(const EntryStatus &now, const SideState &recorded, const SideTraits &traits)
{
    return changeOf(now, recorded, traits) == SideChange::Unchanged;
}

bool looksInStep(const EntryStatus &a, const EntryStatus &b, qint64 resolutionUs)
{
    return a.size == b.size && sameTime(a.modifiedUs, b.modifiedUs, resolutionUs);
}

SideState sideStateOf(const EntryStatus &status, const SideTraits &traits, const QByteArray &digest)
{
    SideState side;
    side.size = status.size;
    side.modifiedUs = status.modifiedUs;
    side.fileId = traits.idsLast ? status.fileId : 0;
    side.changedUs = traits.changeTimes ? status.statusChangedUs : 0;
    side.digest = digest;
    return side;
}

CopyDecision decideCopy(const DecisionInput &in)
{
    switch (in.target.type) {
    case EntryType::Missing:
        if (in.recordedSource && !in.everything
            && changeOf(in.source, *in.recordedSource, in.sourceTraits) == SideChange::Unchanged)
            return {CopyAction::LeaveRemoved, 0};
        return whenSettled(CopyAction::Copy, in);
    case EntryType::File: break;
    case EntryType::Link: return overLink(in);
    case EntryType::Directory: return {CopyAction::RefuseDirectory, 0};
    default: return {CopyAction::RefuseOther, 0};
    }
    if (!in.recordedSource || !in.recordedTarget)
        return unrecorded(in);
    return recorded(in);
}
