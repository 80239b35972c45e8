#include "sync/fs/posix/placement.h"

#include "sync/fs/posix/fresh_status.h"
#include "sync/fs/posix/stat_values.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether the target is still the file that was looked at before the copy:
// another program may have written it (or an editor its swap file) while the
// copy ran, and renaming over it would throw that work away. Checked right
// before the rename, which leaves a window of two system calls, and asked of
// the file system afresh: a share's server may have a newer version than
// the attributes the kernel still holds.
bool unchangedSince(int dirFd, const QByteArray &name, const EntryStatus &replaced)
{
    struct stat now;
    return freshStatAt(dirFd, name.constData(), &now) == 0 && S_ISREG(now.st_mode)
           && quint64(now.st_ino) == replaced.fileId && toUs(now.st_mtim) == replaced.modifiedUs
           && qint64(now.st_size) == replaced.size;
}

// The named temporary renamed over name; removed when that fails.
int renameInto(int dirFd, const QByteArray &temporaryName, const QByteArray &name)
{
    if (::renameat(dirFd, temporaryName.constData(), dirFd, name.constData()) == 0)
        return 0;
    const int failure = errno;
    ::unlinkat(dirFd, temporaryName.constData(), 0);
    return failure;
}

} // namespace

int AtomicPlacement::createTemporary(int dirFd, const QByteArray &temporaryName, mode_t mode,
                                     bool *unnamed, int *error)
{
#ifdef O_TMPFILE
    if (unnamedTemporaries) {
        const int fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            *unnamed = true;
            return fd;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
            *error = errno;
            return -1;
        }
        unnamedTemporaries = false;
    }
#endif
    *unnamed = false;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dirFd, temporaryName.constData(), flags, mode);
    if (fd < 0 && errno == EEXIST) {
        // Left behind by a run that was killed; the name is the copy's own.
        ::unlinkat(dirFd, temporaryName.constData(), 0);
        fd = ::openat(dirFd, temporaryName.constData(), flags, mode);
    }
    if (fd < 0)
        *error = errno;
    return fd;
}

int AtomicPlacement::place(int out, bool unnamed, int dirFd, const QByteArray &name,
                           const QByteArray &temporaryName, Placement placement,
                           const EntryStatus &replaced)
{
    if (unnamed) {
        if (placement == Placement::New)
            return linkUnnamed(out, dirFd, name);
        // No call links an unnamed file over an existing name: give it the
        // temporary name first, then rename that over the target.
        int failure = linkUnnamed(out, dirFd, temporaryName);
        if (failure == EEXIST) {
            ::unlinkat(dirFd, temporaryName.constData(), 0);
            failure = linkUnnamed(out, dirFd, temporaryName);
        }
        if (failure != 0)
            return failure;
    } else if (placement == Placement::New) {
        return placeNew(dirFd, name, temporaryName);
    }
    if (placement == Placement::Replace && !unchangedSince(dirFd, name, replaced)) {
        ::unlinkat(dirFd, temporaryName.constData(), 0);
        return targetChanged;
    }
    return renameInto(dirFd, temporaryName, name);
}

// A named temporary under a name nobody has taken meanwhile.
int AtomicPlacement::placeNew(int dirFd, const QByteArray &name, const QByteArray &temporaryName)
{
#ifdef RENAME_NOREPLACE
    // One step where the file system has it (FUSE drivers, NFS): a rename
    // that refuses a name another writer took meanwhile.
    if (renameNoReplace) {
        if (::renameat2(dirFd, temporaryName.constData(), dirFd, name.constData(), RENAME_NOREPLACE)
            == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP) {
            const int failure = errno;
            ::unlinkat(dirFd, temporaryName.constData(), 0);
            return failure;
        }
        renameNoReplace = false;
    }
#endif
    // A hard link never replaces what another writer put there meanwhile.
    if (hardLinks) {
        const int failure
                = ::linkat(dirFd, temporaryName.constData(), dirFd, name.constData(), 0) == 0
                          ? 0
                          : errno;
        if (failure != EPERM && failure != EOPNOTSUPP) {
            ::unlinkat(dirFd, temporaryName.constData(), 0);
            return failure;
        }
        hardLinks = false;
    }
    // File systems without hard links: check, then rename.
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        ::unlinkat(dirFd, temporaryName.constData(), 0);
        return EEXIST;
    }
    return renameInto(dirFd, temporaryName, name);
}

int AtomicPlacement::linkUnnamed(int out, int dirFd, const QByteArray &name)
{
#ifdef AT_EMPTY_PATH
    if (linkByEmptyPath) {
        if (::linkat(out, "", dirFd, name.constData(), AT_EMPTY_PATH) == 0)
            return 0;
        // Without CAP_DAC_READ_SEARCH the kernel answers ENOENT; /proc works for anyone.
        if (errno != ENOENT && errno != EPERM)
            return errno;
        linkByEmptyPath = false;
    }
#endif
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", out);
    if (::linkat(AT_FDCWD, procPath, dirFd, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    return errno;
}
