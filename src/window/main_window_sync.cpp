#include "window/main_window.h"

#include "settings/settings_keys.h"
#include "sync/directory_copy.h"
#include "sync/ignore_filter.h"
#include "sync/sync_session.h"
#include "window/call_queue.h"
#include "window/sync_events.h"

#include <QRunnable>
#include <QScopeGuard>
#include <QSettings>
#include <QThreadPool>

#include <functional>
#include <mutex>

namespace {

// Qt's pool hands a job to its thread under locks that thread checkers
// cannot see. So the job's thread reads what the GUI thread gave it only
// after taking a lock the GUI thread took once the job was made.
std::mutex handOff;

class HandedOverJob : public QRunnable
{
public:
    explicit HandedOverJob(std::function<void()> job)
        : job(std::move(job))
    {
        const std::lock_guard<std::mutex> lock(handOff);
    }

    void run() override
    {
        {
            const std::lock_guard<std::mutex> lock(handOff);
        }
        job();
    }

private:
    std::function<void()> job;
};

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
    // Set here, on acceptance, so that no second request slips in before the
    // pool thread starts.
    if (syncing.exchange(true)) {
        for (int i = 0; i < directions.size(); ++i)
            output(QStringLiteral("正在同步中，请稍后再试"));
        return;
    }
    session->jobStarted();
    QThreadPool::globalInstance()->start(
            new HandedOverJob([session = session, window = this, directions] {
                runJob(session, window, directions);
            }));
}

// The job reads the stamps when each direction starts and hands back what
// it found; the window alone stores them, on its own thread. Every use of
// the window goes through the session, so that a window closed while the
// job is stuck is never touched.
void MainWindow::runJob(const std::shared_ptr<SyncSession> &session, MainWindow *window,
                        const QVector<SyncDirection> &directions)
{
    // However the job ends, later requests must not be refused for ever. The
    // flag is cleared on the GUI thread after the stamps the job handed back,
    // so a request never starts from a stamp that is about to change.
    const auto done = qScopeGuard([&] {
        session->whileWindowLives([window] {
            window->callQueue->post([window] {
                window->syncing = false;
                emit window->syncEvents->jobFinished();
            });
        });
        session->jobEnded();
    });
    SyncJob job(
            session->shared(),
            [&session, window](const QString &line) {
                session->whileWindowLives([&] { window->output(line); });
            },
            &session->stopRequested);
    for (const SyncDirection direction : directions) {
        const bool upload = direction == SyncDirection::Upload;
        qint64 since = 0;
        const bool windowThere = session->whileWindowLives(
                [&] { since = (upload ? window->uploadTime : window->downloadTime).load(); });
        if (!windowThere || session->stopRequested)
            break;
        const SyncOutcome outcome = job.run(direction, since);
        if (outcome.completed) {
            session->whileWindowLives([&] {
                window->callQueue->post([window, outcome] { window->storeOutcome(outcome); });
            });
        }
    }
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

bool MainWindow::copyDirectory(const QString &source, const QString &target, bool makeWritable,
                               qint64 since)
{
    DirectoryCopy copy(
            session->ignorePattern, session->localFieldText,
            [this](const QString &line) { output(line); }, &session->stopRequested);
    const bool complete = copy.run(source, target, makeWritable, since).complete();
    return copy.flush() && complete;
}

bool MainWindow::isIgnored(const QString &name)
{
    return IgnoreFilter(session->ignorePattern).isIgnored(name);
}
