#include "sync/directory_copy.h"

#include "sync/live_text.h"
#include "sync/once_notices.h"

#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 everything = std::numeric_limits<qint64>::min();

bool isAscii(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// What FAT, exFAT and NTFS with Windows names can hold: none of : ? * " < > |
// \ or control characters, and no dot or space at the end.
bool isWindowsName(const QString &name)
{
    static const QString refused = QStringLiteral(":?*\"<>|\\");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || refused.contains(c))
            return false;
    }
    return !name.endsWith(QLatin1Char('.')) && !name.endsWith(QLatin1Char(' '));
}

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

    measureClocks(source, from, into);
    // A stamp later than the source tree's clock shows now was not taken from
    // that clock (an older version's, a clock stepped back, another share):
    // files changed since could carry any earlier time. The probe's time is
    // rounded down to the clock's tick, hence the tick's allowance.
    const TreeClock &clock = report.sourceClock;
    if (since > (clock.nowUs() + clock.tickUs) / 1000) {
        log(QStringLiteral("    上次同步时间晚于源目录的当前时间，本次检查全部文件"));
        since = everything;
    }

    TargetLevel root;
    root.state = TargetLevel::Open;
    root.directory = std::move(into);
    targetRoot = &root.directory;
    targetRootPath.clear();
    copyLevel(from, root, since, false);
    targetRoot = nullptr;
    return report;
}

void DirectoryCopy::measureClocks(const QString &source, const Directory &from,
                                  const Directory &into)
{
    QString error;
    if (!fileSystem->probeClock(from, false, &report.sourceClock, &error)) {
        report.sourceClock = TreeClock::local();
        if (!notices || notices->first(QStringLiteral("clock:") + from.path))
            log(QStringLiteral("    无法在源目录创建临时文件（") + error
                + QStringLiteral("），按本机时钟计时：") + source);
    }
    if (!fileSystem->probeClock(into, true, &targetClock, &error))
        targetClock = TreeClock::local(); // every write there will fail and say why
    resolutionUs = std::max(report.sourceClock.resolutionUs, targetClock.resolutionUs);
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

void DirectoryCopy::copyLevel(const Directory &from, TargetLevel &into, qint64 since,
                              bool wholeTree)
{
    std::vector<DirectoryEntry> entries;
    QString error;
    if (!fileSystem->list(from, &entries, &error)) {
        fail(from.path, error);
        return;
    }
    // Entries moved or unpacked into a directory keep their old times, and
    // where the change time means nothing (FAT, exFAT, sshfs, Windows) only
    // the directory's own time shows they arrived: then every entry in it is
    // compared with the target.
    const bool changed = wholeTree || from.changedMs > since;
    const qint64 fileSince = changed ? everything : since;
    if (targetClock.caseInsensitive)
        markCaseTwins(&entries);
    for (const DirectoryEntry &entry : entries) {
        if (cancelRequested()) {
            report.cancelled = true;
            return;
        }
        if (into.state == TargetLevel::Failed)
            return; // said once; nothing of this level can be written
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
            copyFileEntry(from, entry, status, false, into, fileSince);
            break;
        case EntryType::Directory:
            copyDirectoryEntry(from, entry, into, since, wholeTree, changed);
            break;
        case EntryType::Link:
            copyLinkEntry(from, entry, into, fileSince, since);
            break;
        default:
            break; // pipes, sockets and devices are not copied
        }
    }
}

// Only the first of names that differ in case can be written to a target
// that does not tell them apart; the others would land on it.
void DirectoryCopy::markCaseTwins(std::vector<DirectoryEntry> *entries)
{
    QSet<QString> seen;
    for (DirectoryEntry &entry : *entries) {
        if (isTemporaryName(entry))
            continue;
        const QString folded = entry.name.toCaseFolded();
        entry.caseTwin = seen.contains(folded);
        seen.insert(folded);
    }
}

// Why the target cannot take this name, or nothing when it can.
QString DirectoryCopy::nameRefusal(const DirectoryEntry &entry) const
{
    if (entry.caseTwin)
        return QStringLiteral("    目标文件系统不区分大小写，与同目录中另一名称相同，未复制：");
    if ((targetClock.windowsNames && !isWindowsName(entry.name))
        || (targetClock.asciiNamesOnly && !isAscii(entry.name)))
        return QStringLiteral("    目标文件系统不接受此文件名，未复制：");
    return QString();
}

void DirectoryCopy::copyFileEntry(const Directory &from, const DirectoryEntry &entry,
                                  const EntryStatus &source, bool throughLink, TargetLevel &level,
                                  qint64 since)
{
    if (changeTime(source) <= since)
        return;
    if (isIgnored(entry.name))
        return;
    // No retry changes a name, so it is said, not counted as a failure: the
    // stamp moves on and the file is named again when it changes.
    const QString refusal = nameRefusal(entry);
    if (!refusal.isEmpty()) {
        ++report.skipped;
        sayOnce(refusal, from.path + entry.name, source.modifiedUs, source.size);
        return;
    }
    const Directory *opened = openedTarget(level);
    if (!opened)
        return;
    const Directory &into = *opened;

    const QString path = from.path + entry.name;
    const EntryStatus existing = fileSystem->status(into, entry, false);
    if (existing.type == EntryType::Unknown) {
        fail(path, existing.error);
        return;
    }
    const CopyDecision decision = decide(from, entry, source, throughLink, into, existing);
    switch (decision.action) {
    case CopyAction::Copy:
    case CopyAction::Replace:
        break;
    case CopyAction::InStep:
        return;
    case CopyAction::KeepTarget:
        log(QStringLiteral("    目标较新，未覆盖：") + shown(path));
        return;
    case CopyAction::Conflict:
        refuse(QStringLiteral("    两边都已修改，未覆盖："), path);
        return;
    case CopyAction::Tie:
        fail(path, QStringLiteral("目标与源修改时间相同而大小不同，无法判断哪个较新，未覆盖"));
        return;
    case CopyAction::FutureUndecided:
        refuse(QStringLiteral("    修改时间在未来，无法判断哪边较新，未覆盖："), path);
        return;
    case CopyAction::Defer:
        ++report.deferred;
        log(QStringLiteral("    源文件刚刚修改，下次同步时复制：") + shown(path));
        return;
    case CopyAction::KeepLink:
        // Said once: the stamp moves on, and the link is never written through.
        ++report.skipped;
        sayOnce(QStringLiteral("    目标是符号链接，未覆盖："), path, source.modifiedUs,
                source.size);
        return;
    case CopyAction::SourceIncomplete:
        fail(path, QStringLiteral("源文件是未写完整的副本（大小与复制时不符），未复制"));
        return;
    case CopyAction::RefuseLink:
        fail(path, QStringLiteral("目标位置是符号链接，未改动"));
        return;
    case CopyAction::RefuseDirectory:
        fail(path, QStringLiteral("目标位置是目录"));
        return;
    case CopyAction::RefuseOther:
        fail(path, QStringLiteral("目标位置不是普通文件"));
        return;
    }
    if (decision.readAfterUs != 0 && !waitForSourceTime(decision.readAfterUs)) {
        report.cancelled = true;
        return;
    }

    CopyRequest request;
    request.followLink = throughLink;
    request.placement = decision.action == CopyAction::Copy ? Placement::New : Placement::Replace;
    request.source = source;
    request.replaced = existing;
    request.makeWritable = makeWritable;
    request.cancel = cancel;
    QString error;
    switch (fileSystem->copyFile(from, entry, into, request, &error)) {
    case CopyResult::Copied:
        break;
    case CopyResult::TargetInUse:
        // Nothing was written; like a failure it keeps the stamp, so the next
        // run replaces the file once the other program lets go of it.
        refuse(QStringLiteral("    目标文件正被其他程序使用，下次同步时重试："), path);
        return;
    case CopyResult::Failed:
        if (cancelRequested())
            report.cancelled = true;
        else
            fail(path, error);
        return;
    }
    ++report.copied;
    log(QStringLiteral("    复制文件：") + shown(path));
}

// The marks are read only when the times and sizes alone do not show the
// two in step: that is one open more for a changed file, none for the rest.
CopyDecision DirectoryCopy::decide(const Directory &from, const DirectoryEntry &entry,
                                   const EntryStatus &source, bool throughLink,
                                   const Directory &into, const EntryStatus &existing)
{
    DecisionInput input;
    input.source = source;
    input.target = existing;
    input.resolutionUs = resolutionUs;
    input.sourceTickUs = report.sourceClock.tickUs;
    input.sourceNowUs = report.sourceClock.nowUs();
    input.targetNowUs = targetClock.nowUs();
    if (existing.type == EntryType::Link) {
        input.linkedTarget = fileSystem->status(into, entry, true);
        input.linkStaysInTree = staysInTargetTree(into.path + entry.name);
        if (!throughLink)
            input.sourceMark = fileSystem->readMark(from, entry);
    } else if (existing.type == EntryType::File && !looksInStep(source, existing, resolutionUs)) {
        // A file reached through a link is never marked (it may lie outside
        // the tree), so a mark found there says nothing about this pair.
        if (!throughLink)
            input.sourceMark = fileSystem->readMark(from, entry);
        input.targetMark = fileSystem->readMark(into, entry);
    }
    return decideCopy(input);
}

// Whether the link at path, followed to the end, names a file inside the
// target tree. Only paths are compared: nothing is written through it.
bool DirectoryCopy::staysInTargetTree(const QString &path)
{
    if (targetRootPath.isEmpty()) // resolved once a run, when a link first needs it
        targetRootPath = QFileInfo(targetRoot->path).canonicalFilePath() + QLatin1Char('/');
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return !resolved.isEmpty() && targetRootPath.size() > 1 && resolved.startsWith(targetRootPath);
}

// Until the source tree's clock shows sourceUs: at most longestTickWaitUs.
bool DirectoryCopy::waitForSourceTime(qint64 sourceUs) const
{
    for (qint64 left = sourceUs - report.sourceClock.nowUs(); left > 0;
         left = sourceUs - report.sourceClock.nowUs()) {
        if (cancelRequested())
            return false;
        QThread::usleep(static_cast<unsigned long>(std::min<qint64>(left, 10000)));
    }
    return true;
}

// A skipped link is reported when it changed, not each time its directory did.
void DirectoryCopy::copyLinkEntry(const Directory &from, const DirectoryEntry &entry,
                                  TargetLevel &into, qint64 fileSince, qint64 linkSince)
{
    const EntryStatus link = fileSystem->status(from, entry, false);
    EntryStatus pointee = fileSystem->status(from, entry, true);
    if (pointee.type == EntryType::File) {
        // A new link to an old file is new to this tree.
        pointee.changedMs = std::max(pointee.changedMs, link.changedMs);
        copyFileEntry(from, entry, pointee, true, into, fileSince);
        return;
    }
    // A link to a directory is never followed, and a dangling one has nothing to copy.
    if (pointee.type != EntryType::Directory && pointee.type != EntryType::Missing)
        return;
    if (changeTime(link) <= linkSince || isIgnored(entry.name))
        return;
    log(QStringLiteral("    跳过链接：") + shown(from.path + entry.name));
}

void DirectoryCopy::copyDirectoryEntry(const Directory &from, const DirectoryEntry &entry,
                                       TargetLevel &level, qint64 since, bool wholeTree,
                                       bool parentChanged)
{
    if (isIgnored(entry.name + QLatin1Char('/')))
        return;
    const QString refusal = nameRefusal(entry);
    if (!refusal.isEmpty()) {
        // Said when it appeared (its parent changed), not on every run.
        if (parentChanged) {
            ++report.skipped;
            sayOnce(refusal, from.path + entry.name + QLatin1Char('/'), 0, 0);
        }
        return;
    }

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

    const Directory *into = openedTarget(level);
    if (!into)
        return;
    TargetLevel childLevel;
    childLevel.parent = into;
    childLevel.entry = &entry;
    bool created = false;
    const EntryStatus existing = fileSystem->status(*into, entry, false);
    if (existing.type != EntryType::Directory) {
        // Missing, or in the way: made (or refused) now, as the skeleton needs.
        if (!openTargetChild(*into, entry, &childLevel.directory, &created))
            return;
        childLevel.state = TargetLevel::Open;
    }
    if (opened == OpenResult::Failed) {
        fail(from.path + entry.name, sourceError);
        return;
    }
    // A directory the target lacks was moved, unpacked or created here since
    // the last run, or never copied: everything in it is compared, whatever
    // its times say.
    copyLevel(child, childLevel, since, wholeTree || created);
}

const Directory *DirectoryCopy::openedTarget(TargetLevel &level)
{
    if (level.state == TargetLevel::Pending) {
        bool created = false;
        level.state = openTargetChild(*level.parent, *level.entry, &level.directory, &created)
                              ? TargetLevel::Open
                              : TargetLevel::Failed;
    }
    return level.state == TargetLevel::Open ? &level.directory : nullptr;
}

bool DirectoryCopy::openTargetChild(const Directory &into, const DirectoryEntry &entry,
                                    Directory *child, bool *created)
{
    const QString path = into.path + entry.name;
    QString error;
    OpenResult opened = fileSystem->openChild(into, entry, child, &error);
    if (opened == OpenResult::Missing) {
        *created = true;
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

// A file that no retry can bring over is said once for each version of it,
// not again by the runs that look at it while the stamp's margin covers it.
void DirectoryCopy::sayOnce(const QString &line, const QString &path, qint64 modifiedUs,
                            qint64 size)
{
    const QString key = line + path + QLatin1Char(':') + QString::number(modifiedUs)
                        + QLatin1Char(':') + QString::number(size);
    if (!notices || notices->first(key))
        log(line + shown(path));
}

// A pair left alone that needs the user: said on its own line and, like a
// failure, keeps the stamp so that every run says it again until it is settled.
void DirectoryCopy::refuse(const QString &line, const QString &path)
{
    ++report.failures;
    log(line + shown(path));
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
