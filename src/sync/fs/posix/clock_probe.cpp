#include "sync/fs/posix/clock_probe.h"

#include "sync/decision/tree_clock.h"
#include "sync/fs/posix/fresh_status.h"
#include "sync/fs/posix/stat_values.h"
#include "sync/fs/posix/system_errors.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace {

// FUSE drivers number files as they meet them: after a remount, or once the
// kernel forgot a file, it comes back under another number.
constexpr long fuseMagic = 0x65735546;

// The kernel's clients of network file systems: NFS, SMB (smbfs, cifs, smb2).
bool isNetworkClient(long type)
{
    return type == 0x6969 || type == 0x517B || type == long(0xFF534D42) || type == long(0xFE534D42);
}

// Sets a time whose every digit a file system might drop is non-zero (an odd
// second, 999999999 ns) and reads back what it kept, into *kept. A named
// probe is stamped closed and by name: a share gives a file the time of its
// last close, whatever was set before.
qint64 measureResolution(int fd, int dirFd, const QByteArray &name, const struct stat &created,
                         struct stat *kept)
{
    // A day back, so that a driver that stamps the file anew later (on a
    // rename, say) shows it.
    timespec probe[2];
    probe[0].tv_sec = (created.st_mtim.tv_sec - 86400) | 1;
    probe[0].tv_nsec = 999999999;
    probe[1] = probe[0];
    const bool set
            = fd >= 0 ? ::futimens(fd, probe) == 0 && ::fstat(fd, kept) == 0
                      : ::utimensat(dirFd, name.constData(), probe, AT_SYMLINK_NOFOLLOW) == 0
                                && ::fstatat(dirFd, name.constData(), kept, AT_SYMLINK_NOFOLLOW)
                                           == 0;
    if (!set)
        return TreeClock::coarsestResolutionUs;
    const qint64 setNs = qint64(probe[1].tv_sec) * 1000000000 + probe[1].tv_nsec;
    const qint64 readNs = qint64(kept->st_mtim.tv_sec) * 1000000000 + kept->st_mtim.tv_nsec;
    return resolutionFromReadBack(setNs, readNs);
}

// The names in a directory, as a listing begun now shows them (a share
// lists what was there when the directory was opened).
std::vector<QByteArray> listedNames(int parentFd, const QByteArray &name)
{
    std::vector<QByteArray> names;
    const int fd
            = ::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// Tries names in a directory of the run's own and reads them back from its
// listing: a share may refuse a name, cut it at a '?' (so "x?y" would land on
// "x") or list it under another name, and only the listing shows which.
// Nothing is tried that a share answers by failing every call for a while
// (: * " < > | and control characters).
void learnNameRules(int dirFd, const OwnNames &own, TreeClock *clock)
{
    const QByteArray rules = own.nameRulesProbe();
    if (::mkdirat(dirFd, rules.constData(), 0700) != 0 && errno != EEXIST)
        return;
    const int probeDir
            = ::openat(dirFd, rules.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (probeDir < 0)
        return;
    // A file written and given a time while open: a share stamps it again
    // when it is closed. Read back after the rest, when the close is done.
    const QByteArray stamped("stamped");
    const timespec setTime[2] = {{1000000000, 0}, {1000000000, 0}}; // 2001, an even second
    const int written = ::openat(probeDir, stamped.constData(),
                                 O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool timeSet
            = written >= 0 && ::write(written, "x", 1) == 1
              && ::utimensat(probeDir, stamped.constData(), setTime, AT_SYMLINK_NOFOLLOW) == 0;
    if (written >= 0)
        ::close(written);
    const QByteArray windowsName("a?b"), asciiName("\xc3\xa9"), reservedName("aux.txt");
    for (const QByteArray &name : {windowsName, asciiName, reservedName}) {
        const int fd = ::openat(probeDir, name.constData(),
                                O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    const std::vector<QByteArray> listed = listedNames(dirFd, rules);
    struct stat afterClose;
    clock->stampsAtClose = timeSet
                           && uncachedStatAt(probeDir, stamped.constData(), &afterClose) == 0
                           && qAbs(afterClose.st_mtim.tv_sec - setTime[1].tv_sec) > 27 * 3600;
    const auto kept = [&listed](const QByteArray &name) {
        return std::find(listed.begin(), listed.end(), name) != listed.end();
    };
    clock->windowsNames = !kept(windowsName);
    clock->asciiNamesOnly = !kept(asciiName);
    clock->reservedNames = !kept(reservedName);
    // Everything in it is the probe's, under whatever name the tree gave it.
    for (const QByteArray &name : listed)
        ::unlinkat(probeDir, name.constData(), 0);
    ::close(probeDir);
    ::unlinkat(dirFd, rules.constData(), AT_REMOVEDIR);
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
    learnNameRules(dirFd, names, clock);
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
    struct statfs system;
    const bool typeKnown = ::fstatfs(fd, &system) == 0;
    clock->idsLast = typeKnown && long(system.f_type) != fuseMagic;
    clock->remote = typeKnown
                    && (long(system.f_type) == fuseMagic || isNetworkClient(long(system.f_type)));
    if (named)
        ::close(fd);
    struct stat kept = created;
    clock->resolutionUs = measureResolution(named ? -1 : fd, dirFd, probeName, created, &kept);
    clock->tickUs = std::max(clock->resolutionUs, kernelTickUs());
    clock->measured = true;
    // Setting the time a day back is a change: a meaningful change time moves
    // forward with it, one that merely follows the modification time does not.
    clock->changeTimes = toUs(kept.st_ctim) >= toUs(created.st_ctim)
                         && toUs(kept.st_ctim) != toUs(kept.st_mtim);
    if (!named)
        ::close(fd);
    if (named) {
        if (wantTraits)
            learnTraits(dirFd, names, kept, clock);
        ::unlinkat(dirFd, probeName.constData(), 0);
    }
    return {};
}
