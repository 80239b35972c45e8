#include "window/sync_schedule.h"

#include <QtTest>

// The arithmetic behind timed sync: period lengths, the interval handed to the
// sync timer, the time left of a period longer than a timer holds, and the
// countdown bar's value.
class TestSyncSchedule : public QObject
{
    Q_OBJECT

private slots:
    void periodIsSecondsInMilliseconds_data();
    void periodIsSecondsInMilliseconds();
    void timerIntervalIsCappedNotWrapped_data();
    void timerIntervalIsCappedNotWrapped();
    void remainingCountsOnlyForLongPeriods_data();
    void remainingCountsOnlyForLongPeriods();
    void longestPeriodIsDueAfterWholePeriod();
    void progressIsElapsedShareOfMaximum_data();
    void progressIsElapsedShareOfMaximum();
    void progressRisesSteadilyOverAnHour();
};

void TestSyncSchedule::periodIsSecondsInMilliseconds_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("zero") << 0 << qint64(0);
    QTest::newRow("default") << 10 << qint64(10000);
    QTest::newRow("hour") << 3600 << qint64(3600000);
    QTest::newRow("lastThatFitsTimer") << 2147483 << qint64(2147483000);
    QTest::newRow("firstBeyondTimer") << 2147484 << qint64(2147484000);
    QTest::newRow("spinBoxMaximum") << 9999999 << qint64(9999999000);
}

void TestSyncSchedule::periodIsSecondsInMilliseconds()
{
    QFETCH(int, seconds);
    QFETCH(qint64, expected);

    QCOMPARE(SyncSchedule::periodMs(seconds), expected);
}

void TestSyncSchedule::timerIntervalIsCappedNotWrapped_data()
{
    QTest::addColumn<qint64>("period");
    QTest::addColumn<int>("expected");

    QTest::newRow("zero") << qint64(0) << 0;
    QTest::newRow("oneMs") << qint64(1) << 1;
    QTest::newRow("tenSeconds") << qint64(10000) << 10000;
    QTest::newRow("lastWholeSecond") << qint64(2147483000) << 2147483000;
    QTest::newRow("intMaximum") << qint64(2147483647) << 2147483647;
    QTest::newRow("oneAboveIntMaximum") << qint64(2147483648) << 2147483647;
    QTest::newRow("firstSecondBeyond") << qint64(2147484000) << 2147483647;
    // 9999999000 taken modulo 2^32 would be 1410064408: a wrapped count.
    QTest::newRow("spinBoxMaximum") << qint64(9999999000) << 2147483647;
    QTest::newRow("fourTimesTwoToThe32") << qint64(4) * (qint64(1) << 32) << 2147483647;
}

void TestSyncSchedule::timerIntervalIsCappedNotWrapped()
{
    QFETCH(qint64, period);
    QFETCH(int, expected);

    QCOMPARE(SyncSchedule::timerIntervalMs(period), expected);
}

void TestSyncSchedule::remainingCountsOnlyForLongPeriods_data()
{
    QTest::addColumn<qint64>("period");
    QTest::addColumn<qint64>("lastTick");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("expected");

    const qint64 tick = qint64(1700000000000);
    const qint64 longest = qint64(9999999000);

    QTest::newRow("shortAtStart") << qint64(10000) << tick << tick << qint64(0);
    QTest::newRow("shortMidway") << qint64(10000) << tick << tick + 2500 << qint64(0);
    QTest::newRow("exactlyTimerMaximum") << qint64(2147483647) << tick << tick << qint64(0);
    QTest::newRow("oneAboveTimerMaximum")
            << qint64(2147483648) << tick << tick << qint64(2147483648);
    QTest::newRow("longAtStart") << longest << tick << tick << longest;
    QTest::newRow("longAfterOneTimer")
            << longest << tick << tick + 2147483647 << longest - 2147483647;
    QTest::newRow("longOneMsBeforeDue") << longest << tick << tick + longest - 1 << qint64(1);
    QTest::newRow("longDue") << longest << tick << tick + longest << qint64(0);
    QTest::newRow("longOverdue") << longest << tick << tick + longest + 500 << qint64(-500);
}

void TestSyncSchedule::remainingCountsOnlyForLongPeriods()
{
    QFETCH(qint64, period);
    QFETCH(qint64, lastTick);
    QFETCH(qint64, now);
    QFETCH(qint64, expected);

    QCOMPARE(SyncSchedule::remainingMs(period, lastTick, now), expected);
}

// The longest period runs as a chain of capped timer intervals, each as long
// as a timer holds or as what is left, and is due exactly when it has passed.
void TestSyncSchedule::longestPeriodIsDueAfterWholePeriod()
{
    const qint64 period = SyncSchedule::periodMs(9999999);
    const qint64 lastTick = qint64(1700000000000);
    qint64 now = lastTick;
    QList<int> intervals;
    for (qint64 left = period; left > 0; left = SyncSchedule::remainingMs(period, lastTick, now)) {
        QVERIFY2(intervals.size() < 10, "the period never came due");
        const int interval = SyncSchedule::timerIntervalMs(left);
        QVERIFY2(interval > 0,
                 qPrintable(QStringLiteral("interval %1 for %2 ms left").arg(interval).arg(left)));
        intervals << interval;
        now += interval;
    }

    QCOMPARE(now - lastTick, period);
    const QList<int> expected {2147483647, 2147483647, 2147483647, 2147483647, 1410064412};
    QCOMPARE(intervals, expected);
}

void TestSyncSchedule::progressIsElapsedShareOfMaximum_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<qint64>("period");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("quarterOfTenSeconds") << 10000 << qint64(2500) << qint64(10000) << qint64(2500);
    QTest::newRow("start") << 10000 << qint64(0) << qint64(10000) << qint64(0);
    QTest::newRow("end") << 10000 << qint64(10000) << qint64(10000) << qint64(10000);
    QTest::newRow("thirdTruncated") << 10000 << qint64(1) << qint64(3) << qint64(3333);
    QTest::newRow("twoThirdsTruncated") << 10000 << qint64(2) << qint64(3) << qint64(6666);
    QTest::newRow("justBelowOneStep") << 10000 << qint64(999) << qint64(10000000) << qint64(0);
    QTest::newRow("negativeTowardZero") << 10000 << qint64(-2) << qint64(3) << qint64(-6666);
    QTest::newRow("halfHour") << 10000 << qint64(1800000) << qint64(3600000) << qint64(5000);
    QTest::newRow("longestHalf") << 10000 << qint64(4999999500) << qint64(9999999000)
                                 << qint64(5000);
    QTest::newRow("longestOneMsShort")
            << 10000 << qint64(9999998999) << qint64(9999999000) << qint64(9999);
    QTest::newRow("longestEnd") << 10000 << qint64(9999999000) << qint64(9999999000)
                                << qint64(10000);
    QTest::newRow("aboveMaximumUnclamped")
            << 10000 << qint64(25000) << qint64(10000) << qint64(25000);
    QTest::newRow("longAboveMaximumUnclamped")
            << 10000 << qint64(19999998000) << qint64(9999999000) << qint64(20000);
    QTest::newRow("zeroPeriod") << 10000 << qint64(5000) << qint64(0) << qint64(0);
    QTest::newRow("otherMaximum") << 100 << qint64(7) << qint64(10) << qint64(70);
}

void TestSyncSchedule::progressIsElapsedShareOfMaximum()
{
    QFETCH(int, maximum);
    QFETCH(qint64, elapsed);
    QFETCH(qint64, period);
    QFETCH(qint64, expected);

    QCOMPARE(SyncSchedule::progressValue(maximum, elapsed, period), expected);
}

// Over a 3600 s period the bar never moves backwards and never jumps by more
// than one step per 360 ms.
void TestSyncSchedule::progressRisesSteadilyOverAnHour()
{
    const qint64 period = SyncSchedule::periodMs(3600);
    qint64 previous = 0;
    for (qint64 elapsed = 0; elapsed <= period; elapsed += 30) {
        const qint64 value = SyncSchedule::progressValue(10000, elapsed, period);
        QVERIFY2(value >= previous && value - previous <= 1,
                 qPrintable(QStringLiteral("%1 after %2, at %3 ms")
                                    .arg(value)
                                    .arg(previous)
                                    .arg(elapsed)));
        QCOMPARE(value, elapsed / 360);
        previous = value;
    }
    QCOMPARE(previous, qint64(10000));
}

QTEST_GUILESS_MAIN(TestSyncSchedule)
#include "test_sync_schedule.moc"
