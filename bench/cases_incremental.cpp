#include "copy_cases.h"

#include "bench_error.h"
#include "engine_run.h"
#include "support/ctime_blind_file_system.h"
#include "sync/job/sync_job.h"
#include "timing.h"
#include "tools.h"
#include "tree_check.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <memory>

namespace {

constexpr unsigned changedSeed = 0x7f1a00d0u;
constexpr int changedSpotChecks = 3;
// rsync may compare times to the second: a file rewritten within the same
// second as its last copy, with the same size, could look unchanged to it.
constexpr qint64 changeSpacingMs = 1100;

QString engineTarget(Workspace &space)
{
    return space.pathFor(QStringLiteral("b-engine"));
}

// The engine's record of tree B and its copy, kept as a job keeps it.
QString engineRecord(Workspace &space)
{
    return space.pathFor(QStringLiteral("b-record.sqlite"));
}

QString rsyncTarget(Workspace &space)
{
    return space.pathFor(QStringLiteral("b-rsync"));
}

QStringList rsyncArguments(const GeneratedTree &tree, const QString &target)
{
    return {QStringLiteral("-a"), tree.root + QLatin1Char('/'), target + QLatin1Char('/')};
}

// The engine's and rsync's own copies of tree B, each made once by its own
// tool (not timed) and in step with the source from then on.
void makeInStepTargets(Workspace &space, const GeneratedTree &tree)
{
    if (!QDir(engineTarget(space)).exists()) {
        say(QStringLiteral("· copying tree B for the engine (not timed) …"));
        const EngineRun run
                = runEngine(tree.root, engineTarget(space), 0, false, engineRecord(space));
        checkEngineRun(run, tree.copyableFiles(), QStringLiteral("B set-up engine"));
    }
    if (!QDir(rsyncTarget(space)).exists()) {
        say(QStringLiteral("· copying tree B for rsync (not timed) …"));
        runTool(QStringLiteral("rsync"), rsyncArguments(tree, rsyncTarget(space)));
    }
}

void sleepUntil(qint64 wallMs)
{
    const qint64 left = wallMs - QDateTime::currentMSecsSinceEpoch();
    if (left > 0)
        QThread::msleep(quint64(left));
}

Contender rsyncContender(const GeneratedTree &tree, const QString &target,
                         std::function<void()> check)
{
    return {QStringLiteral("rsync -a"), {}, [=, &tree] {
                const double ms = timeMs(
                        [&] { runTool(QStringLiteral("rsync"), rsyncArguments(tree, target)); });
                if (check)
                    check();
                return ms;
            }};
}

} // namespace

std::vector<Bound> runRescanCase(Workspace &space, int runs)
{
    const GeneratedTree &tree = space.treeB();
    makeInStepTargets(space, tree);
    const QString target = engineTarget(space);

    std::vector<Contender> contenders;
    // The engine with its record, as a job runs it.
    const QString record = engineRecord(space);
    contenders.push_back({QStringLiteral("engine"), {}, [&tree, target, record] {
                              const qint64 since = QDateTime::currentMSecsSinceEpoch();
                              const EngineRun run
                                      = runEngine(tree.root, target, since, false, record);
                              checkEngineRun(run, 0, QStringLiteral("B engine"));
                              return run.ms;
                          }});
    contenders.push_back({QStringLiteral("find -newermt"), {}, [&tree] {
                              const qint64 seconds = QDateTime::currentSecsSinceEpoch();
                              QByteArray found;
                              const double ms = timeMs([&] {
                                  found = runTool(QStringLiteral("find"),
                                                  {tree.root, QStringLiteral("-newermt"),
                                                   QLatin1Char('@') + QString::number(seconds)});
                              });
                              if (!found.isEmpty())
                                  throw BenchError(QStringLiteral("B find: the tree changed: ")
                                                   + QString::fromUtf8(found.left(200)));
                              return ms;
                          }});
    contenders.push_back(rsyncContender(tree, rsyncTarget(space), {}));
    // Every file compared with its record row, as on a tree whose change
    // times tell nothing (exFAT, FAT, sshfs): the same disk, its change
    // times hidden from the engine. The record is filled first, untimed.
    const auto blind = std::make_shared<CtimeBlindFileSystem>();
    checkEngineRun(runEngine(tree.root, target, 0, false, record, blind.get()), 0,
                   QStringLiteral("B record set-up"));
    contenders.push_back(
            {QStringLiteral("engine, all against the record"), {}, [&tree, target, record, blind] {
                 const qint64 since = QDateTime::currentMSecsSinceEpoch();
                 const EngineRun run
                         = runEngine(tree.root, target, since, false, record, blind.get());
                 checkEngineRun(run, 0, QStringLiteral("B engine against the record"));
                 return run.ms;
             }});
    runInterleaved(contenders, runs);
    printRuns(contenders);

    const double engine = contenders[0].median();
    const double find = contenders[1].median();
    const double rsync = contenders[2].median();
    const double recorded = contenders[3].median();
    const qint64 files = qint64(tree.files.size());
    const qint64 recordBytes
            = QFileInfo(record).size() + QFileInfo(record + QStringLiteral("-wal")).size();
    say(QStringLiteral("B  no-op rescan of %1 files in %2 directories: engine %3 ms | "
                       "find -newermt %4 ms | rsync -a (in step) %5 ms | engine/find %6 | "
                       "engine/rsync -a %7")
                .arg(count(files), count(tree.directories), fixed(engine), fixed(find),
                     fixed(rsync), fixed(engine / find, 2), fixed(engine / rsync, 2)));
    say(QStringLiteral("   every file against the record %1 ms = %2 × find | record %3 bytes "
                       "a file")
                .arg(fixed(recorded), fixed(recorded / find, 2),
                     fixed(double(recordBytes) / double(files), 0)));
    return {{QStringLiteral("B  engine / rsync -a (second run)"), engine / rsync, 1.0, true, {}},
            {QStringLiteral("B  engine / find -newermt"), engine / find, 1.1, true, {}},
            {QStringLiteral("B  every file against the record / find -newermt"),
             recorded / find,
             1.5,
             true,
             {}}};
}

std::vector<Bound> runIncrementalCase(Workspace &space, int runs)
{
    const GeneratedTree &tree = space.treeB();
    makeInStepTargets(space, tree);
    const QString engineCopy = engineTarget(space);
    const QString record = engineRecord(space);
    const QString rsyncCopy = rsyncTarget(space);
    const std::vector<int> changed = pickCopyable(tree, space.sizes().dChangedShare, changedSeed);
    const std::vector<int> checked = spread(changed, changedSpotChecks);

    // Each round rewrites the same files with new contents; the engine looks
    // back to the start of its previous run less the job's margin, as a job does.
    struct Round
    {
        unsigned number = 0;
        qint64 changedAtMs = 0;
        qint64 previousEngineStartMs = 0;
    };
    auto round = std::make_shared<Round>();
    round->changedAtMs = tree.finishedMs + SyncJob::stampMarginMs;

    std::vector<Contender> contenders;
    contenders.push_back(
            {QStringLiteral("engine"),
             [&tree, changed, round] {
                 sleepUntil(round->changedAtMs + changeSpacingMs);
                 round->changedAtMs = QDateTime::currentMSecsSinceEpoch();
                 rewriteFiles(tree, changed, round->number++);
                 if (round->previousEngineStartMs == 0)
                     round->previousEngineStartMs = round->changedAtMs;
             },
             [&tree, engineCopy, record, changed, checked, round] {
                 const qint64 since = round->previousEngineStartMs - SyncJob::stampMarginMs;
                 round->previousEngineStartMs = QDateTime::currentMSecsSinceEpoch();
                 const EngineRun run = runEngine(tree.root, engineCopy, since, false, record);
                 checkEngineRun(run, int(changed.size()), QStringLiteral("D engine"));
                 for (const int index : checked)
                     checkSameContent(tree, index, engineCopy, QStringLiteral("D engine"));
                 return run.ms;
             }});
    contenders.push_back(rsyncContender(tree, rsyncCopy, [&tree, rsyncCopy, checked] {
        for (const int index : checked)
            checkSameContent(tree, index, rsyncCopy, QStringLiteral("D rsync -a"));
    }));
    runInterleaved(contenders, runs);
    printRuns(contenders);

    const double engine = contenders[0].median();
    const double rsync = contenders[1].median();
    say(QStringLiteral("D  incremental: %1 of %2 files rewritten before each round: engine %3 ms | "
                       "rsync -a %4 ms | engine/rsync -a %5")
                .arg(count(qint64(changed.size())), count(qint64(tree.files.size())), fixed(engine),
                     fixed(rsync), fixed(engine / rsync, 2)));
    return {{QStringLiteral("D  engine / rsync -a"), engine / rsync, 1.0, true, {}}};
}
