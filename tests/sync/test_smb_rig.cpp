#include "support/remote_mount.h"
#include "support/tree.h"

#include <QtTest>

// The rig's Samba share through smbnetfs (the "smb" kind of RemoteMount) and
// through GVFS ("smb-gvfs"): what is written through the mount is in the
// server's shared directory, and once the mount object is gone no mount and
// no process of the server, the client or its D-Bus is left.
class TestSmbRig : public QObject
{
    Q_OBJECT

private slots:
    void writesThroughShareAndLeavesNothingBehind_data();
    void writesThroughShareAndLeavesNothingBehind();
};

namespace {

// Live processes of Samba, the clients and D-Bus as "name pid", sorted;
// zombies have ended.
QStringList sambaProcesses()
{
    QStringList found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ...": the name may hold spaces, not ") ".
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('(');
        const int close = line.lastIndexOf(") ");
        if (open < 0 || close < open || line.mid(close + 2, 1) == "Z")
            continue;
        const QString name = QString::fromLocal8Bit(line.mid(open + 1, close - open - 1));
        // smbd's children call themselves smbd-notifyd, smbd-cleanupd and so
        // on; GVFS has gvfsd, gvfsd-fuse, gvfsd-smb and volume monitors.
        if (name.startsWith(QLatin1String("smbd")) || name == QLatin1String("smbnetfs")
            || name.startsWith(QLatin1String("gvfs")) || name == QLatin1String("dbus-daemon"))
            found << name + QLatin1Char(' ') + entry;
    }
    return Tree::sorted(found);
}

QStringList without(QStringList all, const QStringList &old)
{
    for (const QString &item : old)
        all.removeAll(item);
    return all;
}

// The FUSE mount of the given type that path lies in, or nothing.
QString fuseMountAbove(const QString &path, const QByteArray &type)
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> lines = mounts.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3 || fields.at(2) != type)
            continue;
        const QString mountPoint = QFile::decodeName(fields.at(1));
        if (path.startsWith(mountPoint + QLatin1Char('/')))
            return mountPoint;
    }
    return QString();
}

bool isListedMount(const QString &mountPoint)
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly)
           && mounts.readAll().contains(' ' + QFile::encodeName(mountPoint) + ' ');
}

} // namespace

void TestSmbRig::writesThroughShareAndLeavesNothingBehind_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("mountType");
    QTest::addColumn<QString>("client"); // a process of the client's, as named in /proc
    QTest::newRow("smbnetfs") << QStringLiteral("smb") << QByteArray("fuse.smbnetfs")
                              << QStringLiteral("smbnetfs ");
    QTest::newRow("gvfs") << QStringLiteral("smb-gvfs") << QByteArray("fuse.gvfsd-fuse")
                          << QStringLiteral("gvfsd-fuse ");
}

void TestSmbRig::writesThroughShareAndLeavesNothingBehind()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, mountType);
    QFETCH(QString, client);
    const QStringList before = sambaProcesses();
    QString mountPoint;
    {
        RemoteMount mount(kind);
        QVERIFY2(mount.isMounted(), qPrintable(mount.error()));
        mountPoint = fuseMountAbove(mount.path(), mountType);
        QVERIFY2(!mountPoint.isEmpty(), qPrintable(mount.path()));

        const QByteArray content = "written through the share\n";
        Tree::writeFile(mount.path() + QStringLiteral("/folder/file.txt"), content);
        QCOMPARE(Tree::readFile(mount.underPath() + QStringLiteral("/folder/file.txt")), content);

        const QString started = without(sambaProcesses(), before).join(QLatin1Char(','));
        QVERIFY2(started.contains(QLatin1String("smbd ")), qPrintable(started));
        QVERIFY2(started.contains(client), qPrintable(started));
    }
    QVERIFY2(!isListedMount(mountPoint), qPrintable(mountPoint));
    QCOMPARE(without(sambaProcesses(), before).join(QLatin1String(", ")), QString());
}

QTEST_GUILESS_MAIN(TestSmbRig)
#include "test_smb_rig.moc"
