#pragma once

#include <QObject>

// Tells the GUI thread's listeners (the tests among them) that a job has
// ended and its stamps have been stored. Apart from MainWindow, so that the
// window's own signals and slots stay as they are.
class SyncEvents : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void jobFinished();
};
