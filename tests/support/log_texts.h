#pragma once

#include <QString>

// The log texts the window tests look for.
namespace {

const QString noPaths = QStringLiteral("请设置同步目录路径");
const QString busy = QStringLiteral("正在同步中，请稍后再试");
const QString uploadStart = QStringLiteral("开始上传 ");
const QString downloadStart = QStringLiteral("开始下载 ");
const QString uploadDone = QStringLiteral("上传成功 ");
const QString downloadDone = QStringLiteral("下载成功 ");
const QString copied = QStringLiteral("    复制文件：");
const QString cacheCleared = QStringLiteral("清理缓存，可全部重新上传或下载");

} // namespace
