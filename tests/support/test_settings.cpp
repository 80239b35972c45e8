#include "test_settings.h"

#include "settings/settings_store.h"

#include <QSettings>

#include <memory>

IsolatedSettings::IsolatedSettings()
{
    // Made with the test object, outside any test function, where a QVERIFY
    // would fail nothing: without it no test may run at all.
    if (!directory.isValid())
        qFatal("no temporary directory for settings: %s", qPrintable(directory.errorString()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, directory.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, directory.path());
    clear();
}

IsolatedSettings::~IsolatedSettings() = default;

void IsolatedSettings::clear()
{
    std::unique_ptr<QSettings> store(openSettingsStore());
    store->clear();
    store->sync();
}

std::unique_ptr<QSettings> openStore()
{
    return std::unique_ptr<QSettings>(openSettingsStore());
}

void storeValue(const QString &key, const QVariant &value)
{
    const auto store = openStore();
    store->setValue(key, value);
    store->sync();
}
