#include "window/main_window.h"

#include "settings/settings_keys.h"
#include "sync/job/sync_session.h"
#include "sync/walk/directory_copy.h"
#include "sync/walk/ignore_filter.h"
#include "window/job_wake.h"
#include "window/log_wording.h"
#include "window/sync_events.h"

#include <QSettings>

#include <variant>

namespace {

// Job lines appended in one go at most; more wait for the next pass of the
// event loop, so that a fast copy never holds the window for long.
constexpr size_t linesPerPass = 2000;

} // namespace

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
    if (syncing) {
        for (int i = 0; i < directions.size(); ++i)
            output(QStringLiteral("正在同步中，请稍后再试"));
        return;
    }
    syncing = true;
    queuedDirections = directions;
    startNextDirection();
}

// Each direction starts from its stamp as it stands now, so a clear made
// while the one before ran applies to it.
void MainWindow::startNextDirection()
{
    const SyncDirection direction = queuedDirections.takeFirst();
    SyncSession::start(session, direction,
                       direction == SyncDirection::Upload ? uploadTime : downloadTime);
}

// What the job posted: its events, worded here and shown together, and the
// outcome of each direction, whose stamp the window alone stores.
void MainWindow::takeJobMessages(size_t most)
{
    const QString localField = session->localFieldText.text();
    appendingJobLines = true;
    for (const JobMessage &message : session->channel.take(most)) {
        if (const auto *event = std::get_if<SyncEvent>(&message))
            output(logLine(*event, localField));
        else
            directionEnded(std::get<SyncOutcome>(message));
    }
    appendingJobLines = false;
    flushLog();
}

void MainWindow::directionEnded(const SyncOutcome &outcome)
{
    if (outcome.completed)
        storeOutcome(outcome);
    if (!queuedDirections.isEmpty() && !session->stopRequested) {
        startNextDirection();
        return;
    }
    queuedDirections.clear();
    syncing = false;
    emit syncEvents->jobFinished();
}

// A clear made while the run was under way gives way to the run's stamp, as
// it always has; one made after this point is never undone.
void MainWindow::storeOutcome(const SyncOutcome &outcome)
{
    if (outcome.direction == SyncDirection::Upload) {
        uploadTime = outcome.stamp;
        settings->setValue(SettingsKeys::uploadTime, qlonglong(outcome.stamp));
    } else {
        downloadTime = outcome.stamp;
        settings->setValue(SettingsKeys::downloadTime, qlonglong(outcome.stamp));
    }
}

void MainWindow::connectJobs()
{
    connect(
            jobWake, &JobWake::woken, this, [this] { takeJobMessages(linesPerPass); },
            Qt::QueuedConnection);
    session->channel.setWake([wake = jobWake] { emit wake->woken(); });
}

// The window's own copy and name test: the engine's, with the window's fields.
bool MainWindow::copyDirectory(const QString &source, const QString &target, bool makeWritable,
                               qint64 since)
{
    DirectoryCopy copy({session->ignorePattern,
                        [this](const SyncEvent &event) {
                            output(logLine(event, session->localFieldText.text()));
                        },
                        nullptr, &session->stopRequested});
    const bool complete = copy.run(source, target, makeWritable, since).complete();
    return copy.finish(std::nullopt) && complete;
}

bool MainWindow::isIgnored(const QString &name)
{
    return IgnoreFilter(session->ignorePattern).isIgnored(name);
}
