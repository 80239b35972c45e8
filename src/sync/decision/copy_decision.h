#pragma once

#include "sync/fs/file_system.h"

#include <QtGlobal>

// What a run does with one source file that passed the time and name tests,
// decided from evidence alone: the two entries as they are now, the copy
// marks that record the state both sides had when this program last put one
// of them in step with the other, and what the run measured of the two trees'
// clocks. No time from one tree is ever compared with another tree's clock.
enum class CopyAction {
    Copy, // nothing at the target: copy
    Replace, // the target is known unchanged since it was in step, the source changed
    InStep, // same time (at the coarser resolution) and size: nothing to do
    KeepTarget, // the target changed since, the source did not: the other direction carries it
    Conflict, // both changed since they were last in step: both kept, reported
    Tie, // no marks, same time, another size: neither is known to be newer
    FutureUndecided, // no marks, and a time ahead of its tree's clock would decide
    Defer, // the source was stamped within the current tick: the next run takes it
    SourceIncomplete, // the source is a copy cut short (a power cut): never spread
    KeepLink, // a link at the target, to the file this source was copied from, which changed
    RefuseLink, // a link at the target: left alone
    RefuseDirectory, // a directory at the target
    RefuseOther, // anything else at the target
};

struct DecisionInput
{
    EntryStatus source; // a regular file
    CopyMark sourceMark;
    EntryStatus target; // type Missing when there is none
    CopyMark targetMark;
    // Where the target is a link: what it points to (Missing when nothing),
    // and whether that lies inside the target tree (a link of the user's own).
    EntryStatus linkedTarget;
    bool linkStaysInTree = false;
    qint64 resolutionUs = 1; // the coarser stored resolution of the two trees
    qint64 sourceTickUs = 1; // how finely the source tree's clock stamps
    qint64 sourceNowUs = 0; // the source tree's time, as the run measured it
    qint64 targetNowUs = 0; // the target tree's time
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

// Times this far ahead of a tree's own clock are "in the future": they are
// never taken for the current tick and never decide which side is newer.
constexpr qint64 futureSlackUs = 2000000;

// Same time at the given resolution and same size.
bool looksInStep(const EntryStatus &a, const EntryStatus &b, qint64 resolutionUs);

CopyDecision decideCopy(const DecisionInput &input);
