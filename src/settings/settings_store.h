#pragma once

class QSettings;
class QVariant;

// The organisation every setting lives under; the application name stays
// empty so all keys are organisation-wide for the current user.
inline constexpr char settingsOrganisation[] = "velkor.twinfold";

// A new store in the native format and user scope; the caller owns it.
QSettings *openSettingsStore();

// A stored switch: true or false as QSettings writes them (or 1 and 0). Any
// other text, such as a value cut short in a damaged file ("fals"), reads as
// fallback instead of as true, which QVariant::toBool would make of it.
bool toSwitch(const QVariant &stored, bool fallback);
