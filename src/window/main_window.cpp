#include "window/main_window.h"

#include "settings/record_location.h"

#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "sync/job/sync_session.h"
#include "ui_main_window_form.h"
#include "window/job_wake.h"
#include "window/sync_events.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTextCursor>
#include <QThread>
#include <QTimer>

#include <limits>

// The order below matters: the form connects the slots by name, so restoring
// the spin box and the check boxes runs their slots. The timers must exist
// before the spin box is restored, and the interval must be set before a
// restored check box can start them.
MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , session(std::make_shared<SyncSession>(syncRecordFile()))
    , ui(new Ui::MainWindow)
    , syncTimer(nullptr)
    , settings(nullptr)
    , uploadTime(0)
    , downloadTime(0)
    , syncing(false)
    , localDir(session->localDir)
    , remoteDir(session->remoteDir)
    , progressTimer(nullptr)
    , lastTickTime(0)
    , syncEvents(new SyncEvents(this))
    , jobWake(new JobWake(this))
{
    ui->setupUi(this);
    // Without a limit, months of timed sync would fill the memory.
    ui->plainTextEdit->setMaximumBlockCount(logBlockLimit);

    // Programmatic changes count too (setText below), so follow textChanged.
    session->localFieldText.setText(ui->lineEdit->text());
    session->ignorePattern.setText(ui->lineEdit_3->text());
    connect(ui->lineEdit, &QLineEdit::textChanged, this,
            [this](const QString &text) { session->localFieldText.setText(text); });
    connect(ui->lineEdit_3, &QLineEdit::textChanged, this,
            [this](const QString &text) { session->ignorePattern.setText(text); });

    settings = openSettingsStore();
    localDir.setText(settings->value(SettingsKeys::localDir).toString());
    remoteDir.setText(settings->value(SettingsKeys::remoteDir).toString());
    ui->lineEdit->setText(localDir.text());
    ui->lineEdit_2->setText(remoteDir.text());
    const int interval
            = settings->value(SettingsKeys::timerInterval, SettingsDefaults::timerIntervalSeconds)
                      .toInt();

    syncTimer = new QTimer(this);
    connect(syncTimer, &QTimer::timeout, this, [this] { syncTick(); });
    progressTimer = new QTimer(this);
    progressTimer->setInterval(30);
    connect(progressTimer, &QTimer::timeout, this, [this] { refreshProgress(); });

    ui->spinBox->setValue(interval);
    uploadTime = settings->value(SettingsKeys::uploadTime, SettingsDefaults::syncTime).toLongLong();
    downloadTime
            = settings->value(SettingsKeys::downloadTime, SettingsDefaults::syncTime).toLongLong();
    ui->checkBox->setChecked(
            toSwitch(settings->value(SettingsKeys::timerUpload, SettingsDefaults::timedSync),
                     SettingsDefaults::timedSync));
    ui->checkBox_2->setChecked(
            toSwitch(settings->value(SettingsKeys::timerDownload, SettingsDefaults::timedSync),
                     SettingsDefaults::timedSync));
    ui->lineEdit_3->setText(settings->value(SettingsKeys::ignorePattern,
                                            QString::fromUtf8(SettingsDefaults::ignorePattern))
                                    .toString());

    connectJobs();
    connect(this, &MainWindow::signalOutput, this, [this](const QString &s) { receiveLog(s); });
    reportSettingsProblem();
}

MainWindow::~MainWindow()
{
    // A running job stops at its next boundary. One that does not within
    // closeWaitMs is blocked in the kernel (a dead share, a disk that went
    // away): the window goes without it, and the job, its channel closed,
    // reaches nothing of it again. Its unfinished direction keeps its stamp;
    // main ends the process without waiting for it.
    session->stopRequested = true;
    session->waitForJobs(closeWaitMs);
    session->channel.close();
    // What the jobs posted before that: the stamps of the directions they
    // completed, and their last lines.
    takeJobMessages(std::numeric_limits<size_t>::max());

    delete ui;
    delete settings;
}

// Job lines come here on the GUI thread too, worded from the job's events;
// they are appended together like lines from another thread.
void MainWindow::output(QString text)
{
    const bool onGuiThread = QThread::currentThread() == thread() && !appendingJobLines;
    if (onGuiThread)
        lineFromGuiThread = true;
    emit signalOutput(text);
    if (onGuiThread)
        lineFromGuiThread = false;
}

// A line from the GUI thread is shown at once, after the job lines that have
// already arrived. Job lines arrive one queued call each, thousands a second:
// appending each on its own costs ~50 µs of layout and left the window
// frozen for half a second behind a fast copy, so they are gathered and
// appended once per pass of the event loop, one paragraph per line still.
void MainWindow::receiveLog(const QString &text)
{
    if (lineFromGuiThread) {
        flushLog();
        appendLog(text);
        return;
    }
    pendingLog.append(text);
    if (!logFlushQueued) {
        logFlushQueued = true;
        QMetaObject::invokeMethod(
                this,
                [this] {
                    logFlushQueued = false;
                    flushLog();
                },
                Qt::QueuedConnection);
    }
}

void MainWindow::flushLog()
{
    if (pendingLog.isEmpty())
        return;
    appendLog(pendingLog.join(QLatin1Char('\n')));
    pendingLog.clear();
}

void MainWindow::appendLog(const QString &text)
{
    ui->plainTextEdit->appendPlainText(text);
    // Measured after the append, so a view that was at the bottom follows the
    // new line and a view the user scrolled up stays where it is.
    const QScrollBar *bar = ui->plainTextEdit->verticalScrollBar();
    if (bar->sliderPosition() >= bar->maximum()) {
        QTextCursor cursor = ui->plainTextEdit->textCursor();
        cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor, 1);
        ui->plainTextEdit->setTextCursor(cursor);
    }
}
