// The window against a settings store it cannot trust: a file of garbage,
// binary junk, an INI file cut short, and a store that cannot be written.
// The window must come up with its defaults (or with what is intact), never
// crash, never switch anything on that the file did not say, and claim
// nothing in the log.

#include "settings/settings_store.h"
#include "support/window_fixture.h"

#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTest>

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
    QString pattern = QString::fromUtf8(SettingsDefaults::ignorePattern);
    int interval = SettingsDefaults::timerIntervalSeconds;
    bool timedUpload = false;
    bool timedDownload = false;

    static Shown of(const ProbedWindow &window)
    {
        const Ui::MainWindow *ui = window.ui;
        return {ui->lineEdit->text(), ui->lineEdit_2->text(),    ui->lineEdit_3->text(),
                ui->spinBox->value(), ui->checkBox->isChecked(), ui->checkBox_2->isChecked()};
    }
    // The paths of storedFile() with the default pattern (its "ignore_reg"
    // line as QSettings reads it), both boxes clear.
    static Shown ofStoredFile(int interval)
    {
        return {QStringLiteral("/home/user/work"), QStringLiteral("/mnt/share/work"),
                QString::fromUtf8(SettingsDefaults::ignorePattern), interval};
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
    bool operator==(const Shown &other) const { return describe() == other.describe(); }
};

// Lines of the log pane that claim something went well. Nothing has run, so
// there must be none; a warning about the store is welcome.
QString claims(const ProbedWindow &window)
{
    QStringList found;
    for (const QString &line : window.lines()) {
        for (const char *word : {"成功", "已保存", "复制文件", "开始"}) {
            if (line.contains(QString::fromUtf8(word))) {
                found << line;
                break;
            }
        }
    }
    return found.join(QLatin1Char('\n'));
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

#define VERIFY_SHOWS(window, expected) \
    do { \
        const Shown shown = Shown::of(window); \
        QVERIFY2(shown == (expected), qPrintable(shown.describe())); \
        const QString claimed = claims(window); \
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed)); \
    } while (false)

class TestSettingsRecovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { removeSettingsPath(); }
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
    const auto store = openStore();
    QCOMPARE(store->fileName(), settingsFile());
    QCOMPARE(store->format(), QSettings::NativeFormat);
}

void TestSettingsRecovery::cleanup()
{
    if (QFileInfo(settingsFile()).isFile())
        QFile::setPermissions(settingsFile(), QFile::ReadOwner | QFile::WriteOwner);
    removeSettingsPath();
    // Changes a store could not write stay in QSettings' cache of the file for
    // the rest of the process and would reach the next test's window; with the
    // path free again they go to disk, and then away.
    openStore()->sync();
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
    Tree::writeFile(settingsFile(), content,
                    QDateTime::fromSecsSinceEpoch(1500000000 + ++filesWritten));
    QCOMPARE(Tree::readFile(settingsFile()), content);
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
        ProbedWindow w;
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        VERIFY_SHOWS(w, Shown());

        w.ui->spinBox->setValue(7);
        QTest::mouseClick(w.ui->checkBox_2, Qt::LeftButton);
        w.ui->lineEdit_3->selectAll();
        QTest::keyClicks(w.ui->lineEdit_3, QStringLiteral("\\.tmp"));
        QCOMPARE(w.ui->lineEdit_3->text(), QStringLiteral("\\.tmp"));
        const QString claimed = claims(w);
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed));
    }

    const QMap<QString, QString> stored = storedOnDisk();
    QCOMPARE(stored.value(SettingsKeys::timerInterval), QStringLiteral("7"));
    QCOMPARE(stored.value(SettingsKeys::timerDownload), QStringLiteral("true"));
    // The upload box never changed, so it may not be stored at all.
    const QString upload = stored.value(SettingsKeys::timerUpload);
    QVERIFY2(upload.isEmpty() || upload == QStringLiteral("false"), qPrintable(upload));
    QCOMPARE(stored.value(SettingsKeys::ignorePattern), QStringLiteral("\\.tmp"));
}

void TestSettingsRecovery::fileCutShortSwitchesNothingOn_data()
{
    QTest::addColumn<QByteArray>("cutAfter");
    QTest::addColumn<int>("interval");

    // The keys before the cut are whole; the interval is the stored one when
    // its line is whole, the default when the line is gone, and 0 (timed
    // sync off) when it holds no number, like any value that is not one.
    for (const auto &[cutAfter, interval] :
         {std::pair("timer_download=f", 10), std::pair("timer_download=fals", 10),
          std::pair("timer_interval=", 0), std::pair("timer_upload=fa", 30),
          std::pair("timer_upload=", 30)})
        QTest::newRow(cutAfter) << QByteArray(cutAfter) << interval;
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

    ProbedWindow w;
    VERIFY_SHOWS(w, Shown::ofStoredFile(interval));
}

// Root ignores permission bits, so a read-only mode proves nothing here. A
// directory in the file's place can be neither read as a store nor replaced
// by one, whoever runs the test. The window starts with its defaults, takes
// every setting for its session, claims nothing in the log, and leaves the
// directory alone and no file of its own beside it.
void TestSettingsRecovery::unwritableStoreStartsWithDefaultsAndClaimsNothing()
{
    Tree::writeFile(settingsFile() + QStringLiteral("/kept"), "kept");
    {
        const auto store = openStore();
        store->setValue(QStringLiteral("probe"), 1);
        store->sync();
        QCOMPARE(store->status(), QSettings::AccessError);
    }

    {
        ProbedWindow w;
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        VERIFY_SHOWS(w, Shown());

        w.ui->spinBox->setValue(5);
        QTest::mouseClick(w.ui->checkBox, Qt::LeftButton);
        QTest::mouseClick(w.ui->checkBox_2, Qt::LeftButton);
        QTest::keyClicks(w.ui->lineEdit, QStringLiteral("/nowhere/local"));
        QTest::keyClick(w.ui->lineEdit, Qt::Key_Return);
        QTest::keyClicks(w.ui->lineEdit_3, QStringLiteral("x"));

        Shown expected;
        expected.localDir = QStringLiteral("/nowhere/local");
        expected.pattern += QLatin1Char('x');
        expected.interval = 5;
        expected.timedUpload = expected.timedDownload = true;
        VERIFY_SHOWS(w, expected);
    }

    QVERIFY(QFileInfo(settingsFile()).isDir());
    QCOMPARE(Tree::readFile(settingsFile() + QStringLiteral("/kept")), QByteArray("kept"));
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
        ProbedWindow w;
        VERIFY_SHOWS(w, Shown::ofStoredFile(30));
        w.ui->spinBox->setValue(5);
        const QString claimed = claims(w);
        QVERIFY2(claimed.isEmpty(), qPrintable(claimed));
    }
    QCOMPARE(Tree::readFile(settingsFile()), storedFile());
}

QTEST_MAIN(TestSettingsRecovery)
#include "test_settings_recovery.moc"
