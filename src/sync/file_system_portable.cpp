#include "sync/file_system_portable.h"

#include "sync/portable_platform.h"
#include "sync/tree_clock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

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

// Qt reports the epoch itself as no time at all.
qint64 msOf(const QDateTime &time)
{
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

QString pathOf(const Directory &dir, const DirectoryEntry &entry)
{
    return dir.path + entry.name;
}

OpenResult open(const QString &path, const QString &prefix, Directory *dir, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("目录不存在");
        return OpenResult::Missing;
    }
    if (!info.isDir()) {
        *error = QStringLiteral("不是目录");
        return OpenResult::NotDirectory;
    }
    if (!info.isReadable()) {
        *error = QStringLiteral("无法读取目录");
        return OpenResult::Failed;
    }
    auto native = std::make_unique<PortableDirectory>();
    native->canonicalPath = info.canonicalFilePath();
    dir->path = prefix;
    dir->changedMs = std::max(info.lastModified().toMSecsSinceEpoch(),
                              info.metadataChangeTime().toMSecsSinceEpoch());
    dir->native = std::move(native);
    return OpenResult::Opened;
}

} // namespace

OpenResult PortableFileSystem::openRoot(const QString &path, Directory *dir, QString *error)
{
    return open(path, directoryPrefix(path), dir, error);
}

bool PortableFileSystem::makeRoot(const QString &path, Directory *dir, QString *error)
{
    if (!QDir().mkpath(path)) {
        *error = QStringLiteral("无法创建目录");
        return false;
    }
    return open(path, directoryPrefix(path), dir, error) == OpenResult::Opened;
}

bool PortableFileSystem::list(const Directory &dir, std::vector<DirectoryEntry> *entries,
                              QString *error)
{
    const QDir directory(dir.path);
    if (!directory.isReadable()) {
        *error = QStringLiteral("无法读取目录");
        return false;
    }
    // System as well, so that dangling links and special files are seen and
    // reported rather than passed over without a word. Unsorted, not NoSort:
    // NoSort falls back to the default order, by name.
    const QStringList names = directory.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    entries->reserve(entries->size() + size_t(names.size()));
    for (const QString &name : names)
        entries->push_back(DirectoryEntry {name, QByteArray(), EntryType::Unknown});
    return true;
}

EntryStatus PortableFileSystem::status(const Directory &dir, const DirectoryEntry &entry,
                                       bool followLinks)
{
    EntryStatus status;
    const QFileInfo info(pathOf(dir, entry));
    // isSymbolicLink, not isSymLink: a Windows shortcut (.lnk) is a file.
    if (!followLinks && info.isSymbolicLink()) {
        status.type = EntryType::Link;
    } else if (!info.exists()) {
        return status;
    } else if (info.isFile()) {
        status.type = EntryType::File;
    } else if (info.isDir()) {
        status.type = EntryType::Directory;
    } else {
        status.type = EntryType::Other;
    }
    // Qt follows links for times; a dangling link has none.
    const QDateTime modified = info.lastModified();
    status.modifiedMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    const QDateTime changed = info.metadataChangeTime();
    status.changedMs = changed.isValid() ? changed.toMSecsSinceEpoch() : status.modifiedMs;
    status.size = info.size();
    status.modifiedUs = status.modifiedMs * 1000;
    status.changedUs = status.changedMs * 1000;
    return status;
}

OpenResult PortableFileSystem::openChild(const Directory &dir, const DirectoryEntry &entry,
                                         Directory *child, QString *error)
{
    const QString path = pathOf(dir, entry);
    if (QFileInfo(path).isSymbolicLink()) {
        *error = QStringLiteral("是符号链接");
        return OpenResult::Link;
    }
    return open(path, dir.path + entry.name + QDir::separator(), child, error);
}

bool PortableFileSystem::makeChild(const Directory &dir, const DirectoryEntry &entry,
                                   QString *error)
{
    if (!QDir(dir.path).mkdir(entry.name)) {
        *error = QStringLiteral("无法创建目录");
        return false;
    }
    return true;
}

bool PortableFileSystem::sameDirectory(const Directory &a, const Directory &b)
{
    const QString &first = static_cast<const PortableDirectory *>(a.native.get())->canonicalPath;
    return !first.isEmpty()
           && first == static_cast<const PortableDirectory *>(b.native.get())->canonicalPath;
}

CopyResult PortableFileSystem::copyFile(const Directory &from, const DirectoryEntry &entry,
                                        const Directory &into, const CopyRequest &request,
                                        QString *error)
{
    const QString sourcePath = pathOf(from, entry);
    const QString targetPath = pathOf(into, entry);
    const QFileInfo sourceInfo(sourcePath);
    if (!request.followLink && sourceInfo.isSymbolicLink()) {
        *error = QStringLiteral("源文件不是普通文件");
        return CopyResult::Failed;
    }
    QFile in(sourcePath);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("无法读取源文件：") + in.errorString();
        return CopyResult::Failed;
    }
    if (sourceInfo.size() != request.source.size
        || msOf(sourceInfo.lastModified()) != request.source.modifiedMs) {
        *error = QStringLiteral("源文件在复制时被修改，下次重试");
        return CopyResult::Failed;
    }
    if (request.placement == Placement::New && QFileInfo::exists(targetPath)) {
        *error = QStringLiteral("目标在复制时出现，未覆盖");
        return CopyResult::Failed;
    }

    // The program's own hidden name, which the walk never copies and the
    // next copy of the same file reuses after a crash.
    const QString temporary
            = into.path + QString::fromLatin1(temporaryNameFor(entry.name.toUtf8()));
    QFile::remove(temporary);
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = QStringLiteral("无法写入目标目录：") + out.errorString();
        return CopyResult::Failed;
    }
    const auto discard = [&out](QString *why, const QString &text) {
        *why = text;
        out.remove();
        return CopyResult::Failed;
    };
    while (!in.atEnd()) {
        if (request.cancel && request.cancel->load(std::memory_order_relaxed))
            return discard(error, QStringLiteral("已取消"));
        const QByteArray block = in.read(1 << 20);
        if (block.isEmpty() && in.error() != QFileDevice::NoError)
            return discard(error, QStringLiteral("无法读取源文件：") + in.errorString());
        if (out.write(block) != block.size())
            return discard(error, QStringLiteral("无法写入目标：") + out.errorString());
    }
    // A file rewritten while it was read gives a copy of neither version.
    const QFileInfo after(sourcePath);
    if (after.lastModified() != sourceInfo.lastModified() || after.size() != sourceInfo.size())
        return discard(error, QStringLiteral("源文件在复制时被修改，下次重试"));
    out.setPermissions(in.permissions() & modeBits);
    // The time goes last, after everything is written and on the disk; Qt
    // reports the epoch itself as no time at all, so build it from the count.
    if (!flushToDisk(out))
        return discard(error, QStringLiteral("无法写入目标：") + out.errorString());
    if (!out.setFileTime(QDateTime::fromMSecsSinceEpoch(msOf(sourceInfo.lastModified()), Qt::UTC),
                         QFileDevice::FileModificationTime))
        // Without its time the copy would look newer than its source for ever.
        return discard(error, QStringLiteral("无法设置修改时间：") + out.errorString());
    out.close();

    if (request.placement == Placement::New) {
        // Refuses a name that appeared meanwhile.
        if (!QFile::rename(temporary, targetPath))
            return discard(error, QFileInfo::exists(targetPath)
                                          ? QStringLiteral("目标在复制时出现，未覆盖")
                                          : QStringLiteral("无法写入目标：") + out.errorString());
        return CopyResult::Copied;
    }
    // The target must still be the file that was looked at: another program
    // may have saved it while the copy ran.
    const QFileInfo now(targetPath);
    if (now.isSymbolicLink() || !now.isFile() || now.size() != request.replaced.size
        || msOf(now.lastModified()) != request.replaced.modifiedMs)
        return discard(error, QStringLiteral("目标在复制时被修改，未覆盖"));
    // Windows refuses to replace a read-only file.
    if (request.makeWritable)
        QFile::setPermissions(targetPath, QFile::permissions(targetPath) | QFileDevice::WriteOwner);
    QString why;
    switch (renameOver(temporary, targetPath, &why)) {
    case RenameResult::Renamed:
        return CopyResult::Copied;
    case RenameResult::TargetInUse:
        out.remove();
        return CopyResult::TargetInUse;
    case RenameResult::Failed:
        break;
    }
    return discard(error, QStringLiteral("无法写入目标：") + why);
}

CopyMark PortableFileSystem::readMark(const Directory &, const DirectoryEntry &)
{
    return {}; // copies carry no mark here
}

bool PortableFileSystem::probeClock(const Directory &dir, bool learnTraits, TreeClock *clock,
                                    QString *error)
{
    // The name is one the copy never carries over; Qt fills in the X's.
    QTemporaryFile probe(dir.path + QStringLiteral(".twinfold-clock-XXXXXX.tmp"));
    if (!probe.open()) {
        *error = probe.errorString();
        return false;
    }
    const QDateTime created = QFileInfo(probe.fileName()).lastModified();
    clock->probedAt = std::chrono::steady_clock::now();
    clock->probeUs = created.toMSecsSinceEpoch() * 1000;
    // An odd second and 999 ms: what the file system keeps of it shows its
    // resolution. Qt's times go no finer than a millisecond.
    const qint64 setMs = (created.toMSecsSinceEpoch() / 1000 | 1) * 1000 + 999;
    clock->resolutionUs = TreeClock::coarsestResolutionUs;
    if (probe.setFileTime(QDateTime::fromMSecsSinceEpoch(setMs, Qt::UTC),
                          QFileDevice::FileModificationTime)) {
        const qint64 keptMs = QFileInfo(probe.fileName()).lastModified().toMSecsSinceEpoch();
        clock->resolutionUs
                = std::max<qint64>(1000, resolutionFromReadBack(setMs * 1000000, keptMs * 1000000));
    }
    // Windows stamps files from a clock that advances in steps of about 16 ms.
    clock->tickUs = std::max<qint64>(clock->resolutionUs, 16000);
    clock->measured = true;
    if (learnTraits) {
        const QString name = QFileInfo(probe.fileName()).fileName();
        clock->caseInsensitive = QFileInfo::exists(dir.path + name.toUpper());
        const auto accepts = [&dir](const QString &name) {
            QFile file(dir.path + name);
            if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                return false;
            file.remove();
            return true;
        };
        clock->windowsNames = !accepts(QStringLiteral(".twinfold-probe?.tmp"));
        clock->asciiNamesOnly = !accepts(QStringLiteral(".twinfold-probe-\u00e9.tmp"));
    }
    return true;
}

bool PortableFileSystem::flush(QString *)
{
    return true; // every file was written through to the disk before it was named
}
