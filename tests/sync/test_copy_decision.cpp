#include "sync/decision/copy_decision.h"

#include <QtTest>

// The verdict for one source file over one target entry, from the two
// entries, their copy marks and the clocks a run measured: every row is a
// situation a sync meets, none touches the disk.
class TestCopyDecision : public QObject
{
    Q_OBJECT

private slots:
    void decides_data();
    void decides();
    void decidesOverLink_data();
    void decidesOverLink();
    void waitsForTheSourceTick_data();
    void waitsForTheSourceTick();
};

Q_DECLARE_METATYPE(CopyAction)
Q_DECLARE_METATYPE(CopyMark)
Q_DECLARE_METATYPE(EntryStatus)

namespace {

constexpr qint64 second = 1000000; // µs
// The run's "now" on both trees, and a time well before it.
constexpr qint64 now = 1800000000LL * second;
constexpr qint64 earlier = now - 3600 * second;

EntryStatus file(qint64 modifiedUs, qint64 size)
{
    EntryStatus status;
    status.type = EntryType::File;
    status.modifiedUs = modifiedUs;
    status.size = size;
    return status;
}

EntryStatus entryOf(EntryType type)
{
    EntryStatus status;
    status.type = type;
    return status;
}

// The mark on a copy this program wrote, and on the original it read.
CopyMark mark(qint64 modifiedUs, qint64 size)
{
    return CopyMark {true, modifiedUs, size, true};
}

CopyMark original(qint64 modifiedUs, qint64 size)
{
    return CopyMark {true, modifiedUs, size, false};
}

const CopyMark none;

} // namespace

void TestCopyDecision::decides_data()
{
    QTest::addColumn<EntryStatus>("source");
    QTest::addColumn<CopyMark>("sourceMark");
    QTest::addColumn<EntryStatus>("target");
    QTest::addColumn<CopyMark>("targetMark");
    QTest::addColumn<qint64>("resolution");
    QTest::addColumn<qint64>("targetNow"); // the target tree's clock
    QTest::addColumn<CopyAction>("expected");

    const EntryStatus v1 = file(earlier, 10);
    const EntryStatus v2 = file(earlier + 60 * second, 12);
    const CopyMark atV1 = mark(earlier, 10);
    const CopyMark readAtV1 = original(earlier, 10);

    QTest::newRow("missing") << v1 << none << entryOf(EntryType::Missing) << none << qint64(1)
                             << now << CopyAction::Copy;
    QTest::newRow("link") << v1 << none << entryOf(EntryType::Link) << none << qint64(1) << now
                          << CopyAction::RefuseLink;
    QTest::newRow("directory") << v1 << none << entryOf(EntryType::Directory) << none << qint64(1)
                               << now << CopyAction::RefuseDirectory;
    QTest::newRow("pipe") << v1 << none << entryOf(EntryType::Other) << none << qint64(1) << now
                          << CopyAction::RefuseOther;

    // In step: same time at the coarser resolution and same size, whatever
    // the marks say.
    QTest::newRow("sameToTheMicrosecond")
            << v1 << none << v1 << none << qint64(1) << now << CopyAction::InStep;
    QTest::newRow("copyOnWholeSeconds") << file(earlier + 123456, 10) << none << v1 << none
                                        << second << now << CopyAction::InStep;
    QTest::newRow("copyOnEvenSeconds") << file(earlier + second + 5, 10) << none << v1 << none
                                       << 2 * second << now << CopyAction::InStep;
    QTest::newRow("finerTreeNotRounded") << file(earlier + 123456, 10) << none << v1 << none
                                         << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("inStepDespiteStaleMarks")
            << v2 << atV1 << v2 << atV1 << qint64(1) << now << CopyAction::InStep;

    // The marks decide, never the times.
    QTest::newRow("targetAsCopiedSourceEdited")
            << v2 << readAtV1 << v1 << atV1 << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("targetAsCopiedSourceSavedAnew")
            << v2 << none << v1 << atV1 << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("targetAsCopiedSourceOlderDate")
            << file(earlier - 60 * second, 3) << none << v1 << atV1 << qint64(1) << now
            << CopyAction::Replace;
    QTest::newRow("sourceAsCopiedTargetEdited")
            << v1 << atV1 << v2 << readAtV1 << qint64(1) << now << CopyAction::KeepTarget;
    QTest::newRow("sourceAsCopiedTargetSavedAnew")
            << v1 << atV1 << v2 << none << qint64(1) << now << CopyAction::KeepTarget;
    // The edit on the target side carries an older time (its clock is
    // behind): the source is still as copied, so the edit stays.
    QTest::newRow("sourceAsCopiedTargetEditedOlderDate")
            << v1 << atV1 << file(earlier - 600 * second, 7) << readAtV1 << qint64(1) << now
            << CopyAction::KeepTarget;
    QTest::newRow("bothEdited") << v2 << readAtV1 << file(earlier + 90 * second, 15) << atV1
                                << qint64(1) << now << CopyAction::Conflict;
    QTest::newRow("bothEditedOneSavedAnew") << v2 << none << file(earlier + 90 * second, 15) << atV1
                                            << qint64(1) << now << CopyAction::Conflict;
    // The original rewritten with its old time (touch -r, an unpacked
    // archive): changed; the copy with its time but not its size was cut
    // short by a power cut: replaced, and never carried back.
    QTest::newRow("originalRewrittenWithItsTime") << file(earlier, 11) << readAtV1 << v1 << atV1
                                                  << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("copyCutShort") << v1 << readAtV1 << file(earlier, 4) << atV1 << qint64(1) << now
                                  << CopyAction::Replace;
    QTest::newRow("copyCutShortOriginalEdited") << v2 << readAtV1 << file(earlier, 4) << atV1
                                                << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("sourceIsCopyCutShort") << file(earlier, 4) << atV1 << v1 << readAtV1 << qint64(1)
                                          << now << CopyAction::SourceIncomplete;
    QTest::newRow("markOnCoarseTarget")
            << file(earlier + 900000, 12) << none << file(earlier, 10) << mark(earlier + 400000, 10)
            << second << now << CopyAction::Replace;
    QTest::newRow("eachInStepWithAnotherCopy") << v2 << mark(v2.modifiedUs, 12) << v1 << atV1
                                               << qint64(1) << now << CopyAction::Replace;

    // No marks anywhere (a file system that keeps none): the times at the
    // coarser resolution, unless one lies ahead of its own tree's clock.
    QTest::newRow("noMarksSourceNewer")
            << v2 << none << v1 << none << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("noMarksTargetNewer")
            << v1 << none << v2 << none << qint64(1) << now << CopyAction::KeepTarget;
    QTest::newRow("noMarksSameTimeOtherSize")
            << v1 << none << file(earlier, 11) << none << qint64(1) << now << CopyAction::Tie;
    QTest::newRow("noMarksSameSecondOtherSize")
            << file(earlier + 300000, 10) << none << file(earlier + 700000, 11) << none << second
            << now << CopyAction::Tie;
    QTest::newRow("noMarksSourceInFuture") << file(now + 3600 * second, 10) << none << v1 << none
                                           << qint64(1) << now << CopyAction::FutureUndecided;
    QTest::newRow("noMarksTargetInFuture") << v2 << none << file(now + 3600 * second, 10) << none
                                           << qint64(1) << now << CopyAction::FutureUndecided;
    // The target tree's clock runs an hour ahead: its fresh edit is not in
    // its future, so the times decide.
    QTest::newRow("noMarksTargetClockAhead")
            << v2 << none << file(now + 3000 * second, 10) << none << qint64(1)
            << now + 3600 * second << CopyAction::KeepTarget;
    // With marks, a future date decides nothing either way.
    QTest::newRow("futureTargetAsCopied")
            << v2 << none << file(now + 3600 * second, 10) << mark(now + 3600 * second, 10)
            << qint64(1) << now << CopyAction::Replace;
    QTest::newRow("futureSourceAsCopied")
            << file(now + 3600 * second, 10) << mark(now + 3600 * second, 10) << v2 << none
            << qint64(1) << now << CopyAction::KeepTarget;
}

void TestCopyDecision::decides()
{
    QFETCH(EntryStatus, source);
    QFETCH(CopyMark, sourceMark);
    QFETCH(EntryStatus, target);
    QFETCH(CopyMark, targetMark);
    QFETCH(qint64, resolution);
    QFETCH(qint64, targetNow);
    QFETCH(CopyAction, expected);

    DecisionInput input;
    input.source = source;
    input.sourceMark = sourceMark;
    input.target = target;
    input.targetMark = targetMark;
    input.resolutionUs = resolution;
    input.sourceTickUs = resolution;
    input.sourceNowUs = now;
    input.targetNowUs = targetNow;
    const CopyDecision decision = decideCopy(input);
    QCOMPARE(decision.action, expected);
    QCOMPARE(decision.readAfterUs, qint64(0)); // every source here is well before now
}

// A link at the target: a file link of the user's tree, which the other
// direction copied through, is in step while the two agree and never
// written through; any other link is refused.
void TestCopyDecision::decidesOverLink_data()
{
    QTest::addColumn<EntryStatus>("source");
    QTest::addColumn<CopyMark>("sourceMark");
    QTest::addColumn<EntryStatus>("linked");
    QTest::addColumn<bool>("staysInTree");
    QTest::addColumn<CopyAction>("expected");

    const EntryStatus v1 = file(earlier, 10);
    const EntryStatus v2 = file(earlier + 60 * second, 12);
    const CopyMark atV1 = mark(earlier, 10);
    QTest::newRow("copiedThroughItInStep") << v1 << atV1 << v1 << true << CopyAction::InStep;
    QTest::newRow("noMarksInTreeInStep") << v1 << none << v1 << true << CopyAction::InStep;
    QTest::newRow("linkedFileEdited") << v1 << atV1 << v2 << true << CopyAction::KeepTarget;
    QTest::newRow("copyEdited") << v2 << atV1 << v1 << true << CopyAction::KeepLink;
    QTest::newRow("copyEditedNoMarks") << v2 << none << v1 << true << CopyAction::KeepLink;
    QTest::newRow("outsideNotCopiedThroughIt")
            << v1 << none << v1 << false << CopyAction::RefuseLink;
    QTest::newRow("outsideCopiedThroughIt") << v1 << atV1 << v1 << false << CopyAction::InStep;
    QTest::newRow("outsideOriginalMark")
            << v1 << original(earlier, 10) << v1 << false << CopyAction::RefuseLink;
    QTest::newRow("toDirectory") << v1 << atV1 << entryOf(EntryType::Directory) << true
                                 << CopyAction::RefuseLink;
    QTest::newRow("dangling") << v1 << atV1 << entryOf(EntryType::Missing) << true
                              << CopyAction::RefuseLink;
}

void TestCopyDecision::decidesOverLink()
{
    QFETCH(EntryStatus, source);
    QFETCH(CopyMark, sourceMark);
    QFETCH(EntryStatus, linked);
    QFETCH(bool, staysInTree);
    QFETCH(CopyAction, expected);

    DecisionInput input;
    input.source = source;
    input.sourceMark = sourceMark;
    input.target = entryOf(EntryType::Link);
    input.linkedTarget = linked;
    input.linkStaysInTree = staysInTree;
    input.sourceNowUs = now;
    input.targetNowUs = now;
    QCOMPARE(decideCopy(input).action, expected);
}

// A source stamped within the tick that is still running: a write right
// after the copy could give it other content under the same time. A short
// tick is waited for, a long one leaves the file to the next run; a time far
// ahead of the clock is no tick of it and is copied at once.
void TestCopyDecision::waitsForTheSourceTick_data()
{
    QTest::addColumn<qint64>("modified"); // relative to now
    QTest::addColumn<qint64>("tick");
    QTest::addColumn<qint64>("resolution");
    QTest::addColumn<CopyAction>("expected");
    QTest::addColumn<qint64>("readAfter"); // relative to now; -1: none

    const qint64 ms = 1000;
    QTest::newRow("tickOver") << -5 * ms << 4 * ms << qint64(1) << CopyAction::Copy << qint64(-1);
    QTest::newRow("thisTick") << -1 * ms << 4 * ms << qint64(1) << CopyAction::Copy << 4 * ms;
    QTest::newRow("stampedJustNow")
            << qint64(0) << 4 * ms << qint64(1) << CopyAction::Copy << 4 * ms;
    QTest::newRow("coarseTarget") << -1 * ms << 4 * ms << second << CopyAction::Defer << qint64(-1);
    QTest::newRow("wholeSecondTree")
            << -1 * ms << second << second << CopyAction::Defer << qint64(-1);
    QTest::newRow("previousSecond")
            << -999 * ms << second << second << CopyAction::Copy << qint64(-1);
    QTest::newRow("lastSecond") << -1001 * ms << second << second << CopyAction::Copy << qint64(-1);
    QTest::newRow("evenSecondsTree")
            << -1 * ms << 2 * second << 2 * second << CopyAction::Defer << qint64(-1);
    QTest::newRow("aSecondAhead") << 1000 * ms << 4 * ms << qint64(1) << CopyAction::Defer
                                  << qint64(-1);
    QTest::newRow("anHourAhead") << 3600 * second << 4 * ms << qint64(1) << CopyAction::Copy
                                 << qint64(-1);
    QTest::newRow("anHourAheadCoarse")
            << 3600 * second << second << second << CopyAction::Copy << qint64(-1);
}

void TestCopyDecision::waitsForTheSourceTick()
{
    QFETCH(qint64, modified);
    QFETCH(qint64, tick);
    QFETCH(qint64, resolution);
    QFETCH(CopyAction, expected);
    QFETCH(qint64, readAfter);

    // "now" falls on a tick boundary of every tick used here, plus 1 ms.
    const qint64 runNow = now + 1000;
    DecisionInput input;
    input.source = file(runNow + modified, 10);
    input.target = entryOf(EntryType::Missing);
    input.resolutionUs = resolution;
    input.sourceTickUs = tick;
    input.sourceNowUs = runNow;
    input.targetNowUs = runNow;
    CopyDecision decision = decideCopy(input);
    QCOMPARE(decision.action, expected);
    QCOMPARE(decision.readAfterUs, readAfter < 0 ? qint64(0) : now + readAfter);

    // The same over a target that is the copy of an older version.
    input.target = file(earlier, 10);
    input.targetMark = mark(earlier, 10);
    decision = decideCopy(input);
    QCOMPARE(decision.action, expected == CopyAction::Copy ? CopyAction::Replace : expected);
}

QTEST_APPLESS_MAIN(TestCopyDecision)
#include "test_copy_decision.moc"
