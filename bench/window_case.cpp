#include "window_case.h"

#include "bench_error.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "sync/job/sync_session.h"
#include "timing.h"
#include "tree_check.h"
#include "ui_main_window_form.h"
#include "window/main_window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <unistd.h>
#ifdef __GLIBC__
#    include <malloc.h>
#endif

// The window's private members this benchmark reads.
struct MainWindowProbe
{
    static Ui::MainWindow *ui(MainWindow &window) { return window.ui; }
    static bool syncing(MainWindow &window) { return window.syncing; }
    static SyncSession &session(MainWindow &window) { return *window.session; }
};

namespace {

constexpr int tickMs = 10;
constexpr qint64 giveUpMs = 10 * 60 * 1000;
constexpr double worstLatenessBoundMs = 100;
constexpr double lastLineBoundMs = 1000;
constexpr double growthBoundMiB = 64;

struct WindowRun
{
    double jobMs = 0; // from upload() to the end of the job
    double totalMs = 0; // from upload() to the job's end and the last line shown
    double worstLatenessMs = 0; // the longest tick gap less the tick
    double lastLineAfterEndMs = 0; // the last line shown after the job's end (< 0: before)
    double growthMiB = 0; // resident memory at the end less at upload()
    int copyLines = 0;
    int paints = 0; // of the log pane, to show it was drawn while the lines came
};

// Counts a widget's paint events.
class PaintCounter : public QObject
{
public:
    int paints = 0;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        throw BenchError(QStringLiteral("cannot read /proc/self/statm"));
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        throw BenchError(QStringLiteral("unexpected /proc/self/statm"));
    return fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// Gives the heap pages freed by earlier runs back to the system, so that
// they are not counted as present before this run and reused during it.
void returnFreedMemory()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// What the window reads at construction: tree A as the local directory, a
// fresh target as the remote one, nothing else (so the default ignore
// pattern, no timed sync, and no upload yet: every file is copied).
void writeSettings(const QString &local, const QString &remote)
{
    std::unique_ptr<QSettings> store(openSettingsStore());
    store->clear();
    store->setValue(QString::fromLatin1(SettingsKeys::localDir), local);
    store->setValue(QString::fromLatin1(SettingsKeys::remoteDir), remote);
    store->sync();
}

int countCopyLines(const QPlainTextEdit *pane)
{
    const QString copied = QStringLiteral("复制文件");
    int lines = 0;
    for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().contains(copied))
            ++lines;
    }
    return lines;
}

WindowRun runOnce(const GeneratedTree &tree, const QString &target)
{
    const QString success = QStringLiteral("上传成功");
    writeSettings(tree.root, target);
    auto window = std::make_unique<MainWindow>();
    window->show();
    settle(200);
    QPlainTextEdit *pane = MainWindowProbe::ui(*window)->plainTextEdit;

    QElapsedTimer clock;
    std::atomic<qint64> jobEndNs {-1};
    qint64 lastShownNs = -1;
    qint64 previousTickNs = 0;
    qint64 worstGapNs = 0;
    bool gaveUp = false;
    PaintCounter painted;
    pane->viewport()->installEventFilter(&painted);
    QEventLoop loop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(tickMs);
    const QMetaObject::Connection watchPane
            = QObject::connect(pane, &QPlainTextEdit::textChanged, &loop, [&] {
                  if (lastShownNs < 0 && pane->document()->lastBlock().text().startsWith(success))
                      lastShownNs = clock.nsecsElapsed();
              });
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.nsecsElapsed();
        worstGapNs = std::max(worstGapNs, now - previousTickNs);
        previousTickNs = now;
        gaveUp = now > giveUpMs * 1000000;
        // Done once the job has ended, its last line is shown and the
        // window has taken its outcome (which may come a pass later).
        if ((jobEndNs.load() >= 0 && lastShownNs >= 0 && !MainWindowProbe::syncing(*window))
            || gaveUp)
            loop.quit();
    });

    returnFreedMemory();
    const qint64 before = residentBytes();
    clock.start();
    ticker.start();
    window->upload();
    std::thread watcher([&session = MainWindowProbe::session(*window), &clock, &jobEndNs] {
        while (!session.waitForJobs(100)) { }
        jobEndNs = clock.nsecsElapsed();
    });
    loop.exec();
    ticker.stop();
    if (gaveUp)
        MainWindowProbe::session(*window).stopRequested = true;
    watcher.join();
    const qint64 after = residentBytes();

    if (gaveUp)
        throw BenchError(lastShownNs < 0 ? QStringLiteral("E: no success line after 10 minutes")
                                         : QStringLiteral("E: the window still syncing 10 "
                                                          "minutes on"));
    WindowRun run;
    run.copyLines = countCopyLines(pane);
    if (run.copyLines != tree.copyableFiles())
        throw BenchError(QStringLiteral("E: %1 copy lines in the log pane, expected %2")
                                 .arg(run.copyLines)
                                 .arg(tree.copyableFiles()));
    checkFullCopy(tree, target, tree.copyableFiles(), QStringLiteral("E window"));

    run.jobMs = double(jobEndNs) / 1e6;
    run.totalMs = double(std::max<qint64>(jobEndNs, lastShownNs)) / 1e6;
    run.worstLatenessMs = double(worstGapNs) / 1e6 - tickMs;
    run.lastLineAfterEndMs = double(lastShownNs - jobEndNs) / 1e6;
    run.growthMiB = double(after - before) / (1 << 20);

    run.paints = painted.paints;
    pane->viewport()->removeEventFilter(&painted);
    QObject::disconnect(watchPane);
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return run;
}

template<class Field>
double medianOf(const std::vector<WindowRun> &runs, Field field)
{
    std::vector<double> values;
    for (const WindowRun &run : runs)
        values.push_back(run.*field);
    return median(values);
}

} // namespace

// One quiet tick with both boxes: the events a job posts to the window's
// channel when nothing changed (the window words them "开始上传 …", "上传成功 …").
void postQuietRound(JobChannel &channel, qint64 round)
{
    const qint64 stamp = 1796000000000 + round * 10000;
    for (const SyncDirection direction : {SyncDirection::Upload, SyncDirection::Download}) {
        SyncEvent event;
        event.direction = direction;
        event.kind = EventKind::Started;
        event.since = stamp;
        event.time = stamp;
        channel.post(event);
        event.kind = EventKind::Completed;
        channel.post(event);
    }
}

// Posts rounds from a thread of their own, as jobs do, and waits until the
// pane shows the last line; returns the milliseconds that took.
double postAndShow(MainWindow &window, const QPlainTextEdit *pane, qint64 first, qint64 rounds)
{
    QElapsedTimer clock;
    clock.start();
    std::thread job([&channel = MainWindowProbe::session(window).channel, first, rounds] {
        for (qint64 round = first; round < first + rounds; ++round)
            postQuietRound(channel, round);
    });
    job.join();
    const QString last = QStringLiteral("下载成功 ")
                         + QString::number(1796000000000 + (first + rounds - 1) * 10000);
    while (pane->document()->lastBlock().text() != last) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (clock.elapsed() > giveUpMs)
            throw BenchError(QStringLiteral("E long run: the pane never showed its last line"));
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

// Months of quiet timed sync through the real log path: the pane's limit
// must hold the memory, and an append at the limit must stay cheap.
std::vector<Bound> runLongRun(const QString &settingsDir, qint64 rounds)
{
    writeSettings(settingsDir + QStringLiteral("/none-local"),
                  settingsDir + QStringLiteral("/none-remote"));
    auto window = std::make_unique<MainWindow>();
    window->show();
    auto *pane = window->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    if (!pane)
        throw BenchError(QStringLiteral("E long run: no log pane"));
    settle(100);
    returnFreedMemory();
    const qint64 before = residentBytes();
    QElapsedTimer clock;
    clock.start();
    constexpr qint64 chunk = 1000;
    for (qint64 round = 0; round < rounds; round += chunk)
        postAndShow(*window, pane, round, std::min(chunk, rounds - round));
    const double totalS = double(clock.elapsed()) / 1000;
    double worstRoundMs = 0;
    for (int i = 0; i < 100; ++i)
        worstRoundMs = std::max(worstRoundMs, postAndShow(*window, pane, rounds + i, 1));
    returnFreedMemory();
    const double growthMiB = double(residentBytes() - before) / (1 << 20);
    say(QStringLiteral("E  long run: %1 quiet rounds (%2 lines) in %3 s | pane %4 blocks | "
                       "resident memory +%5 MiB | slowest of the last 100 rounds %6 ms")
                .arg(count(rounds), count(rounds * 4), fixed(totalS), count(pane->blockCount()),
                     fixed(growthMiB), fixed(worstRoundMs)));
    return {{QStringLiteral("E  long run memory growth"), growthMiB, growthBoundMiB, true,
             QStringLiteral("MiB")},
            {QStringLiteral("E  long run slowest append at the end"), worstRoundMs, 5.0, true,
             QStringLiteral("ms")}};
}

std::vector<Bound> runWindowCase(Workspace &space, int runs)
{
    const GeneratedTree &tree = space.treeA();
    const QString settingsPath = space.pathFor(QStringLiteral("settings"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsPath);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsPath);
    FreshTargets targets(space.pathFor(QStringLiteral("e-target")), true);

    // A fresh window and an empty target for every run; the first run only
    // warms up (fonts, caches) and is not counted.
    std::vector<WindowRun> measured;
    for (int index = 0; index <= runs; ++index) {
        const QString target = targets.next();
        flushToDisk();
        const WindowRun run = runOnce(tree, target);
        if (index > 0)
            measured.push_back(run);
    }
    // The targets stay until the whole workspace goes (see FreshTargets).

    QString detail;
    for (const WindowRun &run : measured) {
        detail += QStringLiteral(" [job %1, total %2, late %3, last line %4, +%5 MiB, %6 "
                                 "repaints]")
                          .arg(fixed(run.jobMs), fixed(run.totalMs), fixed(run.worstLatenessMs),
                               fixed(run.lastLineAfterEndMs), fixed(run.growthMiB),
                               QString::number(run.paints));
    }
    say(QStringLiteral("  # window runs (ms; a fresh window and an empty target each, after one "
                       "untimed warm-up run):")
        + detail);

    const double lateness = medianOf(measured, &WindowRun::worstLatenessMs);
    const double worstEver = std::max_element(measured.begin(), measured.end(),
                                              [](const WindowRun &a, const WindowRun &b) {
                                                  return a.worstLatenessMs < b.worstLatenessMs;
                                              })
                                     ->worstLatenessMs;
    const double lastLine = medianOf(measured, &WindowRun::lastLineAfterEndMs);
    const double growth = medianOf(measured, &WindowRun::growthMiB);
    say(QStringLiteral("E  window, %1 copy lines: job %2 ms | total %3 ms | worst GUI lateness "
                       "%4 ms (largest of all runs %5 ms) | last line shown %6 ms after the "
                       "job's end | resident memory +%7 MiB")
                .arg(count(measured.front().copyLines),
                     fixed(medianOf(measured, &WindowRun::jobMs)),
                     fixed(medianOf(measured, &WindowRun::totalMs)), fixed(lateness),
                     fixed(worstEver), fixed(lastLine), fixed(growth)));
    std::vector<Bound> bounds = runLongRun(settingsPath, space.sizes().eLongRounds);
    bounds.insert(bounds.begin(), {{QStringLiteral("E  worst GUI stall"), lateness,
                                    worstLatenessBoundMs, true, QStringLiteral("ms")},
                                   {QStringLiteral("E  last log line after the job's end"),
                                    lastLine, lastLineBoundMs, true, QStringLiteral("ms")},
                                   {QStringLiteral("E  memory growth for %1 lines")
                                            .arg(count(measured.front().copyLines)),
                                    growth, growthBoundMiB, true, QStringLiteral("MiB")}});
    return bounds;
}
