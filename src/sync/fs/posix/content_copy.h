#pragma once

#include <QByteArray>

#include <sys/stat.h>

#include <atomic>
#include <vector>

// Copies a file's bytes from one descriptor to another: by the kernel
// (copy_file_range) where it can, through a buffer where it cannot, and only
// the data of a file with holes (SEEK_DATA / SEEK_HOLE), as cp -a does. What
// this system or a pair of file systems refuses is learned once and not
// asked again.
class ContentCopy
{
public:
    // 0, or the errno that stopped it: ECANCELED when cancel was set, EAGAIN
    // when the source turned out shorter than it was (changed meanwhile).
    int copy(int in, int out, const struct stat &source, const std::atomic<bool> *cancel);

private:
    bool isSparse(const struct stat &source) const;
    int copySparse(int in, int out, off_t size, const std::atomic<bool> *cancel);
    int copyWhole(int in, int out, const std::atomic<bool> *cancel);

    bool copyRange = true; // cleared once copy_file_range is refused
    bool sparseSeek = true; // cleared once SEEK_DATA is refused
    std::vector<char> buffer;
};

// The XXH3-128 digest of what the descriptor reads to its end, into *digest;
// 0 or the errno.
int digestContent(int fd, QByteArray *digest);
