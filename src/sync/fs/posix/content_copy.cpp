#include "sync/fs/posix/content_copy.h"

#include "sync/fs/content_digest.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

bool cancelled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

} // namespace

int ContentCopy::copy(int in, int out, const struct stat &source, const std::atomic<bool> *cancel)
{
    return isSparse(source) ? copySparse(in, out, source.st_size, cancel)
                            : copyWhole(in, out, cancel);
}

// Fewer blocks than its size needs: the file has holes worth keeping.
bool ContentCopy::isSparse(const struct stat &source) const
{
    return sparseSeek && source.st_size > 0
           && qint64(source.st_blocks) * 512 < qint64(source.st_size);
}

// Falls back to the plain copy where the file system cannot tell data from holes.
int ContentCopy::copySparse(int in, int out, off_t size, const std::atomic<bool> *cancel)
{
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
    buffer.resize(1 << 20);
    for (off_t at = 0; at < size;) {
        if (cancelled(cancel))
            return ECANCELED;
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole to the end
            if (at == 0 && (errno == EINVAL || errno == EOPNOTSUPP)) {
                sparseSeek = false;
                break;
            }
            return errno;
        }
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return errno;
        for (off_t offset = data; offset < hole;) {
            const ssize_t got
                    = ::pread(in, buffer.data(),
                              size_t(std::min<off_t>(hole - offset, off_t(buffer.size()))), offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0 ? errno : EAGAIN; // shorter than it was: changed meanwhile
            for (ssize_t done = 0; done < got;) {
                const ssize_t put
                        = ::pwrite(out, buffer.data() + done, size_t(got - done), offset + done);
                if (put < 0 && errno == EINTR)
                    continue;
                if (put < 0)
                    return errno;
                done += put;
            }
            offset += got;
        }
        at = hole;
    }
    if (sparseSeek)
        return ::ftruncate(out, size) == 0 ? 0 : errno;
#else
    Q_UNUSED(size);
    sparseSeek = false;
#endif
    ::lseek(in, 0, SEEK_SET);
    return copyWhole(in, out, cancel);
}

int ContentCopy::copyWhole(int in, int out, const std::atomic<bool> *cancel)
{
#ifdef __linux__
    // The kernel copies without the data passing through user space.
    constexpr size_t chunk = 64 << 20;
    bool copiedSome = false;
    while (copyRange) {
        if (cancelled(cancel))
            return ECANCELED;
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (copied == 0)
            return 0;
        if (copied > 0) {
            copiedSome = true;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (copiedSome
            || (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP
                && errno != EBADF && errno != EPERM))
            return errno;
        if (errno == ENOSYS)
            copyRange = false;
        break; // this pair of file systems cannot; copy through a buffer
    }
#endif
    buffer.resize(1 << 20);
    for (;;) {
        if (cancelled(cancel))
            return ECANCELED;
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, size_t(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += put;
        }
    }
}

int digestContent(int fd, QByteArray *digest)
{
    std::vector<char> block(1 << 20);
    ContentDigest hash;
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        hash.add(block.data(), size_t(got));
    }
    *digest = hash.result();
    return 0;
}
