#include "sync/fs/posix/clock_probe.h"

#include "sync/decision/tree_clock.h"
#include "sync/fs/posix/stat_values.h"
#include "sync/fs/posix/system_errors.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// FUSE drivers number files as they meet them: after a remount, or once the
// kernel forgot a file, it comes back under another number.
constexpr long fuseMagic = 0x65735546;

// Sets a time whose every digit a file system might drop is non-zero (an odd
// second, 999999999 ns) and reads back what it kept, into *kept.
qint64 measureResolution(int fd, const struct stat &created, struct stat *kept)
{
    // A day back, so that a driver that stamps the file anew later (on a
    // rename, say) shows it.
    timespec probe[2];
    probe[0].tv_sec = (created.st_mtim.tv_sec - 86400) | 1;
    probe[0].tv_nsec = 999999999;
    probe[1] = probe[0];
    if (::futimens(fd, probe) != 0 || ::fstat(fd, kept) != 0)
        return TreeClock::coarsestResolutionUs;
    const qint64 setNs = qint64(probe[1].tv_sec) * 1000000000 + probe[1].tv_nsec;
    const qint64 readNs = qint64(kept->st_mtim.tv_sec) * 1000000000 + kept->st_mtim.tv_nsec;
    return resolutionFromReadBack(setNs, readNs);
}

// Whether a file of that name can be created in the directory (it is
// removed again at once).
bool acceptsName(int dirFd, const QByteArray &name)
{
    const int fd = ::openat(dirFd, name.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        // Left by a run that was killed here: the name is held, and ours.
        ::unlinkat(dirFd, name.constData(), 0);
        return true;
    }
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlinkat(dirFd, name.constData(), 0);
    return true;
}

// The probe, closed, in dir under its name; kept is what it showed open. The
// probe is renamed on the way, so its name may be gone afterwards.
void learnTraits(int dirFd, const OwnNames &names, const struct stat &kept, TreeClock *clock)
{
    const QByteArray probeName = names.probe();
    struct stat closed;
    if (::fstatat(dirFd, probeName.constData(), &closed, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    // Nothing else has that name in upper case (FUSE drivers may number
    // the two lookups differently, so the inodes are not compared).
    struct stat other;
    clock->caseInsensitive
            = ::fstatat(dirFd, probeName.toUpper().constData(), &other, AT_SYMLINK_NOFOLLOW) == 0;
    const QByteArray renamed = names.renamedProbe();
    if (::renameat(dirFd, probeName.constData(), dirFd, renamed.constData()) == 0) {
        struct stat moved;
        clock->restampsOnRename
                = ::fstatat(dirFd, renamed.constData(), &moved, AT_SYMLINK_NOFOLLOW) == 0
                  && toUs(moved.st_mtim) != toUs(kept.st_mtim);
        ::unlinkat(dirFd, renamed.constData(), 0);
    }
    clock->windowsNames = !acceptsName(dirFd, names.windowsNameProbe());
    clock->asciiNamesOnly = !acceptsName(dirFd, names.asciiNameProbe());
}

} // namespace

qint64 kernelTickUs()
{
#ifdef CLOCK_REALTIME_COARSE
    timespec resolution;
    if (::clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0)
        return std::max<qint64>(1, toUs(resolution));
#endif
    return 10000;
}

FsError probeTreeClock(int dirFd, bool wantTraits, const OwnNames &names, TreeClock *clock)
{
    const QByteArray probeName = names.probe();
    int fd = -1;
#ifdef O_TMPFILE
    if (!wantTraits)
        fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
    const bool named = fd < 0;
    if (named) {
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        fd = ::openat(dirFd, probeName.constData(), flags, 0600);
        if (fd < 0 && errno == EEXIST) {
            ::unlinkat(dirFd, probeName.constData(), 0);
            fd = ::openat(dirFd, probeName.constData(), flags, 0600);
        }
        if (fd < 0)
            return systemError(FsFault::System, errno);
    }
    struct stat created;
    if (::fstat(fd, &created) != 0) {
        const int code = errno;
        ::close(fd);
        if (named)
            ::unlinkat(dirFd, probeName.constData(), 0);
        return systemError(FsFault::System, code);
    }
    clock->probedAt = std::chrono::steady_clock::now();
    clock->probeUs = toUs(created.st_mtim);
    struct stat kept = created;
    clock->resolutionUs = measureResolution(fd, created, &kept);
    clock->tickUs = std::max(clock->resolutionUs, kernelTickUs());
    clock->measured = true;
    // Setting the time a day back is a change: a meaningful change time moves
    // forward with it, one that merely follows the modification time does not.
    clock->changeTimes = toUs(kept.st_ctim) >= toUs(created.st_ctim)
                         && toUs(kept.st_ctim) != toUs(kept.st_mtim);
    struct statfs system;
    clock->idsLast = ::fstatfs(fd, &system) == 0 && long(system.f_type) != fuseMagic;
    ::close(fd);
    if (named) {
        if (wantTraits)
            learnTraits(dirFd, names, kept, clock);
        ::unlinkat(dirFd, probeName.constData(), 0);
    }
    return {};
}
