#include "window/log_wording.h"

namespace {

QString shown(const QString &path, const QString &localFieldText)
{
    return path.startsWith(localFieldText) ? path.mid(localFieldText.size()) : path;
}

QString directionName(SyncDirection direction)
{
    return direction == SyncDirection::Upload ? QStringLiteral("上传") : QStringLiteral("下载");
}

// What went wrong in the file system, with the system's own words.
QString fileSystemReason(const FsError &error)
{
    switch (error.fault) {
    case FsFault::None:
    case FsFault::System: return error.detail;
    case FsFault::ReadSource: return QStringLiteral("无法读取源文件：") + error.detail;
    case FsFault::SourceNotRegular: return QStringLiteral("源文件不是普通文件");
    case FsFault::SourceChanged: return QStringLiteral("源文件在复制时被修改，下次重试");
    case FsFault::WriteTargetDirectory: return QStringLiteral("无法写入目标目录：") + error.detail;
    case FsFault::WriteTarget: return QStringLiteral("无法写入目标：") + error.detail;
    case FsFault::SetTime: return QStringLiteral("无法设置修改时间：") + error.detail;
    case FsFault::TargetAppeared: return QStringLiteral("目标在复制时出现，未覆盖");
    case FsFault::TargetChanged: return QStringLiteral("目标在复制时被修改，未覆盖");
    case FsFault::NameRefused: return QStringLiteral("目标文件系统不接受此文件名：") + error.detail;
    case FsFault::Cancelled: return QStringLiteral("已取消");
    }
    return error.detail;
}

QString failureReason(const SyncEvent &event)
{
    switch (event.failure) {
    case Failure::FileSystem: return fileSystemReason(event.error);
    case Failure::TargetIsLink: return QStringLiteral("目标位置是符号链接，未改动");
    case Failure::TargetIsDirectory: return QStringLiteral("目标位置是目录");
    case Failure::TargetNotFile: return QStringLiteral("目标位置不是普通文件");
    case Failure::TargetNotDirectory: return QStringLiteral("目标位置不是目录");
    case Failure::DirectoryVanished: return QStringLiteral("目录在同步时消失");
    }
    return QString();
}

// The line that names one file or directory, or an empty text for the rest.
QString entryLine(const SyncEvent &event)
{
    switch (event.kind) {
    case EventKind::Copied: return QStringLiteral("    复制文件：");
    case EventKind::TargetNewer: return QStringLiteral("    目标较新，未覆盖：");
    case EventKind::BothChanged: return QStringLiteral("    两边都已修改，未覆盖：");
    case EventKind::BothDiffer: return QStringLiteral("    两边都有此文件而内容不同，未覆盖：");
    case EventKind::Deferred: return QStringLiteral("    源文件刚刚修改，下次同步时复制：");
    case EventKind::KeptLink: return QStringLiteral("    目标是符号链接，未覆盖：");
    case EventKind::NameRefused: return QStringLiteral("    目标文件系统不接受此文件名，未复制：");
    case EventKind::CaseTwin:
        return QStringLiteral("    目标文件系统不区分大小写，与同目录中另一名称相同，未复制：");
    case EventKind::LinkSkipped: return QStringLiteral("    跳过链接：");
    case EventKind::TargetInUse:
        return QStringLiteral("    目标文件正被其他程序使用，下次同步时重试：");
    case EventKind::TooDeep: return QStringLiteral("    目录层级过深，未复制：");
    default: return QString();
    }
}

} // namespace

QString logLine(const SyncEvent &event, const QString &localFieldText)
{
    const QString name = directionName(event.direction);
    switch (event.kind) {
    case EventKind::Failed:
        return QStringLiteral("    复制失败：") + shown(event.path, localFieldText)
               + QStringLiteral("（") + failureReason(event) + QStringLiteral("）");
    case EventKind::SameDirectory:
        return QStringLiteral("    源目录与目标目录相同，未复制：") + event.path;
    case EventKind::SourceMissing: return QStringLiteral("    源目录不存在：") + event.path;
    case EventKind::SourceClockUnreadable:
        return QStringLiteral("    无法在源目录创建临时文件（") + event.error.detail
               + QStringLiteral("），按本机时钟计时：") + event.path;
    case EventKind::StampAhead:
        return QStringLiteral("    上次同步时间晚于源目录的当前时间，本次检查全部文件");
    case EventKind::FlushFailed:
        return QStringLiteral("    复制失败：写入磁盘失败（") + event.error.detail
               + QStringLiteral("）");
    case EventKind::RecordSetAside:
        return QStringLiteral("    同步记录已损坏或版本不同，已另存，重新开始记录：") + event.path;
    case EventKind::RecordUnavailable:
        return QStringLiteral("    无法保存同步记录（") + event.error.detail
               + QStringLiteral("），本次同步的结果不会被记住：") + event.path;
    case EventKind::PatternUnusable:
        // Qt names what is invalid; a valid pattern is refused for its counts.
        return QStringLiteral("    忽略规则无效，未忽略任何文件：") + event.pattern
               + QStringLiteral("（")
               + (event.patternProblem.isEmpty() ? QStringLiteral("重复次数过大")
                                                 : event.patternProblem)
               + QStringLiteral("）");
    case EventKind::Started:
        return QStringLiteral("\n开始") + name + QLatin1Char(' ') + QString::number(event.since)
               + QStringLiteral(" --> ") + QString::number(event.time);
    case EventKind::Completed: return name + QStringLiteral("成功 ") + QString::number(event.time);
    case EventKind::Incomplete:
        return name
               + QStringLiteral("未完成，失败 %1 项，保留时间 %2")
                         .arg(event.failures)
                         .arg(event.since);
    case EventKind::Cancelled:
        return name + QStringLiteral("已中止，保留时间 ") + QString::number(event.since);
    default: return entryLine(event) + shown(event.path, localFieldText);
    }
}
