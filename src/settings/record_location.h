#pragma once

#include <QString>

// Where the sync record lives: the user's data location, in the
// organisation's folder as the settings are, never inside either tree.
QString syncRecordFile();
