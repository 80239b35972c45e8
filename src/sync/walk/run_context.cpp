#include "sync/walk/run_context.h"

#include "sync/walk/once_notices.h"

bool RunContext::cancelRequested() const
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

void RunContext::say(EventKind kind, const QString &path) const
{
    sink(SyncEvent::of(kind, path));
}

void RunContext::fail(const QString &path, Failure failure, const FsError &error)
{
    ++report.failures;
    sink(SyncEvent::failed(path, failure, error));
}

void RunContext::refuse(EventKind kind, const QString &path)
{
    ++report.failures;
    say(kind, path);
}

void RunContext::sayOnce(EventKind kind, const QString &path, qint64 modifiedUs, qint64 size)
{
    const QString key = QString::number(int(kind)) + QLatin1Char(':') + path + QLatin1Char(':')
                        + QString::number(modifiedUs) + QLatin1Char(':') + QString::number(size);
    if (!notices || notices->first(key))
        say(kind, path);
}

bool changedAfter(qint64 timeUs, qint64 sinceMs)
{
    return floorTo(timeUs, 1000) / 1000 > sinceMs;
}
