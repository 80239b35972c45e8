#pragma once

#include "sync/walk/directory_copy.h"

#include <QString>

// One run of the copy engine the way a job runs it, without the window: the
// default file system, the default ignore pattern, makeWritable on. Events
// are counted, not worded. With durable, the time includes the flush a job
// makes before it stores its stamp (cp and rsync make none).
struct EngineRun
{
    CopyReport report;
    int events = 0;
    QString lastEvent; // briefly, as the tests write events
    double ms = 0; // the engine's construction and run
};

// recordFile: the sync record to keep; empty, one in memory for this run
// alone. fileSystem: the platform's own when null.
EngineRun runEngine(const QString &source, const QString &target, qint64 since,
                    bool durable = false, const QString &recordFile = QString(),
                    FileSystem *fileSystem = nullptr);

// Throws BenchError unless the run completed and copied exactly `expected` files.
void checkEngineRun(const EngineRun &run, int expected, const QString &who);
