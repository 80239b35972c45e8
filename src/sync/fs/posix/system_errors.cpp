#include "sync/fs/posix/system_errors.h"

#include <cerrno>

FsError systemError(FsFault fault, int code)
{
    return FsError {fault, code, qt_error_string(code)};
}

bool refusesModes(int code)
{
    return code == ENOSYS || code == EPERM || code == EOPNOTSUPP || code == ENOTSUP;
}

bool refusesName(int code)
{
    return code == EINVAL || code == EILSEQ || code == ENAMETOOLONG || code == EPERM
           || code == ENOENT;
}

bool heldInUse(int code)
{
    return code == EBUSY || code == ETXTBSY;
}
