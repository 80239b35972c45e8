#include "copy_cases.h"

#include "bench_error.h"
#include "engine_run.h"
#include "timing.h"
#include "tree_check.h"

#include <QDateTime>

#include <memory>

namespace {

constexpr unsigned futureSeed = 0x0f7e0001u;

Contender copyOf(const QString &name, const GeneratedTree &tree,
                 const std::shared_ptr<FreshTargets> &targets)
{
    const int copyable = tree.copyableFiles();
    return {name, [targets] { targets->next(); },
            [=, &tree] {
                const QString target = targets->current();
                const EngineRun run = runEngine(tree.root, target, 0);
                checkEngineRun(run, copyable, QStringLiteral("F ") + name);
                checkFullCopy(tree, target, copyable, QStringLiteral("F ") + name);
                return run.ms;
            }};
}

} // namespace

std::vector<Bound> runFutureDatedCase(Workspace &space, int runs)
{
    const int files = space.sizes().fFiles;
    TreeShape shape;
    shape.files = files;
    shape.directories = files / 20;
    shape.minBytes = 4096;
    shape.maxBytes = 4096;
    shape.dotDirectories = false;
    shape.seed = futureSeed;
    say(QStringLiteral("· generating two trees of %1 files for F …").arg(count(files)));
    const GeneratedTree normal = generateTree(space.pathFor(QStringLiteral("f-normal")), shape);
    const GeneratedTree ahead = generateTree(space.pathFor(QStringLiteral("f-ahead")), shape);
    dateFiles(normal, -3600);
    dateFiles(ahead, 3600);

    const auto normalTargets = std::make_shared<FreshTargets>(
            space.pathFor(QStringLiteral("f-normal-target")), true);
    const auto aheadTargets
            = std::make_shared<FreshTargets>(space.pathFor(QStringLiteral("f-ahead-target")), true);
    std::vector<Contender> contenders {
            copyOf(QStringLiteral("dated an hour ago"), normal, normalTargets),
            copyOf(QStringLiteral("dated an hour ahead"), ahead, aheadTargets)};
    runInterleaved(contenders, runs);
    printRuns(contenders);

    const double past = contenders[0].median();
    const double future = contenders[1].median();
    say(QStringLiteral("F  full copy of %1 files dated an hour ahead: %2 ms | the same dated an "
                       "hour ago: %3 ms | ahead/ago %4")
                .arg(count(files), fixed(future), fixed(past), fixed(future / past, 2)));
    return {{QStringLiteral("F  dated ahead / dated ago"), future / past, 1.2, true, {}}};
}
