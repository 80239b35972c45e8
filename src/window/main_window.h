#pragma once

#include "sync/job/sync_outcome.h"
#include "sync/walk/live_text.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>

class QSettings;
class JobWake;
class QTimer;
class SyncEvents;
class SyncSession;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The log pane keeps this many lines, the newest: about two days of
    // timed sync every 10 s in both directions, or the whole of a large run.
    static constexpr int logBlockLimit = 100000;
    // How long closing waits for a running job to stop at its next boundary.
    // One blocked in the kernel (a dead share) is left behind after that.
    static constexpr int closeWaitMs = 1000;

    // Posts one log line; callable from any thread.
    void output(QString text);

    // Start a job on the thread pool, or log why not. GUI thread only.
    void upload();
    void download();

    // The copy and its name test with the window's fields (the jobs run the
    // engine's own).
    bool copyDirectory(const QString &source, const QString &target, bool makeWritable,
                       qint64 since);
    bool isIgnored(const QString &name);

    // What the window shares with its jobs; it outlives the window while a
    // job stuck in the kernel still holds it.
    std::shared_ptr<const SyncSession> sharedSession() const { return session; }

signals:
    void signalOutput(QString s);

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_lineEdit_editingFinished();
    void on_lineEdit_2_editingFinished();
    void on_checkBox_stateChanged(int arg1);
    void on_checkBox_2_stateChanged(int arg1);
    void on_spinBox_valueChanged(int arg1);
    void on_pushButton_3_clicked();
    void on_lineEdit_3_textEdited(const QString &arg1);

private:
    friend struct MainWindowProbe; // tests reach the timers and the clock through it

    void receiveLog(const QString &text);
    void flushLog();
    void appendLog(const QString &text);
    void reportSettingsProblem();
    void requestSync(const QVector<SyncDirection> &directions);
    void startNextDirection();
    void connectJobs();
    void takeJobMessages(size_t most);
    void directionEnded(const SyncOutcome &outcome);
    void storeOutcome(const SyncOutcome &outcome);
    void startSyncTimers();
    void stopSyncTimers();
    void applyTimedSyncSwitch();
    void syncTick();
    void refreshProgress();
    qint64 syncPeriodMs() const;

    // First, so that the members below can refer into it.
    const std::shared_ptr<SyncSession> session;
    Ui::MainWindow *ui;
    QTimer *syncTimer;
    QSettings *settings;
    qint64 uploadTime;
    qint64 downloadTime;
    bool syncing; // from a request's acceptance to the end of its last direction
    // The session's, read by its jobs.
    LiveText &localDir;
    LiveText &remoteDir;
    QTimer *progressTimer;
    qint64 lastTickTime;
    SyncEvents *syncEvents;
    JobWake *jobWake; // a job posted to the session's channel
    QVector<SyncDirection> queuedDirections; // of the request under way, after the running one

    // Job lines, appended together once per pass of the event loop.
    QStringList pendingLog;
    bool logFlushQueued = false;
    bool lineFromGuiThread = false;
    bool appendingJobLines = false;
};
