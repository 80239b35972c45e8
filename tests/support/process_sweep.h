#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>

#include <functional>
#include <sys/types.h>

// Ending the daemons a mount in the rig started. Some are not our children
// (smbd's per-connection processes, smbnetfs's libsmbclient workers, the
// services a private D-Bus starts), so they are found in /proc by what
// they were started with. Zombies have no arguments or environment left
// and count as ended.
namespace ProcessSweep {

// Live processes other than this one with an argument that contains text.
QList<pid_t> withArgument(const QByteArray &text);
// Live processes other than this one with entry ("NAME=value") in their
// environment.
QList<pid_t> withEnvironment(const QByteArray &entry);

// Sends SIGTERM to what find() returns until it returns nothing, SIGKILL
// after 5 s; gives up after 10 s.
void end(const std::function<QList<pid_t>()> &find);

// Our own child: SIGTERM, then SIGKILL if it has not ended after 10 s.
void endChild(QProcess &process);

} // namespace ProcessSweep
