#pragma once

#include "sync/fs/entry.h"

#include <QByteArray>
#include <QString>

// The names of the program's own files in the trees (the temporaries a copy
// is written under, the probes of a tree's clock and rules): each carries a
// token the sync record keeps from before the first such name was made, so
// that only names the program knows it made are ever skipped or removed. A
// user's file that merely looks like one is copied like any other.
class OwnNames
{
public:
    // A token of this process alone: names no user file can have, and no
    // other run will take for its own.
    OwnNames();
    explicit OwnNames(const QString &token);

    bool isOwn(const DirectoryEntry &entry) const;
    // The temporary a copy of name is written under: short and fixed in
    // length, so it fits wherever the name itself does, and the same for the
    // same name, so that one left by an interrupted run is taken over.
    QByteArray temporaryFor(const QByteArray &name) const;
    QByteArray probe() const { return prefix + "probe.tmp"; }
    QByteArray renamedProbe() const { return prefix + "probe-renamed.tmp"; }
    // Names only some file systems hold: a Windows-forbidden character, and
    // a letter outside ASCII.
    QByteArray windowsNameProbe() const { return prefix + "probe?.tmp"; }
    QByteArray asciiNameProbe() const { return prefix + "probe-\xc3\xa9.tmp"; }
    // A directory of the run's own to try names in, whatever they are.
    QByteArray nameRulesProbe() const { return prefix + "probe-names.tmp"; }

private:
    QByteArray prefix; // ".twinfold-<token>-"
};

// What FUSE drivers leave of a file removed while it was open (".fuse_hidden…"):
// it vanishes once closed, and was never the user's.
bool isFusePlaceholder(const DirectoryEntry &entry);
