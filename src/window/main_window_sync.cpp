#include "window/main_window.h"

#include "settings/settings_keys.h"
#include "sync/directory_copy.h"
#include "sync/ignore_filter.h"

#include <QScopeGuard>
#include <QSettings>
#include <QThreadPool>
#include <QtConcurrent>

#include <functional>

void MainWindow::on_pushButton_clicked()
{
    upload();
}

void MainWindow::on_pushButton_2_clicked()
{
    download();
}

void MainWindow::upload()
{
    requestSync({SyncDirection::Upload});
}

void MainWindow::download()
{
    requestSync({SyncDirection::Download});
}

// One accepted request runs its directions in order, so a tick that asks for
// both never has its download refused because of its own upload. A refusal is
// logged once for each direction asked for.
void MainWindow::requestSync(const QVector<SyncDirection> &directions)
{
    if (localDir.isEmpty() || remoteDir.isEmpty()) {
        for (int i = 0; i < directions.size(); ++i)
            output(QStringLiteral("请设置同步目录路径"));
        return;
    }
    // Set here, on acceptance, so that no second request slips in before the
    // pool thread starts.
    if (syncing.exchange(true)) {
        for (int i = 0; i < directions.size(); ++i)
            output(QStringLiteral("正在同步中，请稍后再试"));
        return;
    }
    runningJob = QtConcurrent::run(QThreadPool::globalInstance(),
                                   [this, directions] { runJob(directions); });
}

void MainWindow::runJob(const QVector<SyncDirection> &directions)
{
    // However the job ends, later requests must not be refused for ever.
    const auto done = qScopeGuard([this] { syncing = false; });
    SyncJob job(
            sharedWithJobs(), [this](const QString &line) { output(line); },
            [this](SyncDirection direction) { persistTime(direction); }, &stopRequested);
    for (const SyncDirection direction : directions) {
        if (stopRequested)
            break;
        job.run(direction);
    }
}

namespace {

// Runs call later on the thread of context. Out of line, so that the hand-off
// through Qt's event queue can be named to thread checkers (tests/tsan.supp).
Q_NEVER_INLINE void postToThreadOf(QObject *context, std::function<void()> call)
{
    QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}

} // namespace

// The store is written on the GUI thread only. It takes the member's value
// when it gets there, so a clear made in between is not undone.
void MainWindow::persistTime(SyncDirection direction)
{
    postToThreadOf(this, [this, direction] {
        if (direction == SyncDirection::Upload)
            settings->setValue(SettingsKeys::uploadTime, qlonglong(uploadTime.load()));
        else
            settings->setValue(SettingsKeys::downloadTime, qlonglong(downloadTime.load()));
    });
}

SyncShared MainWindow::sharedWithJobs()
{
    return SyncShared {localDir,     remoteDir,     uploadTime,
                       downloadTime, ignorePattern, localFieldText};
}

bool MainWindow::copyDirectory(const QString &source, const QString &target, bool makeWritable,
                               qint64 since)
{
    DirectoryCopy copy(
            ignorePattern, localFieldText, [this](const QString &line) { output(line); },
            &stopRequested);
    const bool complete = copy.run(source, target, makeWritable, since).complete();
    return copy.flush() && complete;
}

bool MainWindow::isIgnored(const QString &name)
{
    return IgnoreFilter(ignorePattern).isIgnored(name);
}
