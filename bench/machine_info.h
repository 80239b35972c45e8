#pragma once

#include <QString>

// Prints what the figures were taken on: processors, memory, kernel, the
// file system of the benchmark directory, the load, and the tools' versions.
void printMachine(const QString &directory);
