#pragma once

#include "sync/fs/fs_error.h"

// errno as the engine's values, and what some errno values mean to the copy.

// The fault with the system's number and words for it.
FsError systemError(FsFault fault, int code);

// FAT, exFAT and NTFS without a user mapping keep no permission bits; their
// drivers refuse to set them. The copy goes on without them.
bool refusesModes(int code);

// What drivers answer for a name they cannot hold (FAT, exFAT and NTFS with
// Windows names; fusefat says EPERM, exfat-fuse EINVAL or ENOENT).
bool refusesName(int code);

// A target the system will not let go of now: open by another client of a
// share, a running program's file, a mount point.
bool heldInUse(int code);
