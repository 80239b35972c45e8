#include "sync/fs/posix/durability.h"

#include "sync/fs/posix/system_errors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

WrittenFileSystems::~WrittenFileSystems()
{
    for (const auto &device : written)
        ::close(device.second);
}

void WrittenFileSystems::remember(dev_t device, int dirFd)
{
    const std::lock_guard<std::mutex> guard(lock);
    for (const auto &known : written) {
        if (known.first == device)
            return;
    }
    const int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        written.emplace_back(device, fd);
}

FsError WrittenFileSystems::flush()
{
    std::vector<std::pair<dev_t, int>> flushed;
    {
        const std::lock_guard<std::mutex> guard(lock);
        flushed.swap(written);
    }
    FsError first;
    for (const auto &device : flushed) {
#ifdef __linux__
        const int result = ::syncfs(device.second);
#else
        ::sync();
        const int result = 0;
#endif
        if (result != 0 && !first.failed())
            first = systemError(FsFault::System, errno);
        ::close(device.second);
    }
    return first;
}
