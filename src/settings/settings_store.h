#pragma once

class QSettings;

// The organisation every setting lives under; the application name stays
// empty so all keys are organisation-wide for the current user.
inline constexpr char settingsOrganisation[] = "velkor.twinfold";

// A new store in the native format and user scope; the caller owns it.
QSettings *openSettingsStore();
