#pragma once

#include <QObject>

// Wakes the window when a job has posted to its channel. The messages
// themselves pass under the channel's std::mutex, an ordering thread checkers
// see; Qt's event queue, whose futex-based locks they cannot see, carries
// only this wake-up without arguments, to a connection made on the window's
// thread.
class JobWake : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void woken();
};
