#include "sync/fs/posix/directory_access.h"

#include "sync/fs/posix/stat_values.h"
#include "sync/fs/posix/system_errors.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#ifdef __linux__
#    include <sys/syscall.h>
#endif
#include <unistd.h>
#include <utility>

PosixDirectory::~PosixDirectory()
{
    if (fd >= 0)
        ::close(fd);
}

const PosixDirectory &nativeOf(const Directory &dir)
{
    return *static_cast<const PosixDirectory *>(dir.native.get());
}

namespace {

// Takes ownership of fd.
FsError adopt(int fd, const QString &path, Directory *dir)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int code = errno;
        ::close(fd);
        return systemError(FsFault::System, code);
    }
    auto native = std::make_unique<PosixDirectory>();
    native->fd = fd;
    native->device = st.st_dev;
    native->inode = st.st_ino;
    dir->path = path;
    dir->lastChangeUs = std::max(toUs(st.st_mtim), toUs(st.st_ctim));
    dir->native = std::move(native);
    return {};
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

EntryType typeOfListing(unsigned char type)
{
    switch (type) {
    case DT_REG: return EntryType::File;
    case DT_DIR: return EntryType::Directory;
    case DT_LNK: return EntryType::Link;
    case DT_UNKNOWN: return EntryType::Unknown;
    default: return EntryType::Other;
    }
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

OpenResult openRootDirectory(const QString &path, Directory *dir, FsError *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        *error = systemError(FsFault::System, code);
        if (code == ENOENT || code == ELOOP)
            return OpenResult::Missing;
        return code == ENOTDIR ? OpenResult::NotDirectory : OpenResult::Failed;
    }
    *error = adopt(fd, directoryPrefix(path), dir);
    return error->failed() ? OpenResult::Failed : OpenResult::Opened;
}

FsError makeRootDirectory(const QString &path, Directory *dir)
{
    const QByteArray encoded = QFile::encodeName(path);
    int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (const int code = makePath(encoded))
            return systemError(FsFault::System, code);
        fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        return systemError(FsFault::System, errno);
    return adopt(fd, directoryPrefix(path), dir);
}

OpenResult openChildDirectory(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                              FsError *error)
{
    const int fd = ::openat(descriptorOf(dir), entry.nativeName.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        *error = adopt(fd, dir.path + entry.name + QLatin1Char('/'), child);
        return error->failed() ? OpenResult::Failed : OpenResult::Opened;
    }
    const int code = errno;
    *error = systemError(FsFault::System, code);
    if (code == ENOENT)
        return OpenResult::Missing;
    if (code == ELOOP || code == ENOTDIR) {
        // Which of the two the kernel reports for a link varies; ask.
        const EntryStatus found = statusIn(dir, entry, false);
        if (found.type == EntryType::Link)
            return OpenResult::Link;
        if (found.type == EntryType::Missing)
            return OpenResult::Missing;
        return OpenResult::NotDirectory;
    }
    return OpenResult::Failed;
}

FsError makeChildDirectory(const Directory &dir, const DirectoryEntry &entry)
{
    if (::mkdirat(descriptorOf(dir), entry.nativeName.constData(), 0777) == 0 || errno == EEXIST)
        return {};
    const int code = errno;
    const bool nameRefused = code == EINVAL || code == EILSEQ || code == ENAMETOOLONG;
    return systemError(nameRefused ? FsFault::NameRefused : FsFault::System, code);
}

FsError listDirectory(const Directory &dir, std::vector<DirectoryEntry> *entries)
{
    const int fd = descriptorOf(dir);
#ifdef __linux__
    // Straight from the open descriptor: a directory stream would cost a
    // duplicate, a status and a seek more for every directory of the walk.
    if (std::exchange(nativeOf(dir).listed, true) && ::lseek(fd, 0, SEEK_SET) != 0)
        return systemError(FsFault::System, errno);
    alignas(8) char block[32768];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, block, sizeof block);
        if (got == 0)
            return {};
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return systemError(FsFault::System, errno);
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
        const int code = errno;
        if (copy >= 0)
            ::close(copy);
        return systemError(FsFault::System, code);
    }
    ::rewinddir(stream);
    errno = 0;
    while (const dirent *item = ::readdir(stream)) {
        if (!isDotOrDotDot(item->d_name))
            addEntry(entries, item->d_name, item->d_type);
    }
    const int code = errno;
    ::closedir(stream);
    return code == 0 ? FsError() : systemError(FsFault::System, code);
#endif
}

EntryStatus statusIn(const Directory &dir, const DirectoryEntry &entry, bool followLinks)
{
    struct stat st;
    if (::fstatat(descriptorOf(dir), entry.nativeName.constData(), &st,
                  followLinks ? 0 : AT_SYMLINK_NOFOLLOW)
        == 0)
        return statusOf(st);
    EntryStatus status;
    // A dangling link or a loop of links counts as absent.
    if (errno != ENOENT && errno != ELOOP) {
        status.type = EntryType::Unknown;
        status.error = systemError(FsFault::System, errno);
    }
    return status;
}
