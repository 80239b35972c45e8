#include "sync/file_system_posix.h"

#include "sync/tree_clock.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#    include <sys/syscall.h>
#endif
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace {

struct PosixDirectory : NativeDirectory
{
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    mutable bool listed = false; // the descriptor's offset has moved
    ~PosixDirectory() override
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int descriptorOf(const Directory &dir)
{
    return static_cast<const PosixDirectory *>(dir.native.get())->fd;
}

const PosixDirectory &nativeOf(const Directory &dir)
{
    return *static_cast<const PosixDirectory *>(dir.native.get());
}

QString reason(int error)
{
    return qt_error_string(error);
}

// tv_nsec is never negative, so these round times before the epoch down too.
qint64 toMs(const timespec &time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

qint64 toUs(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

bool sameVersion(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
           && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec
           && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

EntryType typeOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryType::File;
    if (S_ISDIR(mode))
        return EntryType::Directory;
    if (S_ISLNK(mode))
        return EntryType::Link;
    return EntryType::Other;
}

EntryType typeOfListing(unsigned char type)
{
    switch (type) {
    case DT_REG:
        return EntryType::File;
    case DT_DIR:
        return EntryType::Directory;
    case DT_LNK:
        return EntryType::Link;
    case DT_UNKNOWN:
        return EntryType::Unknown;
    default:
        return EntryType::Other;
    }
}

// Takes ownership of fd.
bool adopt(int fd, const QString &path, Directory *dir, QString *error)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *error = reason(errno);
        ::close(fd);
        return false;
    }
    auto native = std::make_unique<PosixDirectory>();
    native->fd = fd;
    native->device = st.st_dev;
    native->inode = st.st_ino;
    dir->path = path;
    dir->changedMs = std::max(toMs(st.st_mtim), toMs(st.st_ctim));
    dir->native = std::move(native);
    return true;
}

// mkdir -p, keeping the reason of the first step that fails.
int makePath(const QByteArray &path)
{
    for (int slash = path.indexOf('/', 1);; slash = path.indexOf('/', slash + 1)) {
        const QByteArray step = slash < 0 ? path : path.left(slash);
        if (!step.isEmpty() && ::mkdir(step.constData(), 0777) != 0 && errno != EEXIST)
            return errno;
        if (slash < 0)
            return 0;
    }
}

// FAT, exFAT and NTFS without a user mapping keep no permission bits; their
// drivers refuse to set them. The copy goes on without them.
bool refusesModes(int error)
{
    return error == ENOSYS || error == EPERM || error == EOPNOTSUPP || error == ENOTSUP;
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

// The placement's own verdict that the target changed since it was looked
// at: no errno, so that a share's EBUSY (a target another program holds)
// is not taken for it.
constexpr int targetChanged = -1;

// A target the system will not let go of now: open by another client of a
// share, a running program's file, a mount point.
bool heldInUse(int error)
{
    return error == EBUSY || error == ETXTBSY;
}

// What drivers answer for a name they cannot hold (FAT, exFAT and NTFS with
// Windows names; fusefat says EPERM, exfat-fuse EINVAL or ENOENT).
bool refusesName(int error)
{
    return error == EINVAL || error == EILSEQ || error == ENAMETOOLONG || error == EPERM
           || error == ENOENT;
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
           && toUs(opened.st_ctim) == decided.changedUs;
}

// Whether the target is still the file that was looked at before the copy:
// another program may have written it (or an editor its swap file) while the
// copy ran, and renaming over it would throw that work away. Checked right
// before the rename, which leaves a window of two system calls.
bool unchangedSince(int dirFd, const QByteArray &name, const EntryStatus &replaced)
{
    struct stat now;
    return ::fstatat(dirFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
           && S_ISREG(now.st_mode) && quint64(now.st_ino) == replaced.fileId
           && toUs(now.st_mtim) == replaced.modifiedUs && qint64(now.st_size) == replaced.size;
}

// Both files of a copy are marked with the source's time and size, so that
// a later look can tell which side changed since they were in step without
// comparing the two trees' clocks. Where a file system keeps no extended
// attributes nothing is marked there.
constexpr char copyMark[] = "user.twinfold.copy";

// "time:size" on the copy written, "time:size:o" on the original it was read from.
QByteArray markFor(qint64 modifiedUs, qint64 size)
{
    return QByteArray::number(modifiedUs) + ':' + QByteArray::number(size);
}

CopyMark parseMark(const QByteArray &value)
{
    CopyMark mark;
    const QList<QByteArray> parts = value.split(':');
    if (parts.size() != 2 && !(parts.size() == 3 && parts.at(2) == "o"))
        return mark;
    bool timeOk = false;
    bool sizeOk = false;
    mark.modifiedUs = parts.at(0).toLongLong(&timeOk);
    mark.size = parts.at(1).toLongLong(&sizeOk);
    mark.written = parts.size() == 2;
    mark.present = timeOk && sizeOk && mark.size >= 0;
    return mark;
}

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

// How finely this kernel's clock stamps files on local file systems.
qint64 kernelTickUs()
{
#ifdef CLOCK_REALTIME_COARSE
    timespec resolution;
    if (::clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0)
        return std::max<qint64>(1, toUs(resolution));
#endif
    return 10000;
}

} // namespace

PosixFileSystem::PosixFileSystem() = default;

PosixFileSystem::~PosixFileSystem()
{
    for (const auto &device : written)
        ::close(device.second);
}

OpenResult PosixFileSystem::openRoot(const QString &path, Directory *dir, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int failure = errno;
        *error = reason(failure);
        if (failure == ENOENT || failure == ELOOP)
            return OpenResult::Missing;
        return failure == ENOTDIR ? OpenResult::NotDirectory : OpenResult::Failed;
    }
    return adopt(fd, directoryPrefix(path), dir, error) ? OpenResult::Opened : OpenResult::Failed;
}

bool PosixFileSystem::makeRoot(const QString &path, Directory *dir, QString *error)
{
    const QByteArray encoded = QFile::encodeName(path);
    int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (const int failure = makePath(encoded)) {
            *error = reason(failure);
            return false;
        }
        fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        *error = reason(errno);
        return false;
    }
    return adopt(fd, directoryPrefix(path), dir, error);
}

namespace {

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Most names are plain ASCII, which every locale's encoding reads alike;
// going through the locale's codec for them costs a rescan more than a walk.
QString decodedName(const QByteArray &name)
{
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return QFile::decodeName(name);
    }
    return QString::fromLatin1(name);
}

void addEntry(std::vector<DirectoryEntry> *entries, const char *name, unsigned char type)
{
    DirectoryEntry entry;
    entry.nativeName = QByteArray(name);
    entry.name = decodedName(entry.nativeName);
    entry.type = typeOfListing(type);
    entries->push_back(std::move(entry));
}

} // namespace

bool PosixFileSystem::list(const Directory &dir, std::vector<DirectoryEntry> *entries,
                           QString *error)
{
    const int fd = descriptorOf(dir);
#ifdef __linux__
    // Straight from the open descriptor: a directory stream would cost a
    // duplicate, a status and a seek more for every directory of the walk.
    if (std::exchange(nativeOf(dir).listed, true) && ::lseek(fd, 0, SEEK_SET) != 0) {
        *error = reason(errno);
        return false;
    }
    alignas(8) char block[32768];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, block, sizeof block);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            *error = reason(errno);
            return false;
        }
        for (long at = 0; at < got;) {
            const auto *item = reinterpret_cast<const dirent64 *>(block + at);
            if (!isDotOrDotDot(item->d_name))
                addEntry(entries, item->d_name, item->d_type);
            at += item->d_reclen;
        }
    }
#else
    // fdopendir takes the descriptor it is given, so hand it a copy.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *stream = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!stream) {
        *error = reason(errno);
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    ::rewinddir(stream);
    errno = 0;
    while (const dirent *item = ::readdir(stream)) {
        if (!isDotOrDotDot(item->d_name))
            addEntry(entries, item->d_name, item->d_type);
    }
    const int failure = errno;
    ::closedir(stream);
    if (failure != 0) {
        *error = reason(failure);
        return false;
    }
    return true;
#endif
}

EntryStatus PosixFileSystem::status(const Directory &dir, const DirectoryEntry &entry,
                                    bool followLinks)
{
    EntryStatus status;
    struct stat st;
    if (::fstatat(descriptorOf(dir), entry.nativeName.constData(), &st,
                  followLinks ? 0 : AT_SYMLINK_NOFOLLOW)
        != 0) {
        // A dangling link or a loop of links counts as absent.
        if (errno != ENOENT && errno != ELOOP) {
            status.type = EntryType::Unknown;
            status.error = reason(errno);
        }
        return status;
    }
    status.type = typeOfMode(st.st_mode);
    status.modifiedMs = toMs(st.st_mtim);
    status.changedMs = toMs(st.st_ctim);
    status.modifiedUs = toUs(st.st_mtim);
    status.changedUs = toUs(st.st_ctim);
    status.fileId = quint64(st.st_ino);
    status.size = st.st_size;
    return status;
}

OpenResult PosixFileSystem::openChild(const Directory &dir, const DirectoryEntry &entry,
                                      Directory *child, QString *error)
{
    const int fd = ::openat(descriptorOf(dir), entry.nativeName.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        return adopt(fd, dir.path + entry.name + QLatin1Char('/'), child, error)
                       ? OpenResult::Opened
                       : OpenResult::Failed;
    }
    const int failure = errno;
    *error = reason(failure);
    if (failure == ENOENT)
        return OpenResult::Missing;
    if (failure == ELOOP || failure == ENOTDIR) {
        // Which of the two the kernel reports for a link varies; ask.
        const EntryStatus found = status(dir, entry, false);
        if (found.type == EntryType::Link)
            return OpenResult::Link;
        if (found.type == EntryType::Missing)
            return OpenResult::Missing;
        return OpenResult::NotDirectory;
    }
    return OpenResult::Failed;
}

bool PosixFileSystem::makeChild(const Directory &dir, const DirectoryEntry &entry, QString *error)
{
    if (::mkdirat(descriptorOf(dir), entry.nativeName.constData(), 0777) != 0 && errno != EEXIST) {
        const int failure = errno;
        *error = failure == EINVAL || failure == EILSEQ || failure == ENAMETOOLONG
                         ? QStringLiteral("目标文件系统不接受此文件名：") + reason(failure)
                         : reason(failure);
        return false;
    }
    return true;
}

bool PosixFileSystem::restampsOnRename(dev_t device) const
{
    return std::find(restampingDevices.begin(), restampingDevices.end(), device)
           != restampingDevices.end();
}

bool PosixFileSystem::sameDirectory(const Directory &a, const Directory &b)
{
    return nativeOf(a).device == nativeOf(b).device && nativeOf(a).inode == nativeOf(b).inode;
}

CopyResult PosixFileSystem::copyFile(const Directory &from, const DirectoryEntry &entry,
                                     const Directory &into, const CopyRequest &request,
                                     QString *error)
{
    // Replacing renames over the old file, which needs no write permission on
    // it, so makeWritable has nothing left to do here.

    // Non-blocking, so that a pipe put in a file's place cannot stall the run.
    const int in
            = ::openat(descriptorOf(from), entry.nativeName.constData(),
                       O_RDONLY | O_CLOEXEC | O_NONBLOCK | (request.followLink ? 0 : O_NOFOLLOW));
    if (in < 0) {
        *error = QStringLiteral("无法读取源文件：") + reason(errno);
        return CopyResult::Failed;
    }
    struct stat source;
    if (::fstat(in, &source) != 0 || !S_ISREG(source.st_mode)) {
        *error = QStringLiteral("源文件不是普通文件");
        ::close(in);
        return CopyResult::Failed;
    }
    if (!asDecided(source, request.source)) {
        ::close(in);
        *error = QStringLiteral("源文件在复制时被修改，下次重试");
        return CopyResult::Failed;
    }

    const int dirFd = descriptorOf(into);
    const QByteArray temporaryName = temporaryNameFor(entry.nativeName);
    bool unnamed = false;
    int failure = 0;
    const mode_t mode = source.st_mode & 0777;
    const int out = createTemporary(dirFd, temporaryName, mode, &unnamed, &failure);
    if (out < 0) {
        ::close(in);
        *error = QStringLiteral("无法写入目标目录：") + reason(failure);
        return CopyResult::Failed;
    }

    failure = isSparse(source) ? copySparse(in, out, source.st_size, request.cancel)
                               : copyContent(in, out, request.cancel);
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
    const QByteArray mark = markFor(toUs(source.st_mtim), qint64(source.st_size));
    const dev_t targetDevice = nativeOf(into).device;
    if (failure == 0)
        setMark(out, targetDevice, mark);
    if (failure == 0)
        failure = place(out, unnamed, dirFd, entry.nativeName, temporaryName, request.placement,
                        request.replaced);
    if (::close(out) != 0 && failure == 0)
        failure = errno; // a network file system may report a lost write only here
    // fusefat gives a renamed file the time of the rename: set it again.
    if (failure == 0 && !unnamed && restampsOnRename(nativeOf(into).device)
        && ::utimensat(dirFd, entry.nativeName.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        failure = errno;
    if (failure != 0 && !unnamed)
        ::unlinkat(dirFd, temporaryName.constData(), 0);
    // The source now holds the state both sides share. A file reached through
    // a link may lie outside the tree and is left as it is.
    if (failure == 0 && !request.followLink)
        setMark(in, nativeOf(from).device, mark + ":o");
    ::close(in);

    if (failure == ECANCELED) {
        *error = QStringLiteral("已取消");
        return CopyResult::Failed;
    }
    if (failure == EAGAIN) {
        *error = QStringLiteral("源文件在复制时被修改，下次重试");
        return CopyResult::Failed;
    }
    if (failure == EEXIST) {
        *error = QStringLiteral("目标在复制时出现，未覆盖");
        return CopyResult::Failed;
    }
    if (failure == targetChanged) {
        *error = QStringLiteral("目标在复制时被修改，未覆盖");
        return CopyResult::Failed;
    }
    if (request.placement == Placement::Replace && heldInUse(failure))
        return CopyResult::TargetInUse;
    if (request.placement == Placement::New && refusesName(failure)) {
        // The temporary beside it was written, so the directory is there and
        // writable: what the file system refused is the name.
        *error = QStringLiteral("目标文件系统不接受此文件名：") + reason(failure);
        return CopyResult::Failed;
    }
    if (failure != 0) {
        *error = QStringLiteral("无法写入目标：") + reason(failure);
        return CopyResult::Failed;
    }
    rememberDevice(into);
    return CopyResult::Copied;
}

// Best effort: where marks cannot be kept the decision falls back on times.
void PosixFileSystem::setMark(int fd, dev_t device, const QByteArray &mark)
{
    if (std::find(unmarkedDevices.begin(), unmarkedDevices.end(), device) != unmarkedDevices.end())
        return;
    if (::fsetxattr(fd, copyMark, mark.constData(), size_t(mark.size()), 0) != 0
        && (errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOSYS))
        unmarkedDevices.push_back(device); // learned once per run
}

int PosixFileSystem::createTemporary(int dirFd, const QByteArray &temporaryName, mode_t mode,
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

// Fewer blocks than its size needs: the file has holes worth keeping.
bool PosixFileSystem::isSparse(const struct stat &source)
{
    return sparseSeek && source.st_size > 0
           && qint64(source.st_blocks) * 512 < qint64(source.st_size);
}

// Copies only the data extents (SEEK_DATA / SEEK_HOLE), so the holes stay
// holes, as cp -a keeps them; falls back to the plain copy where the file
// system cannot tell.
int PosixFileSystem::copySparse(int in, int out, off_t size, const std::atomic<bool> *cancel)
{
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    buffer.resize(1 << 20);
    for (off_t at = 0; at < size;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return ECANCELED;
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole to the end
            if (at == 0 && (errno == EINVAL || errno == EOPNOTSUPP)) {
                sparseSeek = false;
                break;
            }
            return errno;
        }
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return errno;
        for (off_t offset = data; offset < hole;) {
            const ssize_t got
                    = ::pread(in, buffer.data(),
                              size_t(std::min<off_t>(hole - offset, off_t(buffer.size()))), offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0 ? errno : EAGAIN; // shorter than it was: changed meanwhile
            for (ssize_t done = 0; done < got;) {
                const ssize_t put
                        = ::pwrite(out, buffer.data() + done, size_t(got - done), offset + done);
                if (put < 0 && errno == EINTR)
                    continue;
                if (put < 0)
                    return errno;
                done += put;
            }
            offset += got;
        }
        at = hole;
    }
    if (sparseSeek)
        return ::ftruncate(out, size) == 0 ? 0 : errno;
#else
    Q_UNUSED(size);
    sparseSeek = false;
#endif
    ::lseek(in, 0, SEEK_SET);
    return copyContent(in, out, cancel);
}

int PosixFileSystem::copyContent(int in, int out, const std::atomic<bool> *cancel)
{
    const auto cancelled = [cancel] {
        return cancel && cancel->load(std::memory_order_relaxed);
    };
#ifdef __linux__
    // The kernel copies without the data passing through user space.
    constexpr size_t chunk = 64 << 20;
    bool copiedSome = false;
    while (copyRange) {
        if (cancelled())
            return ECANCELED;
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (copied == 0)
            return 0;
        if (copied > 0) {
            copiedSome = true;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (copiedSome
            || (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP
                && errno != EBADF && errno != EPERM))
            return errno;
        if (errno == ENOSYS)
            copyRange = false;
        break; // this pair of file systems cannot; copy through a buffer
    }
#endif
    buffer.resize(1 << 20);
    for (;;) {
        if (cancelled())
            return ECANCELED;
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, size_t(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += put;
        }
    }
}

int PosixFileSystem::place(int out, bool unnamed, int dirFd, const QByteArray &name,
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
#ifdef RENAME_NOREPLACE
        // One step where the file system has it (FUSE drivers, NFS): a
        // rename that refuses a name another writer took meanwhile.
        if (renameNoReplace) {
            if (::renameat2(dirFd, temporaryName.constData(), dirFd, name.constData(),
                            RENAME_NOREPLACE)
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
        const int failure
                = ::linkat(dirFd, temporaryName.constData(), dirFd, name.constData(), 0) == 0
                          ? 0
                          : errno;
        if (failure != EPERM && failure != EOPNOTSUPP) {
            ::unlinkat(dirFd, temporaryName.constData(), 0);
            return failure;
        }
        // File systems without hard links: check, then rename.
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return EEXIST;
    }
    if (placement == Placement::Replace && !unchangedSince(dirFd, name, replaced)) {
        ::unlinkat(dirFd, temporaryName.constData(), 0);
        return targetChanged;
    }
    if (::renameat(dirFd, temporaryName.constData(), dirFd, name.constData()) != 0) {
        const int failure = errno;
        ::unlinkat(dirFd, temporaryName.constData(), 0);
        return failure;
    }
    return 0;
}

int PosixFileSystem::linkUnnamed(int out, int dirFd, const QByteArray &name)
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

void PosixFileSystem::rememberDevice(const Directory &into)
{
    const dev_t device = nativeOf(into).device;
    for (const auto &known : written) {
        if (known.first == device)
            return;
    }
    const int fd = ::fcntl(descriptorOf(into), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        written.emplace_back(device, fd);
}

CopyMark PosixFileSystem::readMark(const Directory &dir, const DirectoryEntry &entry)
{
    const dev_t device = nativeOf(dir).device;
    if (std::find(unmarkedDevices.begin(), unmarkedDevices.end(), device) != unmarkedDevices.end())
        return {};
    char value[64];
    const int fd = ::openat(descriptorOf(dir), entry.nativeName.constData(),
                            O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    const ssize_t length = ::fgetxattr(fd, copyMark, value, sizeof value);
    ::close(fd);
    return length > 0 ? parseMark(QByteArray(value, int(length))) : CopyMark();
}

bool PosixFileSystem::probeClock(const Directory &dir, bool learnTraits, TreeClock *clock,
                                 QString *error)
{
    const int dirFd = descriptorOf(dir);
    int fd = -1;
#ifdef O_TMPFILE
    if (!learnTraits)
        fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
    // A fixed name, so that one left by a run that was killed is reused.
    const QByteArray name = QByteArrayLiteral(".twinfold-probe.tmp");
    const bool named = fd < 0;
    if (named) {
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        fd = ::openat(dirFd, name.constData(), flags, 0600);
        if (fd < 0 && errno == EEXIST) {
            ::unlinkat(dirFd, name.constData(), 0);
            fd = ::openat(dirFd, name.constData(), flags, 0600);
        }
        if (fd < 0) {
            *error = reason(errno);
            return false;
        }
    }
    struct stat created;
    if (::fstat(fd, &created) != 0) {
        *error = reason(errno);
        ::close(fd);
        if (named)
            ::unlinkat(dirFd, name.constData(), 0);
        return false;
    }
    clock->probedAt = std::chrono::steady_clock::now();
    clock->probeUs = toUs(created.st_mtim);
    struct stat kept = created;
    clock->resolutionUs = measureResolution(fd, created, &kept);
    clock->tickUs = std::max(clock->resolutionUs, kernelTickUs());
    clock->measured = true;
    ::close(fd);
    if (named) {
        if (learnTraits)
            learnTraitsFrom(dirFd, name, kept, clock);
        ::unlinkat(dirFd, name.constData(), 0);
    }
    if (clock->restampsOnRename)
        restampingDevices.push_back(nativeOf(dir).device);
    return true;
}

// The probe, closed, in dir under name; kept is what it showed open. The
// probe is renamed on the way, so its name may be gone afterwards.
void PosixFileSystem::learnTraitsFrom(int dirFd, const QByteArray &name, const struct stat &kept,
                                      TreeClock *clock)
{
    struct stat closed;
    if (::fstatat(dirFd, name.constData(), &closed, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    // Nothing else has that name in upper case (FUSE drivers may number
    // the two lookups differently, so the inodes are not compared).
    struct stat other;
    clock->caseInsensitive
            = ::fstatat(dirFd, name.toUpper().constData(), &other, AT_SYMLINK_NOFOLLOW) == 0;
    const QByteArray renamed = QByteArrayLiteral(".twinfold-probe-renamed.tmp");
    if (::renameat(dirFd, name.constData(), dirFd, renamed.constData()) == 0) {
        struct stat moved;
        clock->restampsOnRename
                = ::fstatat(dirFd, renamed.constData(), &moved, AT_SYMLINK_NOFOLLOW) == 0
                  && toUs(moved.st_mtim) != toUs(kept.st_mtim);
        ::unlinkat(dirFd, renamed.constData(), 0);
    }
    clock->windowsNames = !acceptsName(dirFd, QByteArrayLiteral(".twinfold-probe?.tmp"));
    clock->asciiNamesOnly = !acceptsName(dirFd, QByteArrayLiteral(".twinfold-probe-\xc3\xa9.tmp"));
}

bool PosixFileSystem::flush(QString *error)
{
    bool ok = true;
    for (const auto &device : written) {
#ifdef __linux__
        const int result = ::syncfs(device.second);
#else
        ::sync();
        const int result = 0;
#endif
        if (result != 0 && ok) {
            *error = reason(errno);
            ok = false;
        }
        ::close(device.second);
    }
    written.clear();
    return ok;
}
