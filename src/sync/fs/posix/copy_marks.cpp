#include "sync/fs/posix/copy_marks.h"

#include <QList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr char copyMark[] = "user.twinfold.copy";

CopyMark parseMark(const QByteArray &value)
{
    CopyMark mark;
    const QList<QByteArray> parts = value.split(':');
    if (parts.size() != 2 && !(parts.size() == 3 && parts.at(2) == "o"))
        return mark;
    bool timeOk = false;
    bool sizeOk = false;
    mark.modifiedUs = parts.at(0).toLongLong(&timeOk);
    mark.size = parts.at(1).toLongLong(&sizeOk);
    mark.written = parts.size() == 2;
    mark.present = timeOk && sizeOk && mark.size >= 0;
    return mark;
}

} // namespace

QByteArray CopyMarks::markFor(qint64 modifiedUs, qint64 size)
{
    return QByteArray::number(modifiedUs) + ':' + QByteArray::number(size);
}

bool CopyMarks::keepsMarks(dev_t device) const
{
    return std::find(unmarkedDevices.begin(), unmarkedDevices.end(), device)
           == unmarkedDevices.end();
}

void CopyMarks::set(int fd, dev_t device, const QByteArray &mark)
{
    if (!keepsMarks(device))
        return;
    if (::fsetxattr(fd, copyMark, mark.constData(), size_t(mark.size()), 0) != 0
        && (errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOSYS))
        unmarkedDevices.push_back(device);
}

CopyMark CopyMarks::read(int dirFd, dev_t device, const QByteArray &name)
{
    if (!keepsMarks(device))
        return {};
    char value[64];
    const int fd
            = ::openat(dirFd, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    const ssize_t length = ::fgetxattr(fd, copyMark, value, sizeof value);
    ::close(fd);
    return length > 0 ? parseMark(QByteArray(value, int(length))) : CopyMark();
}
