#pragma once

#include "sync/job/sync_session.h"
#include "ui_main_window_form.h"
#include "window/main_window.h"
#include "window/sync_events.h"

#include <QSettings>
#include <QTimer>

// Reaches the private parts of a MainWindow for tests: the form, the timers,
// the countdown clock, the stamps and the busy flag, the session and the
// timer handlers.
struct MainWindowProbe
{
    static Ui::MainWindow *ui(MainWindow &window) { return window.ui; }
    static QTimer *syncTimer(MainWindow &window) { return window.syncTimer; }
    static QTimer *progressTimer(MainWindow &window) { return window.progressTimer; }
    static QSettings *settings(MainWindow &window) { return window.settings; }

    static qint64 lastTickTime(const MainWindow &window) { return window.lastTickTime; }
    static void setLastTickTime(MainWindow &window, qint64 ms) { window.lastTickTime = ms; }

    static qint64 &uploadTime(MainWindow &window) { return window.uploadTime; }
    static qint64 &downloadTime(MainWindow &window) { return window.downloadTime; }
    static bool &syncing(MainWindow &window) { return window.syncing; }
    static SyncEvents *syncEvents(MainWindow &window) { return window.syncEvents; }
    static std::shared_ptr<SyncSession> session(MainWindow &window) { return window.session; }

    static void syncTick(MainWindow &window) { window.syncTick(); }
    static void refreshProgress(MainWindow &window) { window.refreshProgress(); }
    static void startSyncTimers(MainWindow &window) { window.startSyncTimers(); }
    static void stopSyncTimers(MainWindow &window) { window.stopSyncTimers(); }
};
