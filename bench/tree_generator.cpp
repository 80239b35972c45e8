#include "tree_generator.h"

#include "bench_error.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

struct PlannedDirectory
{
    QString path; // relative, ending with '/' unless it is the root
    bool ignored = false;
};

// Every 50th directory is a dot-directory; none gets subdirectories of its
// own, so that the skipped share of the tree stays small and predictable.
constexpr int dotDirectoryEvery = 50;

QString directoryName(int index)
{
    switch (index % 4) {
    case 0: return QStringLiteral("dir %1").arg(index);
    case 1: return QStringLiteral("目录 %1").arg(index);
    case 2: return QStringLiteral("d%1").arg(index);
    default: return QStringLiteral("Sub Folder %1").arg(index);
    }
}

QString fileName(int index)
{
    switch (index % 5) {
    case 0: return QStringLiteral("file %1.txt").arg(index);
    case 1: return QStringLiteral("文档 %1.txt").arg(index);
    case 2: return QStringLiteral(".hidden%1").arg(index);
    case 3: return QStringLiteral("data_%1.bin").arg(index);
    default: return QStringLiteral("报告 2024 %1.md").arg(index);
    }
}

std::vector<PlannedDirectory> planDirectories(const TreeShape &shape, std::mt19937 &random)
{
    std::vector<PlannedDirectory> planned {{QString(), false}};
    std::vector<int> parents {0}; // the directories that may get children
    if (shape.dotDirectories && shape.directories >= 4) {
        for (const char *path : {".git/", ".git/objects/", ".git/objects/8f/", ".git/refs/"})
            planned.push_back({QString::fromLatin1(path), true});
    }
    while (int(planned.size()) <= shape.directories) {
        const int index = int(planned.size());
        std::uniform_int_distribution<size_t> pick(0, parents.size() - 1);
        const PlannedDirectory &parent = planned[size_t(parents[pick(random)])];
        if (shape.dotDirectories && index % dotDirectoryEvery == dotDirectoryEvery / 2) {
            planned.push_back({parent.path + QStringLiteral(".cache %1/").arg(index), true});
        } else {
            planned.push_back({parent.path + directoryName(index) + QLatin1Char('/'), false});
            parents.push_back(index);
        }
    }
    return planned;
}

QByteArray randomBytes(qint64 size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray bytes(int(size), Qt::Uninitialized);
    char *data = bytes.data();
    for (qint64 at = 0; at < size; at += 4) {
        const quint32 word = random();
        std::memcpy(data + at, &word, size_t(std::min<qint64>(4, size - at)));
    }
    return bytes;
}

void writeFile(const QString &path, qint64 size, unsigned seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw BenchError(QStringLiteral("cannot write ") + path + QStringLiteral(": ")
                         + file.errorString());
    constexpr qint64 chunk = 8 << 20;
    for (qint64 done = 0; done < size; done += chunk) {
        const QByteArray bytes = randomBytes(std::min(chunk, size - done), seed + unsigned(done));
        if (file.write(bytes) != bytes.size())
            throw BenchError(QStringLiteral("cannot write ") + path + QStringLiteral(": ")
                             + file.errorString());
    }
    if (!file.flush())
        throw BenchError(QStringLiteral("cannot write ") + path);
}

} // namespace

int GeneratedTree::copyableFiles() const
{
    return int(std::count_if(files.begin(), files.end(),
                             [](const GeneratedFile &file) { return !file.ignored; }));
}

qint64 GeneratedTree::copyableBytes() const
{
    qint64 total = 0;
    for (const GeneratedFile &file : files)
        total += file.ignored ? 0 : file.size;
    return total;
}

GeneratedTree generateTree(const QString &root, const TreeShape &shape)
{
    std::mt19937 random(shape.seed);
    const std::vector<PlannedDirectory> planned = planDirectories(shape, random);
    for (const PlannedDirectory &directory : planned) {
        if (!QDir().mkpath(root + QLatin1Char('/') + directory.path))
            throw BenchError(QStringLiteral("cannot make directory ") + root + QLatin1Char('/')
                             + directory.path);
    }

    GeneratedTree tree;
    tree.root = root;
    tree.directories = int(planned.size()) - 1;
    std::uniform_int_distribution<size_t> where(0, planned.size() - 1);
    std::uniform_int_distribution<qint64> howBig(shape.minBytes, shape.maxBytes);
    for (int index = 0; index < shape.files; ++index) {
        const PlannedDirectory &directory = planned[where(random)];
        GeneratedFile file;
        file.path = directory.path + fileName(index);
        file.size = howBig(random);
        file.ignored = directory.ignored;
        file.contentSeed = random();
        writeFile(root + QLatin1Char('/') + file.path, file.size, file.contentSeed);
        tree.bytes += file.size;
        tree.files.push_back(file);
    }
    tree.finishedMs = QDateTime::currentMSecsSinceEpoch();
    return tree;
}

std::vector<int> pickCopyable(const GeneratedTree &tree, double share, unsigned seed)
{
    std::vector<int> copyable;
    for (int index = 0; index < int(tree.files.size()); ++index) {
        if (!tree.files[size_t(index)].ignored)
            copyable.push_back(index);
    }
    std::mt19937 random(seed);
    std::shuffle(copyable.begin(), copyable.end(), random);
    const size_t wanted = std::max<size_t>(1, size_t(double(copyable.size()) * share));
    copyable.resize(std::min(wanted, copyable.size()));
    std::sort(copyable.begin(), copyable.end());
    return copyable;
}

void rewriteFiles(const GeneratedTree &tree, const std::vector<int> &indices, unsigned round)
{
    for (const int index : indices) {
        const GeneratedFile &file = tree.files[size_t(index)];
        writeFile(tree.pathOf(index), file.size, file.contentSeed ^ (0x9e3779b9u * (round + 1)));
    }
}

void dateFiles(const GeneratedTree &tree, qint64 offsetSeconds)
{
    const QDateTime when = QDateTime::currentDateTimeUtc().addSecs(offsetSeconds);
    for (int i = 0; i < int(tree.files.size()); ++i) {
        QFile file(tree.pathOf(i));
        if (!file.open(QIODevice::ReadWrite)
            || !file.setFileTime(when, QFileDevice::FileModificationTime))
            throw BenchError(QStringLiteral("cannot date ") + tree.pathOf(i));
    }
}
