#include "sync/fs/own_names.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

OwnNames::OwnNames()
    : OwnNames(QString::number(QRandomGenerator::global()->generate64() | 1ULL << 63, 16).left(12))
{ }

OwnNames::OwnNames(const QString &token)
    : prefix(".twinfold-" + token.toLatin1() + '-')
{ }

bool OwnNames::isOwn(const DirectoryEntry &entry) const
{
    return entry.name.startsWith(QLatin1String(prefix));
}

QByteArray OwnNames::temporaryFor(const QByteArray &name) const
{
    const QByteArray digest = QCryptographicHash::hash(name, QCryptographicHash::Sha1);
    return prefix + digest.left(4).toHex() + ".tmp";
}

bool isFusePlaceholder(const DirectoryEntry &entry)
{
    return entry.name.startsWith(QLatin1String(".fuse_hidden"));
}
