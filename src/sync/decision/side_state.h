#pragma once

#include <QByteArray>
#include <QtGlobal>

// What one side of a pair looked like when the two were last in step, as
// that side read it back right after the copy or the agreement.
struct SideState
{
    qint64 size = -1;
    qint64 modifiedUs = 0;
    quint64 fileId = 0; // 0 where the file system's identities do not last
    qint64 changedUs = 0; // 0 where the file system keeps no meaningful change time
    QByteArray digest; // XXH3-128 of the content, or empty when none was computed
};
