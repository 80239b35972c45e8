#include "sync/decision/tree_clock.h"

#include <QDateTime>

qint64 TreeClock::nowUs() const
{
    const auto elapsed = std::chrono::steady_clock::now() - probedAt;
    return probeUs + std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

TreeClock TreeClock::local()
{
    TreeClock clock;
    clock.probeUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    clock.probedAt = std::chrono::steady_clock::now();
    return clock;
}

qint64 floorTo(qint64 value, qint64 unit)
{
    if (unit <= 1)
        return value;
    const qint64 rest = value % unit;
    return rest < 0 ? value - rest - unit : value - rest;
}

qint64 resolutionFromReadBack(qint64 setNs, qint64 readNs)
{
    const qint64 lost = setNs - readNs;
    if (lost < 0)
        return TreeClock::coarsestResolutionUs;
    const qint64 stepsNs[] = {1000, 1000000, 10000000, 1000000000, 2000000000};
    for (const qint64 step : stepsNs) {
        if (lost < step)
            return step / 1000;
    }
    return TreeClock::coarsestResolutionUs;
}
