#pragma once

#include <QTemporaryDir>

// Points every QSettings of this process at a fresh temporary directory, so a
// test never reads or writes the user's real settings.
class IsolatedSettings
{
public:
    IsolatedSettings();
    ~IsolatedSettings();

    QString path() const { return directory.path(); }
    // Forgets every stored key.
    void clear();

private:
    QTemporaryDir directory;
};
