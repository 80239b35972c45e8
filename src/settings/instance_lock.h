#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// One window a settings store: a second one would run its own timers on the
// same trees and write the same stamps. The lock is a file next to the
// settings file; one left by a process that died is taken over.
class InstanceLock
{
public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // True when this process may run; otherwise refusal() says why, for the user.
    bool claim();
    QString refusal() const { return refusalText; }
    QString path() const { return lockPath; }
    void release();

private:
    QString lockPath;
    std::unique_ptr<QLockFile> lock;
    QString refusalText;
};
