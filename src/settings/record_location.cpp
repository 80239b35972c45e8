#include "settings/record_location.h"

#include "settings/settings_store.h"

#include <QStandardPaths>

QString syncRecordFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/')
           + QLatin1String(settingsOrganisation) + QStringLiteral("/sync-record.sqlite");
}
