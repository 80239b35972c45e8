#pragma once

#include <QtGlobal>

// Every persisted key with the default used when it is read. The store is
// flat: no groups, no arrays.
namespace SettingsKeys {

inline constexpr char localDir[] = "local_dir"; // QString, default empty
inline constexpr char remoteDir[] = "remote_dir"; // QString, default empty
inline constexpr char timerUpload[] = "timer_upload"; // bool, default false
inline constexpr char timerDownload[] = "timer_download"; // bool, default false
inline constexpr char timerInterval[] = "timer_interval"; // int seconds, default 10
inline constexpr char uploadTime[] = "upload_time"; // qlonglong ms since epoch, default 0
inline constexpr char downloadTime[] = "download_time"; // qlonglong ms since epoch, default 0
inline constexpr char ignorePattern[] = "ignore_reg"; // QString, default below

} // namespace SettingsKeys

namespace SettingsDefaults {

inline constexpr int timerIntervalSeconds = 10;
inline constexpr bool timedSync = false;
inline constexpr qint64 syncTime = 0;
// A leading dot, anything, a trailing slash: every dot-directory.
inline constexpr char ignorePattern[] = "^\\..*/$";

} // namespace SettingsDefaults
