#include "copy_cases.h"

#include "bench_error.h"
#include "engine_run.h"
#include "support/remote_mount.h"
#include "timing.h"
#include "tools.h"
#include "tree_check.h"

#include <QDateTime>
#include <QDir>

#include <memory>

namespace {

constexpr unsigned fuseSeed = 0x0f05e001u;

Contender engineCopy(const GeneratedTree &tree, const std::shared_ptr<FreshTargets> &targets,
                     const QString &who)
{
    return {QStringLiteral("engine"), [targets] { targets->next(); },
            [=, &tree] {
                const EngineRun run = runEngine(tree.root, targets->current(), 0);
                checkEngineRun(run, tree.copyableFiles(), who);
                return run.ms;
            }};
}

Contender toolCopy(const QString &name, const QString &program, const QStringList &arguments,
                   const GeneratedTree &tree, const std::shared_ptr<FreshTargets> &targets,
                   const QString &who)
{
    return {name, [targets] { targets->next(); },
            [=, &tree] {
                const QString target = targets->current();
                QDir().mkpath(target);
                const double ms = timeMs([&] {
                    runTool(program, arguments
                                             + QStringList {tree.root + QLatin1Char('/'),
                                                            target + QLatin1Char('/')});
                });
                checkFullCopy(tree, target, int(tree.files.size()), who);
                return ms;
            }};
}

// A no-op rescan of root (in step with inStepCopy) against find -newermt.
std::vector<Contender> rescanContenders(const QString &root, const QString &inStepCopy,
                                        const QString &who)
{
    return {{QStringLiteral("engine rescan"),
             {},
             [=] {
                 const EngineRun run
                         = runEngine(root, inStepCopy, QDateTime::currentMSecsSinceEpoch());
                 checkEngineRun(run, 0, who);
                 return run.ms;
             }},
            {QStringLiteral("find -newermt"), {}, [=] {
                 const QString since
                         = QLatin1Char('@') + QString::number(QDateTime::currentSecsSinceEpoch());
                 return timeMs([&] {
                     runTool(QStringLiteral("find"), {root, QStringLiteral("-newermt"), since});
                 });
             }}};
}

std::vector<Bound> rescanBound(const QString &label, const QString &root, const QString &inStepCopy,
                               int runs)
{
    std::vector<Contender> contenders = rescanContenders(root, inStepCopy, label);
    runInterleaved(contenders, runs);
    printRuns(contenders);
    const double engine = contenders[0].median();
    const double find = contenders[1].median();
    say(QStringLiteral("G  no-op rescan %1: engine %2 ms | find -newermt %3 ms | engine/find %4")
                .arg(label, fixed(engine), fixed(find), fixed(engine / find, 2)));
    return {{QStringLiteral("G  rescan %1: engine / find -newermt").arg(label),
             engine / find,
             1.5,
             true,
             {}}};
}

} // namespace

std::vector<Bound> runFuseCase(Workspace &space, int runs)
{
    TreeShape shape;
    shape.files = space.sizes().gFiles;
    shape.directories = shape.files / 20;
    shape.minBytes = 4096;
    shape.maxBytes = 4096;
    shape.dotDirectories = false;
    shape.seed = fuseSeed;
    const GeneratedTree tree = generateTree(space.pathFor(QStringLiteral("g-tree")), shape);
    // Well in the past, so that no file is in the running second of a
    // whole-second mount.
    dateFiles(tree, -3600);
    std::vector<Bound> bounds;

    const QString localCopy = space.pathFor(QStringLiteral("g-local-copy"));
    checkEngineRun(runEngine(tree.root, localCopy, 0), tree.copyableFiles(),
                   QStringLiteral("G set-up"));
    const auto add = [&bounds](const std::vector<Bound> &more) {
        bounds.insert(bounds.end(), more.begin(), more.end());
    };
    add(rescanBound(QStringLiteral("on ext4"), tree.root, localCopy, runs));

    for (const QString &kind : {QStringLiteral("bindfs"), QStringLiteral("sshfs")}) {
        RemoteMount mount(kind);
        if (!mount.isMounted())
            throw BenchError(QStringLiteral("G: cannot mount ") + kind + QStringLiteral(": ")
                             + mount.error());
        const auto targets
                = std::make_shared<FreshTargets>(mount.path() + QStringLiteral("/copy"), true);
        const QString who = QStringLiteral("G ") + kind;
        std::vector<Contender> contenders {
                engineCopy(tree, targets, who + QStringLiteral(" engine")),
                toolCopy(QStringLiteral("cp -a"), QStringLiteral("cp"),
                         {QStringLiteral("-a"), QStringLiteral("-T")}, tree, targets,
                         who + QStringLiteral(" cp -a")),
                toolCopy(QStringLiteral("rsync -a"), QStringLiteral("rsync"),
                         {QStringLiteral("-a")}, tree, targets, who + QStringLiteral(" rsync -a"))};
        runInterleaved(contenders, runs);
        printRuns(contenders);
        const double engine = contenders[0].median();
        const double cp = contenders[1].median();
        const double rsync = contenders[2].median();
        say(QStringLiteral(
                    "G  first copy of %1 files of 4 KiB onto %2: engine %3 ms | cp -a %4 ms | "
                    "rsync -a %5 ms | engine/cp -a %6 | engine/rsync -a %7")
                    .arg(count(qint64(tree.files.size())), kind, fixed(engine), fixed(cp),
                         fixed(rsync), fixed(engine / cp, 2), fixed(engine / rsync, 2)));
        add({{QStringLiteral("G  %1 first copy: engine / rsync -a").arg(kind),
              engine / rsync,
              1.0,
              true,
              {}},
             {QStringLiteral("G  %1 first copy: engine / cp -a").arg(kind),
              engine / cp,
              1.3,
              true,
              {}}});

        // The remote tree as a download's source, in step with the local copy.
        const QString remoteTree = mount.path() + QStringLiteral("/tree");
        checkEngineRun(runEngine(tree.root, remoteTree, 0), tree.copyableFiles(),
                       who + QStringLiteral(" set-up"));
        add(rescanBound(QStringLiteral("on ") + kind, remoteTree, localCopy, runs));
        targets->removeAll();
    }
    return bounds;
}
