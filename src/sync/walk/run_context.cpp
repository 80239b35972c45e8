#include "sync/walk/run_context.h"

#include "sync/record/sync_record.h"

namespace {

// Rows written in one transaction at most: what a power cut can cost the
// next run (a look at the contents of that many files).
constexpr int rowsPerCommit = 2000;

} // namespace

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
    const QString version = QString::number(modifiedUs) + QLatin1Char(':') + QString::number(size);
    if (record.firstNotice(path, int(kind), version))
        say(kind, path);
}

void RunContext::keep(const QString &relativeDir, const QString &name, const RecordRow &row)
{
    record.put(relativeDir, name, row);
    if (++unsaved >= rowsPerCommit)
        commit();
}

bool RunContext::commit()
{
    unsaved = 0;
    const FsError error = fileSystem.flush();
    if (error.failed()) {
        // The copies may not be on the disk: the record must not claim them.
        record.discard();
        SyncEvent event = SyncEvent::of(EventKind::FlushFailed, QString());
        event.error = error;
        ++report.failures;
        sink(event);
        return false;
    }
    return record.commit();
}

bool changedAfter(qint64 timeUs, qint64 sinceMs)
{
    return floorTo(timeUs, 1000) / 1000 > sinceMs;
}
