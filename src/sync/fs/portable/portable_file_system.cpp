#include "sync/fs/portable/portable_file_system.h"

#include "sync/decision/tree_clock.h"
#include "sync/fs/content_digest.h"
#include "sync/fs/portable/portable_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// Only the owner, group and other bits: the "user" flags say what this
// process may do, and Qt would write them back as owner bits.
constexpr QFileDevice::Permissions modeBits
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
          | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
          | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

struct PortableDirectory : NativeDirectory
{
    QString canonicalPath;
};

QString pathOf(const Directory &dir, const DirectoryEntry &entry)
{
    return dir.path + entry.name;
}

const QString &canonicalOf(const Directory &dir)
{
    return static_cast<const PortableDirectory *>(dir.native.get())->canonicalPath;
}

OpenResult open(const QString &path, const QString &prefix, Directory *dir, FsError *error)
{
    const EntryStatus status = statusOfPath(path, true);
    if (status.type == EntryType::Missing) {
        *error = directoryOpenError(path);
        return OpenResult::Missing;
    }
    if (status.type == EntryType::Unknown) {
        *error = status.error;
        return OpenResult::Failed;
    }
    if (status.type != EntryType::Directory) {
        *error = notDirectoryError();
        return OpenResult::NotDirectory;
    }
    *error = directoryOpenError(path);
    if (error->failed())
        return OpenResult::Failed;
    auto native = std::make_unique<PortableDirectory>();
    native->canonicalPath = QFileInfo(path).canonicalFilePath();
    dir->path = prefix;
    dir->lastChangeUs = std::max(status.modifiedUs, status.statusChangedUs);
    dir->native = std::move(native);
    return OpenResult::Opened;
}

CopyResult failed(FsError *error, FsFault fault, const QString &detail = QString())
{
    *error = FsError {fault, 0, detail};
    return CopyResult::Failed;
}

bool sameVersion(const EntryStatus &a, const EntryStatus &b)
{
    return a.type == b.type && a.size == b.size && a.modifiedUs == b.modifiedUs
           && a.statusChangedUs == b.statusChangedUs;
}

// Whether the target is still the file that was looked at: another program
// may have saved it while the copy ran.
bool unchangedSince(const QString &path, const EntryStatus &replaced)
{
    const EntryStatus now = statusOfPath(path, false);
    return now.type == EntryType::File && now.fileId == replaced.fileId
           && now.modifiedUs == replaced.modifiedUs && now.size == replaced.size;
}

// Whether a file of that name can be created in the directory (it is
// removed again at once).
bool acceptsName(const Directory &dir, const QString &name)
{
    QFile file(dir.path + name);
    if (file.exists())
        return true; // left by a run that was killed here: the name is held, and ours
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    file.remove();
    return true;
}

} // namespace

OpenResult PortableFileSystem::openRoot(const QString &path, Directory *dir, FsError *error)
{
    return open(path, directoryPrefix(path), dir, error);
}

FsError PortableFileSystem::makeRoot(const QString &path, Directory *dir)
{
    if (statusOfPath(path, true).type == EntryType::Missing) {
        const FsError made = makeDirectoryPath(path);
        if (made.failed())
            return made;
    }
    FsError error;
    return open(path, directoryPrefix(path), dir, &error) == OpenResult::Opened ? FsError() : error;
}

FsError PortableFileSystem::list(const Directory &dir, std::vector<DirectoryEntry> *entries)
{
    const FsError unreadable = directoryOpenError(dir.path);
    if (unreadable.failed())
        return unreadable;
    // System as well, so that dangling links and special files are seen and
    // reported rather than passed over without a word. Unsorted, not NoSort:
    // NoSort falls back to the default order, by name.
    const QStringList names = QDir(dir.path).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    entries->reserve(entries->size() + size_t(names.size()));
    for (const QString &name : names)
        entries->push_back(DirectoryEntry {name, QByteArray(), EntryType::Unknown});
    return {};
}

EntryStatus PortableFileSystem::status(const Directory &dir, const DirectoryEntry &entry,
                                       bool followLinks)
{
    return statusOfPath(pathOf(dir, entry), followLinks);
}

// The system is asked each time: there is no cache of Qt's in the way.
EntryStatus PortableFileSystem::freshStatus(const Directory &dir, const DirectoryEntry &entry)
{
    return statusOfPath(pathOf(dir, entry), false);
}

OpenResult PortableFileSystem::openChild(const Directory &dir, const DirectoryEntry &entry,
                                         Directory *child, FsError *error)
{
    const QString path = pathOf(dir, entry);
    if (statusOfPath(path, false).type == EntryType::Link)
        return OpenResult::Link;
    return open(path, path + QDir::separator(), child, error);
}

FsError PortableFileSystem::makeChild(const Directory &dir, const DirectoryEntry &entry)
{
    return makeDirectory(pathOf(dir, entry));
}

bool PortableFileSystem::sameDirectory(const Directory &a, const Directory &b)
{
    return !canonicalOf(a).isEmpty() && canonicalOf(a) == canonicalOf(b);
}

bool PortableFileSystem::restampsOnRename(const Directory &into) const
{
    return std::any_of(restampingTrees.begin(), restampingTrees.end(),
                       [&into](const QString &root) {
                           return canonicalOf(into) == root
                                  || canonicalOf(into).startsWith(root + QLatin1Char('/'));
                       });
}

CopyResult PortableFileSystem::copyFile(const Directory &from, const DirectoryEntry &entry,
                                        const Directory &into, const CopyRequest &request,
                                        FsError *error)
{
    const QString sourcePath = pathOf(from, entry);
    const QString targetPath = pathOf(into, entry);
    const EntryStatus opened = statusOfPath(sourcePath, request.followLink);
    if (opened.type != EntryType::File)
        return failed(error, FsFault::SourceNotRegular);
    QFile in(sourcePath);
    if (!in.open(QIODevice::ReadOnly))
        return failed(error, FsFault::ReadSource, in.errorString());
    if (!sameVersion(opened, request.source))
        return failed(error, FsFault::SourceChanged);
    if (request.placement == Placement::New
        && statusOfPath(targetPath, false).type != EntryType::Missing)
        return failed(error, FsFault::TargetAppeared);

    // The program's own hidden name, which the walk never copies and the
    // next copy of the same file reuses after a crash.
    const QString temporary
            = into.path + QString::fromLatin1(own.temporaryFor(entry.name.toUtf8()));
    QFile::remove(temporary);
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(error, FsFault::WriteTargetDirectory, out.errorString());
    const auto discard = [&out, error](const FsError &why) {
        *error = why;
        out.remove();
        return CopyResult::Failed;
    };
    while (!in.atEnd()) {
        if (request.cancel && request.cancel->load(std::memory_order_relaxed))
            return discard({FsFault::Cancelled, 0, QString()});
        const QByteArray block = in.read(1 << 20);
        if (block.isEmpty() && in.error() != QFileDevice::NoError)
            return discard({FsFault::ReadSource, 0, in.errorString()});
        if (out.write(block) != block.size())
            return discard({FsFault::WriteTarget, 0, out.errorString()});
    }
    // A file rewritten while it was read gives a copy of neither version.
    if (!sameVersion(statusOfPath(sourcePath, request.followLink), opened))
        return discard({FsFault::SourceChanged, 0, QString()});
    out.setPermissions(in.permissions() & modeBits);
    if (!flushToDisk(out))
        return discard({FsFault::WriteTarget, 0, out.errorString()});
    // The time goes last, after everything is written and on the disk.
    // Without it the copy would look newer than its source for ever.
    const FsError timeSet = setModifiedTime(out, opened.modifiedUs);
    if (timeSet.failed())
        return discard(timeSet);
    out.close();

    if (request.placement == Placement::New) {
        const FsError named = renameToNew(temporary, targetPath);
        if (named.failed())
            return discard(named);
    } else {
        if (!unchangedSince(targetPath, request.replaced))
            return discard({FsFault::TargetChanged, 0, QString()});
        // Windows refuses to replace a read-only file.
        if (request.makeWritable)
            QFile::setPermissions(targetPath,
                                  QFile::permissions(targetPath) | QFileDevice::WriteOwner);
        FsError why;
        switch (renameOver(temporary, targetPath, &why)) {
        case RenameResult::Renamed: break;
        case RenameResult::TargetInUse: out.remove(); return CopyResult::TargetInUse;
        case RenameResult::Failed: return discard(why);
        }
    }
    // fusefat gives a renamed file the time of the rename: set it again.
    if (restampsOnRename(into)) {
        QFile placed(targetPath);
        const FsError again = placed.open(QIODevice::ReadWrite | QIODevice::Append)
                                      ? setModifiedTime(placed, opened.modifiedUs)
                                      : FsError {FsFault::SetTime, 0, placed.errorString()};
        if (again.failed()) {
            *error = again;
            return CopyResult::Failed;
        }
    }
    return CopyResult::Copied;
}

FsError PortableFileSystem::digest(const Directory &dir, const DirectoryEntry &entry,
                                   bool followLinks, QByteArray *digest)
{
    const QString path = pathOf(dir, entry);
    if (!followLinks && statusOfPath(path, false).type == EntryType::Link)
        return FsError {FsFault::SourceNotRegular, 0, QString()};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FsError {FsFault::ReadSource, 0, file.errorString()};
    ContentDigest hash;
    while (!file.atEnd()) {
        const QByteArray block = file.read(1 << 20);
        if (block.isEmpty() && file.error() != QFileDevice::NoError)
            return FsError {FsFault::ReadSource, 0, file.errorString()};
        hash.add(block.constData(), size_t(block.size()));
    }
    *digest = hash.result();
    return {};
}

FsError PortableFileSystem::probeClock(const Directory &dir, bool learnTraits, TreeClock *clock)
{
    // A fixed name, so that one left by a run that was killed is reused.
    const QString probeName = QString::fromLatin1(own.probe());
    QFile probe(dir.path + probeName);
    if (probe.exists())
        probe.remove();
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        const EntryStatus there = statusOfPath(dir.path, true);
        return there.error.failed() ? there.error
                                    : FsError {FsFault::System, 0, probe.errorString()};
    }
    const EntryStatus created = statusOfPath(probe.fileName(), false);
    clock->probedAt = std::chrono::steady_clock::now();
    clock->probeUs = created.modifiedUs;
    // A day back, an odd second and 999999 µs: what the file system keeps of
    // it shows its resolution.
    const qint64 setUs = ((created.modifiedUs / 1000000 - 86400) | 1) * 1000000 + 999999;
    clock->resolutionUs = TreeClock::coarsestResolutionUs;
    if (!setModifiedTime(probe, setUs).failed()) {
        const qint64 keptUs = statusOfPath(probe.fileName(), false).modifiedUs;
        clock->resolutionUs = resolutionFromReadBack(setUs * 1000, keptUs * 1000);
    }
    clock->tickUs = std::max(clock->resolutionUs, fileClockTickUs());
    clock->measured = true;
    // Setting the time a day back is a change: a meaningful change time moves
    // forward with it, one that merely follows the modification time does not.
    const EntryStatus kept = statusOfPath(probe.fileName(), false);
    clock->changeTimes = kept.statusChangedUs >= created.statusChangedUs
                         && kept.statusChangedUs != kept.modifiedUs;
    clock->idsLast = identitiesLast(dir.path);
    probe.close();
    if (learnTraits) {
        const qint64 keptUs = statusOfPath(probe.fileName(), false).modifiedUs;
        clock->caseInsensitive = QFileInfo::exists(dir.path + probeName.toUpper());
        const QString renamed = dir.path + QString::fromLatin1(own.renamedProbe());
        QFile::remove(renamed);
        if (probe.rename(renamed)) {
            clock->restampsOnRename = statusOfPath(renamed, false).modifiedUs != keptUs;
            if (clock->restampsOnRename)
                restampingTrees.push_back(canonicalOf(dir));
        }
        clock->windowsNames = !acceptsName(dir, QString::fromLatin1(own.windowsNameProbe()));
        clock->asciiNamesOnly = !acceptsName(dir, QString::fromUtf8(own.asciiNameProbe()));
    }
    probe.remove();
    return {};
}

FsError PortableFileSystem::flush()
{
    return {}; // every file was written through to the disk before it was named
}
