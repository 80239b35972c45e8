#pragma once

#include "sync/live_text.h"
#include "sync/sync_job.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QSettings;
class CallQueue;
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

    // The copy and its name test, for a job's thread.
    bool copyDirectory(const QString &source, const QString &target, bool makeWritable,
                       qint64 since);
    bool isIgnored(const QString &name);

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
    static void runJob(const std::shared_ptr<SyncSession> &session, MainWindow *window,
                       const QVector<SyncDirection> &directions);
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
    // The times are read by a job on the pool thread, hence atomic.
    std::atomic<qint64> uploadTime;
    std::atomic<qint64> downloadTime;
    std::atomic<bool> syncing;
    // The session's, read by its jobs.
    LiveText &localDir;
    LiveText &remoteDir;
    QTimer *progressTimer;
    qint64 lastTickTime;
    SyncEvents *syncEvents;
    CallQueue *callQueue; // what jobs hand to the GUI thread: stamps, the end of a job

    // Lines from a job's thread, appended together once per pass of the
    // event loop; GUI thread only.
    QStringList pendingLog;
    bool logFlushQueued = false;
    bool lineFromGuiThread = false;
};
