#include "window/sync_schedule.h"

#include <algorithm>

namespace SyncSchedule {

qint64 periodMs(int seconds)
{
    return qint64(seconds) * 1000;
}

int timerIntervalMs(qint64 periodMs)
{
    return int(std::clamp<qint64>(periodMs, 0, longestTimerIntervalMs));
}

qint64 remainingMs(qint64 periodMs, qint64 lastTickMs, qint64 nowMs)
{
    if (periodMs <= longestTimerIntervalMs)
        return 0;
    return periodMs - (nowMs - lastTickMs);
}

qint64 progressValue(int maximum, qint64 elapsedMs, qint64 periodMs)
{
    if (periodMs == 0)
        return 0;
    return qint64(maximum) * elapsedMs / periodMs;
}

} // namespace SyncSchedule
