#pragma once

#include "sync/decision/side_state.h"
#include "sync/fs/entry.h"

#include <optional>

// What a run does with one source file that passed the time and name tests,
// decided from evidence alone: the two entries as they are now and what the
// sync record says each side looked like when the two were last in step.
// Each side is compared only with its own record, at its own resolution:
// no time of one tree is ever compared with another tree's clock, and an
// edit is never overwritten. Where nothing can tell, both files are kept.
enum class CopyAction {
    Copy, // nothing at the target: copy
    Replace, // only the source changed since the two were in step
    InStep, // neither changed: nothing to do
    Record, // in step, and the record learns what both look like now
    KeepTarget, // only the target changed: the other direction carries it
    Conflict, // both changed, or never in step and different: both kept, reported
    CompareContents, // only the contents can tell: decide again knowing them
    LeaveRemoved, // the target was removed since, the source did not change
    Defer, // the source was stamped within the current tick: the next run takes it
    KeepLink, // a link at the target, to the file this source was copied from, which changed
    RefuseLink, // a link at the target: left alone
    RefuseDirectory, // a directory at the target
    RefuseOther, // anything else at the target
};

// What a tree keeps that the decision may rely on.
struct SideTraits
{
    qint64 resolutionUs = 1; // how finely its times are stored
    bool idsLast = false; // a file keeps its identity (inode) for as long as it lives
    bool changeTimes = false; // every write and rename moves a file's change time forward
};

struct DecisionInput
{
    EntryStatus source; // a regular file
    EntryStatus target; // type Missing when there is none
    // What the record says; absent when it holds nothing for this path.
    std::optional<SideState> recordedSource;
    std::optional<SideState> recordedTarget;
    SideTraits sourceTraits;
    SideTraits targetTraits;
    // Where the target is a link: what it points to (Missing when nothing),
    // and whether that lies inside the target tree (a link of the user's own).
    EntryStatus linkedTarget;
    bool linkStaysInTree = false;
    // The run looks at every file (a first run, or the stamps cleared): a
    // removed target is copied again.
    bool everything = false;
    // A run that did not end may have copied files it never recorded: a pair
    // with the same size and time may then be a copy cut short.
    bool rowsMayBeMissing = false;
    // Known once the contents were compared (CompareContents).
    std::optional<bool> contentsEqual;
    qint64 sourceTickUs = 1; // how finely the source tree's clock stamps
    qint64 sourceNowUs = 0; // the source tree's time, as the run measured it
};

struct CopyDecision
{
    CopyAction action = CopyAction::InStep;
    // For Copy and Replace: the source tree's time the copy must wait for
    // before it reads the source (the end of the tick its time lies in), or
    // 0 when it may read at once.
    qint64 readAfterUs = 0;
};

// A source stamped within the tick that is still running would let a write
// right after the copy give the source other content under the same time:
// the copy waits for the tick to end when that is at most this long away,
// and leaves the file to the next run otherwise.
constexpr qint64 longestTickWaitUs = 100000;

// Times this far ahead of a tree's own clock are no tick of it.
constexpr qint64 futureSlackUs = 2000000;

// Same time at the given resolution and same size.
bool looksInStep(const EntryStatus &a, const EntryStatus &b, qint64 resolutionUs);

// Whether a side is as its record row says: size, time at its resolution
// and, where ids last, identity.
bool matchesRecord(const EntryStatus &now, const SideState &recorded, const SideTraits &traits);

// What the record keeps of a side as it is now.
SideState sideStateOf(const EntryStatus &status, const SideTraits &traits,
                      const QByteArray &digest = QByteArray());

CopyDecision decideCopy(const DecisionInput &input);
