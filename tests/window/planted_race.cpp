// A deliberate data race, for the ThreadSanitizer build only: proves that
// tests/tsan.supp leaves Twinfold's own code in view. A pool thread and the
// GUI thread both write a plain int; on the GUI thread the write sits in a
// lambda connected to a timer ("timer", as the sync tick is) or in the
// taking of what a job posted to its channel, woken as the window is woken,
// after which the job went on writing ("queue"). Run by ctest, which passes
// when the race is reported.

#include "sync/job/job_channel.h"
#include "window/job_wake.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstring>

namespace {

int plantedCounter = 0; // deliberately unprotected
std::atomic<bool> guiWrote {false};

Q_NEVER_INLINE void plantedRaceOnGuiThread()
{
    ++plantedCounter;
    guiWrote = true;
}

Q_NEVER_INLINE void plantedRaceOnPoolThread()
{
    ++plantedCounter;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool throughQueue = argc > 1 && std::strcmp(argv[1], "queue") == 0;
    JobChannel channel;
    JobWake wake;
    QObject::connect(
            &wake, &JobWake::woken, &app,
            [&channel] {
                if (!channel.take(1).empty())
                    plantedRaceOnGuiThread();
            },
            Qt::QueuedConnection);
    channel.setWake([&wake] { emit wake.woken(); });
    QTimer timer;
    timer.setInterval(5);
    if (!throughQueue)
        QObject::connect(&timer, &QTimer::timeout, &app, [] { plantedRaceOnGuiThread(); });

    QThreadPool::globalInstance()->start([&channel, throughQueue] {
        if (throughQueue)
            channel.post(SyncOutcome());
        // Goes on writing after the hand-off: nothing orders these writes
        // before the GUI thread's. The first write comes before any look at
        // guiWrote, so the race stays unordered (and reported) even when a
        // busy machine lets the GUI thread write first.
        for (int i = 0; i < 200; ++i) {
            plantedRaceOnPoolThread();
            if (guiWrote)
                break;
            QThread::msleep(5);
        }
    });
    timer.start();
    QTimer::singleShot(3000, &app, &QCoreApplication::quit);
    QObject::connect(&timer, &QTimer::timeout, &app, [&app] {
        if (guiWrote)
            app.quit();
    });
    app.exec();
    QThreadPool::globalInstance()->waitForDone();
    channel.close();
    return 0;
}
