#pragma once

#include "sync/walk/sync_event.h"

// How one run of one direction ended. The caller stores the stamp.
struct SyncOutcome
{
    SyncDirection direction = SyncDirection::Upload;
    bool completed = false; // everything went through: stamp is the new time stamp
    bool cancelled = false;
    qint64 since = 0; // the stamp the run started from
    qint64 stamp = 0; // the new stamp when completed, else since
    int copied = 0;
    int failures = 0;
    int deferred = 0;
};
