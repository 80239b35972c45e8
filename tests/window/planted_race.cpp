// A deliberate data race, for the ThreadSanitizer build only: proves that
// tests/tsan.supp leaves Twinfold's own code in view. A pool thread and the
// GUI thread both write a plain int; on the GUI thread the write sits in a
// lambda connected to a timer ("timer", as the sync tick is) or in a call a
// job handed over through the window's call queue after it went on writing
// ("queue"). Run by ctest, which passes when the race is reported.

#include "window/call_queue.h"

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
    CallQueue calls;
    QTimer timer;
    timer.setInterval(5);
    if (!throughQueue)
        QObject::connect(&timer, &QTimer::timeout, &app, [] { plantedRaceOnGuiThread(); });

    QThreadPool::globalInstance()->start([&calls, throughQueue] {
        if (throughQueue)
            calls.post([] { plantedRaceOnGuiThread(); });
        // Goes on writing after the hand-off: nothing orders these writes
        // before the GUI thread's.
        for (int i = 0; i < 200 && !guiWrote; ++i) {
            plantedRaceOnPoolThread();
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
    return 0;
}
