#pragma once

#include "sync/fs/entry.h"
#include "sync/walk/sync_event.h"

#include <functional>
#include <optional>
#include <vector>

struct TreeClock;

// Of names that differ in case only, which a target that does not tell them
// apart would take for one, the one already in step keeps its place (the
// first in the listing when none is): every other is marked a twin.
void markCaseTwins(std::vector<DirectoryEntry> *entries,
                   const std::function<bool(const QString &)> &inStep);

// Why the target tree cannot take this name (NameRefused or CaseTwin), or
// nothing when it can.
std::optional<EventKind> nameRefusal(const DirectoryEntry &entry, const TreeClock &target);
