#pragma once

#include "sync/walk/sync_event.h"

#include <QTemporaryDir>
#include <QTest>

// A local and a remote tree (not yet made) below a fresh temporary directory.
struct TreePair
{
    TreePair() { QVERIFY2(dir.isValid(), "no temporary directory"); }

    QString source(SyncDirection direction) const
    {
        return direction == SyncDirection::Upload ? local : remote;
    }
    QString target(SyncDirection direction) const
    {
        return direction == SyncDirection::Upload ? remote : local;
    }
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    const QString local = dir.filePath(QStringLiteral("local"));
    const QString remote = dir.filePath(QStringLiteral("remote"));
};
