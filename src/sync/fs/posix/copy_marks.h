#pragma once

#include "sync/fs/file_system.h"

#include <QByteArray>

#include <sys/types.h>

#include <vector>

// Copy marks as extended attributes ("user.twinfold.copy"): "time:size" on
// the copy written, "time:size:o" on the original it was read from. Where a
// file system keeps no extended attributes nothing is marked there, which is
// learned once per run.
class CopyMarks
{
public:
    static QByteArray markFor(qint64 modifiedUs, qint64 size);
    static QByteArray originalMark(const QByteArray &mark) { return mark + ":o"; }

    // Best effort: where marks cannot be kept the decision falls back on times.
    void set(int fd, dev_t device, const QByteArray &mark);
    CopyMark read(int dirFd, dev_t device, const QByteArray &name);

private:
    bool keepsMarks(dev_t device) const;

    std::vector<dev_t> unmarkedDevices; // file systems that keep no extended attributes
};
