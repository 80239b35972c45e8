#include "support/events.h"

#include "window/log_wording.h"

#include <QDir>

namespace {

QString kindName(EventKind kind)
{
    switch (kind) {
    case EventKind::Copied: return QStringLiteral("Copied");
    case EventKind::TargetNewer: return QStringLiteral("TargetNewer");
    case EventKind::BothChanged: return QStringLiteral("BothChanged");
    case EventKind::BothDiffer: return QStringLiteral("BothDiffer");
    case EventKind::Deferred: return QStringLiteral("Deferred");
    case EventKind::KeptLink: return QStringLiteral("KeptLink");
    case EventKind::NameRefused: return QStringLiteral("NameRefused");
    case EventKind::CaseTwin: return QStringLiteral("CaseTwin");
    case EventKind::LinkSkipped: return QStringLiteral("LinkSkipped");
    case EventKind::TargetInUse: return QStringLiteral("TargetInUse");
    case EventKind::TooDeep: return QStringLiteral("TooDeep");
    case EventKind::Failed: return QStringLiteral("Failed");
    case EventKind::SameDirectory: return QStringLiteral("SameDirectory");
    case EventKind::SourceMissing: return QStringLiteral("SourceMissing");
    case EventKind::SourceClockUnreadable: return QStringLiteral("SourceClockUnreadable");
    case EventKind::StampAhead: return QStringLiteral("StampAhead");
    case EventKind::FlushFailed: return QStringLiteral("FlushFailed");
    case EventKind::PatternUnusable: return QStringLiteral("PatternUnusable");
    case EventKind::RecordSetAside: return QStringLiteral("RecordSetAside");
    case EventKind::RecordUnavailable: return QStringLiteral("RecordUnavailable");
    case EventKind::Started: return QStringLiteral("Started");
    case EventKind::Completed: return QStringLiteral("Completed");
    case EventKind::Incomplete: return QStringLiteral("Incomplete");
    case EventKind::Cancelled: return QStringLiteral("Cancelled");
    }
    return QStringLiteral("?");
}

QString failureName(Failure failure)
{
    switch (failure) {
    case Failure::FileSystem: return QStringLiteral("FileSystem");
    case Failure::TargetIsLink: return QStringLiteral("TargetIsLink");
    case Failure::TargetIsDirectory: return QStringLiteral("TargetIsDirectory");
    case Failure::TargetNotFile: return QStringLiteral("TargetNotFile");
    case Failure::TargetNotDirectory: return QStringLiteral("TargetNotDirectory");
    case Failure::DirectoryVanished: return QStringLiteral("DirectoryVanished");
    }
    return QStringLiteral("?");
}

QString faultName(FsFault fault)
{
    switch (fault) {
    case FsFault::None: return QStringLiteral("None");
    case FsFault::System: return QStringLiteral("System");
    case FsFault::ReadSource: return QStringLiteral("ReadSource");
    case FsFault::SourceNotRegular: return QStringLiteral("SourceNotRegular");
    case FsFault::SourceChanged: return QStringLiteral("SourceChanged");
    case FsFault::WriteTargetDirectory: return QStringLiteral("WriteTargetDirectory");
    case FsFault::WriteTarget: return QStringLiteral("WriteTarget");
    case FsFault::SetTime: return QStringLiteral("SetTime");
    case FsFault::TargetAppeared: return QStringLiteral("TargetAppeared");
    case FsFault::TargetChanged: return QStringLiteral("TargetChanged");
    case FsFault::NameRefused: return QStringLiteral("NameRefused");
    case FsFault::Cancelled: return QStringLiteral("Cancelled");
    }
    return QStringLiteral("?");
}

bool isJobEvent(EventKind kind)
{
    return kind == EventKind::Started || kind == EventKind::Completed
           || kind == EventKind::Incomplete || kind == EventKind::Cancelled;
}

} // namespace

QString brief(const SyncEvent &event, const QString &root)
{
    QString text = kindName(event.kind);
    if (event.kind == EventKind::Failed) {
        text += QLatin1Char('(') + failureName(event.failure);
        if (event.failure == Failure::FileSystem)
            text += QLatin1Char(':') + faultName(event.error.fault);
        text += QLatin1Char(')');
    }
    if (event.path.isEmpty())
        return text;
    const QString path = QDir::fromNativeSeparators(event.path);
    const QString base = QDir::fromNativeSeparators(root) + QLatin1Char('/');
    return text + QLatin1Char(' ') + (path.startsWith(base) ? path.mid(base.size()) : path);
}

QStringList EventLog::briefs(const QString &root) const
{
    QStringList lines;
    for (const SyncEvent &event : events) {
        if (!isJobEvent(event.kind))
            lines << brief(event, root);
    }
    return lines;
}

QString EventLog::said(const QString &localField) const
{
    QStringList lines;
    for (const SyncEvent &event : events)
        lines << logLine(event, localField);
    return lines.join(QLatin1Char('\n'));
}

int EventLog::count(EventKind kind) const
{
    return int(std::count_if(events.begin(), events.end(),
                             [kind](const SyncEvent &event) { return event.kind == kind; }));
}
