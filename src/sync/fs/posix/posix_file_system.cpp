#include "sync/fs/posix/posix_file_system.h"

#include "sync/decision/tree_clock.h"
#include "sync/fs/posix/clock_probe.h"
#include "sync/fs/posix/directory_access.h"
#include "sync/fs/posix/fresh_status.h"
#include "sync/fs/posix/stat_values.h"
#include "sync/fs/posix/system_errors.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sameVersion(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
           && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec
           && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A file rewritten while it was read gives a copy of neither version; leave
// it to the next run. EAGAIN when that happened.
int settle(int in, const struct stat &before)
{
    struct stat after;
    if (::fstat(in, &after) != 0)
        return errno;
    return sameVersion(before, after) ? 0 : EAGAIN;
}

// The source opened is the one the decision looked at.
bool asDecided(const struct stat &opened, const EntryStatus &decided)
{
    return qint64(opened.st_size) == decided.size && toUs(opened.st_mtim) == decided.modifiedUs
           && toUs(opened.st_ctim) == decided.statusChangedUs;
}

// Gives a closed temporary its times and reads them back into *kept. A
// share stamps a file with the time of its last close, and a FUSE client
// passes the close on after close() has returned, so that stamp may land
// after the times were set: there they are read back past the kernel's
// cache and set again while it does. Elsewhere the status the kernel got
// back from setting them is the server's own, and costs no round trip.
int stampClosed(int dirFd, const QByteArray &name, const timespec times[2], bool stampsAtClose,
                struct stat *kept)
{
    constexpr qint64 closeStampUs = 2000000; // beyond what rounding to FAT's 2 s explains
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::utimensat(dirFd, name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        const int read = stampsAtClose
                                 ? uncachedStatAt(dirFd, name.constData(), kept)
                                 : ::fstatat(dirFd, name.constData(), kept, AT_SYMLINK_NOFOLLOW);
        if (read != 0)
            return errno;
        if (qAbs(toUs(kept->st_mtim) - toUs(times[1])) < closeStampUs)
            return 0;
    }
    return 0; // kept as it reads back: the record holds what the target shows
}

// What stopped a copy, as the engine's value.
CopyResult failed(FsError *error, FsFault fault, int code = 0)
{
    *error = code != 0 ? systemError(fault, code) : FsError {fault, 0, QString()};
    return CopyResult::Failed;
}

} // namespace

OpenResult PosixFileSystem::openRoot(const QString &path, Directory *dir, FsError *error)
{
    return openRootDirectory(path, dir, error);
}

FsError PosixFileSystem::makeRoot(const QString &path, Directory *dir)
{
    return makeRootDirectory(path, dir);
}

FsError PosixFileSystem::list(const Directory &dir, std::vector<DirectoryEntry> *entries)
{
    return listDirectory(dir, entries);
}

EntryStatus PosixFileSystem::status(const Directory &dir, const DirectoryEntry &entry,
                                    bool followLinks)
{
    return statusIn(dir, entry, followLinks);
}

EntryStatus PosixFileSystem::freshStatus(const Directory &dir, const DirectoryEntry &entry)
{
    struct stat st;
    if (freshStatAt(descriptorOf(dir), entry.nativeName.constData(), &st) == 0)
        return statusOf(st);
    return statusIn(dir, entry, false); // says why, or that it is gone
}

OpenResult PosixFileSystem::openChild(const Directory &dir, const DirectoryEntry &entry,
                                      Directory *child, FsError *error)
{
    return openChildDirectory(dir, entry, child, error);
}

FsError PosixFileSystem::makeChild(const Directory &dir, const DirectoryEntry &entry)
{
    return makeChildDirectory(dir, entry);
}

bool PosixFileSystem::duplicate(const Directory &dir, Directory *copy)
{
    const PosixDirectory &native = nativeOf(dir);
    auto own = std::make_unique<PosixDirectory>();
    own->fd = ::fcntl(native.fd, F_DUPFD_CLOEXEC, 0);
    if (own->fd < 0)
        return false;
    own->device = native.device;
    own->inode = native.inode;
    own->listed = true; // shares the walk's offset: never listed through
    copy->path = dir.path;
    copy->lastChangeUs = dir.lastChangeUs;
    copy->native = std::move(own);
    return true;
}

bool PosixFileSystem::sameDirectory(const Directory &a, const Directory &b)
{
    return nativeOf(a).device == nativeOf(b).device && nativeOf(a).inode == nativeOf(b).inode;
}

PosixFileSystem::DeviceTraits PosixFileSystem::traitsOf(dev_t device) const
{
    const std::lock_guard<std::mutex> guard(learnedLock);
    const auto found = devices.find(device);
    return found == devices.end() ? DeviceTraits() : found->second;
}

void PosixFileSystem::learnKeepsNoModes(dev_t device)
{
    const std::lock_guard<std::mutex> guard(learnedLock);
    devices[device].keepsNoModes = true;
}

std::unique_ptr<ContentCopy> PosixFileSystem::leaseCopier()
{
    const std::lock_guard<std::mutex> guard(learnedLock);
    if (idleCopiers.empty())
        return std::make_unique<ContentCopy>();
    std::unique_ptr<ContentCopy> copier = std::move(idleCopiers.back());
    idleCopiers.pop_back();
    return copier;
}

void PosixFileSystem::giveBack(std::unique_ptr<ContentCopy> copier)
{
    const std::lock_guard<std::mutex> guard(learnedLock);
    idleCopiers.push_back(std::move(copier));
}

// Replacing renames over the old file, which needs no write permission on
// it, so request.makeWritable has nothing left to do here.
CopyResult PosixFileSystem::copyFile(const Directory &from, const DirectoryEntry &entry,
                                     const Directory &into, const CopyRequest &request,
                                     FsError *error)
{
    // Non-blocking, so that a pipe put in a file's place cannot stall the run.
    const int in
            = ::openat(descriptorOf(from), entry.nativeName.constData(),
                       O_RDONLY | O_CLOEXEC | O_NONBLOCK | (request.followLink ? 0 : O_NOFOLLOW));
    if (in < 0)
        return failed(error, FsFault::ReadSource, errno);
    struct stat source;
    if (::fstat(in, &source) != 0 || !S_ISREG(source.st_mode)) {
        ::close(in);
        return failed(error, FsFault::SourceNotRegular);
    }
    if (!asDecided(source, request.source)) {
        ::close(in);
        return failed(error, FsFault::SourceChanged);
    }

    const int dirFd = descriptorOf(into);
    const QByteArray temporaryName = own.temporaryFor(entry.nativeName);
    bool unnamed = false;
    int failure = 0;
    const mode_t mode = source.st_mode & 0777;
    const int out = placement.createTemporary(dirFd, temporaryName, mode, &unnamed, &failure);
    if (out < 0) {
        ::close(in);
        return failed(error, FsFault::WriteTargetDirectory, failure);
    }

    std::unique_ptr<ContentCopy> content = leaseCopier();
    failure = content->copy(in, out, source, request.cancel);
    giveBack(std::move(content));
    if (failure == 0)
        failure = settle(in, source);
    const timespec times[2] = {source.st_atim, source.st_mtim};
    // Created with the source's mode: only a umask or a default ACL leaves
    // it to be set. A file system that keeps no modes (a share keeps the
    // read-only bit) is not asked again once it showed that.
    const dev_t device = nativeOf(into).device;
    const DeviceTraits traits = traitsOf(device);
    struct stat kept;
    if (unnamed) {
        if (failure == 0 && !traits.keepsNoModes
            && (::fstat(out, &kept) != 0 || (kept.st_mode & 0777) != mode)
            && ::fchmod(out, mode) != 0 && !refusesModes(errno))
            failure = errno;
        // Only an open unnamed file can be given a name.
        if (failure == 0 && ::futimens(out, times) != 0)
            failure = errno;
        if (failure == 0)
            failure = placement.place(out, true, dirFd, entry.nativeName, temporaryName,
                                      request.placement, request.replaced);
        if (failure == 0 && ::fstat(out, &kept) != 0)
            failure = errno;
        if (::close(out) != 0 && failure == 0)
            failure = errno;
    } else {
        // A share refuses to rename or remove a file that is still open, and
        // gives it the time of its last close: closed first, then stamped.
        if (::close(out) != 0 && failure == 0)
            failure = errno; // a network file system may report a lost write only here
        // The close reaches a share's server after close() returned: one
        // more request through the same client lets it land first.
        if (failure == 0 && traits.stampsAtClose) {
            const int reopened
                    = ::openat(dirFd, temporaryName.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (reopened >= 0)
                ::close(reopened);
        }
        if (failure == 0)
            failure = stampClosed(dirFd, temporaryName, times, traits.stampsAtClose, &kept);
        // The mode is looked at in what the stamp read back, which on a
        // network file system saves a round trip for each file; a server may
        // touch the times as it sets a mode, so they are set again after.
        if (failure == 0 && (kept.st_mode & 0777) != mode && !traits.keepsNoModes) {
            if (::fchmodat(dirFd, temporaryName.constData(), mode, 0) == 0)
                failure = stampClosed(dirFd, temporaryName, times, traits.stampsAtClose, &kept);
            else if (!refusesModes(errno))
                failure = errno;
            // Refused, or set and not kept: not asked again on this device.
            if (failure == 0 && (kept.st_mode & 0777) != mode)
                learnKeepsNoModes(device);
        }
        if (failure == 0)
            failure = placement.place(-1, false, dirFd, entry.nativeName, temporaryName,
                                      request.placement, request.replaced);
    }
    // fusefat gives a renamed file the time of the rename: set it again.
    if (failure == 0 && !unnamed && traits.restampsOnRename
        && (::utimensat(dirFd, entry.nativeName.constData(), times, AT_SYMLINK_NOFOLLOW) != 0
            || uncachedStatAt(dirFd, entry.nativeName.constData(), &kept) != 0))
        failure = errno;
    // A rename keeps what the temporary read back (a change time aside,
    // which alone never counts as a change).
    if (failure == 0 && request.placed)
        *request.placed = statusOf(kept);
    if (failure != 0 && !unnamed)
        ::unlinkat(dirFd, temporaryName.constData(), 0);
    ::close(in);

    switch (failure) {
    case 0: written.remember(device, dirFd); return CopyResult::Copied;
    case ECANCELED: return failed(error, FsFault::Cancelled);
    case EAGAIN: return failed(error, FsFault::SourceChanged);
    case EEXIST: return failed(error, FsFault::TargetAppeared);
    case AtomicPlacement::targetChanged: return failed(error, FsFault::TargetChanged);
    default: break;
    }
    if (request.placement == Placement::Replace && heldInUse(failure))
        return CopyResult::TargetInUse;
    // With a new file the temporary beside it was written, so the directory
    // is there and writable: what the file system refused is the name.
    if (request.placement == Placement::New && refusesName(failure))
        return failed(error, FsFault::NameRefused, failure);
    return failed(error, FsFault::WriteTarget, failure);
}

FsError PosixFileSystem::digest(const Directory &dir, const DirectoryEntry &entry, bool followLinks,
                                QByteArray *digest)
{
    const int fd = ::openat(descriptorOf(dir), entry.nativeName.constData(),
                            O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return systemError(FsFault::ReadSource, errno);
    const int failure = digestContent(fd, digest);
    ::close(fd);
    return failure == 0 ? FsError() : systemError(FsFault::ReadSource, failure);
}

FsError PosixFileSystem::probeClock(const Directory &dir, bool learnTraits, TreeClock *clock)
{
    const FsError error = probeTreeClock(descriptorOf(dir), learnTraits, own, clock);
    if (!error.failed() && (clock->restampsOnRename || clock->stampsAtClose)) {
        const std::lock_guard<std::mutex> guard(learnedLock);
        DeviceTraits &traits = devices[nativeOf(dir).device];
        traits.restampsOnRename = traits.restampsOnRename || clock->restampsOnRename;
        traits.stampsAtClose = traits.stampsAtClose || clock->stampsAtClose;
    }
    return error;
}

FsError PosixFileSystem::flush()
{
    return written.flush();
}
