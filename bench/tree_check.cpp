#include "tree_check.h"

#include "bench_error.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

namespace {

constexpr int spotChecks = 5;

QByteArray contentOf(const QString &path, const QString &who)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw BenchError(who + QStringLiteral(": cannot read ") + path + QStringLiteral(": ")
                         + file.errorString());
    return file.readAll();
}

} // namespace

int countFiles(const QString &root)
{
    int files = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++files;
    }
    return files;
}

void checkSameContent(const GeneratedTree &tree, int index, const QString &target,
                      const QString &who)
{
    const GeneratedFile &file = tree.files[size_t(index)];
    const QString copy = target + QLatin1Char('/') + file.path;
    if (contentOf(copy, who) != contentOf(tree.pathOf(index), who))
        throw BenchError(who + QStringLiteral(": wrong content in ") + copy);
}

void checkFullCopy(const GeneratedTree &tree, const QString &target, int expected,
                   const QString &who)
{
    const int found = countFiles(target);
    if (found != expected)
        throw BenchError(who
                         + QStringLiteral(": %1 files in %2, expected %3")
                                   .arg(found)
                                   .arg(target)
                                   .arg(expected));
    std::vector<int> copyable;
    for (int index = 0; index < int(tree.files.size()); ++index) {
        if (!tree.files[size_t(index)].ignored)
            copyable.push_back(index);
    }
    for (const int index : spread(copyable, spotChecks))
        checkSameContent(tree, index, target, who);
}

std::vector<int> spread(const std::vector<int> &indices, int wanted)
{
    if (int(indices.size()) <= wanted)
        return indices;
    std::vector<int> picked;
    for (int i = 0; i < wanted; ++i)
        picked.push_back(indices[size_t(i) * (indices.size() - 1) / size_t(wanted - 1)]);
    return picked;
}
