// The program as a user starts it: closing it while a job is blocked on a
// share that hangs, and a second start on the same settings.

#include "settings/settings_keys.h"
#include "support/build_kind.h"
#include "support/remote_mount.h"
#include "support/tree.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>

namespace {

const QDateTime aWhileAgo = QDateTime::fromSecsSinceEpoch(1600000000);

// One run of the program on a settings directory of its own, as a user
// whose configuration lives there, or on another run's; killed by the
// destructor if still there.
class Program
{
public:
    explicit Program(const QString &configDir = QString())
        : sharedConfig(configDir)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString configDir() const { return sharedConfig.isEmpty() ? config.path() : sharedConfig; }
    QString settingsFile() const { return configDir() + QStringLiteral("/velkor.twinfold.conf"); }
    QString lockFile() const
    {
        return configDir() + QStringLiteral("/velkor.twinfold.instance.lock");
    }

    void store(const QVariantMap &values) const
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    qint64 stored(const char *key) const
    {
        return QSettings(settingsFile(), QSettings::IniFormat).value(key).toLongLong();
    }

    bool start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(TWINFOLD_PROGRAM), QStringList());
        return process.waitForStarted(10000);
    }
    bool holdsLock() const
    {
        return QTest::qWaitFor([this] { return QFileInfo::exists(lockFile()); }, 10000);
    }

    // How long the program took to end after the request, or -1. Ended
    // counts also when only the kernel still holds the process: its main
    // thread has exited and each thread left waits, uninterruptibly, for an
    // answer from a driver that is stopped (FUSE waits so for a request the
    // driver had already taken). No code of the program runs any more then.
    qint64 endAfterTermination(int limitMs)
    {
        if (process.processId() <= 0)
            return -1;
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(process.processId()), SIGTERM);
        while (!process.waitForFinished(10)) {
            if (endedButForTheKernel())
                return clock.elapsed();
            if (clock.elapsed() > limitMs)
                return -1;
        }
        return clock.elapsed();
    }

    bool endedButForTheKernel() const
    {
        const QStringList states = threadStates();
        const QString mainThread = QString::number(process.processId()) + QLatin1Char(' ');
        return !states.isEmpty()
               && std::all_of(states.begin(), states.end(), [&mainThread](const QString &state) {
                      return state.section(QLatin1Char(' '), 1, 1)
                             == QLatin1String(state.startsWith(mainThread) ? "Z" : "D");
                  });
    }

    // "tid state wait-channel" for each thread of the program.
    QStringList threadStates() const
    {
        QStringList states;
        const QString tasks = QStringLiteral("/proc/%1/task/").arg(process.processId());
        for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(tasks + tid + QStringLiteral("/stat"));
            QFile wchan(tasks + tid + QStringLiteral("/wchan"));
            if (!stat.open(QIODevice::ReadOnly) || !wchan.open(QIODevice::ReadOnly))
                continue;
            const QString state = QString::fromLatin1(stat.readAll())
                                          .section(QLatin1Char(')'), -1)
                                          .trimmed()
                                          .section(QLatin1Char(' '), 0, 0);
            states << tid + QLatin1Char(' ') + state + QLatin1Char(' ')
                              + QString::fromLatin1(wchan.readAll());
        }
        return states;
    }

    QProcess process;

private:
    QTemporaryDir config;
    QString sharedConfig;
};

bool hasTemporaryOf(const QString &dir)
{
    const QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        if (name.startsWith(QLatin1String(".twinfold-"))
            && !name.startsWith(QLatin1String(".twinfold-probe")))
            return true;
    }
    return false;
}

} // namespace

class TestProgramExit : public QObject
{
    Q_OBJECT

private slots:
    void closesOverHungShareKeepingStamps();
    void secondStartOnSameSettingsIsRefused();
    void lockOfKilledProgramIsTakenOver();
};

// Timed sync in both directions against a bindfs remote; the driver is
// stopped while the upload writes a large file, as a share's server that
// hangs, and the program is asked to end.
void TestProgramExit::closesOverHungShareKeepingStamps()
{
    RemoteMount remote(QStringLiteral("bindfs"));
    QVERIFY2(remote.isMounted(), qPrintable(remote.error()));
    QTemporaryDir local;
    QVERIFY(local.isValid());
    Tree::writeFile(local.filePath(QStringLiteral("notes.txt")), "local", aWhileAgo);
    Tree::writeFile(remote.underPath() + QStringLiteral("/from-share.txt"), "share", aWhileAgo);

    Program program;
    program.store({{SettingsKeys::localDir, local.path()},
                   {SettingsKeys::remoteDir, remote.path()},
                   {SettingsKeys::timerInterval, 1},
                   {SettingsKeys::timerUpload, true},
                   {SettingsKeys::timerDownload, true}});
    QVERIFY(program.start());

    // The first tick completes both directions and stores their stamps.
    QVERIFY2(QTest::qWaitFor([&] { return program.stored(SettingsKeys::downloadTime) > 0; }, 20000),
             "no download stamp stored within 20 s");
    QVERIFY(QFileInfo::exists(remote.underPath() + QStringLiteral("/notes.txt")));
    QVERIFY(QFileInfo::exists(local.filePath(QStringLiteral("from-share.txt"))));

    // A file large enough that the next upload is caught writing it.
    QFile large(local.filePath(QStringLiteral("large.bin")));
    QVERIFY(large.open(QIODevice::WriteOnly));
    const QByteArray block(1 << 20, 'x');
    for (int i = 0; i < 512; ++i)
        QVERIFY(large.write(block) == block.size());
    large.close();
    const QString under = remote.underPath();
    QElapsedTimer clock;
    clock.start();
    while (!hasTemporaryOf(under)) {
        QVERIFY2(!QFileInfo::exists(under + QStringLiteral("/large.bin")),
                 "the upload placed the large file before it could be caught");
        QVERIFY2(clock.elapsed() < 20000, "no upload of the large file within 20 s");
        QThread::usleep(500);
    }
    QVERIFY(remote.freeze());
    QTest::qWait(300); // the job is now blocked in the kernel
    // What the ticks before this one stored; this one's upload is unfinished.
    const qint64 uploadStamp = program.stored(SettingsKeys::uploadTime);
    const qint64 downloadStamp = program.stored(SettingsKeys::downloadTime);
    QVERIFY(uploadStamp > 0);

    // Within the window's wait for its jobs and a margin; a sanitizer build
    // has only to end at all.
    const qint64 tookMs = program.endAfterTermination(sanitizedBuild ? 60000 : 2000);
    QVERIFY2(tookMs >= 0, qPrintable(QStringLiteral("still running after it was asked to end: ")
                                     + program.threadStates().join(QStringLiteral("; "))));
    qInfo("ended %lld ms after the request, with the upload blocked%s", tookMs,
          program.process.state() == QProcess::NotRunning ? "" : " (held by the kernel)");
    // Its lock is gone already, so a new start is not refused because of it.
    QVERIFY(!QFileInfo::exists(program.lockFile()));

    remote.thaw();
    QVERIFY2(program.process.waitForFinished(5000)
                     || program.process.state() == QProcess::NotRunning,
             "the process did not go once the share answered");
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(under + QStringLiteral("/large.bin")),
             "a partial file holds the real name");
    QCOMPARE(program.stored(SettingsKeys::uploadTime), uploadStamp);
    QCOMPARE(program.stored(SettingsKeys::downloadTime), downloadStamp);
}

void TestProgramExit::secondStartOnSameSettingsIsRefused()
{
    Program first;
    QVERIFY(first.start());
    QVERIFY2(first.holdsLock(), qPrintable(QStringLiteral("no lock file ") + first.lockFile()));

    // A window open for days: its lock is old, but its process is there.
    QFile lock(first.lockFile());
    QVERIFY(lock.open(QIODevice::ReadWrite));
    QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addDays(-3),
                             QFileDevice::FileModificationTime));
    lock.close();

    Program second(first.configDir());
    QVERIFY(second.start());
    QString said;
    QVERIFY2(QTest::qWaitFor(
                     [&] {
                         said += QString::fromLocal8Bit(second.process.readAllStandardError());
                         return said.contains(QStringLiteral("锁文件："));
                     },
                     10000),
             "the second start said nothing");
    QVERIFY2(said.contains(
                     QStringLiteral("Twinfold 已在运行（进程 %1）").arg(first.process.processId())),
             qPrintable(said));
    QVERIFY2(said.contains(QDir::toNativeSeparators(first.lockFile())), qPrintable(said));

    // The first one goes on, and once it has ended a new start is accepted.
    QCOMPARE(first.process.state(), QProcess::Running);
    QVERIFY(first.endAfterTermination(sanitizedBuild ? 60000 : 5000) >= 0);
    QVERIFY(!QFileInfo::exists(first.lockFile()));
    Program third(first.configDir());
    QVERIFY(third.start());
    QVERIFY2(third.holdsLock(), "a start after the first one ended did not take the lock");
    QVERIFY(!third.process.waitForFinished(500));
}

// A program killed outright leaves its lock file; the next start must not
// be refused for ever because of it.
void TestProgramExit::lockOfKilledProgramIsTakenOver()
{
    Program killed;
    QVERIFY(killed.start());
    QVERIFY(killed.holdsLock());
    killed.process.kill();
    QVERIFY(killed.process.waitForFinished(5000));
    QVERIFY(QFileInfo::exists(killed.lockFile()));

    Program next(killed.configDir());
    QVERIFY(next.start());
    QVERIFY2(!next.process.waitForFinished(2000),
             qPrintable(QString::fromLocal8Bit(next.process.readAllStandardError())));
    QCOMPARE(QLockFile(killed.lockFile()).tryLock(0), false);
}

QTEST_GUILESS_MAIN(TestProgramExit)
#include "test_program_exit.moc"
