#include "settings/instance_lock.h"

#include "settings/settings_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace {

// Beside the settings file where the store is a file; where it is not (the
// registry on Windows), in the user's configuration directory. Not the
// settings file's name + ".lock": QSettings locks that one while it writes.
QString lockPathForSettings()
{
    const std::unique_ptr<QSettings> settings(openSettingsStore());
    const QString name = settings->fileName();
    // The registry's "file name" (\HKEY_CURRENT_USER\Software\...) looks like
    // a path from the root of the current drive to Qt.
    const bool registry = name.startsWith(QLatin1String("\\HKEY_"));
    const QString dir
            = registry ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                       : QFileInfo(name).path();
    return dir + QLatin1Char('/') + QLatin1String(settingsOrganisation)
           + QStringLiteral(".instance.lock");
}

} // namespace

InstanceLock::InstanceLock()
    : lockPath(lockPathForSettings())
{ }

InstanceLock::~InstanceLock()
{
    release();
}

bool InstanceLock::claim()
{
    QDir().mkpath(QFileInfo(lockPath).absolutePath());
    lock = std::make_unique<QLockFile>(lockPath);
    // A lock held for ever by a live process is never stale; one whose
    // process has gone is taken over at once.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return true;
    switch (lock->error()) {
    case QLockFile::LockFailedError: {
        qint64 pid = 0;
        QString host;
        QString application;
        lock->getLockInfo(&pid, &host, &application);
        refusalText = QStringLiteral("Twinfold 已在运行（进程 %1），同一设置只能打开一个窗口。\n"
                                     "请使用已打开的窗口，或先关闭它。\n锁文件：%2")
                              .arg(pid)
                              .arg(QDir::toNativeSeparators(lockPath));
        lock.reset();
        return false;
    }
    case QLockFile::PermissionError:
    case QLockFile::UnknownError:
    case QLockFile::NoError: break;
    }
    // A lock that cannot be written (a read-only configuration directory)
    // must not keep the program from starting; the settings cannot be saved
    // there either, which the window reports.
    lock.reset();
    return true;
}

void InstanceLock::release()
{
    if (lock)
        lock->unlock();
    lock.reset();
}
