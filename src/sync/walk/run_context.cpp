#include "sync/walk/run_context.h"

#include "sync/record/sync_record.h"

namespace {

// A batch is committed after this long, or after this many rows, whichever
// comes first. What a power cut can cost the next run is a look at the
// contents of the files of one batch; each commit costs a flush of the
// written tree, which a short run should not pay more than once.
constexpr qint64 commitAfterMs = 5000;
constexpr int rowsPerCommit = 50000;

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
    if (!sinceCommit.isValid())
        sinceCommit.start();
    if (++unsaved >= rowsPerCommit || sinceCommit.hasExpired(commitAfterMs))
        commit();
}

bool RunContext::commit()
{
    unsaved = 0;
    sinceCommit.start();
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
