#pragma once

#include "tree_generator.h"

#include <QString>

#include <vector>

// Cheap checks that a copy is right, so that a broken copy cannot look fast.
// Each throws BenchError with `who` and what is wrong.

// Regular files below root, hidden ones and those in dot-directories included.
int countFiles(const QString &root);

// The file of the tree at `index` has the same bytes under target.
void checkSameContent(const GeneratedTree &tree, int index, const QString &target,
                      const QString &who);

// A full copy: target holds exactly `expected` files, and a few files spread
// over the tree (copyable ones) have the same bytes there.
void checkFullCopy(const GeneratedTree &tree, const QString &target, int expected,
                   const QString &who);

// Up to `wanted` of the indices, spread from the first to the last.
std::vector<int> spread(const std::vector<int> &indices, int wanted);
