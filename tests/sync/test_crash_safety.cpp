// An upload killed with SIGKILL at random moments: each target file must hold
// either its old content or the complete new one, no temporary may be left
// under a name the user sees, and the next run must finish the job.
//
// The kill moments come from a seeded generator; the seed is printed, and
// TWINFOLD_CRASH_SEED=<seed> repeats a run. TWINFOLD_CRASH_REMOTE=<kind>
// puts the remote on a file system of the test rig (support/remote_mount.h),
// such as a FUSE driver without unnamed temporaries.

#include "settings/record_location.h"
#include "support/checks.h"
#include "support/remote_mount.h"
#include "support/runner_run.h"
#include "support/tree.h"
#include "support/tree_pair.h"
#include "sync/fs/own_names.h"
#include "sync/record/sync_record.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A replace's temporary, or a probe of the target (a file, or the directory
// names are tried in, and what is in it) that a kill caught.
const QRegularExpression hiddenTemporary(
        QStringLiteral("(^|/)\\.twinfold-[0-9a-f]{12}-([0-9a-f]{8}|probe[^/]*)\\.tmp(/[^/]*)?$"));

// The names the runner's runs over this pair give their own files.
OwnNames ownNamesOf(const QString &local, const QString &remote)
{
    const SyncRecord record(syncRecordFile(), QFileInfo(local).canonicalFilePath(),
                            QFileInfo(remote).canonicalFilePath());
    return OwnNames(record.pairToken());
}

// Fast, reproducible bytes: a xorshift stream from the seed.
QByteArray generated(qint64 size, quint64 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint64 state = seed * 0x9E3779B97F4A7C15ull + 1;
    char *data = bytes.data();
    for (qint64 at = 0; at < size; at += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(data + at, &state, size_t(std::min<qint64>(8, size - at)));
    }
    return bytes;
}

// Each name's Tree::snapshot line, "name size mtime md5", or "(absent)".
QStringList versions(const QString &root, const QStringList &names)
{
    const QStringList lines = Tree::snapshot(root);
    QStringList found;
    for (const QString &name : names) {
        const QStringList of = lines.filter(QRegularExpression(
                QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char(' ')));
        found << (of.isEmpty() ? QStringLiteral("(absent)") : of.first());
    }
    return found;
}

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedUploadLeavesOldOrWholeNewFilesAndNextRunCompletes();
    void leftoverTemporaryIsConsumedByTheNextReplaceAndNeverCopied();

private:
    // Gives every source file new content of another size and a newer time;
    // empty, or what went wrong.
    QString writeNewRound(int round);
    RunnerRun run(const QString &mode, const QString &from, const QString &to, qint64 since,
                  int killAfterMs = -1)
    {
        RunnerOptions options;
        options.killAfterMs = killAfterMs;
        return runRunner(SYNC_RUNNER, {mode, from, to, "--since", QString::number(since)}, options);
    }

    TreePair trees;
    std::unique_ptr<RemoteMount> mount; // where the remote lives, when asked for
    QString remote;
    quint32 seed = 0;
    QRandomGenerator random;
    QStringList names; // relative paths of the files
    QStringList current; // versions() of the source files now
    QStringList previous; // and before this round
    qint64 firstTime = 0;
};

void TestCrashSafety::initTestCase()
{
    QVERIFY(trees.dir.isValid());
    remote = trees.remote;
    const QString kind = QString::fromLocal8Bit(qgetenv("TWINFOLD_CRASH_REMOTE"));
    if (!kind.isEmpty()) {
        mount = std::make_unique<RemoteMount>(kind, 512); // room for two rounds of files
        QVERIFY2(mount->isMounted(), qPrintable(QStringLiteral("cannot mount ") + kind
                                                + QStringLiteral(": ") + mount->error()));
        remote = mount->path() + "/remote";
    }
    QVERIFY(QDir().mkpath(trees.local) && QDir().mkpath(remote));
    const QByteArray fixed = qgetenv("TWINFOLD_CRASH_SEED");
    seed = fixed.isEmpty() ? QRandomGenerator::global()->generate() : fixed.toUInt();
    random.seed(seed);
    std::printf("crash seed: %u (TWINFOLD_CRASH_SEED=%u repeats it)\n", seed, seed);
    std::fflush(stdout);
    for (int i = 0; i < 12; ++i)
        names << QStringLiteral("%1file%2.bin").arg(i < 8 ? "" : "sub/").arg(i, 2, 10, QChar('0'));
    current = versions(trees.local, names);
    firstTime = (QDateTime::currentMSecsSinceEpoch() / 1000 - 24 * 3600) * 1000;
}

QString TestCrashSafety::writeNewRound(int round)
{
    previous = current;
    for (int i = 0; i < names.size(); ++i) {
        const qint64 oldSize = previous[i].section(QLatin1Char(' '), 1, 1).toLongLong();
        qint64 size = 0;
        do {
            size = random.bounded(8 << 20, (24 << 20) + 1);
        } while (size == oldSize);
        const QDateTime mtime = QDateTime::fromMSecsSinceEpoch(firstTime + round * 60000 + i);
        Tree::writeFile(trees.local + "/" + names[i],
                        generated(size, quint64(seed) << 20 ^ quint64(round) << 8 ^ i), mtime);
    }
    current = versions(trees.local, names);
    for (int i = 0; i < names.size(); ++i) {
        if (current[i].section(QLatin1Char(' '), 2, 2).toLongLong()
            != firstTime + round * 60000 + i)
            return names[i] + QStringLiteral(" did not keep its time: ") + current[i];
    }
    return QString();
}

void TestCrashSafety::killedUploadLeavesOldOrWholeNewFilesAndNextRunCompletes()
{
    // theirs.txt is edited on the remote side after every kill: what the
    // record kept through the kill must still tell that edit from the
    // upload's copies, both ways.
    const QStringList expectedNames = Tree::sorted(names + QStringList {"sub", "theirs.txt"});
    Tree::writeFile(trees.local + "/theirs.txt", "theirs, round 0");

    // A first full run: the target holds round 0, and it shows how long
    // copying a round takes.
    QString problem = writeNewRound(0);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const RunnerRun first = run("upload", trees.local, remote, 0);
    QVERIFY2(first.completed(), qPrintable(first.said()));
    QVERIFY(first.lastCopyMs > 0);
    qint64 since = first.stamp();
    QVERIFY(since > 0);
    qint64 downSince = 0;
    COMPARE_LISTS(Tree::snapshot(remote), Tree::snapshot(trees.local));
    // Kill moments: every other one while files are copied, the rest
    // anywhere in the run, the flush at its end included.
    const int copyWindow = int(first.lastCopyMs * 11 / 10) + 1;
    const int runWindow = int(first.elapsedMs) + 1;
    std::printf("a full round copies in %lld ms, runs %lld ms; kills within %d or %d ms\n",
                first.lastCopyMs, first.elapsedMs, copyWindow, runWindow);

    const int wantedKills = 20;
    int kills = 0, finishedFirst = 0, before = 0, midCopy = 0, after = 0, leftovers = 0;
    for (int round = 1; kills < wantedKills && round <= 3 * wantedKills; ++round) {
        problem = writeNewRound(round);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const int delay = int(random.bounded(round % 2 ? copyWindow : runWindow));
        const RunnerRun killed = run("upload", trees.local, remote, since, delay);
        QVERIFY2(killed.exitCode != -1 || killed.killed, "the runner did not start or finish");
        if (killed.killed)
            ++kills;
        else
            ++finishedFirst;
        QVERIFY2(killed.killed || killed.completed(), qPrintable(killed.said()));

        // Each file: its old version or the new one, whole, with its own time.
        const QStringList found = versions(remote, names);
        int updated = 0;
        for (int i = 0; i < names.size(); ++i) {
            QVERIFY2(found[i] == previous[i] || found[i] == current[i],
                     qPrintable(QStringLiteral("round %1 (kill after %2 ms): %3; old %4; new %5")
                                        .arg(round)
                                        .arg(delay)
                                        .arg(found[i], previous[i], current[i])));
            updated += found[i] == current[i] ? 1 : 0;
        }
        // Nothing under a name the user sees but the files themselves.
        QStringList seen = Tree::names(remote);
        const QStringList hidden = seen.filter(hiddenTemporary);
        for (const QString &name : hidden)
            seen.removeOne(name);
        COMPARE_LISTS(seen, expectedNames);
        leftovers += hidden.size();
        if (!hidden.isEmpty())
            std::printf("round %d: kill left %s\n", round, qPrintable(hidden.join(' ')));

        if (!killed.killed || updated == names.size())
            ++after;
        else if (updated == 0)
            ++before;
        else
            ++midCopy;

        // The next run finishes what the killed one began, and consumes what
        // it left; it keeps the remote edit, which the download then carries.
        const QByteArray theirs = "theirs, round " + QByteArray::number(round);
        Tree::writeFile(remote + "/theirs.txt", theirs);
        const RunnerRun next = run("upload", trees.local, remote, since);
        QVERIFY2(next.completed(), qPrintable(next.said()));
        QCOMPARE(next.copied().size(), names.size() - updated);
        QCOMPARE(Tree::readFile(remote + "/theirs.txt"), theirs); // looked at or not, kept
        QVERIFY(next.stamp() > since);
        since = next.stamp();
        const RunnerRun back = run("download", trees.local, remote, downSince);
        QVERIFY2(back.completed(), qPrintable(back.said()));
        COMPARE_LISTS(back.copied(), QStringList {"Copied theirs.txt"});
        downSince = back.stamp();
        QCOMPARE(Tree::readFile(trees.local + "/theirs.txt"), theirs);
        COMPARE_LISTS(Tree::names(remote), expectedNames);
        COMPARE_LISTS(Tree::snapshot(remote), Tree::snapshot(trees.local));
    }
    std::printf("kills: %d (before any file was placed %d, mid-copy %d, after every file was "
                "placed %d); runs that finished before their kill moment: %d; hidden "
                "temporaries left by kills and consumed by the next run: %d\n",
                kills, before, midCopy, after - finishedFirst, finishedFirst, leftovers);
    QVERIFY2(kills >= wantedKills, "too few runs were killed before they finished");
    QVERIFY2(midCopy > 0, "no kill landed while files were being copied");
}

// What a kill between naming the temporary and renaming it over the target
// leaves: a hidden file named after the target, with part of the new
// content. The next replace of that file takes the name over.
void TestCrashSafety::leftoverTemporaryIsConsumedByTheNextReplaceAndNeverCopied()
{
    TreePair pair;
    const QDateTime old = QDateTime::fromMSecsSinceEpoch(firstTime);
    const QDateTime newer = old.addSecs(60);
    Tree::writeFile(pair.local + "/kept.txt", "kept", old);
    Tree::writeFile(pair.local + "/sub/replaced.bin", "the old version", old);
    const RunnerRun first = run("upload", pair.local, pair.remote, 0);
    QVERIFY2(first.completed(), qPrintable(first.said()));
    Tree::writeFile(pair.local + "/sub/replaced.bin", generated(3 << 20, 7), newer);
    const QString leftover
            = QStringLiteral("sub/")
              + QString::fromLatin1(ownNamesOf(pair.local, pair.remote)
                                            .temporaryFor(QByteArrayLiteral("replaced.bin")));
    QVERIFY(hiddenTemporary.match(leftover).hasMatch());
    Tree::writeFile(pair.remote + "/" + leftover, generated(1 << 20, 7), newer);

    const RunnerRun upload = run("upload", pair.local, pair.remote, 0);
    QVERIFY2(upload.completed(), qPrintable(upload.said()));
    COMPARE_LISTS(upload.copied(), QStringList {"Copied sub/replaced.bin"});
    const QStringList files {"kept.txt", "sub", "sub/replaced.bin"};
    COMPARE_LISTS(Tree::names(pair.remote), files);
    COMPARE_LISTS(Tree::snapshot(pair.remote), Tree::snapshot(pair.local));

    // One left beside a file no run replaces stays hidden, and no run in
    // either direction copies it.
    const QString stray = QString::fromLatin1(
            ownNamesOf(pair.local, pair.remote).temporaryFor(QByteArrayLiteral("kept.txt")));
    Tree::writeFile(pair.remote + "/" + stray, "partial", newer);
    const RunnerRun download = run("download", pair.local, pair.remote, 0);
    QVERIFY2(download.completed(), qPrintable(download.said()));
    COMPARE_LISTS(Tree::names(pair.local), files);
    const RunnerRun again = run("upload", pair.local, pair.remote, 0);
    QVERIFY2(again.completed(), qPrintable(again.said()));
    COMPARE_LISTS(Tree::names(pair.remote), QStringList {stray} + files);
}

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "test_crash_safety.moc"
