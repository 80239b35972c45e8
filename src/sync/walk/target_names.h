#pragma once

#include "sync/fs/entry.h"
#include "sync/walk/sync_event.h"

#include <optional>
#include <vector>

struct TreeClock;

// Marks every entry after the first of names that differ in case only: on a
// target that does not tell them apart, they would land on the first.
void markCaseTwins(std::vector<DirectoryEntry> *entries);

// Why the target tree cannot take this name (NameRefused or CaseTwin), or
// nothing when it can.
std::optional<EventKind> nameRefusal(const DirectoryEntry &entry, const TreeClock &target);
