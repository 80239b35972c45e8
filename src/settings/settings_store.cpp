#include "settings/settings_store.h"

#include <QSettings>
#include <QVariant>

QSettings *openSettingsStore()
{
    return new QSettings(QString::fromLatin1(settingsOrganisation), QString());
}

bool toSwitch(const QVariant &stored, bool fallback)
{
    if (stored.type() == QVariant::Bool)
        return stored.toBool();
    const QString text = stored.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}
