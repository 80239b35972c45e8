// Timed sync: the two check boxes and the interval start and stop the timers,
// each period ends with a tick that requests the checked directions, and the
// bar counts the period down.

#include "support/window_fixture.h"

#include <QTest>

#include <algorithm>

using namespace LogTexts;

namespace {

constexpr qint64 timerLimitMs = 2147483647;
constexpr qint64 longestPeriodMs = qint64(9999999) * 1000;

QString notWithin(qint64 value, qint64 lowest, qint64 highest)
{
    return value >= lowest && value <= highest
                   ? QString()
                   : QStringLiteral("%1 not in %2..%3").arg(value).arg(lowest).arg(highest);
}

struct TimedWindow : ProbedWindow
{
    bool timersActive() const { return syncTimer->isActive() && progressTimer->isActive(); }
    bool timersStopped() const { return !syncTimer->isActive() && !progressTimer->isActive(); }
    int bar() const { return ui->progressBar->value(); }
    bool storedSwitch(const char *key) const { return store->value(key).toBool(); }

    // The job start lines in log order, shortened to "up" and "down".
    QStringList startedDirections() const
    {
        QStringList result;
        for (const QString &line : lines()) {
            if (line.startsWith(uploadStart) || line.startsWith(downloadStart))
                result << QString::fromLatin1(line.startsWith(uploadStart) ? "up" : "down");
        }
        return result;
    }
};

} // namespace

class TestTimedSync : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolated.clear(); }

    void checkedDirectionsAreTicked_data();
    void checkedDirectionsAreTicked();
    void uncheckingBoxesStopsTimersAtTheLast();
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

// The boxes clicked in turn: each period ticks the directions left checked,
// upload before download, as one request, so that a download is never
// refused because of its own upload. A click after the first leaves the
// countdown alone. Each box clicked stored its state; one never clicked
// stored nothing.
void TestTimedSync::checkedDirectionsAreTicked_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("period"); // the directions started each period

    QTest::newRow("upload") << QStringList {"checkBox"} << QStringList {"up"};
    QTest::newRow("uploadUnchecked")
            << QStringList {"checkBox", "checkBox_2", "checkBox"} << QStringList {"down"};
    QTest::newRow("both") << QStringList {"checkBox", "checkBox_2"} << QStringList {"up", "down"};
}

void TestTimedSync::checkedDirectionsAreTicked()
{
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, period);
    StoredTrees trees;
    storeValue(SettingsKeys::timerInterval, 1);

    TimedWindow w;
    QVERIFY(!w.syncTimer->isActive());
    const qint64 before = nowMs();
    w.window.findChild<QCheckBox *>(clicks.first())->click();
    QVERIFY(w.lastTick() >= before);
    const qint64 marker = nowMs() - 123;
    w.setLastTick(marker);
    for (const QString &box : clicks.mid(1))
        w.window.findChild<QCheckBox *>(box)->click();
    QCOMPARE(w.lastTick(), marker);
    QCOMPARE(w.ui->checkBox->isChecked(), period.contains("up"));
    QCOMPARE(w.ui->checkBox_2->isChecked(), period.contains("down"));
    QVERIFY(w.timersActive());
    QCOMPARE(w.syncTimer->interval(), 1000);
    QCOMPARE(w.store->contains(SettingsKeys::timerUpload), clicks.contains("checkBox"));
    QCOMPARE(w.store->contains(SettingsKeys::timerDownload), clicks.contains("checkBox_2"));
    QCOMPARE(w.storedSwitch(SettingsKeys::timerUpload), period.contains("up"));
    QCOMPARE(w.storedSwitch(SettingsKeys::timerDownload), period.contains("down"));
    QCOMPARE(w.startedDirections(), QStringList());

    // Two whole periods: by the second success line of the last direction the
    // first period's request has ended, so anything else it ran would show.
    const QString lastDone = period.last() == "up" ? uploadDone : downloadDone;
    QTRY_VERIFY_WITH_TIMEOUT(w.countStarting(lastDone) >= 2, 10000);
    const QStringList directions = w.startedDirections();
    QVERIFY(directions.size() >= 2 * period.size());
    for (int i = 0; i < directions.size(); ++i)
        QCOMPARE(directions.at(i), period.at(i % period.size()));
    QCOMPARE(w.lines().count(noPaths), 0);
}

// Unchecking one of two boxes keeps the timers and their countdown; the
// last one stops both and empties the bar, and leaves the clock.
void TestTimedSync::uncheckingBoxesStopsTimersAtTheLast()
{
    storeValue(SettingsKeys::timerInterval, 10);
    TimedWindow w;
    w.ui->checkBox->click();
    w.ui->checkBox_2->click();
    QTRY_VERIFY_WITH_TIMEOUT(w.bar() > 0, 5000);

    const qint64 marker = nowMs() - 50;
    w.setLastTick(marker);
    w.ui->checkBox->click();
    QVERIFY(!w.ui->checkBox->isChecked());
    QVERIFY(w.timersActive());
    QCOMPARE(w.lastTick(), marker);
    QCOMPARE(w.storedSwitch(SettingsKeys::timerUpload), false);

    // The same the other way round.
    w.ui->checkBox->click();
    w.ui->checkBox_2->click();
    QVERIFY(w.timersActive());
    QCOMPARE(w.lastTick(), marker);
    QCOMPARE(w.storedSwitch(SettingsKeys::timerDownload), false);
    QTRY_VERIFY_WITH_TIMEOUT(w.bar() > 0, 5000);

    w.ui->checkBox->click();
    QVERIFY(w.timersStopped());
    QCOMPARE(w.bar(), 0);
    QCOMPARE(w.lastTick(), marker);
    QCOMPARE(w.storedSwitch(SettingsKeys::timerUpload), false);
    QCOMPARE(openStore()->value(SettingsKeys::timerUpload).toBool(), false);
}

void TestTimedSync::changingIntervalRestartsPeriod()
{
    storeValue(SettingsKeys::timerInterval, 1);
    TimedWindow w;
    w.ui->checkBox->click();
    QVERIFY(w.syncTimer->isActive());

    // Most of a period has passed.
    w.setLastTick(nowMs() - 700);
    w.refreshProgress();
    QVERIFY(w.bar() >= 7000);

    const qint64 before = nowMs();
    w.ui->spinBox->setValue(3);
    w.refreshProgress();
    const qint64 after = nowMs();

    QVERIFY(w.timersActive());
    QCOMPARE(w.syncTimer->interval(), 3000);
    // More than the old 1 s timer could have left (a coarse timer may run 5 % late).
    QVERIFY(w.syncTimer->remainingTime() > 1100);
    QVERIFY(w.lastTick() >= before && w.lastTick() <= after);
    QVERIFY(w.bar() <= 10000 * (after - before) / 3000);
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(3));
    QCOMPARE(openStore()->value(SettingsKeys::timerInterval).toInt(), 3);
}

void TestTimedSync::zeroIntervalStopsTimersAndKeepsThemOff()
{
    storeValue(SettingsKeys::timerInterval, 1);
    TimedWindow w;
    w.ui->checkBox->click();
    QVERIFY(w.syncTimer->isActive());

    w.ui->spinBox->setValue(0);
    QVERIFY(w.timersStopped());
    QCOMPARE(w.bar(), 0);
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(0));
    QVERIFY(w.ui->checkBox->isChecked());

    // At 0 no box starts them.
    w.ui->checkBox_2->click();
    QVERIFY(w.ui->checkBox_2->isChecked());
    QCOMPARE(w.storedSwitch(SettingsKeys::timerDownload), true);
    QVERIFY(!w.syncTimer->isActive());
    for (QCheckBox *box : {w.ui->checkBox, w.ui->checkBox_2, w.ui->checkBox})
        box->click();
    QVERIFY(w.ui->checkBox->isChecked());
    QVERIFY(w.timersStopped());
    QCOMPARE(w.bar(), 0);

    // A period again, with a box still checked: both start.
    const qint64 before = nowMs();
    w.ui->spinBox->setValue(1);
    QVERIFY(w.timersActive());
    QCOMPARE(w.syncTimer->interval(), 1000);
    QVERIFY(w.lastTick() >= before);
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(1));
}

void TestTimedSync::intervalChangeWithoutBoxOnlyStores()
{
    TimedWindow w;
    const qint64 before = nowMs();
    w.ui->spinBox->setValue(5);

    QCOMPARE(w.syncTimer->interval(), 5000);
    QVERIFY(w.timersStopped());
    QCOMPARE(w.bar(), 24);
    QVERIFY(w.lastTick() >= before);
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(5));

    w.ui->spinBox->setValue(0);
    QVERIFY(!w.syncTimer->isActive());
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(0));
}

void TestTimedSync::storedBoxRestartsTimedSyncOnePeriodLater()
{
    // No paths: every requested direction logs one refusal line.
    storeTimedSync(1, false, true);

    TimedWindow w;
    QVERIFY(w.timersActive());
    const qint64 started = w.lastTick();
    QVERIFY(started > 0);

    qint64 firstLineAt = 0;
    int linesAtFirst = 0;
    connect(w.ui->plainTextEdit, &QPlainTextEdit::textChanged, this, [&] {
        if (firstLineAt == 0) {
            firstLineAt = nowMs();
            linesAtFirst = w.lines().count(noPaths);
        }
    });

    QTRY_VERIFY_WITH_TIMEOUT(firstLineAt != 0, 5000);
    QCOMPARE(linesAtFirst, 1);
    // One period (a coarse timer may fire up to 5 % early), not at once.
    QVERIFY2(firstLineAt - started >= 900,
             qPrintable(QStringLiteral("first tick after %1 ms").arg(firstLineAt - started)));
    QTRY_VERIFY_WITH_TIMEOUT(w.lastTick() >= firstLineAt, 5000);
}

void TestTimedSync::tickWhileJobRunsRefusesEachDirection()
{
    StoredTrees trees;
    storeTimedSync(3600, true, true);

    TimedWindow w;
    QVERIFY(w.syncTimer->isActive());
    w.syncing() = true; // as if a job were running
    w.setLastTick(nowMs() - 5000);

    const qint64 before = nowMs();
    w.tick();
    QCOMPARE(w.lines(), (QStringList {busy, busy}));
    QVERIFY(w.lastTick() >= before);
    QVERIFY(w.syncTimer->isActive());
    QVERIFY(w.syncing());
    w.syncing() = false;
}

void TestTimedSync::tickWithoutBoxRequestsNothing()
{
    TimedWindow w;
    w.setLastTick(1);
    const qint64 before = nowMs();
    w.tick();
    QVERIFY(w.log().isEmpty());
    QVERIFY(w.lastTick() >= before);
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
    storeTimedSync(seconds, true, false);

    TimedWindow w;
    QVERIFY(w.syncTimer->isActive());
    const qint64 period = qint64(seconds) * 1000;
    const qint64 before = nowMs();
    w.setLastTick(before - elapsed);
    w.refreshProgress();
    const qint64 after = nowMs();

    const QString outside = notWithin(w.bar(), 10000 * elapsed / period,
                                      10000 * (elapsed + after - before) / period);
    QVERIFY2(outside.isEmpty(), qPrintable(outside));
}

void TestTimedSync::barFillsAndDropsBackEachPeriod()
{
    storeTimedSync(1, true, false);
    TimedWindow w;
    QTRY_VERIFY_WITH_TIMEOUT(w.bar() >= 6000, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(w.bar() < 4000, 5000);
    QVERIFY(w.lines().count(noPaths) >= 1);
}

void TestTimedSync::barUntouchedWhenStopped()
{
    TimedWindow w;
    w.setLastTick(nowMs() - 5000);
    w.refreshProgress();
    QCOMPARE(w.bar(), 24);

    w.ui->checkBox->click();
    w.ui->checkBox->click();
    QCOMPARE(w.bar(), 0);
    w.setLastTick(nowMs() - 5000);
    w.refreshProgress();
    QCOMPARE(w.bar(), 0);
}

void TestTimedSync::barUntouchedAtIntervalZero()
{
    storeValue(SettingsKeys::timerInterval, 0);
    TimedWindow w;
    // Forced on, which no control does at 0: the refresh still leaves the bar.
    MainWindowProbe::startSyncTimers(w.window);
    w.setLastTick(nowMs() - 5000);
    w.refreshProgress();
    QCOMPARE(w.bar(), 24);
    MainWindowProbe::stopSyncTimers(w.window);
    QVERIFY(w.timersStopped());
    QCOMPARE(w.bar(), 0);
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
    TimedWindow w;
    w.ui->checkBox->click();
    w.ui->spinBox->setValue(seconds);

    QCOMPARE(w.ui->spinBox->value(), seconds);
    QCOMPARE(w.syncTimer->interval(), interval);
    QVERIFY(w.syncTimer->isActive());
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(seconds));
}

void TestTimedSync::earlyTickOfLongPeriodWaits_data()
{
    QTest::addColumn<qint64>("elapsed");

    QTest::newRow("firstCappedWait") << timerLimitMs;
    QTest::newRow("thousandSeconds") << qint64(1000000);
    QTest::newRow("fiveSecondsLeft") << longestPeriodMs - 5000;
    QTest::newRow("oneMinuteLeft") << longestPeriodMs - 60000;
}

void TestTimedSync::earlyTickOfLongPeriodWaits()
{
    QFETCH(qint64, elapsed);
    storeTimedSync(9999999, true, true);
    TimedWindow w;
    QVERIFY(w.syncTimer->isActive());
    QCOMPARE(w.syncTimer->interval(), int(timerLimitMs));

    const qint64 before = nowMs();
    const qint64 marker = before - elapsed;
    w.setLastTick(marker);
    w.tick();
    const qint64 after = nowMs();

    // Nothing requested (no paths are set, so a request would log a line).
    QVERIFY(w.log().isEmpty());
    QCOMPARE(w.lastTick(), marker);
    QVERIFY(w.syncTimer->isActive());

    // The timer now waits for what is left of the period, as far as it can.
    const QString outside = notWithin(w.syncTimer->interval(),
                                      std::min(longestPeriodMs - (after - marker), timerLimitMs),
                                      std::min(longestPeriodMs - (before - marker), timerLimitMs));
    QVERIFY2(outside.isEmpty(), qPrintable(outside));
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
    storeTimedSync(9999999, true, download);
    TimedWindow w;
    QVERIFY(w.syncTimer->isActive());

    // A first tick with a short wait left shortens the timer's interval...
    w.setLastTick(nowMs() - (longestPeriodMs - 3000));
    w.tick();
    QVERIFY(w.syncTimer->interval() <= 3000);
    QVERIFY(w.log().isEmpty());

    // ...and the tick after the whole period requests the sync and starts
    // the next period on the capped timer.
    const qint64 before = nowMs();
    w.setLastTick(before - longestPeriodMs - overdue);
    w.tick();

    QCOMPARE(w.lines(), download ? (QStringList {noPaths, noPaths}) : QStringList {noPaths});
    QVERIFY(w.lastTick() >= before);
    QCOMPARE(w.syncTimer->interval(), int(timerLimitMs));
    QVERIFY(w.syncTimer->isActive());
}

QTEST_MAIN(TestTimedSync)
#include "test_timed_sync.moc"
