// Timed sync: the two check boxes and the interval start and stop the timers,
// each period ends with a tick that requests the checked directions, and the
// bar counts the period down.

#include "support/log_texts.h"
#include "support/main_window_probe.h"
#include "support/test_settings.h"
#include "window/main_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr qint64 timerLimitMs = 2147483647;

// Two empty trees below root, stored as the local and the remote directory,
// so that every requested direction runs a (quick) job that logs its lines.
void storeTrees(const QTemporaryDir &root)
{
    const QString local = root.filePath(QStringLiteral("local"));
    const QString remote = root.filePath(QStringLiteral("remote"));
    QVERIFY(QDir().mkpath(local));
    QVERIFY(QDir().mkpath(remote));
    storeValue(QStringLiteral("local_dir"), local);
    storeValue(QStringLiteral("remote_dir"), remote);
}

QStringList logLines(MainWindow &window)
{
    return MainWindowProbe::ui(window)->plainTextEdit->toPlainText().split(QLatin1Char('\n'));
}

int countStarting(MainWindow &window, const QString &prefix)
{
    int count = 0;
    for (const QString &line : logLines(window))
        count += line.startsWith(prefix) ? 1 : 0;
    return count;
}

int countExact(MainWindow &window, const QString &text)
{
    return logLines(window).count(text);
}

// The job start lines in log order, shortened to "up" and "down".
QStringList startedDirections(MainWindow &window)
{
    QStringList result;
    for (const QString &line : logLines(window)) {
        if (line.startsWith(uploadStart))
            result << QStringLiteral("up");
        else if (line.startsWith(downloadStart))
            result << QStringLiteral("down");
    }
    return result;
}

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

class TestTimedSync : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void checkingUploadStartsTimersAndTicksUpload();
    void bothBoxesRequestUploadThenDownloadEachPeriod();
    void uncheckedDirectionIsNoLongerRequested();
    void uncheckingOneOfTwoKeepsTimers();
    void uncheckingLastStopsTimersAndZeroesBar();
    void changingIntervalRestartsPeriod();
    void zeroIntervalStopsTimersAndKeepsThemOff();
    void intervalChangeWithoutBoxOnlyStores();
    void storedBoxRestartsTimedSyncOnePeriodLater();
    void tickWhileJobRunsRefusesEachDirection();
    void tickWithoutBoxRequestsNothing();

    void barFollowsElapsedTime_data();
    void barFollowsElapsedTime();
    void barFillsAndDropsBackEachPeriod();
    void barUntouchedWhenStopped();
    void barUntouchedAtIntervalZero();

    void timerIntervalIsCapped_data();
    void timerIntervalIsCapped();
    void earlyTickOfLongPeriodWaits_data();
    void earlyTickOfLongPeriodWaits();
    void lateTickOfLongPeriodRequestsSync_data();
    void lateTickOfLongPeriodRequestsSync();

private:
    IsolatedSettings isolated;
};

void TestTimedSync::init()
{
    isolated.clear();
}

void TestTimedSync::checkingUploadStartsTimersAndTicksUpload()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    storeTrees(root);
    storeValue(QStringLiteral("timer_interval"), 1);

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());

    const qint64 before = now();
    ui->checkBox->click();
    QVERIFY(ui->checkBox->isChecked());
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), 1000);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QSettings *store = MainWindowProbe::settings(w);
    QCOMPARE(store->value(QStringLiteral("timer_upload")).toBool(), true);
    QVERIFY(!store->contains(QStringLiteral("timer_download")));
    QCOMPARE(startedDirections(w), QStringList());

    // Two whole jobs: by the second success line the first job has ended, so
    // a download it ran would be in the log.
    QTRY_VERIFY_WITH_TIMEOUT(countStarting(w, uploadDone) >= 2, 10000);
    QCOMPARE(countStarting(w, downloadStart), 0);
    QCOMPARE(countExact(w, noPaths), 0);
}

void TestTimedSync::bothBoxesRequestUploadThenDownloadEachPeriod()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    storeTrees(root);
    storeValue(QStringLiteral("timer_interval"), 1);

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->checkBox->click();
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    // Checking the second box while the timers run leaves the countdown alone.
    const qint64 marker = now() - 123;
    MainWindowProbe::setLastTickTime(w, marker);
    ui->checkBox_2->click();
    QVERIFY(ui->checkBox_2->isChecked());
    QCOMPARE(MainWindowProbe::lastTickTime(w), marker);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_download")).toBool(), true);

    QTRY_VERIFY_WITH_TIMEOUT(countStarting(w, downloadDone) >= 2, 10000);
    QStringList directions = startedDirections(w);
    QVERIFY(directions.size() >= 4);
    // Each period's pair is one request, so its download is never refused
    // because of its own upload: every upload is followed by its download.
    for (int i = 0; i < directions.size(); ++i)
        QCOMPARE(directions.at(i), i % 2 == 0 ? QStringLiteral("up") : QStringLiteral("down"));
}

void TestTimedSync::uncheckedDirectionIsNoLongerRequested()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    storeTrees(root);
    storeValue(QStringLiteral("timer_interval"), 1);

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->checkBox->click();
    ui->checkBox_2->click();
    ui->checkBox->click();
    QVERIFY(!ui->checkBox->isChecked());
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    QTRY_VERIFY_WITH_TIMEOUT(countStarting(w, downloadDone) >= 2, 10000);
    QCOMPARE(countStarting(w, uploadStart), 0);
}

void TestTimedSync::uncheckingOneOfTwoKeepsTimers()
{
    storeValue(QStringLiteral("timer_interval"), 10);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->checkBox->click();
    ui->checkBox_2->click();
    QTRY_VERIFY_WITH_TIMEOUT(ui->progressBar->value() > 0, 5000);

    const qint64 marker = now() - 50;
    MainWindowProbe::setLastTickTime(w, marker);
    ui->checkBox->click();
    QVERIFY(!ui->checkBox->isChecked());
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::lastTickTime(w), marker);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_upload")).toBool(), false);

    // The same the other way round.
    ui->checkBox->click();
    ui->checkBox_2->click();
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::lastTickTime(w), marker);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_download")).toBool(), false);
}

void TestTimedSync::uncheckingLastStopsTimersAndZeroesBar()
{
    storeValue(QStringLiteral("timer_interval"), 10);
    storeValue(QStringLiteral("timer_download"), true);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(ui->progressBar->value() > 0, 5000);

    const qint64 marker = now() - 50;
    MainWindowProbe::setLastTickTime(w, marker);
    ui->checkBox_2->click();
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 0);
    // Stopping does not touch the clock.
    QCOMPARE(MainWindowProbe::lastTickTime(w), marker);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_download")).toBool(), false);
    QCOMPARE(openStore()->value(QStringLiteral("timer_download")).toBool(), false);
}

void TestTimedSync::changingIntervalRestartsPeriod()
{
    storeValue(QStringLiteral("timer_interval"), 1);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->checkBox->click();
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    // Most of a period has passed.
    MainWindowProbe::setLastTickTime(w, now() - 700);
    MainWindowProbe::refreshProgress(w);
    QVERIFY(ui->progressBar->value() >= 7000);

    const qint64 before = now();
    ui->spinBox->setValue(3);
    MainWindowProbe::refreshProgress(w);
    const qint64 after = now();

    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), 3000);
    // More than the old 1 s timer could have left (a coarse timer may run 5 % late).
    QVERIFY(MainWindowProbe::syncTimer(w)->remainingTime() > 1100);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QVERIFY(MainWindowProbe::lastTickTime(w) <= after);
    QVERIFY(ui->progressBar->value() <= 10000 * (after - before) / 3000);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval")).toInt(), 3);
    QCOMPARE(openStore()->value(QStringLiteral("timer_interval")).toInt(), 3);
}

void TestTimedSync::zeroIntervalStopsTimersAndKeepsThemOff()
{
    storeValue(QStringLiteral("timer_interval"), 1);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QSettings *store = MainWindowProbe::settings(w);
    ui->checkBox->click();
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    ui->spinBox->setValue(0);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(store->value(QStringLiteral("timer_interval")).toInt(), 0);
    QVERIFY(ui->checkBox->isChecked());

    // At 0 no box starts them.
    ui->checkBox_2->click();
    QVERIFY(ui->checkBox_2->isChecked());
    QCOMPARE(store->value(QStringLiteral("timer_download")).toBool(), true);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    ui->checkBox->click();
    ui->checkBox_2->click();
    ui->checkBox->click();
    QVERIFY(ui->checkBox->isChecked());
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 0);

    // A period again, with a box still checked: both start.
    const qint64 before = now();
    ui->spinBox->setValue(1);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), 1000);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QCOMPARE(store->value(QStringLiteral("timer_interval")).toInt(), 1);
}

void TestTimedSync::intervalChangeWithoutBoxOnlyStores()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    const qint64 before = now();
    ui->spinBox->setValue(5);

    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), 5000);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 24);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval")).toInt(), 5);

    ui->spinBox->setValue(0);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval")).toInt(), 0);
}

void TestTimedSync::storedBoxRestartsTimedSyncOnePeriodLater()
{
    // No paths: every requested direction logs one refusal line.
    storeValue(QStringLiteral("timer_interval"), 1);
    storeValue(QStringLiteral("timer_download"), true);

    MainWindow w;
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::progressTimer(w)->isActive());
    const qint64 started = MainWindowProbe::lastTickTime(w);
    QVERIFY(started > 0);

    qint64 firstLineAt = 0;
    int linesAtFirst = 0;
    QPlainTextEdit *pane = MainWindowProbe::ui(w)->plainTextEdit;
    connect(pane, &QPlainTextEdit::textChanged, this, [&] {
        if (firstLineAt == 0) {
            firstLineAt = now();
            linesAtFirst = countExact(w, noPaths);
        }
    });

    QTRY_VERIFY_WITH_TIMEOUT(firstLineAt != 0, 5000);
    QCOMPARE(linesAtFirst, 1);
    // One period (a coarse timer may fire up to 5 % early), not at once.
    QVERIFY2(firstLineAt - started >= 900,
             qPrintable(QStringLiteral("first tick after %1 ms").arg(firstLineAt - started)));
    QTRY_VERIFY_WITH_TIMEOUT(MainWindowProbe::lastTickTime(w) >= firstLineAt, 5000);
}

void TestTimedSync::tickWhileJobRunsRefusesEachDirection()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    storeTrees(root);
    storeValue(QStringLiteral("timer_interval"), 3600);
    storeValue(QStringLiteral("timer_upload"), true);
    storeValue(QStringLiteral("timer_download"), true);

    MainWindow w;
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    MainWindowProbe::syncing(w) = true; // as if a job were running
    const qint64 marker = now() - 5000;
    MainWindowProbe::setLastTickTime(w, marker);

    const qint64 before = now();
    MainWindowProbe::syncTick(w);
    QCOMPARE(logLines(w), (QStringList {busy, busy}));
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(MainWindowProbe::syncing(w).load());

    MainWindowProbe::syncing(w) = false;
}

void TestTimedSync::tickWithoutBoxRequestsNothing()
{
    MainWindow w;
    MainWindowProbe::setLastTickTime(w, 1);
    const qint64 before = now();
    MainWindowProbe::syncTick(w);
    QVERIFY(MainWindowProbe::ui(w)->plainTextEdit->toPlainText().isEmpty());
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
}

void TestTimedSync::barFollowsElapsedTime_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<qint64>("elapsed");

    QTest::newRow("tenSecondsAfterQuarter") << 10 << qint64(2500);
    QTest::newRow("tenSecondsAtStart") << 10 << qint64(0);
    QTest::newRow("hourHalfway") << 3600 << qint64(1800000);
    QTest::newRow("hourAlmostOver") << 3600 << qint64(3599000);
    QTest::newRow("longestHalfway") << 9999999 << qint64(4999999500);
}

void TestTimedSync::barFollowsElapsedTime()
{
    QFETCH(int, seconds);
    QFETCH(qint64, elapsed);
    storeValue(QStringLiteral("timer_interval"), seconds);
    storeValue(QStringLiteral("timer_upload"), true);

    MainWindow w;
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QProgressBar *bar = MainWindowProbe::ui(w)->progressBar;

    const qint64 period = qint64(seconds) * 1000;
    const qint64 before = now();
    MainWindowProbe::setLastTickTime(w, before - elapsed);
    MainWindowProbe::refreshProgress(w);
    const qint64 after = now();

    const qint64 lowest = 10000 * elapsed / period;
    const qint64 highest = 10000 * (elapsed + after - before) / period;
    const int value = bar->value();
    QVERIFY2(value >= lowest && value <= highest,
             qPrintable(QStringLiteral("%1 not in %2..%3").arg(value).arg(lowest).arg(highest)));
}

void TestTimedSync::barFillsAndDropsBackEachPeriod()
{
    storeValue(QStringLiteral("timer_interval"), 1);
    storeValue(QStringLiteral("timer_upload"), true);
    MainWindow w;
    QProgressBar *bar = MainWindowProbe::ui(w)->progressBar;

    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 6000, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() < 4000, 5000);
    QVERIFY(countExact(w, noPaths) >= 1);
}

void TestTimedSync::barUntouchedWhenStopped()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    MainWindowProbe::setLastTickTime(w, now() - 5000);
    MainWindowProbe::refreshProgress(w);
    QCOMPARE(ui->progressBar->value(), 24);

    ui->checkBox->click();
    ui->checkBox->click();
    QCOMPARE(ui->progressBar->value(), 0);
    MainWindowProbe::setLastTickTime(w, now() - 5000);
    MainWindowProbe::refreshProgress(w);
    QCOMPARE(ui->progressBar->value(), 0);
}

void TestTimedSync::barUntouchedAtIntervalZero()
{
    storeValue(QStringLiteral("timer_interval"), 0);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    // Forced on, which no control does at 0: the refresh still leaves the bar.
    MainWindowProbe::startSyncTimers(w);
    MainWindowProbe::setLastTickTime(w, now() - 5000);
    MainWindowProbe::refreshProgress(w);
    QCOMPARE(ui->progressBar->value(), 24);
    MainWindowProbe::stopSyncTimers(w);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 0);
}

void TestTimedSync::timerIntervalIsCapped_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("interval");

    QTest::newRow("one") << 1 << 1000;
    QTest::newRow("hour") << 3600 << 3600000;
    QTest::newRow("lastExact") << 2147483 << 2147483000;
    QTest::newRow("firstCapped") << 2147484 << 2147483647;
    QTest::newRow("largest") << 9999999 << 2147483647;
}

void TestTimedSync::timerIntervalIsCapped()
{
    QFETCH(int, seconds);
    QFETCH(int, interval);
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->checkBox->click();
    ui->spinBox->setValue(seconds);

    QCOMPARE(ui->spinBox->value(), seconds);
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), interval);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval")).toInt(),
             seconds);
}

void TestTimedSync::earlyTickOfLongPeriodWaits_data()
{
    QTest::addColumn<qint64>("elapsed");

    const qint64 period = qint64(9999999) * 1000;
    QTest::newRow("firstCappedWait") << qint64(timerLimitMs);
    QTest::newRow("thousandSeconds") << qint64(1000000);
    QTest::newRow("fiveSecondsLeft") << period - 5000;
    QTest::newRow("oneMinuteLeft") << period - 60000;
}

void TestTimedSync::earlyTickOfLongPeriodWaits()
{
    QFETCH(qint64, elapsed);
    storeValue(QStringLiteral("timer_interval"), 9999999);
    storeValue(QStringLiteral("timer_upload"), true);
    storeValue(QStringLiteral("timer_download"), true);
    MainWindow w;
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), int(timerLimitMs));

    const qint64 period = qint64(9999999) * 1000;
    const qint64 before = now();
    const qint64 marker = before - elapsed;
    MainWindowProbe::setLastTickTime(w, marker);
    MainWindowProbe::syncTick(w);
    const qint64 after = now();

    // Nothing requested (no paths are set, so a request would log a line).
    QVERIFY(MainWindowProbe::ui(w)->plainTextEdit->toPlainText().isEmpty());
    QCOMPARE(MainWindowProbe::lastTickTime(w), marker);
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    // The timer now waits for what is left of the period, as far as it can.
    const qint64 leastLeft = std::min(period - (after - marker), timerLimitMs);
    const qint64 mostLeft = std::min(period - (before - marker), timerLimitMs);
    const qint64 interval = MainWindowProbe::syncTimer(w)->interval();
    QVERIFY2(
            interval >= leastLeft && interval <= mostLeft,
            qPrintable(
                    QStringLiteral("%1 not in %2..%3").arg(interval).arg(leastLeft).arg(mostLeft)));
}

void TestTimedSync::lateTickOfLongPeriodRequestsSync_data()
{
    QTest::addColumn<qint64>("overdue");
    QTest::addColumn<bool>("download");

    QTest::newRow("justOver") << qint64(0) << false;
    QTest::newRow("minuteOver") << qint64(60000) << false;
    QTest::newRow("bothDirections") << qint64(10) << true;
}

void TestTimedSync::lateTickOfLongPeriodRequestsSync()
{
    QFETCH(qint64, overdue);
    QFETCH(bool, download);
    storeValue(QStringLiteral("timer_interval"), 9999999);
    storeValue(QStringLiteral("timer_upload"), true);
    storeValue(QStringLiteral("timer_download"), download);
    MainWindow w;
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());

    const qint64 period = qint64(9999999) * 1000;
    // A first tick with a short wait left shortens the timer's interval...
    MainWindowProbe::setLastTickTime(w, now() - (period - 3000));
    MainWindowProbe::syncTick(w);
    QVERIFY(MainWindowProbe::syncTimer(w)->interval() <= 3000);
    QVERIFY(MainWindowProbe::ui(w)->plainTextEdit->toPlainText().isEmpty());

    // ...and the tick after the whole period requests the sync and starts
    // the next period on the capped timer.
    const qint64 before = now();
    MainWindowProbe::setLastTickTime(w, before - period - overdue);
    MainWindowProbe::syncTick(w);

    const QStringList expected = download ? QStringList {noPaths, noPaths} : QStringList {noPaths};
    QCOMPARE(logLines(w), expected);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), int(timerLimitMs));
    QVERIFY(MainWindowProbe::syncTimer(w)->isActive());
}

QTEST_MAIN(TestTimedSync)
#include "test_timed_sync.moc"
