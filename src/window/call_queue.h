#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Calls handed from a job's thread to the thread this object lives on. The
// calls pass under a std::mutex, an ordering thread checkers see; Qt's
// event queue, whose futex-based locks they cannot see, carries only a
// wake-up without arguments, to a connection made on the receiving thread.
class CallQueue : public QObject
{
    Q_OBJECT

public:
    explicit CallQueue(QObject *parent = nullptr);

    // From any thread.
    void post(std::function<void()> call);
    // On the receiving thread: runs what has been posted, in order.
    void runPosted();

signals:
    void posted();

private:
    std::mutex mutex;
    std::vector<std::function<void()>> calls;
};
