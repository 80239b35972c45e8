#include "sync/fs/temporary_names.h"

#include <QCryptographicHash>

namespace {

constexpr char temporaryPrefix[] = ".twinfold-";
constexpr char temporarySuffix[] = ".tmp";

} // namespace

// Also the placeholders FUSE drivers give a file removed while still open
// (".fuse_hidden…"): they vanish once it is closed, and were never the user's.
bool isTemporaryName(const DirectoryEntry &entry)
{
    return (entry.name.startsWith(QLatin1String(temporaryPrefix))
            && entry.name.endsWith(QLatin1String(temporarySuffix)))
           || entry.name.startsWith(QLatin1String(".fuse_hidden"));
}

QByteArray temporaryNameFor(const QByteArray &name)
{
    const QByteArray digest = QCryptographicHash::hash(name, QCryptographicHash::Sha1);
    return temporaryPrefix + digest.left(4).toHex() + temporarySuffix;
}
