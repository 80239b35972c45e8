#include "window/main_window.h"

#include "settings/settings_keys.h"
#include "ui_main_window_form.h"
#include "window/sync_schedule.h"

#include <QDateTime>
#include <QSettings>
#include <QTimer>

// The progress timer runs exactly when the sync timer runs: both are started
// and stopped only here.
void MainWindow::startSyncTimers()
{
    syncTimer->start();
    progressTimer->start();
    lastTickTime = QDateTime::currentMSecsSinceEpoch();
}

void MainWindow::stopSyncTimers()
{
    syncTimer->stop();
    progressTimer->stop();
    ui->progressBar->setValue(0);
}

void MainWindow::on_checkBox_stateChanged(int arg1)
{
    Q_UNUSED(arg1);
    settings->setValue(SettingsKeys::timerUpload, ui->checkBox->isChecked());
    applyTimedSyncSwitch();
}

void MainWindow::on_checkBox_2_stateChanged(int arg1)
{
    Q_UNUSED(arg1);
    settings->setValue(SettingsKeys::timerDownload, ui->checkBox_2->isChecked());
    applyTimedSyncSwitch();
}

// An interval of 0 means timed sync is off: a repeating 0 ms timer would ask
// for a sync on every pass of the event loop.
void MainWindow::applyTimedSyncSwitch()
{
    const bool anyChecked = ui->checkBox->isChecked() || ui->checkBox_2->isChecked();
    if (!anyChecked) {
        if (syncTimer->isActive())
            stopSyncTimers();
    } else if (!syncTimer->isActive() && syncPeriodMs() != 0) {
        startSyncTimers();
    }
}

void MainWindow::on_spinBox_valueChanged(int arg1)
{
    Q_UNUSED(arg1);
    const int seconds = ui->spinBox->value();
    syncTimer->setInterval(SyncSchedule::timerIntervalMs(SyncSchedule::periodMs(seconds)));
    if (seconds == 0) {
        if (syncTimer->isActive())
            stopSyncTimers();
    } else if (!syncTimer->isActive()
               && (ui->checkBox->isChecked() || ui->checkBox_2->isChecked())) {
        startSyncTimers();
    }
    settings->setValue(SettingsKeys::timerInterval, seconds);
    lastTickTime = QDateTime::currentMSecsSinceEpoch();
}

void MainWindow::syncTick()
{
    const qint64 period = syncPeriodMs();
    if (period > SyncSchedule::longestTimerIntervalMs) {
        // Longer than a timer holds: wait out the rest of the period first.
        const qint64 left = SyncSchedule::remainingMs(period, lastTickTime,
                                                      QDateTime::currentMSecsSinceEpoch());
        syncTimer->setInterval(SyncSchedule::timerIntervalMs(left > 0 ? left : period));
        if (left > 0)
            return;
    }
    QVector<SyncDirection> directions;
    if (ui->checkBox->isChecked())
        directions.append(SyncDirection::Upload);
    if (ui->checkBox_2->isChecked())
        directions.append(SyncDirection::Download);
    if (!directions.isEmpty())
        requestSync(directions);
    lastTickTime = QDateTime::currentMSecsSinceEpoch();
}

void MainWindow::refreshProgress()
{
    const qint64 period = syncPeriodMs();
    if (period == 0 || !syncTimer->isActive())
        return;
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - lastTickTime;
    ui->progressBar->setValue(
            int(SyncSchedule::progressValue(ui->progressBar->maximum(), elapsed, period)));
}

qint64 MainWindow::syncPeriodMs() const
{
    return SyncSchedule::periodMs(ui->spinBox->value());
}
