#pragma once

#include "settings/settings_keys.h"
#include "support/log_texts.h"
#include "support/main_window_probe.h"
#include "support/test_settings.h"
#include "support/tree.h"
#include "support/tree_pair.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QDir>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QStringList>

#include <memory>

// What the window tests share: a window with the widgets and timers they look at, its
// log read line by line, "click and wait for the job", and a local and a
// remote tree stored as its directories. Header only: the support library
// links no widgets.

// A window on the isolated settings, made as the program makes it.
struct ProbedWindow
{
    MainWindow window;
    Ui::MainWindow *const ui = MainWindowProbe::ui(window);
    QSettings *const store = MainWindowProbe::settings(window);
    QTimer *const syncTimer = MainWindowProbe::syncTimer(window);
    QTimer *const progressTimer = MainWindowProbe::progressTimer(window);

    qint64 &uploadTime() { return MainWindowProbe::uploadTime(window); }
    qint64 &downloadTime() { return MainWindowProbe::downloadTime(window); }
    bool &syncing() { return MainWindowProbe::syncing(window); }
    // Outlives the window while a job still holds it.
    std::shared_ptr<SyncSession> session() { return MainWindowProbe::session(window); }
    qint64 lastTick() const { return MainWindowProbe::lastTickTime(window); }
    void setLastTick(qint64 ms) { MainWindowProbe::setLastTickTime(window, ms); }
    void tick() { MainWindowProbe::syncTick(window); }
    void refreshProgress() { MainWindowProbe::refreshProgress(window); }
    qint64 stored(const char *key) const { return store->value(key).toLongLong(); }

    // The log pane's text and lines, paths written with "/" (Windows shows "\").
    QString log() const { return ui->plainTextEdit->toPlainText(); }
    QStringList lines() const { return QDir::fromNativeSeparators(log()).split(QLatin1Char('\n')); }
    QStringList linesStarting(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }
    int countStarting(const QString &prefix) const { return linesStarting(prefix).size(); }

    // Until the request under way has ended: its last direction's outcome
    // taken, its stamps stored and every line it logged shown (the window
    // shows a job's lines before it ends the request). False when it did not
    // end within timeoutMs.
    bool waitForJob(int timeoutMs = 180000)
    {
        if (!syncing())
            return true;
        QSignalSpy finished(MainWindowProbe::syncEvents(window), &SyncEvents::jobFinished);
        return finished.wait(timeoutMs);
    }
    bool clickAndWait(QAbstractButton *button)
    {
        QTest::mouseClick(button, Qt::LeftButton);
        return waitForJob();
    }
};

// A local and a remote tree, made empty, and stored in the isolated settings
// as the window's directories unless told otherwise: the local one as a user
// types it here, in native form, which the log's paths begin with.
struct StoredTrees : TreePair
{
    explicit StoredTrees(bool storeLocal = true, bool storeRemote = true)
    {
        QDir().mkpath(local);
        QDir().mkpath(remote);
        if (storeLocal)
            storeValue(SettingsKeys::localDir, QDir::toNativeSeparators(local));
        if (storeRemote)
            storeValue(SettingsKeys::remoteDir, remote);
    }

    // Files written a while ago, below one tree ("local/a.txt", "remote/b").
    void write(const QString &name, const QByteArray &content,
               const QDateTime &mtime = QDateTime::fromSecsSinceEpoch(1600000000)) const
    {
        Tree::writeFile(path(name), content, mtime);
    }
    QByteArray read(const QString &name) const { return Tree::readFile(path(name)); }
};

inline qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Timed sync as a previous session left it.
inline void storeTimedSync(int seconds, bool upload, bool download)
{
    storeValue(SettingsKeys::timerInterval, seconds);
    storeValue(SettingsKeys::timerUpload, upload);
    storeValue(SettingsKeys::timerDownload, download);
}
