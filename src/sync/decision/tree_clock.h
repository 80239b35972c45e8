#pragma once

#include <QtGlobal>

#include <chrono>

// What a run learned of one tree's clock: the time its file system gave a
// file created there at the start of the run, and how finely it keeps times.
// Trees on a share are stamped by another machine's clock, so every "now"
// that is compared with a file's time comes from here, never from this
// machine's clock, unless the tree could not be probed.
struct TreeClock
{
    // False when no file could be created in the tree: then the times below
    // are this machine's and the resolution is the coarsest a tree may have.
    bool measured = false;
    qint64 probeUs = 0; // the tree's time at the probe, µs since the epoch
    qint64 resolutionUs = coarsestResolutionUs; // how finely the tree stores times
    qint64 tickUs = coarsestResolutionUs; // how finely its clock stamps files (≥ resolution)
    std::chrono::steady_clock::time_point probedAt = std::chrono::steady_clock::now();
    // Every write and rename moves a file's change time forward (not so on
    // FAT, exFAT, sshfs or a share, where it follows the modification time).
    bool changeTimes = false;
    // A file keeps its identity for as long as it lives (not so on FUSE
    // mounts, which number files afresh).
    bool idsLast = false;
    // Reached through a network or FUSE client: each call waits on a round
    // trip, and several copies at once finish sooner.
    bool remote = false;

    // What a probe with a name showed of the tree (asked for target trees).
    bool caseInsensitive = false; // "A" and "a" are one name
    bool windowsNames = false; // refuses : ? * " < > | \ and names ending in a dot or a space
    bool asciiNamesOnly = false; // refuses every name outside ASCII (fusefat)
    bool reservedNames = false; // shows CON, AUX.txt and the like under another name (a share)
    bool restampsOnRename = false; // a renamed file gets the time of the rename
    // A file written gets the time it is closed, whatever was set while it
    // was open (a share; a FUSE client closes it there after close() returns).
    bool stampsAtClose = false;

    static constexpr qint64 coarsestResolutionUs = 2000000; // FAT keeps even seconds

    // The tree's time now, as its own clock shows it: the probe plus what
    // has elapsed here since. Never later than the tree's real time by more
    // than the drift of the two clocks over one run.
    qint64 nowUs() const;

    // This machine's clock, for a tree that could not be probed.
    static TreeClock local();
};

// Rounds down to a multiple of unit, also for times before the epoch.
qint64 floorTo(qint64 value, qint64 unit);

// The resolution a stored time shows, from a time set and the time read
// back: the smallest usual step (1 µs, 1 ms, 10 ms, 1 s, 2 s) that explains
// the difference. Read back later than set (a file system that rounds up or
// ignores the request) counts as the coarsest.
qint64 resolutionFromReadBack(qint64 setNs, qint64 readNs);
