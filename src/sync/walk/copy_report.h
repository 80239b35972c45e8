#pragma once

#include "sync/decision/tree_clock.h"

// What one run of the copy came to, by number; what happened to each file
// went out as events.
struct CopyReport
{
    bool sourceFound = true;
    int copied = 0;
    int failures = 0; // each one has had its event
    int deferred = 0; // stamped within the current tick: the next run takes them
    int skipped = 0; // names the target cannot hold: said, not retried
    bool cancelled = false;
    // What the run measured of the source tree's clock at its start; this
    // machine's clock when nothing could be created there.
    TreeClock sourceClock;

    bool complete() const { return sourceFound && failures == 0 && !cancelled; }
};
