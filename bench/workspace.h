#pragma once

#include "bench_options.h"
#include "tree_generator.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// The temporary directory of one benchmark and the source trees in it, each
// generated the first time a case asks for it and kept for the later cases.
class Workspace
{
public:
    // Throws BenchError when the directory cannot be made.
    Workspace(const QString &parent, const CaseSizes &sizes);

    QString path() const { return directory.path(); }
    // A path inside the workspace, for a target or the settings.
    QString pathFor(const QString &name) const { return directory.filePath(name); }

    const CaseSizes &sizes() const { return caseSizes; }
    const GeneratedTree &treeA(); // many small files: full copies, the window
    const GeneratedTree &treeB(); // very many tiny files: rescans, increments
    const GeneratedTree &treeC(); // a few large files: throughput
    void dropTreeC(); // gives its space back

private:
    const GeneratedTree &generate(std::optional<GeneratedTree> &tree, const QString &name,
                                  const TreeShape &shape);

    QTemporaryDir directory;
    CaseSizes caseSizes;
    std::optional<GeneratedTree> a;
    std::optional<GeneratedTree> b;
    std::optional<GeneratedTree> c;
};

// Deletes a directory tree if it is there; throws BenchError when it stays.
void removeTree(const QString &path);

// Fresh empty targets for a series of full copies: base-1, base-2, ...
//
// Targets full of small files are all kept until removeAll(), never deleted
// just before a timed run: ext4 without a journal (as on the benchmark's
// machines) passes over inodes freed in the last minute when it allocates
// new ones, so a run right after deleting 10,000 files pays for that deletion
// (here cp -a of 10,000 small files took ten times as long). With few large files
// (keepAll false) each target is deleted when the next one is handed out.
class FreshTargets
{
public:
    FreshTargets(const QString &base, bool keepAll);

    // The next target; it does not exist yet. Not timed: call it in a prepare step.
    QString next();
    QString current() const { return made.isEmpty() ? QString() : made.last(); }
    void removeAll();

private:
    QString base;
    bool keepAll;
    QStringList made;
};
