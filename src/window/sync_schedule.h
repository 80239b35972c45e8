#pragma once

#include <QtGlobal>

// Arithmetic of timed sync. A period is the spin box value in milliseconds as
// a 64-bit count: the box allows 9999999 s, more than a QTimer interval (an int
// of milliseconds) holds, so longer periods run on a capped timer and the tick
// acts only once the whole period has passed.
namespace SyncSchedule {

inline constexpr qint64 longestTimerIntervalMs = 2147483647; // INT_MAX

qint64 periodMs(int seconds);

// The interval to give the sync timer for a period, or for what is left of one.
int timerIntervalMs(qint64 periodMs);

// For a period longer than a timer holds: how long until it is over, counted
// from lastTickMs; 0 or less means the tick is due. Shorter periods are always due.
qint64 remainingMs(qint64 periodMs, qint64 lastTickMs, qint64 nowMs);

// The countdown bar: maximum * elapsed / period, truncated toward zero, in
// 64-bit arithmetic and unclamped. 0 for a period of 0.
qint64 progressValue(int maximum, qint64 elapsedMs, qint64 periodMs);

} // namespace SyncSchedule
