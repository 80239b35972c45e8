#include "sync/directory_copy.h"

#include "sync/live_text.h"

#include <algorithm>
#include <limits>

namespace {

// A file moved or unpacked into a tree keeps its old modification time; the
// status-change time shows when it arrived.
qint64 changeTime(const EntryStatus &status)
{
    return std::max(status.modifiedMs, status.changedMs);
}

} // namespace

DirectoryCopy::DirectoryCopy(const LiveText &ignorePattern, const LiveText &localFieldText, Log log,
                             const std::atomic<bool> *cancel, FileSystem *fileSystem)
    : localFieldText(localFieldText)
    , log(std::move(log))
    , cancel(cancel)
    , ownFileSystem(fileSystem ? nullptr : makeFileSystem())
    , fileSystem(fileSystem ? fileSystem : ownFileSystem.get())
    , filter(ignorePattern, this->log)
{ }

DirectoryCopy::~DirectoryCopy() = default;

CopyReport DirectoryCopy::run(const QString &source, const QString &target, bool makeWritable,
                              qint64 since)
{
    this->makeWritable = makeWritable;
    this->since = since;
    report = CopyReport();

    Directory from;
    QString sourceError;
    const OpenResult opened = fileSystem->openRoot(source, &from, &sourceError);
    if (opened == OpenResult::Missing || opened == OpenResult::NotDirectory
        || opened == OpenResult::Link) {
        report.sourceFound = false;
        return report;
    }
    Directory into;
    QString error;
    if (!fileSystem->makeRoot(target, &into, &error)) {
        fail(directoryPrefix(target), error);
        return report;
    }
    if (opened == OpenResult::Failed) {
        fail(directoryPrefix(source), sourceError);
        return report;
    }
    if (fileSystem->sameDirectory(from, into)) {
        log(QStringLiteral("    源目录与目标目录相同，未复制：") + source);
        ++report.failures;
        return report;
    }

    targetRoot = &into;
    copyLevel(from, into);
    targetRoot = nullptr;
    return report;
}

bool DirectoryCopy::flush()
{
    QString error;
    if (fileSystem->flush(&error))
        return true;
    ++report.failures;
    log(QStringLiteral("    复制失败：写入磁盘失败（") + error + QStringLiteral("）"));
    return false;
}

void DirectoryCopy::copyLevel(const Directory &from, const Directory &into)
{
    std::vector<DirectoryEntry> entries;
    QString error;
    if (!fileSystem->list(from, &entries, &error)) {
        fail(from.path, error);
        return;
    }
    for (const DirectoryEntry &entry : entries) {
        if (cancelRequested()) {
            report.cancelled = true;
            return;
        }
        if (isTemporaryName(entry))
            continue;
        EntryType type = entry.type;
        EntryStatus status;
        if (type == EntryType::File || type == EntryType::Unknown) {
            status = fileSystem->status(from, entry, false);
            if (!status.error.isEmpty()) {
                fail(from.path + entry.name, status.error);
                continue;
            }
            type = status.type; // Missing when it went away after the listing
        }
        switch (type) {
        case EntryType::File:
            copyFileEntry(from, entry, status, false, into);
            break;
        case EntryType::Directory:
            copyDirectoryEntry(from, entry, into);
            break;
        case EntryType::Link:
            copyLinkEntry(from, entry, into);
            break;
        default:
            break; // pipes, sockets and devices are not copied
        }
    }
}

void DirectoryCopy::copyFileEntry(const Directory &from, const DirectoryEntry &entry,
                                  const EntryStatus &source, bool throughLink,
                                  const Directory &into)
{
    if (changeTime(source) <= since)
        return;
    if (isIgnored(entry.name))
        return;

    const EntryStatus existing = fileSystem->status(into, entry, false);
    Placement placement = Placement::New;
    switch (existing.type) {
    case EntryType::Missing:
        break;
    case EntryType::File:
        if (existing.modifiedUs > source.modifiedUs) {
            // Changed on the other side since: overwriting it would lose that change.
            log(QStringLiteral("    目标较新，未覆盖：") + shown(from.path + entry.name));
            return;
        }
        if (existing.modifiedUs == source.modifiedUs) {
            if (existing.size == source.size)
                return; // already in step
            // Same time, another size: two versions written within one tick
            // of a coarse file-system clock, or a copy cut short by a power
            // failure. The source is newer only if the target is this
            // program's copy as it wrote it and the source is not; otherwise
            // replacing could lose an edit, so the pair is reported.
            if (!fileSystem->isUnchangedCopy(into, entry, existing)
                || fileSystem->isUnchangedCopy(from, entry, source)) {
                fail(from.path + entry.name,
                     QStringLiteral("目标与源修改时间相同而大小不同，无法判断哪个较新，未覆盖"));
                return;
            }
        }
        placement = Placement::Replace;
        break;
    case EntryType::Link:
        fail(from.path + entry.name, QStringLiteral("目标位置是符号链接，未改动"));
        return;
    case EntryType::Directory:
        fail(from.path + entry.name, QStringLiteral("目标位置是目录"));
        return;
    case EntryType::Unknown:
        fail(from.path + entry.name, existing.error);
        return;
    default:
        fail(from.path + entry.name, QStringLiteral("目标位置不是普通文件"));
        return;
    }

    QString error;
    if (!fileSystem->copyFile(from, entry, throughLink, into, placement, existing, makeWritable,
                              cancel, &error)) {
        if (cancelRequested())
            report.cancelled = true;
        else
            fail(from.path + entry.name, error);
        return;
    }
    ++report.copied;
    log(QStringLiteral("    复制文件：") + shown(from.path + entry.name));
}

void DirectoryCopy::copyLinkEntry(const Directory &from, const DirectoryEntry &entry,
                                  const Directory &into)
{
    const EntryStatus link = fileSystem->status(from, entry, false);
    EntryStatus pointee = fileSystem->status(from, entry, true);
    if (pointee.type == EntryType::File) {
        // A new link to an old file is new to this tree.
        pointee.changedMs = std::max(pointee.changedMs, link.changedMs);
        copyFileEntry(from, entry, pointee, true, into);
        return;
    }
    // A link to a directory is never followed, and a dangling one has nothing to copy.
    if (pointee.type != EntryType::Directory && pointee.type != EntryType::Missing)
        return;
    if (changeTime(link) <= since || isIgnored(entry.name))
        return;
    log(QStringLiteral("    跳过链接：") + shown(from.path + entry.name));
}

void DirectoryCopy::copyDirectoryEntry(const Directory &from, const DirectoryEntry &entry,
                                       const Directory &into)
{
    if (isIgnored(entry.name + QLatin1Char('/')))
        return;

    Directory child;
    QString sourceError;
    const OpenResult opened = fileSystem->openChild(from, entry, &child, &sourceError);
    if (opened == OpenResult::Link || opened == OpenResult::NotDirectory)
        return; // replaced since the listing; the next run sees what it is now
    if (opened == OpenResult::Missing) {
        fail(from.path + entry.name, QStringLiteral("目录在同步时消失"));
        return;
    }
    // The target tree inside the source tree: copying it would copy it into itself.
    if (opened == OpenResult::Opened && fileSystem->sameDirectory(child, *targetRoot))
        return;

    Directory childTarget;
    if (!openTargetChild(into, entry, &childTarget))
        return;
    if (opened == OpenResult::Failed) {
        fail(from.path + entry.name, sourceError);
        return;
    }
    // A directory moved or unpacked into the tree brings files whose own
    // times are old. When the directory itself changed after `since`,
    // everything below it is compared with the target instead; files already
    // in step cost one look each.
    const qint64 outerSince = since;
    if (child.changedMs > since)
        since = std::numeric_limits<qint64>::min();
    copyLevel(child, childTarget);
    since = outerSince;
}

bool DirectoryCopy::openTargetChild(const Directory &into, const DirectoryEntry &entry,
                                    Directory *child)
{
    const QString path = into.path + entry.name;
    QString error;
    OpenResult opened = fileSystem->openChild(into, entry, child, &error);
    if (opened == OpenResult::Missing) {
        if (!fileSystem->makeChild(into, entry, &error)) {
            fail(path, error);
            return false;
        }
        opened = fileSystem->openChild(into, entry, child, &error);
    }
    switch (opened) {
    case OpenResult::Opened:
        return true;
    case OpenResult::Link:
        fail(path, QStringLiteral("目标位置是符号链接，未改动"));
        return false;
    case OpenResult::NotDirectory:
        fail(path, QStringLiteral("目标位置不是目录"));
        return false;
    default:
        fail(path, error);
        return false;
    }
}

bool DirectoryCopy::cancelRequested() const
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

void DirectoryCopy::fail(const QString &path, const QString &reason)
{
    ++report.failures;
    log(QStringLiteral("    复制失败：") + shown(path) + QStringLiteral("（") + reason
        + QStringLiteral("）"));
}

// The path after the local field's text when that text is a plain character
// prefix of it, otherwise the whole path.
QString DirectoryCopy::shown(const QString &path) const
{
    const QString local = localFieldText.text();
    return path.startsWith(local) ? path.mid(local.size()) : path;
}
