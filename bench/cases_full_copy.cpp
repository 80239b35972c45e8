#include "copy_cases.h"

#include "bench_error.h"
#include "engine_run.h"
#include "sync/fs/content_digest.h"
#include "timing.h"
#include "tools.h"
#include "tree_check.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>

namespace {

// Each contender copies the whole tree into a fresh empty target.
using Targets = std::shared_ptr<FreshTargets>;

// With durable, the engine's copy and the flush a job makes after it. The
// engine writes its record as a job does (a new pair for each fresh target).
Contender engineContender(const GeneratedTree &tree, const Targets &targets, const QString &who,
                          bool durable = false)
{
    const int copyable = tree.copyableFiles();
    const QString name = durable ? QStringLiteral("engine + flush") : QStringLiteral("engine");
    const QString record
            = QFileInfo(tree.root).absolutePath() + QStringLiteral("/engine-record.sqlite");
    return {name, [targets] { targets->next(); },
            [=, &tree] {
                const QString target = targets->current();
                const EngineRun run = runEngine(tree.root, target, 0, durable, record);
                checkEngineRun(run, copyable, who);
                checkFullCopy(tree, target, copyable, who);
                return run.ms;
            }};
}

// With durable, cp -a and then a syncfs of the target's file system, which is
// what the engine does at its end: not a bound, it shows what that costs.
Contender cpContender(const GeneratedTree &tree, const Targets &targets, const QString &who,
                      bool durable)
{
    const QString name = durable ? QStringLiteral("cp -a + syncfs") : QStringLiteral("cp -a");
    return {name, [targets] { targets->next(); },
            [=, &tree] {
                const QString target = targets->current();
                const double ms = timeMs([&] {
                    runTool(QStringLiteral("cp"),
                            {QStringLiteral("-a"), tree.root + QStringLiteral("/."), target});
                    if (durable)
                        flushFileSystemOf(target);
                });
                checkFullCopy(tree, target, int(tree.files.size()), who);
                return ms;
            }};
}

Contender rsyncContender(const GeneratedTree &tree, const Targets &targets, const QString &who)
{
    return {QStringLiteral("rsync -a"), [targets] { targets->next(); },
            [=, &tree] {
                const QString target = targets->current();
                const double ms = timeMs([&] {
                    runTool(QStringLiteral("rsync"),
                            {QStringLiteral("-a"), tree.root + QLatin1Char('/'),
                             target + QLatin1Char('/')});
                });
                checkFullCopy(tree, target, int(tree.files.size()), who);
                return ms;
            }};
}

double megabytesPerSecond(qint64 bytes, double ms)
{
    return double(bytes) / 1e6 / (ms / 1000);
}

} // namespace

std::vector<Bound> runFullCopyCase(Workspace &space, int runs)
{
    const GeneratedTree &tree = space.treeA();
    const auto targets
            = std::make_shared<FreshTargets>(space.pathFor(QStringLiteral("a-target")), true);
    std::vector<Contender> contenders {engineContender(tree, targets, QStringLiteral("A engine")),
                                       cpContender(tree, targets, QStringLiteral("A cp -a"), false),
                                       rsyncContender(tree, targets, QStringLiteral("A rsync -a"))};
    runInterleaved(contenders, runs);
    // The targets stay until the whole workspace goes, so that no later case
    // runs right after their deletion (see FreshTargets).
    printRuns(contenders);

    const double engine = contenders[0].median();
    const double cp = contenders[1].median();
    const double rsync = contenders[2].median();
    say(QStringLiteral("A  full copy of %1 files (%2 copied by the engine) in %3 directories: "
                       "engine %4 ms | cp -a %5 ms | rsync -a %6 ms | engine/cp -a %7 | "
                       "engine/rsync -a %8")
                .arg(count(qint64(tree.files.size())), count(tree.copyableFiles()),
                     count(tree.directories), fixed(engine), fixed(cp), fixed(rsync),
                     fixed(engine / cp, 2), fixed(engine / rsync, 2)));
    return {{QStringLiteral("A  engine / rsync -a"), engine / rsync, 1.0, true, {}},
            {QStringLiteral("A  engine / cp -a"), engine / cp, 1.0, true, {}}};
}

namespace {

// What comparing contents costs: the tree's files read and digested as a
// run digests them, per GiB.
double digestMsPerGiB(const GeneratedTree &tree)
{
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 bytes = 0;
    const double ms = timeMs([&] {
        for (const auto &file : tree.files) {
            QFile in(tree.root + QLatin1Char('/') + file.path);
            if (!in.open(QIODevice::ReadOnly))
                throw BenchError(QStringLiteral("C digest: cannot read ") + in.fileName());
            ContentDigest digest;
            for (qint64 got; (got = in.read(block.data(), block.size())) > 0; bytes += got)
                digest.add(block.constData(), size_t(got));
            if (digest.result().size() != 16)
                throw BenchError(QStringLiteral("C digest: no digest"));
        }
    });
    return ms * double(1LL << 30) / double(std::max<qint64>(bytes, 1));
}

} // namespace

std::vector<Bound> runThroughputCase(Workspace &space, int runs)
{
    const GeneratedTree &tree = space.treeC();
    const auto targets
            = std::make_shared<FreshTargets>(space.pathFor(QStringLiteral("c-target")), false);
    std::vector<Contender> contenders {
            engineContender(tree, targets, QStringLiteral("C engine")),
            cpContender(tree, targets, QStringLiteral("C cp -a"), false),
            engineContender(tree, targets, QStringLiteral("C engine + flush"), true),
            cpContender(tree, targets, QStringLiteral("C cp -a + syncfs"), true)};
    runInterleaved(contenders, runs);
    targets->removeAll();
    printRuns(contenders);

    const double engine = megabytesPerSecond(tree.bytes, contenders[0].median());
    const double cp = megabytesPerSecond(tree.bytes, contenders[1].median());
    const double durableEngine = megabytesPerSecond(tree.bytes, contenders[2].median());
    const double durableCp = megabytesPerSecond(tree.bytes, contenders[3].median());
    say(QStringLiteral("C  full copy of %1 files of %2 MiB: engine %3 ms = %4 MB/s | cp -a %5 ms "
                       "= %6 MB/s | engine/cp -a throughput %7")
                .arg(count(qint64(tree.files.size())),
                     QString::number(tree.files.front().size >> 20), fixed(contenders[0].median()),
                     fixed(engine), fixed(contenders[1].median()), fixed(cp),
                     fixed(engine / cp, 2)));
    say(QStringLiteral("   durable (not a bound): engine + flush %1 ms = %2 MB/s | cp -a + syncfs "
                       "%3 ms = %4 MB/s | ratio %5")
                .arg(fixed(contenders[2].median()), fixed(durableEngine),
                     fixed(contenders[3].median()), fixed(durableCp),
                     fixed(durableEngine / durableCp, 2)));
    const double digestMs = digestMsPerGiB(tree);
    say(QStringLiteral("   content digest (XXH3-128, warm cache; not a bound): %1 ms a GiB")
                .arg(fixed(digestMs)));
    space.dropTreeC();
    return {{QStringLiteral("C  engine throughput / cp -a throughput"),
             engine / cp,
             0.8,
             false,
             {}}};
}
