#pragma once

#include "sync/fs/entry.h"

#include <QByteArray>

// Names of the copy's own temporary files, and of FUSE's placeholders for
// removed files, which it never copies.
bool isTemporaryName(const DirectoryEntry &entry);
// The temporary a copy of name is written under: short and fixed in length,
// so it fits wherever the name itself does, and the same for the same name,
// so that a leftover from an interrupted run is found and reused.
QByteArray temporaryNameFor(const QByteArray &name);
