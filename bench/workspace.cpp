#include "workspace.h"

#include "bench_error.h"
#include "report.h"
#include "timing.h"

#include <QDir>

namespace {

constexpr unsigned seedA = 0x7f1a0001u;
constexpr unsigned seedB = 0x7f1a0002u;
constexpr unsigned seedC = 0x7f1a0003u;

} // namespace

Workspace::Workspace(const QString &parent, const CaseSizes &sizes)
    : directory(parent + QStringLiteral("/twinfold-bench-XXXXXX"))
    , caseSizes(sizes)
{
    if (!directory.isValid())
        throw BenchError(QStringLiteral("cannot make a temporary directory in ") + parent
                         + QStringLiteral(": ") + directory.errorString());
}

const GeneratedTree &Workspace::treeA()
{
    return generate(a, QStringLiteral("tree-a"),
                    {caseSizes.aFiles, caseSizes.aDirectories, caseSizes.aFileBytes,
                     caseSizes.aFileBytes, true, seedA});
}

const GeneratedTree &Workspace::treeB()
{
    return generate(b, QStringLiteral("tree-b"),
                    {caseSizes.bFiles, caseSizes.bDirectories, caseSizes.bMinBytes,
                     caseSizes.bMaxBytes, true, seedB});
}

const GeneratedTree &Workspace::treeC()
{
    return generate(
            c, QStringLiteral("tree-c"),
            {caseSizes.cFiles, 0, caseSizes.cFileBytes, caseSizes.cFileBytes, false, seedC});
}

void Workspace::dropTreeC()
{
    if (!c)
        return;
    removeTree(c->root);
    c.reset();
}

const GeneratedTree &Workspace::generate(std::optional<GeneratedTree> &tree, const QString &name,
                                         const TreeShape &shape)
{
    if (tree)
        return *tree;
    say(QStringLiteral("· generating %1: %2 files in %3 directories …")
                .arg(name, count(shape.files), count(shape.directories)));
    const double ms = timeMs([&] { tree = generateTree(pathFor(name), shape); });
    flushToDisk();
    say(QStringLiteral("  done in %1 s: %2 bytes, %3 files in dot-directories")
                .arg(fixed(ms / 1000), count(tree->bytes),
                     count(qint64(tree->files.size()) - tree->copyableFiles())));
    return *tree;
}

void removeTree(const QString &path)
{
    QDir directory(path);
    if (directory.exists() && !directory.removeRecursively())
        throw BenchError(QStringLiteral("cannot delete ") + path);
}

FreshTargets::FreshTargets(const QString &base, bool keepAll)
    : base(base)
    , keepAll(keepAll)
{ }

QString FreshTargets::next()
{
    if (!keepAll && !made.isEmpty())
        removeTree(made.last());
    made.append(base + QLatin1Char('-') + QString::number(made.size() + 1));
    return made.last();
}

void FreshTargets::removeAll()
{
    for (const QString &target : qAsConst(made))
        removeTree(target);
    made.clear();
}
