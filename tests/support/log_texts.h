#pragma once

#include <QString>

// The log texts the window tests look for.
namespace LogTexts {

inline const QString noPaths = QStringLiteral("请设置同步目录路径");
inline const QString busy = QStringLiteral("正在同步中，请稍后再试");
inline const QString uploadStart = QStringLiteral("开始上传 ");
inline const QString downloadStart = QStringLiteral("开始下载 ");
inline const QString uploadDone = QStringLiteral("上传成功 ");
inline const QString downloadDone = QStringLiteral("下载成功 ");
inline const QString copied = QStringLiteral("    复制文件：");
inline const QString cacheCleared = QStringLiteral("清理缓存，可全部重新上传或下载");

} // namespace LogTexts
