#pragma once

#include <QString>

#include <vector>

// What a tree to generate looks like. The same shape and seed give the same
// names, sizes and contents on every machine.
struct TreeShape
{
    int files = 0;
    int directories = 0; // below the root
    qint64 minBytes = 0;
    qint64 maxBytes = 0;
    bool dotDirectories = true; // a .git/ and some .cache N/ among the directories
    unsigned seed = 0;
};

struct GeneratedFile
{
    QString path; // relative to the root, '/' separated
    qint64 size = 0;
    bool ignored = false; // inside a dot-directory, which the default pattern skips
    unsigned contentSeed = 0;
};

struct GeneratedTree
{
    QString root;
    std::vector<GeneratedFile> files;
    int directories = 0;
    qint64 bytes = 0;
    qint64 finishedMs = 0; // wall clock when the last file was written

    QString pathOf(int index) const { return root + QLatin1Char('/') + files[size_t(index)].path; }
    int copyableFiles() const; // those the engine copies with the default pattern
    qint64 copyableBytes() const;
};

// Writes the tree under root (created if missing): names with spaces,
// Chinese names, dot-files, nested directories and dot-directories with
// files in them; contents are pseudo-random bytes.
GeneratedTree generateTree(const QString &root, const TreeShape &shape);

// A fixed pseudo-random choice of share × the copyable files, by index.
std::vector<int> pickCopyable(const GeneratedTree &tree, double share, unsigned seed);

// Gives the chosen files new contents of the same size, different for each
// round; their modification time becomes now.
void rewriteFiles(const GeneratedTree &tree, const std::vector<int> &indices, unsigned round);

// Dates every file of the tree offsetSeconds from now; throws BenchError
// when one cannot be dated.
void dateFiles(const GeneratedTree &tree, qint64 offsetSeconds);
