#include "app/quit_signals.h"
#include "settings/instance_lock.h"
#include "sync/job/sync_session.h"
#include "window/main_window.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QIcon icon; // PNG renderings of data/twinfold.svg: no SVG plugin needed
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/twinfold-%1.png").arg(size));
    QApplication::setWindowIcon(icon);

    InstanceLock instance;
    if (!instance.claim()) {
        std::fprintf(stderr, "%s\n", qPrintable(instance.refusal()));
        QMessageBox::warning(nullptr, QStringLiteral("Twinfold"), instance.refusal());
        return 1;
    }
    quitOnTerminationRequests();
    int code = 0;
    std::shared_ptr<const SyncSession> session;
    {
        MainWindow window;
        session = window.sharedSession();
        window.show();
        code = app.exec();
    }
    // The window has saved everything and cut itself off from a job that
    // did not stop in time: one blocked in the kernel on a dead share. The
    // normal exit would wait for it, possibly for ever; its temporary file
    // holds no real name, and its direction keeps its old stamp.
    if (session->jobsRunning() > 0) {
        instance.release();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
