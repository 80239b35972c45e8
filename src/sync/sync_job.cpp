#include "sync/sync_job.h"

#include "sync/directory_copy.h"
#include "sync/live_text.h"

#include <QDateTime>

SyncJob::SyncJob(SyncShared shared, Log log, TimeStored timeStored, const std::atomic<bool> *cancel)
    : shared(shared)
    , log(std::move(log))
    , timeStored(std::move(timeStored))
    , cancel(cancel)
{ }

bool SyncJob::run(SyncDirection direction)
{
    const bool upload = direction == SyncDirection::Upload;
    std::atomic<qint64> &time = upload ? shared.uploadTime : shared.downloadTime;
    const QString name = upload ? QStringLiteral("上传") : QStringLiteral("下载");

    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    const qint64 since = time.load();
    log(QStringLiteral("\n开始") + name + QLatin1Char(' ') + QString::number(since)
        + QStringLiteral(" --> ") + QString::number(start));

    const QString source = upload ? shared.localDir.text() : shared.remoteDir.text();
    const QString target = upload ? shared.remoteDir.text() : shared.localDir.text();
    DirectoryCopy copy(shared.ignorePattern, shared.localFieldText, log, cancel);
    CopyReport report = copy.run(source, target, true, since);
    // Durable before the stamp moves on, so that what a power cut loses is
    // looked at again.
    if (!copy.flush())
        ++report.failures;
    if (!report.sourceFound) {
        log(QStringLiteral("    源目录不存在：") + source);
        ++report.failures;
    }

    if (report.cancelled) {
        log(name + QStringLiteral("已中止，保留时间 ") + QString::number(time.load()));
        return false;
    }
    if (report.failures > 0) {
        log(name
            + QStringLiteral("未完成，失败 %1 项，保留时间 %2")
                      .arg(report.failures)
                      .arg(time.load()));
        return false;
    }
    // The start, not the end: a file edited while the run was under way, after
    // the walk passed it, must still count as changed next time.
    const qint64 stamp = start - stampMarginMs;
    time.store(stamp);
    log(name + QStringLiteral("成功 ") + QString::number(stamp));
    if (timeStored)
        timeStored(direction);
    return true;
}
