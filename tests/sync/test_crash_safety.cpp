// An upload killed with SIGKILL at random moments: each target file must hold
// either its old content or the complete new one, no temporary may be left
// under a name the user sees, and the next run must finish the job.
//
// The kill moments come from a seeded generator; the seed is printed, and
// TWINFOLD_CRASH_SEED=<seed> repeats a run. TWINFOLD_CRASH_REMOTE=<kind>
// puts the remote on a file system of the test rig (support/remote_mount.h),
// such as a FUSE driver without unnamed temporaries.

#include "support/remote_mount.h"
#include "support/tree.h"
#include "sync/file_system.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Content of one file as the test wrote it.
struct Version
{
    qint64 size = -1; // -1: no file
    QByteArray md5;
    qint64 modifiedMs = 0;

    bool operator==(const Version &other) const
    {
        return size == other.size && md5 == other.md5 && modifiedMs == other.modifiedMs;
    }
};

struct RunResult
{
    int exitCode = -1;
    bool killed = false;
    qint64 elapsedMs = 0;
    qint64 lastCopyMs = -1; // when the last "copied" line arrived
    QStringList lines;
};

// A replace's temporary, or a clock probe of the target that a kill caught.
const QRegularExpression
        hiddenTemporary(QStringLiteral("(^|/)\\.twinfold-([0-9a-f]{8}|probe[^/]*)\\.tmp$"));

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

Version versionOfFile(const QString &path)
{
    QFile file(path);
    Version version;
    if (!file.open(QIODevice::ReadOnly))
        return version;
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    version.size = file.size();
    version.md5 = hash.result().toHex();
    version.modifiedMs = Tree::modifiedMs(path);
    return version;
}

QString describe(const Version &version)
{
    return version.size < 0 ? QStringLiteral("(absent)")
                            : QStringLiteral("%1 bytes, md5 %2, mtime %3")
                                      .arg(version.size)
                                      .arg(QString::fromLatin1(version.md5))
                                      .arg(version.modifiedMs);
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
    // Gives every source file new content of another size and a newer time.
    void writeNewRound(int round);
    RunResult startRun(const QString &mode, const QString &local, const QString &remote,
                       qint64 since, int killAfterMs);
    qint64 successStamp(const RunResult &result) const;

    std::unique_ptr<QTemporaryDir> base; // made by initTestCase
    std::unique_ptr<RemoteMount> mount; // where the remote lives, when asked for
    QString local;
    QString remote;
    quint32 seed = 0;
    QRandomGenerator random;
    QStringList names; // relative paths of the files
    QVector<Version> current; // what each source file holds now
    QVector<Version> previous; // what it held before this round
    QStringList localSnapshot; // Tree::snapshot of the source, this round
    qint64 firstTime = 0;
};

void TestCrashSafety::initTestCase()
{
    base = std::make_unique<QTemporaryDir>();
    QVERIFY(base->isValid());
    local = base->path() + "/local";
    remote = base->path() + "/remote";
    const QString kind = QString::fromLocal8Bit(qgetenv("TWINFOLD_CRASH_REMOTE"));
    if (!kind.isEmpty()) {
        mount = std::make_unique<RemoteMount>(kind, 512); // room for two rounds of files
        QVERIFY2(mount->isMounted(), qPrintable(QStringLiteral("cannot mount ") + kind
                                                + QStringLiteral(": ") + mount->error()));
        remote = mount->path() + "/remote";
    }
    QVERIFY(QDir().mkpath(local));
    QVERIFY(QDir().mkpath(remote));
    const QByteArray fixed = qgetenv("TWINFOLD_CRASH_SEED");
    seed = fixed.isEmpty() ? QRandomGenerator::global()->generate() : fixed.toUInt();
    random.seed(seed);
    std::printf("crash seed: %u (TWINFOLD_CRASH_SEED=%u repeats it)\n", seed, seed);
    std::fflush(stdout);
    for (int i = 0; i < 12; ++i)
        names << QStringLiteral("%1file%2.bin").arg(i < 8 ? "" : "sub/").arg(i, 2, 10, QChar('0'));
    current.resize(names.size());
    previous.resize(names.size());
    firstTime = (QDateTime::currentMSecsSinceEpoch() / 1000 - 24 * 3600) * 1000;
}

void TestCrashSafety::writeNewRound(int round)
{
    previous = current;
    for (int i = 0; i < names.size(); ++i) {
        qint64 size = 0;
        do {
            size = random.bounded(8 << 20, (24 << 20) + 1);
        } while (size == previous[i].size);
        const QDateTime mtime = QDateTime::fromMSecsSinceEpoch(firstTime + round * 60000 + i);
        Tree::writeFile(local + "/" + names[i],
                        generated(size, quint64(seed) << 20 ^ quint64(round) << 8 ^ i), mtime);
    }
    // What the source holds now, as "name size mtime md5" lines.
    localSnapshot = Tree::snapshot(local);
    for (const QString &line : qAsConst(localSnapshot)) {
        const QStringList fields = line.split(QLatin1Char(' '));
        const int i = names.indexOf(fields.first());
        if (i < 0 || fields.size() != 4)
            continue;
        current[i].size = fields[1].toLongLong();
        current[i].modifiedMs = fields[2].toLongLong();
        current[i].md5 = fields[3].toLatin1();
    }
    for (int i = 0; i < names.size(); ++i)
        QVERIFY2(current[i].modifiedMs == firstTime + round * 60000 + i, qPrintable(names[i]));
}

RunResult TestCrashSafety::startRun(const QString &mode, const QString &from, const QString &to,
                                    qint64 since, int killAfterMs)
{
    RunResult result;
    QProcess runner;
    QByteArray output;
    QElapsedTimer clock;
    QObject::connect(&runner, &QProcess::readyReadStandardOutput, [&] {
        const QByteArray chunk = runner.readAllStandardOutput();
        output += chunk;
        if (chunk.contains("    复制文件："))
            result.lastCopyMs = clock.elapsed();
    });
    clock.start();
    runner.start(SYNC_RUNNER, {mode, from, to, "--since", QString::number(since)});
    if (!runner.waitForStarted(30000))
        return result;
    if (killAfterMs >= 0 && !runner.waitForFinished(killAfterMs)) {
        runner.kill(); // SIGKILL
        result.killed = true;
    }
    if (runner.state() != QProcess::NotRunning && !runner.waitForFinished(120000)) {
        runner.kill();
        runner.waitForFinished(10000);
        return result;
    }
    result.elapsedMs = clock.elapsed();
    output += runner.readAllStandardOutput();
    result.exitCode = runner.exitStatus() == QProcess::NormalExit ? runner.exitCode() : -1;
    result.lines = QString::fromUtf8(output).split(QLatin1Char('\n'));
    return result;
}

qint64 TestCrashSafety::successStamp(const RunResult &result) const
{
    const QRegularExpression success(QStringLiteral("^[上下]传成功 (-?\\d+)$"));
    for (const QString &line : result.lines) {
        const QRegularExpressionMatch match = success.match(line);
        if (match.hasMatch())
            return match.captured(1).toLongLong();
    }
    return -1;
}

void TestCrashSafety::killedUploadLeavesOldOrWholeNewFilesAndNextRunCompletes()
{
    QStringList expectedNames = names + QStringList {"sub"};
    expectedNames.sort();

    // A first full run: the target holds round 0, and it shows how long
    // copying a round takes.
    writeNewRound(0);
    if (QTest::currentTestFailed())
        return;
    const RunResult first = startRun("upload", local, remote, 0, -1);
    QVERIFY2(first.exitCode == 0, qPrintable(first.lines.join('\n')));
    QVERIFY(first.lastCopyMs > 0);
    qint64 since = successStamp(first);
    QVERIFY(since > 0);
    QCOMPARE(Tree::snapshot(remote), localSnapshot);
    // Kill moments: every other one while files are copied, the rest
    // anywhere in the run, the flush at its end included.
    const int copyWindow = int(first.lastCopyMs * 11 / 10) + 1;
    const int runWindow = int(first.elapsedMs) + 1;
    std::printf("a full round copies in %lld ms, runs %lld ms; kills within %d or %d ms\n",
                first.lastCopyMs, first.elapsedMs, copyWindow, runWindow);

    const int wantedKills = 20;
    int kills = 0, finishedFirst = 0, before = 0, midCopy = 0, after = 0, leftovers = 0;
    for (int round = 1; kills < wantedKills && round <= 3 * wantedKills; ++round) {
        writeNewRound(round);
        if (QTest::currentTestFailed())
            return;
        const int delay = int(random.bounded(round % 2 ? copyWindow : runWindow));
        const RunResult killed = startRun("upload", local, remote, since, delay);
        QVERIFY2(killed.exitCode != -1 || killed.killed, "the runner did not start or finish");
        if (!killed.killed) {
            ++finishedFirst;
            QVERIFY2(killed.exitCode == 0, qPrintable(killed.lines.join('\n')));
        } else {
            ++kills;
        }

        // Each file: its old version or the new one, whole, with its own time.
        int updated = 0;
        for (int i = 0; i < names.size(); ++i) {
            const Version found = versionOfFile(remote + "/" + names[i]);
            const bool isOld = found == previous[i];
            const bool isNew = found == current[i];
            QVERIFY2(isOld || isNew,
                     qPrintable(QStringLiteral("round %1 (kill after %2 ms): %3 holds %4; old %5; "
                                               "new %6")
                                        .arg(round)
                                        .arg(delay)
                                        .arg(names[i], describe(found), describe(previous[i]),
                                             describe(current[i]))));
            updated += isNew ? 1 : 0;
        }
        // Nothing under a name the user sees but the files themselves.
        QStringList found = Tree::names(remote);
        const QStringList hidden = found.filter(hiddenTemporary);
        for (const QString &name : hidden)
            found.removeOne(name);
        QVERIFY2(found == expectedNames,
                 qPrintable(QStringLiteral("round %1: %2").arg(round).arg(found.join(' '))));
        leftovers += hidden.size();
        if (!hidden.isEmpty())
            std::printf("round %d: kill left %s\n", round, qPrintable(hidden.join(' ')));

        if (!killed.killed || updated == names.size())
            ++after;
        else if (updated == 0)
            ++before;
        else
            ++midCopy;

        // The next run finishes what the killed one began, and consumes what it left.
        const RunResult next = startRun("upload", local, remote, since, -1);
        QVERIFY2(next.exitCode == 0, qPrintable(next.lines.join('\n')));
        QCOMPARE(next.lines.filter("    复制文件：").size(), names.size() - updated);
        const qint64 stamp = successStamp(next);
        QVERIFY(stamp > since);
        since = stamp;
        QCOMPARE(Tree::names(remote), expectedNames);
        QCOMPARE(Tree::snapshot(remote), localSnapshot);
    }
    std::printf("kills: %d (before any file was placed %d, mid-copy %d, after every file was "
                "placed %d); runs that finished before their kill moment: %d; hidden "
                "temporaries left by kills and consumed by the next run: %d\n",
                kills, before, midCopy, after - finishedFirst, finishedFirst, leftovers);
    QVERIFY2(kills >= wantedKills, "too few runs were killed before they finished");
    QVERIFY2(midCopy > 0, "no kill landed while files were being copied");
}

void TestCrashSafety::leftoverTemporaryIsConsumedByTheNextReplaceAndNeverCopied()
{
    // What a kill between naming the temporary and renaming it over the
    // target leaves: a hidden file named after the target, with part of the
    // new content. The next replace of that file takes the name over.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString from = dir.path() + "/local";
    const QString to = dir.path() + "/remote";
    const QDateTime old = QDateTime::fromMSecsSinceEpoch(firstTime);
    const QDateTime newer = old.addSecs(60);
    Tree::writeFile(from + "/kept.txt", "kept", old);
    Tree::writeFile(from + "/sub/replaced.bin", generated(3 << 20, 7), newer);
    Tree::writeFile(to + "/kept.txt", "kept", old);
    Tree::writeFile(to + "/sub/replaced.bin", "the old version", old);
    const QString leftover
            = QStringLiteral("sub/")
              + QString::fromLatin1(temporaryNameFor(QByteArrayLiteral("replaced.bin")));
    QVERIFY(hiddenTemporary.match(leftover).hasMatch());
    Tree::writeFile(to + "/" + leftover, generated(1 << 20, 7), newer);

    const RunResult upload = startRun("upload", from, to, 0, -1);
    QVERIFY2(upload.exitCode == 0, qPrintable(upload.lines.join('\n')));
    QCOMPARE(upload.lines.filter("    复制文件：").size(), 1);
    QCOMPARE(Tree::names(to), QStringList({"kept.txt", "sub", "sub/replaced.bin"}));
    QCOMPARE(Tree::snapshot(to), Tree::snapshot(from));

    // One left beside a file no run replaces stays hidden, and no run in
    // either direction copies it.
    const QString stray = QString::fromLatin1(temporaryNameFor(QByteArrayLiteral("kept.txt")));
    Tree::writeFile(to + "/" + stray, "partial", newer);
    const RunResult download = startRun("download", from, to, 0, -1);
    QVERIFY2(download.exitCode == 0, qPrintable(download.lines.join('\n')));
    QCOMPARE(Tree::names(from), QStringList({"kept.txt", "sub", "sub/replaced.bin"}));
    const RunResult again = startRun("upload", from, to, 0, -1);
    QVERIFY2(again.exitCode == 0, qPrintable(again.lines.join('\n')));
    QCOMPARE(Tree::names(to), QStringList({stray, "kept.txt", "sub", "sub/replaced.bin"}));
}

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "test_crash_safety.moc"
