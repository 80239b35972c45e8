#pragma once

#include <QMutex>
#include <QSet>
#include <QString>

// Remembers which notices were given, so that a situation that persists
// (a source tree nothing can be written to) is named once in the log, not
// on every run. Safe from any thread.
class OnceNotices
{
public:
    // True the first time it is asked about key.
    bool first(const QString &key)
    {
        const QMutexLocker lock(&mutex);
        if (given.contains(key))
            return false;
        given.insert(key);
        return true;
    }

private:
    QMutex mutex;
    QSet<QString> given;
};
