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
