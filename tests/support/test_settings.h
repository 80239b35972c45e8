#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>

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

// A store of the program's own (organisation "velkor.twinfold"), wherever
// IsolatedSettings points it.
std::unique_ptr<QSettings> openStore();
// Writes one key and flushes it, as a previous session would have left it.
void storeValue(const QString &key, const QVariant &value);
