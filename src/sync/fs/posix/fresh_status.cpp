#include "sync/fs/posix/fresh_status.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The kernel's attributes set aside where it can (statx), the plain status
// where it cannot.
int statFromSource(int dirFd, const char *name, int flags, struct stat *st)
{
#ifdef AT_STATX_FORCE_SYNC
    struct statx fresh;
    if (::statx(dirFd, name, flags | AT_STATX_FORCE_SYNC,
                STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME,
                &fresh)
        == 0) {
        *st = {};
        st->st_mode = fresh.stx_mode;
        st->st_ino = fresh.stx_ino;
        st->st_size = off_t(fresh.stx_size);
        st->st_mtim = {time_t(fresh.stx_mtime.tv_sec), long(fresh.stx_mtime.tv_nsec)};
        st->st_ctim = {time_t(fresh.stx_ctime.tv_sec), long(fresh.stx_ctime.tv_nsec)};
        return 0;
    }
    if (errno != ENOSYS)
        return -1;
#endif
    return ::fstatat(dirFd, name, st, flags);
}

} // namespace

int freshStatAt(int dirFd, const char *name, struct stat *st)
{
    // Through the open file: an open makes a share's client ask the server.
    // Not for what cannot be opened for reading (a link, a file of another
    // user's): the status by name then.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return statFromSource(dirFd, name, AT_SYMLINK_NOFOLLOW, st);
    const int result = statFromSource(fd, "", AT_EMPTY_PATH, st);
    const int error = errno;
    ::close(fd);
    errno = error;
    return result;
}

int uncachedStatAt(int dirFd, const char *name, struct stat *st)
{
    return statFromSource(dirFd, name, AT_SYMLINK_NOFOLLOW, st);
}
