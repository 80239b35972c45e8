#pragma once

#include <QString>

// A file another program holds so that it cannot be replaced now. On Windows
// it is open without sharing its deletion, as editors, preview panes and
// virus scanners hold files. Linux lets a rename replace an open file, so
// there the file is bind-mounted onto itself: a mount point cannot be
// renamed over (EBUSY, what a share answers for a file another client
// holds); that needs root, as CI has. release(), or the destructor, lets go.
class HeldFile
{
public:
    explicit HeldFile(const QString &path);
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    bool isHeld() const { return held; }
    QString error() const { return failure; }
    void release();

private:
    QString path;
    bool held = false;
    QString failure;
    void *handle = nullptr; // Windows
};
