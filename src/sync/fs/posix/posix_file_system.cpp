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

bool PosixFileSystem::sameDirectory(const Directory &a, const Directory &b)
{
    return nativeOf(a).device == nativeOf(b).device && nativeOf(a).inode == nativeOf(b).inode;
}

bool PosixFileSystem::restampsOnRename(dev_t device) const
{
    return std::find(restampingDevices.begin(), restampingDevices.end(), device)
           != restampingDevices.end();
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

    failure = content.copy(in, out, source, request.cancel);
    if (failure == 0)
        failure = settle(in, source);
    const timespec times[2] = {source.st_atim, source.st_mtim};
    // Created with the source's mode: only a umask or a default ACL leaves
    // it to be set, which on a network file system is one round trip more.
    struct stat created;
    if (failure == 0 && (::fstat(out, &created) != 0 || (created.st_mode & 0777) != mode)
        && ::fchmod(out, mode) != 0 && !refusesModes(errno))
        failure = errno;
    if (failure == 0 && ::futimens(out, times) != 0)
        failure = errno;
    if (failure == 0)
        failure = placement.place(out, unnamed, dirFd, entry.nativeName, temporaryName,
                                  request.placement, request.replaced);
    if (::close(out) != 0 && failure == 0)
        failure = errno; // a network file system may report a lost write only here
    // fusefat gives a renamed file the time of the rename: set it again.
    if (failure == 0 && !unnamed && restampsOnRename(nativeOf(into).device)
        && ::utimensat(dirFd, entry.nativeName.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        failure = errno;
    if (failure != 0 && !unnamed)
        ::unlinkat(dirFd, temporaryName.constData(), 0);
    ::close(in);

    switch (failure) {
    case 0: written.remember(nativeOf(into).device, dirFd); return CopyResult::Copied;
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
    if (!error.failed() && clock->restampsOnRename)
        restampingDevices.push_back(nativeOf(dir).device);
    return error;
}

FsError PosixFileSystem::flush()
{
    return written.flush();
}
