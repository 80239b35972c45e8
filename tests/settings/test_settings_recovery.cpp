// The window against a settings store it cannot trust: a file of garbage,
// binary junk, an INI file cut short, and a store that cannot be written.
// The window must come up with its defaults (or with what is intact), never
// crash, never switch anything on that the file did not say, and claim
// nothing in the log.

#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "support/test_settings.h"
#include "window/main_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMap>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QSettings>
#include <QSpinBox>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace {

quint32 seedFromEnvironment()
{
    bool ok = false;
    const quint32 fixed = qEnvironmentVariable("TWINFOLD_SEED").toUInt(&ok);
    return ok ? fixed : QRandomGenerator::global()->generate();
}

// What the window's controls show, in one comparable line.
struct Shown
{
    QString localDir;
    QString remoteDir;
    QString pattern;
    int interval = -1;
    bool timedUpload = false;
    bool timedDownload = false;

    static Shown of(MainWindow &window)
    {
        Shown shown;
        shown.localDir = window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->text();
        shown.remoteDir = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->text();
        shown.pattern = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"))->text();
        shown.interval = window.findChild<QSpinBox *>(QStringLiteral("spinBox"))->value();
        shown.timedUpload = window.findChild<QCheckBox *>(QStringLiteral("checkBox"))->isChecked();
        shown.timedDownload
                = window.findChild<QCheckBox *>(QStringLiteral("checkBox_2"))->isChecked();
        return shown;
    }

    static Shown defaults()
    {
        Shown shown;
        shown.pattern = QString::fromUtf8(SettingsDefaults::ignorePattern);
        shown.interval = SettingsDefaults::timerIntervalSeconds;
        return shown;
    }

    QString describe() const
    {
        return QStringLiteral("local \"%1\", remote \"%2\", pattern \"%3\", interval %4, "
                              "timed upload %5, timed download %6")
                .arg(localDir, remoteDir, pattern)
                .arg(interval)
                .arg(timedUpload)
                .arg(timedDownload);
    }
};

bool operator==(const Shown &a, const Shown &b)
{
    return a.describe() == b.describe();
}

// Lines of the log pane that claim something went well. Nothing has run, so
// there must be none; a warning about the store is welcome.
QStringList claims(MainWindow &window)
{
    const QString log
            = window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
    QStringList found;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral("成功")) || line.contains(QStringLiteral("已保存"))
            || line.contains(QStringLiteral("复制文件")) || line.contains(QStringLiteral("开始")))
            found << line;
    }
    return found;
}

// The store a user of some weeks has: every key set, both timed boxes clear.
QByteArray storedFile()
{
    return QByteArray("[General]\n"
                      "download_time=1733000000000\n"
                      "ignore_reg=^\\\\..*/$\n"
                      "local_dir=/home/user/work\n"
                      "remote_dir=/mnt/share/work\n"
                      "timer_download=false\n"
                      "timer_interval=30\n"
                      "timer_upload=false\n"
                      "upload_time=1733000000000\n");
}

} // namespace

class TestSettingsRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void corruptFileStartsWithDefaultsAndRecovers_data();
    void corruptFileStartsWithDefaultsAndRecovers();
    void fileCutShortSwitchesNothingOn_data();
    void fileCutShortSwitchesNothingOn();
    void unwritableStoreStartsWithDefaultsAndClaimsNothing();
    void readOnlyFileKeepsItsValuesAndItsBytes();

private:
    QString settingsFile() const
    {
        return isolated.path() + QStringLiteral("/velkor.twinfold.conf");
    }
    void writeSettingsFile(const QByteArray &content);
    QMap<QString, QString> storedOnDisk();
    void removeSettingsPath();

    IsolatedSettings isolated;
    int filesWritten = 0;
};

void TestSettingsRecovery::initTestCase()
{
    // The window's store is the file this test damages.
    const std::unique_ptr<QSettings> store(openSettingsStore());
    QCOMPARE(store->fileName(), settingsFile());
    QCOMPARE(store->format(), QSettings::NativeFormat);
}

void TestSettingsRecovery::init()
{
    removeSettingsPath();
}

void TestSettingsRecovery::cleanup()
{
    if (QFileInfo(settingsFile()).isFile())
        QFile::setPermissions(settingsFile(), QFile::ReadOwner | QFile::WriteOwner);
    removeSettingsPath();
    // Changes a store could not write stay in QSettings' cache of the file for
    // the rest of the process and would reach the next test's window; with the
    // path free again they go to disk, and then away.
    {
        const std::unique_ptr<QSettings> store(openSettingsStore());
        store->sync();
    }
    removeSettingsPath();
}

void TestSettingsRecovery::removeSettingsPath()
{
    QFileInfo info(settingsFile());
    if (info.isDir())
        QVERIFY(QDir(settingsFile()).removeRecursively());
    else if (info.exists())
        QVERIFY(QFile::remove(settingsFile()));
}

// A distinct modification time for every file written, so that no cached
// reading of an earlier file of the same size is taken for this one.
void TestSettingsRecovery::writeSettingsFile(const QByteArray &content)
{
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(1500000000 + ++filesWritten),
                             QFileDevice::FileModificationTime));
}

// What a program started afresh would read: QSettings keeps what it parsed
// for the life of the process, so a second window here is no restart. A copy
// under a name no store has seen is parsed from its bytes.
QMap<QString, QString> TestSettingsRecovery::storedOnDisk()
{
    const QString copy = isolated.path() + QStringLiteral("/read-back-%1.ini").arg(++filesWritten);
    QMap<QString, QString> values;
    if (!QFile::copy(settingsFile(), copy))
        return values;
    {
        QSettings store(copy, QSettings::IniFormat);
        if (store.status() == QSettings::NoError) {
            for (const QString &key : store.allKeys())
                values.insert(key, store.value(key).toString());
        }
    }
    QFile::remove(copy);
    return values;
}

void TestSettingsRecovery::corruptFileStartsWithDefaultsAndRecovers_data()
{
    QTest::addColumn<QByteArray>("content");

    const quint32 seed = seedFromEnvironment();
    qInfo("seed %u (set TWINFOLD_SEED to repeat)", seed);
    QRandomGenerator random(seed);
    QByteArray junk(4096, Qt::Uninitialized);
    for (char &byte : junk)
        byte = char(random.bounded(256));
    QByteArray highBytes(2048, Qt::Uninitialized);
    for (char &byte : highBytes)
        byte = char(0x80 + random.bounded(128));

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage text") << QByteArray("}}{{ ][ ]]] === ;;; \\\\\\ %%%% \"\"\"\n"
                                                "[[[[General\n= = =\n@Invalid(\n"
                                                "\xe4\xb8\xad\xe6\x96\x87=\n[\n]\n");
    QTest::newRow("binary junk") << junk;
    QTest::newRow("high bytes, no line breaks") << highBytes;
    QTest::newRow("nul bytes") << QByteArray(1024, '\0');
    QTest::newRow("cut inside the group header") << storedFile().left(5);
    QTest::newRow("cut inside the first key") << storedFile().left(21);
}

// Then the user sets things again, and they are stored in a file that reads.
void TestSettingsRecovery::corruptFileStartsWithDefaultsAndRecovers()
{
    QFETCH(QByteArray, content);
    writeSettingsFile(content);

    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const Shown shown = Shown::of(window);
        QVERIFY2(shown == Shown::defaults(), qPrintable(shown.describe()));

        window.findChild<QSpinBox *>(QStringLiteral("spinBox"))->setValue(7);
        QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("checkBox_2")),
                          Qt::LeftButton);
        QLineEdit *pattern = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"));
        pattern->selectAll();
        QTest::keyClicks(pattern, QStringLiteral("\\.tmp"));
        QCOMPARE(pattern->text(), QStringLiteral("\\.tmp"));
        const QStringList claimed = claims(window);
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed.join(QLatin1Char('\n'))));
    }

    const QMap<QString, QString> stored = storedOnDisk();
    QCOMPARE(stored.value(QString::fromLatin1(SettingsKeys::timerInterval)), QStringLiteral("7"));
    QCOMPARE(stored.value(QString::fromLatin1(SettingsKeys::timerDownload)),
             QStringLiteral("true"));
    // The upload box never changed, so it may not be stored at all.
    const QString upload = stored.value(QString::fromLatin1(SettingsKeys::timerUpload));
    QVERIFY2(upload.isEmpty() || upload == QStringLiteral("false"), qPrintable(upload));
    QCOMPARE(stored.value(QString::fromLatin1(SettingsKeys::ignorePattern)),
             QStringLiteral("\\.tmp"));
}

void TestSettingsRecovery::fileCutShortSwitchesNothingOn_data()
{
    QTest::addColumn<QByteArray>("cutAfter");
    QTest::addColumn<int>("interval");

    // The keys before the cut are whole; the interval is the stored one when
    // its line is whole, the default when the line is gone, and 0 (timed
    // sync off) when it holds no number, like any value that is not one.
    QTest::newRow("timer_download=f") << QByteArray("timer_download=f") << 10;
    QTest::newRow("timer_download=fals") << QByteArray("timer_download=fals") << 10;
    QTest::newRow("timer_interval=") << QByteArray("timer_interval=") << 0;
    QTest::newRow("timer_upload=fa") << QByteArray("timer_upload=fa") << 30;
    QTest::newRow("timer_upload=") << QByteArray("timer_upload=") << 30;
}

// A file cut short inside "false" leaves "f" or "fa": no timed sync may start
// from that.
void TestSettingsRecovery::fileCutShortSwitchesNothingOn()
{
    QFETCH(QByteArray, cutAfter);
    QFETCH(int, interval);
    const QByteArray whole = storedFile();
    const int cut = whole.indexOf(cutAfter);
    QVERIFY(cut > 0);
    writeSettingsFile(whole.left(cut + cutAfter.size()));

    MainWindow window;
    Shown expected;
    expected.localDir = QStringLiteral("/home/user/work");
    expected.remoteDir = QStringLiteral("/mnt/share/work");
    expected.pattern = QString::fromUtf8(SettingsDefaults::ignorePattern);
    expected.interval = interval;
    const QStringList claimed = claims(window);
    QVERIFY2(claimed.isEmpty(), qPrintable(claimed.join(QLatin1Char('\n'))));
    const Shown shown = Shown::of(window);
    QVERIFY2(shown == expected,
             qPrintable(QStringLiteral("cut after \"%1\": %2")
                                .arg(QString::fromLatin1(cutAfter), shown.describe())));
}

// Root ignores permission bits, so a read-only mode proves nothing here. A
// directory in the file's place can be neither read as a store nor replaced
// by one, whoever runs the test. The window starts with its defaults, takes
// every setting for its session, claims nothing in the log, and leaves the
// directory alone and no file of its own beside it.
void TestSettingsRecovery::unwritableStoreStartsWithDefaultsAndClaimsNothing()
{
    QVERIFY(QDir().mkpath(settingsFile()));
    QFile kept(settingsFile() + QStringLiteral("/kept"));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.write("kept");
    kept.close();
    {
        const std::unique_ptr<QSettings> store(openSettingsStore());
        store->setValue(QStringLiteral("probe"), 1);
        store->sync();
        QCOMPARE(store->status(), QSettings::AccessError);
    }

    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const Shown shown = Shown::of(window);
        QVERIFY2(shown == Shown::defaults(), qPrintable(shown.describe()));

        window.findChild<QSpinBox *>(QStringLiteral("spinBox"))->setValue(5);
        QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("checkBox")),
                          Qt::LeftButton);
        QTest::mouseClick(window.findChild<QCheckBox *>(QStringLiteral("checkBox_2")),
                          Qt::LeftButton);
        QLineEdit *local = window.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
        QTest::keyClicks(local, QStringLiteral("/nowhere/local"));
        QTest::keyClick(local, Qt::Key_Return);
        QLineEdit *pattern = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"));
        QTest::keyClicks(pattern, QStringLiteral("x"));

        Shown expected = Shown::defaults();
        expected.interval = 5;
        expected.timedUpload = true;
        expected.timedDownload = true;
        expected.localDir = QStringLiteral("/nowhere/local");
        expected.pattern += QLatin1Char('x');
        const Shown now = Shown::of(window);
        QVERIFY2(now == expected, qPrintable(now.describe()));
        const QStringList claimed = claims(window);
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed.join(QLatin1Char('\n'))));
    }

    QVERIFY(QFileInfo(settingsFile()).isDir());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("kept"));
    const QStringList beside = QDir(isolated.path())
                                       .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
    QCOMPARE(beside, QStringList {QStringLiteral("velkor.twinfold.conf")});
}

void TestSettingsRecovery::readOnlyFileKeepsItsValuesAndItsBytes()
{
    if (::geteuid() == 0)
        QSKIP("root writes through a read-only mode; the directory case covers this as root");
    writeSettingsFile(storedFile());
    QVERIFY(QFile::setPermissions(settingsFile(), QFile::ReadOwner | QFile::ReadGroup));
    {
        MainWindow window;
        Shown expected;
        expected.localDir = QStringLiteral("/home/user/work");
        expected.remoteDir = QStringLiteral("/mnt/share/work");
        expected.pattern = QString::fromUtf8(SettingsDefaults::ignorePattern);
        expected.interval = 30;
        const Shown shown = Shown::of(window);
        QVERIFY2(shown == expected, qPrintable(shown.describe()));
        window.findChild<QSpinBox *>(QStringLiteral("spinBox"))->setValue(5);
        const QStringList claimed = claims(window);
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed.join(QLatin1Char('\n'))));
    }
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), storedFile());
}

QTEST_MAIN(TestSettingsRecovery)
#include "test_settings_recovery.moc"
