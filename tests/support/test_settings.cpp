#include "test_settings.h"

#include "settings/settings_store.h"

#include <QSettings>
#include <QTest>

#include <memory>

IsolatedSettings::IsolatedSettings()
{
    QVERIFY2(directory.isValid(), "no temporary directory for settings");
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
