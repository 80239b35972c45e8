#include "sync/decision/copy_decision.h"

#include <QtTest>

// The decision for one file, from the two entries and what the sync record
// says each looked like when the two were last in step: every row of the
// README's table.
class TestCopyDecision : public QObject
{
    Q_OBJECT

private slots:
    void decides_data();
    void decides();
    void waitsForTheSourceTick_data();
    void waitsForTheSourceTick();
    void recordKeepsWhatTheTreeLasts();
};

Q_DECLARE_METATYPE(DecisionInput)
Q_DECLARE_METATYPE(CopyAction)

namespace {

constexpr qint64 second = 1000000; // µs
constexpr qint64 hour = 3600 * second;
// The run's "now" on the source tree, and a time well before it.
constexpr qint64 now = 1800000000LL * second;
constexpr qint64 then = now - 24 * hour;

EntryStatus file(qint64 modifiedUs, qint64 size, quint64 id = 7, qint64 changedUs = then)
{
    EntryStatus status;
    status.type = EntryType::File;
    status.modifiedUs = modifiedUs;
    status.statusChangedUs = changedUs;
    status.size = size;
    status.fileId = id;
    return status;
}

EntryStatus entryOf(EntryType type)
{
    EntryStatus status;
    status.type = type;
    return status;
}

SideState side(qint64 modifiedUs, qint64 size, quint64 id = 7, qint64 changedUs = then)
{
    return SideState {size, modifiedUs, id, changedUs, QByteArray()};
}

const SideTraits ext4 {1, true, true};
const SideTraits exfat {second, false, false};

// A pair in step at `then`, 10 bytes each side; what changed is set by the row.
struct Pair
{
    DecisionInput input;

    Pair()
    {
        input.source = file(then, 10);
        input.target = file(then, 10, 8);
        input.recordedSource = side(then, 10);
        input.recordedTarget = side(then, 10, 8);
        input.sourceTraits = ext4;
        input.targetTraits = ext4;
        input.sourceNowUs = now;
    }
    Pair &source(const EntryStatus &status) { return input.source = status, *this; }
    Pair &target(const EntryStatus &status) { return input.target = status, *this; }
    Pair &unrecorded()
    {
        input.recordedSource.reset();
        input.recordedTarget.reset();
        return *this;
    }
    Pair &traits(const SideTraits &both)
    {
        input.sourceTraits = input.targetTraits = both;
        return *this;
    }
    Pair &everything() { return input.everything = true, *this; }
    Pair &interrupted() { return input.rowsMayBeMissing = true, *this; }
    Pair &contents(bool equal) { return input.contentsEqual = equal, *this; }
    Pair &linkTo(const EntryStatus &pointee, bool inTree)
    {
        input.target = entryOf(EntryType::Link);
        input.linkedTarget = pointee;
        input.linkStaysInTree = inTree;
        return *this;
    }
};

void row(const char *tag, const Pair &pair, CopyAction action)
{
    QTest::newRow(tag) << pair.input << action;
}

} // namespace

void TestCopyDecision::decides_data()
{
    QTest::addColumn<DecisionInput>("input");
    QTest::addColumn<CopyAction>("action");
    const EntryStatus missing;

    // Nothing at the target.
    row("noTargetNoRecord", Pair().target(missing).unrecorded(), CopyAction::Copy);
    row("removedTargetSourceUnchanged", Pair().target(missing), CopyAction::LeaveRemoved);
    row("removedTargetEverything", Pair().target(missing).everything(), CopyAction::Copy);
    row("removedTargetSourceChanged", Pair().target(missing).source(file(then + hour, 10)),
        CopyAction::Copy);

    // Never in step: what looks in step is, else the contents tell, and
    // different contents are kept on both sides.
    row("unrecordedSameSizeAndTime", Pair().unrecorded(), CopyAction::Record);
    row("unrecordedAtCoarserResolution",
        Pair().unrecorded().traits(exfat).target(file(then + 300000, 10)), CopyAction::Record);
    row("unrecordedAfterInterruptedRun", Pair().unrecorded().interrupted(),
        CopyAction::CompareContents);
    row("unrecordedOtherSize", Pair().unrecorded().target(file(then, 11)), CopyAction::Conflict);
    row("unrecordedOtherTime", Pair().unrecorded().target(file(then - hour, 10)),
        CopyAction::CompareContents);
    row("unrecordedSameContents", Pair().unrecorded().target(file(then - hour, 10)).contents(true),
        CopyAction::Record);
    row("unrecordedOtherContents",
        Pair().unrecorded().target(file(then - hour, 10)).contents(false), CopyAction::Conflict);

    // Each side against its own record.
    row("neitherChanged", Pair(), CopyAction::InStep);
    row("sourceLonger", Pair().source(file(then, 12)), CopyAction::Replace);
    row("sourceOlderDate", Pair().source(file(then - second, 10)), CopyAction::Replace);
    row("sourceSavedByRename", Pair().source(file(then, 10, 9)), CopyAction::Replace);
    row("sourceRenumberedOnFuse", Pair().traits(exfat).source(file(then, 10, 9)),
        CopyAction::InStep);
    row("sourceWithinResolution", Pair().traits(exfat).source(file(then + 400000, 10)),
        CopyAction::InStep);
    row("targetChanged", Pair().target(file(then + second, 10, 8)), CopyAction::KeepTarget);
    row("targetSavedByRename", Pair().target(file(then, 10, 3)), CopyAction::KeepTarget);
    row("bothChanged", Pair().source(file(then + hour, 11)).target(file(then + hour, 12, 8)),
        CopyAction::CompareContents);
    row("bothChangedAlike",
        Pair().source(file(then + hour, 11)).target(file(then, 11, 8)).contents(true),
        CopyAction::Record);
    row("bothChangedApart",
        Pair().source(file(then + hour, 11)).target(file(then, 12, 8)).contents(false),
        CopyAction::Conflict);

    // Times moved by whole hours (FAT after a zone change), or only the
    // change time moved: the contents tell.
    row("sourceShiftedAnHour", Pair().source(file(then + hour, 10)).traits(exfat),
        CopyAction::CompareContents);
    row("sourceShiftedAlike", Pair().source(file(then + hour, 10)).traits(exfat).contents(true),
        CopyAction::Record);
    row("sourceShiftedApart", Pair().source(file(then + hour, 10)).traits(exfat).contents(false),
        CopyAction::Replace);
    row("targetShiftedApart",
        Pair().target(file(then - 2 * hour, 10, 8)).traits(exfat).contents(false),
        CopyAction::KeepTarget);
    // A chmod or chown moves the change time alone: no new content.
    row("sourceChangeTimeOnly", Pair().source(file(then, 10, 7, now)), CopyAction::InStep);
    row("targetChangeTimeOnlySourceEdited",
        Pair().source(file(now - hour, 11)).target(file(then, 10, 8, now)), CopyAction::Replace);

    // A link at the target: never written through.
    const EntryStatus copied = file(then, 10);
    row("linkToNothing", Pair().linkTo(missing, true), CopyAction::RefuseLink);
    row("linkOutOfTreeNeverInStep", Pair().unrecorded().linkTo(copied, false),
        CopyAction::RefuseLink);
    row("linkInStep", Pair().linkTo(copied, false), CopyAction::InStep);
    row("linkedFileChanged", Pair().linkTo(file(then + hour, 12), false), CopyAction::KeepTarget);
    row("linkSourceChanged", Pair().source(file(then + hour, 12)).linkTo(copied, true),
        CopyAction::KeepLink);
    row("directoryAtTarget", Pair().target(entryOf(EntryType::Directory)),
        CopyAction::RefuseDirectory);
    row("otherAtTarget", Pair().target(entryOf(EntryType::Other)), CopyAction::RefuseOther);
}

void TestCopyDecision::decides()
{
    QFETCH(DecisionInput, input);
    QFETCH(CopyAction, action);
    QCOMPARE(int(decideCopy(input).action), int(action));
}

void TestCopyDecision::waitsForTheSourceTick_data()
{
    QTest::addColumn<qint64>("tickUs");
    QTest::addColumn<qint64>("modifiedUs");
    QTest::addColumn<CopyAction>("action");
    QTest::addColumn<qint64>("readAfterUs");

    QTest::newRow("tickOver") << qint64(4000) << now - 5000 << CopyAction::Replace << qint64(0);
    QTest::newRow("tickEndsSoon") << qint64(4000) << now + 1000 << CopyAction::Replace
                                  << now + 4000;
    QTest::newRow("tickEndsLate") << second << now + 1000 << CopyAction::Defer << qint64(0);
    QTest::newRow("farFuture") << second << now + hour << CopyAction::Replace << qint64(0);
}

// A source stamped within its clock's running tick could be rewritten under
// the same time right after the copy: the copy waits for the tick to end, or
// leaves the file to the next run.
void TestCopyDecision::waitsForTheSourceTick()
{
    QFETCH(qint64, tickUs);
    QFETCH(qint64, modifiedUs);
    QFETCH(CopyAction, action);
    QFETCH(qint64, readAfterUs);
    Pair pair;
    pair.source(file(modifiedUs, 12));
    pair.input.sourceTickUs = tickUs;
    const CopyDecision decision = decideCopy(pair.input);
    QCOMPARE(int(decision.action), int(action));
    QCOMPARE(decision.readAfterUs, readAfterUs);
}

// An identity or change time the tree does not keep is never recorded, so it
// can never be taken for a change.
void TestCopyDecision::recordKeepsWhatTheTreeLasts()
{
    const EntryStatus status = file(then, 10, 42, now);
    const SideState kept = sideStateOf(status, ext4, QByteArray(16, 'd'));
    QCOMPARE(kept.fileId, quint64(42));
    QCOMPARE(kept.changedUs, now);
    QCOMPARE(kept.digest, QByteArray(16, 'd'));
    const SideState fuse = sideStateOf(status, exfat);
    QCOMPARE(fuse.fileId, quint64(0));
    QCOMPARE(fuse.changedUs, qint64(0));
    QCOMPARE(fuse.size, qint64(10));
    QCOMPARE(fuse.modifiedUs, then);
}

QTEST_GUILESS_MAIN(TestCopyDecision)
#include "test_copy_decision.moc"
