#include "tree.h"

#include "tree_platform.h"

#include <QCryptographicHash>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <algorithm>

namespace Tree {

void writeFile(const QString &path, const QByteArray &content, const QDateTime &mtime)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        QFAIL(qPrintable(QStringLiteral("cannot write %1: %2").arg(path, file.errorString())));
    file.write(content);
    file.close();
    if (mtime.isValid())
        setModified(path, mtime);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void setModified(const QString &path, const QDateTime &mtime)
{
    if (!setModifiedUs(path, mtime.toMSecsSinceEpoch() * 1000))
        QFAIL(qPrintable(QStringLiteral("cannot set the time of %1").arg(path)));
}

bool setModifiedUs(const QString &path, qint64 us)
{
    return setModifiedTimeUs(path, us);
}

qint64 clockMs(const QString &directory)
{
    const QString path = directory + QStringLiteral("/.clock-reading");
    writeFile(path, "now");
    const qint64 now = modifiedMs(path);
    QFile::remove(path);
    return now;
}

qint64 modifiedMs(const QString &path)
{
    return QFileInfo(path).lastModified().toMSecsSinceEpoch();
}

qint64 changeTimeMs(const QString &path)
{
    return std::max(modifiedMs(path), statusChangedUs(path) / 1000);
}

QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = base.relativeFilePath(path);
        if (info.isSymLink()) {
            lines << relative + QStringLiteral(" -> ") + info.symLinkTarget();
        } else if (info.isDir()) {
            lines << relative + QLatin1Char('/');
        } else {
            const QByteArray hash
                    = QCryptographicHash::hash(readFile(path), QCryptographicHash::Md5).toHex();
            lines << QStringLiteral("%1 %2 %3 %4")
                             .arg(relative)
                             .arg(info.size())
                             .arg(info.lastModified().toMSecsSinceEpoch())
                             .arg(QString::fromLatin1(hash));
        }
    }
    lines.sort();
    return lines;
}

QStringList names(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext())
        result << base.relativeFilePath(it.next());
    result.sort();
    return result;
}

QString difference(const QStringList &actual, const QStringList &expected)
{
    QStringList lines;
    for (const QString &line : expected) {
        if (!actual.contains(line))
            lines << QStringLiteral("missing:    ") + line;
    }
    for (const QString &line : actual) {
        if (!expected.contains(line))
            lines << QStringLiteral("unexpected: ") + line;
    }
    if (lines.isEmpty() && actual != expected) {
        int at = 0;
        while (at < actual.size() && at < expected.size() && actual.at(at) == expected.at(at))
            ++at;
        lines << QStringLiteral("same lines, other order or count; first difference at %1:").arg(at)
              << QStringLiteral("actual:     ") + actual.value(at, QStringLiteral("(none)"))
              << QStringLiteral("expected:   ") + expected.value(at, QStringLiteral("(none)"));
    }
    if (lines.isEmpty())
        return QString();
    return QString(QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
}

QStringList prefixed(const QString &prefix, const QStringList &items)
{
    QStringList result;
    for (const QString &item : items)
        result << prefix + item;
    return result;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QString typedDirectory(const QString &path)
{
    return QDir::toNativeSeparators(path) + QDir::separator();
}

} // namespace Tree
