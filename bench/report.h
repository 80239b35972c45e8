#pragma once

#include <QString>

#include <vector>

// Writes one line to standard output at once, so that progress shows while
// the benchmark runs, also when the output goes to a file.
void say(const QString &line);

// A number with a fixed count of decimals.
QString fixed(double value, int decimals = 1);
// A count with thousands separators: 10,000.
QString count(qint64 value);

// One bound the benchmark checks: a measured figure against its limit.
struct Bound
{
    QString label; // what is bounded, e.g. "A engine / rsync -a"
    double figure = 0;
    double limit = 0;
    bool upper = true; // the figure must be at most the limit; else at least
    QString unit; // shown after the figure and the limit; empty for a ratio

    bool passed() const { return upper ? figure <= limit : figure >= limit; }
};

// One PASS or FAIL line for each bound; true when all passed.
bool printBounds(const std::vector<Bound> &bounds);
