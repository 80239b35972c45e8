#pragma once

#include "sync/live_text.h"
#include "sync/once_notices.h"
#include "sync/sync_job.h"

#include <QFuture>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>

class QSettings;
class QTimer;
class SyncEvents;

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
    void runJob(const QVector<SyncDirection> &directions);
    void storeOutcome(const SyncOutcome &outcome);
    void startSyncTimers();
    void stopSyncTimers();
    void applyTimedSyncSwitch();
    void syncTick();
    void refreshProgress();
    qint64 syncPeriodMs() const;
    SyncShared sharedWithJobs();

    Ui::MainWindow *ui;
    QTimer *syncTimer;
    QSettings *settings;
    // Shared with the job on the pool thread, hence atomic or locked.
    std::atomic<qint64> uploadTime;
    std::atomic<qint64> downloadTime;
    std::atomic<bool> syncing;
    LiveText localDir;
    LiveText remoteDir;
    QTimer *progressTimer;
    qint64 lastTickTime;

    // The texts of the local directory and pattern fields, kept in step with
    // every change so the job never reads a widget.
    LiveText localFieldText;
    LiveText ignorePattern;
    std::atomic<bool> stopRequested;
    std::atomic<bool> jobRunning; // cleared by a job's thread as its last act
    QFuture<void> runningJob;
    OnceNotices notices;
    SyncEvents *syncEvents;

    // Lines from a job's thread, appended together once per pass of the
    // event loop; GUI thread only.
    QStringList pendingLog;
    bool logFlushQueued = false;
    bool lineFromGuiThread = false;
};
