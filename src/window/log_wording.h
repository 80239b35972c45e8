#pragma once

#include "sync/walk/sync_event.h"

#include <QString>

// The user's words for what a run did: the one place that turns the engine's
// events into log lines. Paths of files and directories are shown after the
// local field's text where that text is a plain character prefix of them,
// otherwise whole.
QString logLine(const SyncEvent &event, const QString &localFieldText);
