#include "support/held_file.h"

#include "support/mounts.h"

#include <unistd.h>

HeldFile::HeldFile(const QString &path)
    : path(path)
{
    if (::geteuid() != 0) {
        failure = QStringLiteral("holding a file needs a bind mount, and so root "
                                 "(CI runs the suite as root)");
        return;
    }
    held = Mounts::run(QStringLiteral("mount"), {QStringLiteral("--bind"), path, path}, &failure);
}

HeldFile::~HeldFile()
{
    release();
}

void HeldFile::release()
{
    if (!held)
        return;
    QString error;
    if (!Mounts::run(QStringLiteral("umount"), {path}, &error))
        Mounts::run(QStringLiteral("umount"), {QStringLiteral("-l"), path}, &error);
    held = false;
}
