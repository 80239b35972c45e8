#include "settings/settings_store.h"

#include <QSettings>

QSettings *openSettingsStore()
{
    return new QSettings(QString::fromLatin1(settingsOrganisation), QString());
}
