#pragma once

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <vector>

// The middle value (the mean of the two middle ones for an even count).
double median(std::vector<double> values);

// Milliseconds that f took, on the monotonic clock.
template<class F>
double timeMs(F &&f)
{
    QElapsedTimer clock;
    clock.start();
    f();
    return double(clock.nsecsElapsed()) / 1e6;
}

// Writes every dirty page to disk, so that no timed run pays for the
// write-back of what was done before it.
void flushToDisk();
// Writes back the dirty pages of the file system that holds path (syncfs),
// as the engine does at the end of a run. Throws BenchError on failure.
void flushFileSystemOf(const QString &path);

// One side of a comparison: what it does before each run (not timed), and
// the run, which times only what it measures and then checks what it made.
struct Contender
{
    Contender(QString name, std::function<void()> prepare, std::function<double()> run)
        : name(std::move(name))
        , prepare(std::move(prepare))
        , run(std::move(run))
    { }

    QString name;
    std::function<void()> prepare;
    std::function<double()> run; // milliseconds
    std::vector<double> times;

    double median() const { return ::median(times); }
};

// One untimed warm-up of each contender, then `runs` rounds in which each
// contender runs once, in the order given: the machine's slow spells then
// hit all of them alike. Each run starts after flushToDisk.
void runInterleaved(std::vector<Contender> &contenders, int runs);

// "  # name: t1 t2 ... ms" for each contender.
void printRuns(const std::vector<Contender> &contenders);
