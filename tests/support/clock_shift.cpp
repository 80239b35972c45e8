// Preloaded into a sync process to move its wall clock against the kernel's
// file time stamps: the process then sees the trees as a share whose server
// clock differs from this machine's. TWINFOLD_CLOCK_SHIFT_MS is added to
// every real-time reading; monotonic clocks and the stamps the kernel gives
// files are left alone.
#include <cstdlib>
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

namespace {

long long shiftMs()
{
    static const long long value = [] {
        const char *text = std::getenv("TWINFOLD_CLOCK_SHIFT_MS");
        return text ? std::atoll(text) : 0LL;
    }();
    return value;
}

void shift(timespec *time)
{
    long long ns = (long long)time->tv_nsec + (shiftMs() % 1000) * 1000000;
    time->tv_sec += shiftMs() / 1000 + ns / 1000000000;
    ns %= 1000000000;
    if (ns < 0) {
        ns += 1000000000;
        time->tv_sec -= 1;
    }
    time->tv_nsec = ns;
}

} // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec *time) noexcept
{
    using Real = int (*)(clockid_t, timespec *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        shift(time);
    return result;
}

int gettimeofday(timeval *time, void *zone) noexcept
{
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return -1;
    static_cast<void>(zone);
    time->tv_sec = now.tv_sec;
    time->tv_usec = now.tv_nsec / 1000;
    return 0;
}

time_t time(time_t *out) noexcept
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out)
        *out = now.tv_sec;
    return now.tv_sec;
}

} // extern "C"
