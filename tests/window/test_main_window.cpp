// The window as it comes up: the form, what it restores from the store, the
// edits that write the store back, and its meta-object interface.

#include "support/main_window_probe.h"
#include "support/test_settings.h"
#include "window/main_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

QStringList logLines(MainWindow &window)
{
    return MainWindowProbe::ui(window)->plainTextEdit->toPlainText().split(QLatin1Char('\n'));
}

// A stored value that reads as true but is not what writing a bool leaves
// behind, so a write-back can be told from no write at all.
const QString trueButNotWritten = QStringLiteral("1");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void emptyStoreGivesDefaults();
    void formTextsAndProperties();

    void restoringPathsWritesNothing_data();
    void restoringPathsWritesNothing();
    void restoringIgnorePattern_data();
    void restoringIgnorePattern();
    void restoringInterval_data();
    void restoringInterval();
    void restoringTimedSync_data();
    void restoringTimedSync();
    void restoringTimes();

    void returnStoresPath_data();
    void returnStoresPath();
    void focusLossStoresPath();
    void typingAloneStoresNothing_data();
    void typingAloneStoresNothing();
    void clearingPathStoresEmpty();
    void everyKeystrokeStoresIgnorePattern();
    void programmaticPatternStoresNothing();
    void clearCacheZeroesTimes();
    void clearCacheTwiceLogsTwice();

    void metaObjectNamesTheClass();
    void metaObjectMethods_data();
    void metaObjectMethods();
    void metaCastAnswersOwnAndBaseNames();

private:
    IsolatedSettings isolated;
};

void TestMainWindow::init()
{
    isolated.clear();
}

void TestMainWindow::emptyStoreGivesDefaults()
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    MainWindow w;
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    Ui::MainWindow *ui = MainWindowProbe::ui(w);

    QCOMPARE(ui->lineEdit->text(), QString());
    QCOMPARE(ui->lineEdit_2->text(), QString());
    QCOMPARE(ui->lineEdit->placeholderText(), QStringLiteral("本地目录"));
    QCOMPARE(ui->lineEdit_2->placeholderText(), QStringLiteral("远程目录"));

    QCOMPARE(ui->spinBox->value(), 10);
    QCOMPARE(ui->spinBox->text(), QStringLiteral("每隔 10 秒同步"));
    // The spin box slot ran once: interval applied, value written back, clock stamped.
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), 10000);
    QCOMPARE(MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval")).toInt(), 10);
    QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
    QVERIFY(MainWindowProbe::lastTickTime(w) <= after);

    QVERIFY(!ui->checkBox->isChecked());
    QVERIFY(!ui->checkBox_2->isChecked());
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::progressTimer(w)->interval(), 30);

    QCOMPARE(ui->lineEdit_3->text(), QStringLiteral("^\\..*/$"));
    QCOMPARE(ui->lineEdit_3->text().size(), 7);

    QCOMPARE(ui->progressBar->minimum(), 0);
    QCOMPARE(ui->progressBar->maximum(), 10000);
    QCOMPARE(ui->progressBar->value(), 24);

    QVERIFY(ui->plainTextEdit->toPlainText().isEmpty());
    QVERIFY(ui->plainTextEdit->isReadOnly());
    QVERIFY(ui->plainTextEdit->isEnabled());

    QCOMPARE(MainWindowProbe::uploadTime(w).load(), qint64(0));
    QCOMPARE(MainWindowProbe::downloadTime(w).load(), qint64(0));
    QVERIFY(!MainWindowProbe::syncing(w).load());

    // Only the spin box writes back at construction.
    QCOMPARE(MainWindowProbe::settings(w)->allKeys(),
             QStringList {QStringLiteral("timer_interval")});
}

void TestMainWindow::formTextsAndProperties()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);

    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.windowTitle(), QStringLiteral("双向同步工具"));
    QCOMPARE(w.size(), QSize(467, 306));
    QCOMPARE(w.centralWidget(), ui->centralwidget);
    QCOMPARE(w.menuBar(), ui->menubar);
    QCOMPARE(w.statusBar(), ui->statusbar);
    QVERIFY(ui->menubar->actions().isEmpty());
    QVERIFY(ui->statusbar->currentMessage().isEmpty());

    QCOMPARE(ui->pushButton->text(), QStringLiteral("立即上传"));
    QCOMPARE(ui->pushButton_2->text(), QStringLiteral("立即下载"));
    QCOMPARE(ui->pushButton_3->text(), QStringLiteral("清除缓存"));
    QCOMPARE(ui->pushButton_3->toolTip(),
             QStringLiteral("清空时间，下次同步时会全部上传/下载文件夹"));
    QCOMPARE(ui->checkBox->text(), QStringLiteral("定时上传"));
    QCOMPARE(ui->checkBox_2->text(), QStringLiteral("定时下载"));
    QCOMPARE(ui->spinBox->prefix(), QStringLiteral("每隔 "));
    QCOMPARE(ui->spinBox->suffix(), QStringLiteral(" 秒同步"));
    QCOMPARE(ui->spinBox->minimum(), 0);
    QCOMPARE(ui->spinBox->maximum(), 9999999);
    QCOMPARE(ui->lineEdit_3->placeholderText(), QStringLiteral("过滤正则"));
    QCOMPARE(ui->lineEdit_3->toolTip(),
             QStringLiteral("<html><head/><body><p>按文件名的正则表达式来过滤文件</p>"
                            "<p>忽略目录需在末尾加上斜杠&quot;/&quot;</p></body></html>"));

    const QStringList names {
            "centralwidget",    "lineEdit",          "lineEdit_2", "pushButton",   "pushButton_2",
            "spinBox",          "checkBox",          "checkBox_2", "pushButton_3", "lineEdit_3",
            "progressBar",      "plainTextEdit",     "menubar",    "statusbar",    "verticalLayout",
            "horizontalLayout", "horizontalLayout_2"};
    for (const QString &name : names)
        QVERIFY2(w.findChild<QObject *>(name), qPrintable(name));
}

void TestMainWindow::restoringPathsWritesNothing_data()
{
    QTest::addColumn<QVariant>("local");
    QTest::addColumn<QVariant>("remote");

    const QVariant absent;
    QTest::newRow("plain") << QVariant(QStringLiteral("/data/local"))
                           << QVariant(QStringLiteral("/data/remote"));
    QTest::newRow("leadingSpaces") << QVariant(QStringLiteral("  /data/local"))
                                   << QVariant(QStringLiteral("   /data/remote"));
    QTest::newRow("trailingSpaces") << QVariant(QStringLiteral("/data/local "))
                                    << QVariant(QStringLiteral("/data/remote  "));
    QTest::newRow("onlyBlanks") << QVariant(QStringLiteral("   ")) << QVariant(QStringLiteral(" "));
    QTest::newRow("localOnly") << QVariant(QStringLiteral(" /data/local ")) << absent;
    QTest::newRow("remoteOnly") << absent << QVariant(QStringLiteral("/data/remote "));
    QTest::newRow("storedEmpty") << QVariant(QString()) << QVariant(QString());
}

void TestMainWindow::restoringPathsWritesNothing()
{
    QFETCH(QVariant, local);
    QFETCH(QVariant, remote);
    QStringList expectedKeys {QStringLiteral("timer_interval")};
    if (local.isValid()) {
        storeValue(QStringLiteral("local_dir"), local);
        expectedKeys << QStringLiteral("local_dir");
    }
    if (remote.isValid()) {
        storeValue(QStringLiteral("remote_dir"), remote);
        expectedKeys << QStringLiteral("remote_dir");
    }
    expectedKeys.sort();

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QCOMPARE(ui->lineEdit->text(), local.toString());
    QCOMPARE(ui->lineEdit_2->text(), remote.toString());

    QSettings *store = MainWindowProbe::settings(w);
    QStringList keys = store->allKeys();
    keys.sort();
    QCOMPARE(keys, expectedKeys);
    QCOMPARE(store->value(QStringLiteral("local_dir")), local.isValid() ? local : QVariant());
    QCOMPARE(store->value(QStringLiteral("remote_dir")), remote.isValid() ? remote : QVariant());
}

void TestMainWindow::restoringIgnorePattern_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("shown");

    QTest::newRow("absent") << QVariant() << QStringLiteral("^\\..*/$");
    QTest::newRow("empty") << QVariant(QString()) << QString();
    QTest::newRow("custom") << QVariant(QStringLiteral("\\.tmp$")) << QStringLiteral("\\.tmp$");
    QTest::newRow("spaces") << QVariant(QStringLiteral(" x ")) << QStringLiteral(" x ");
}

void TestMainWindow::restoringIgnorePattern()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, shown);
    if (stored.isValid())
        storeValue(QStringLiteral("ignore_reg"), stored);

    MainWindow w;
    QCOMPARE(MainWindowProbe::ui(w)->lineEdit_3->text(), shown);
    QSettings *store = MainWindowProbe::settings(w);
    QCOMPARE(store->contains(QStringLiteral("ignore_reg")), stored.isValid());
    if (stored.isValid())
        QCOMPARE(store->value(QStringLiteral("ignore_reg")).toString(), stored.toString());
}

void TestMainWindow::restoringInterval_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("shown");
    QTest::addColumn<bool>("slotRuns");
    QTest::addColumn<int>("timerInterval");

    QTest::newRow("absent") << QVariant() << 10 << true << 10000;
    QTest::newRow("thirty") << QVariant(30) << 30 << true << 30000;
    QTest::newRow("thirtyAsText") << QVariant(QStringLiteral("30")) << 30 << true << 30000;
    QTest::newRow("nonNumeric") << QVariant(QStringLiteral("abc")) << 0 << false << 0;
    QTest::newRow("zero") << QVariant(0) << 0 << false << 0;
    QTest::newRow("negative") << QVariant(-5) << 0 << false << 0;
    QTest::newRow("largest") << QVariant(9999999) << 9999999 << true << 2147483647;
    QTest::newRow("aboveRange") << QVariant(99999999) << 9999999 << true << 2147483647;
    QTest::newRow("lastExactTimer") << QVariant(2147483) << 2147483 << true << 2147483000;
    QTest::newRow("firstCappedTimer") << QVariant(2147484) << 2147484 << true << 2147483647;
}

void TestMainWindow::restoringInterval()
{
    QFETCH(QVariant, stored);
    QFETCH(int, shown);
    QFETCH(bool, slotRuns);
    QFETCH(int, timerInterval);
    if (stored.isValid())
        storeValue(QStringLiteral("timer_interval"), stored);

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    MainWindow w;
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    Ui::MainWindow *ui = MainWindowProbe::ui(w);

    QCOMPARE(ui->spinBox->value(), shown);
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), timerInterval);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QVERIFY(!MainWindowProbe::progressTimer(w)->isActive());

    const QVariant now = MainWindowProbe::settings(w)->value(QStringLiteral("timer_interval"));
    if (slotRuns) {
        QCOMPARE(now.toInt(), shown);
        QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
        QVERIFY(MainWindowProbe::lastTickTime(w) <= after);
    } else {
        // Nothing written back: the stored value is still the one put there.
        QCOMPARE(now.toString(), stored.toString());
        QCOMPARE(MainWindowProbe::lastTickTime(w), qint64(0));
    }
}

void TestMainWindow::restoringTimedSync_data()
{
    QTest::addColumn<QVariant>("interval");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<bool>("download");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("timerInterval");

    QTest::newRow("neither") << QVariant(30) << false << false << false << 30000;
    QTest::newRow("uploadEvery30") << QVariant(30) << true << false << true << 30000;
    QTest::newRow("downloadEvery30") << QVariant(30) << false << true << true << 30000;
    QTest::newRow("bothEvery30") << QVariant(30) << true << true << true << 30000;
    QTest::newRow("uploadDefaultInterval") << QVariant() << true << false << true << 10000;
    QTest::newRow("uploadIntervalZero") << QVariant(0) << true << false << false << 0;
    QTest::newRow("bothIntervalZero") << QVariant(0) << true << true << false << 0;
    QTest::newRow("uploadLongPeriod") << QVariant(9999999) << true << false << true << 2147483647;
}

void TestMainWindow::restoringTimedSync()
{
    QFETCH(QVariant, interval);
    QFETCH(bool, upload);
    QFETCH(bool, download);
    QFETCH(bool, running);
    QFETCH(int, timerInterval);
    if (interval.isValid())
        storeValue(QStringLiteral("timer_interval"), interval);
    if (upload)
        storeValue(QStringLiteral("timer_upload"), trueButNotWritten);
    if (download)
        storeValue(QStringLiteral("timer_download"), trueButNotWritten);

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    MainWindow w;
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QSettings *store = MainWindowProbe::settings(w);

    QCOMPARE(ui->checkBox->isChecked(), upload);
    QCOMPARE(ui->checkBox_2->isChecked(), download);
    QCOMPARE(MainWindowProbe::syncTimer(w)->isActive(), running);
    QCOMPARE(MainWindowProbe::progressTimer(w)->isActive(), running);
    QCOMPARE(MainWindowProbe::syncTimer(w)->interval(), timerInterval);
    QVERIFY(!MainWindowProbe::syncTimer(w)->isSingleShot());

    // A box that changed state wrote its key back as a bool; an unchanged one wrote nothing.
    if (upload)
        QCOMPARE(store->value(QStringLiteral("timer_upload")).toString(), QStringLiteral("true"));
    else
        QVERIFY(!store->contains(QStringLiteral("timer_upload")));
    if (download)
        QCOMPARE(store->value(QStringLiteral("timer_download")).toString(), QStringLiteral("true"));
    else
        QVERIFY(!store->contains(QStringLiteral("timer_download")));

    if (running) {
        QVERIFY(MainWindowProbe::lastTickTime(w) >= before);
        QVERIFY(MainWindowProbe::lastTickTime(w) <= after);
        // The first period has only just begun. (QTimer cannot report what is
        // left of an interval near its limit, so only short ones are checked.)
        if (timerInterval <= 60000)
            QVERIFY(MainWindowProbe::syncTimer(w)->remainingTime() > timerInterval / 2);
    } else {
        // Timers never ran, so the bar still shows the form's value.
        QCOMPARE(ui->progressBar->value(), 24);
    }
}

void TestMainWindow::restoringTimes()
{
    storeValue(QStringLiteral("upload_time"), QVariant(qlonglong(1700000000123)));
    storeValue(QStringLiteral("download_time"), QVariant(QStringLiteral("1600000000456")));

    MainWindow w;
    QCOMPARE(MainWindowProbe::uploadTime(w).load(), qint64(1700000000123));
    QCOMPARE(MainWindowProbe::downloadTime(w).load(), qint64(1600000000456));
}

void TestMainWindow::returnStoresPath_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("typed");

    QTest::newRow("local") << "lineEdit"
                           << "local_dir" << QStringLiteral("/home/me/work");
    QTest::newRow("remote") << "lineEdit_2"
                            << "remote_dir" << QStringLiteral("/mnt/share/work");
    QTest::newRow("localWithSpaces") << "lineEdit"
                                     << "local_dir" << QStringLiteral("  /home/me/work ");
    QTest::newRow("remoteWithSpaces") << "lineEdit_2"
                                      << "remote_dir" << QStringLiteral(" /mnt/share  ");
    QTest::newRow("localNotExisting") << "lineEdit"
                                      << "local_dir" << QStringLiteral("no/such/dir");
}

void TestMainWindow::returnStoresPath()
{
    QFETCH(QString, field);
    QFETCH(QString, key);
    QFETCH(QString, typed);

    MainWindow w;
    auto *edit = w.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    QTest::keyClicks(edit, typed);
    QVERIFY(!MainWindowProbe::settings(w)->contains(key));
    QTest::keyClick(edit, Qt::Key_Return);

    QCOMPARE(MainWindowProbe::settings(w)->value(key), QVariant(typed));
    QCOMPARE(openStore()->value(key), QVariant(typed));
    // The other path field wrote nothing.
    const QString otherKey = key == QLatin1String("local_dir") ? QStringLiteral("remote_dir")
                                                               : QStringLiteral("local_dir");
    QVERIFY(!MainWindowProbe::settings(w)->contains(otherKey));
}

void TestMainWindow::focusLossStoresPath()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    ui->lineEdit->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(ui->lineEdit->hasFocus(), 5000);
    QTest::keyClicks(ui->lineEdit, QStringLiteral("/srv/local "));
    QVERIFY(!MainWindowProbe::settings(w)->contains(QStringLiteral("local_dir")));

    ui->lineEdit_2->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(ui->lineEdit_2->hasFocus(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(
            MainWindowProbe::settings(w)->value(QStringLiteral("local_dir")).toString(),
            QStringLiteral("/srv/local "), 5000);

    QTest::keyClicks(ui->lineEdit_2, QStringLiteral("/srv/remote"));
    ui->lineEdit_3->setFocus();
    QTRY_COMPARE_WITH_TIMEOUT(
            MainWindowProbe::settings(w)->value(QStringLiteral("remote_dir")).toString(),
            QStringLiteral("/srv/remote"), 5000);
}

void TestMainWindow::typingAloneStoresNothing_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("key");

    QTest::newRow("local") << "lineEdit"
                           << "local_dir";
    QTest::newRow("remote") << "lineEdit_2"
                            << "remote_dir";
}

void TestMainWindow::typingAloneStoresNothing()
{
    QFETCH(QString, field);
    QFETCH(QString, key);
    storeValue(key, QStringLiteral("/before"));

    MainWindow w;
    auto *edit = w.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->end(false);
    QTest::keyClicks(edit, QStringLiteral("/after"));
    QCoreApplication::processEvents();

    QCOMPARE(edit->text(), QStringLiteral("/before/after"));
    QCOMPARE(MainWindowProbe::settings(w)->value(key).toString(), QStringLiteral("/before"));
}

void TestMainWindow::clearingPathStoresEmpty()
{
    storeValue(QStringLiteral("local_dir"), QStringLiteral("/data/local"));

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    ui->lineEdit->selectAll();
    QTest::keyClick(ui->lineEdit, Qt::Key_Delete);
    QTest::keyClick(ui->lineEdit, Qt::Key_Return);

    QSettings *store = MainWindowProbe::settings(w);
    QVERIFY(store->contains(QStringLiteral("local_dir")));
    QCOMPARE(store->value(QStringLiteral("local_dir")).toString(), QString());
}

void TestMainWindow::everyKeystrokeStoresIgnorePattern()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QSettings *store = MainWindowProbe::settings(w);

    ui->lineEdit_3->selectAll();
    QTest::keyClick(ui->lineEdit_3, Qt::Key_Backspace);
    QVERIFY(store->contains(QStringLiteral("ignore_reg")));
    QCOMPARE(store->value(QStringLiteral("ignore_reg")).toString(), QString());

    const QString typed = QStringLiteral("\\.bak$ ");
    QString expected;
    for (const QChar c : typed) {
        QTest::keyClicks(ui->lineEdit_3, QString(c));
        expected += c;
        QCOMPARE(store->value(QStringLiteral("ignore_reg")).toString(), expected);
    }

    QTest::keyClick(ui->lineEdit_3, Qt::Key_Backspace);
    expected.chop(1);
    QCOMPARE(store->value(QStringLiteral("ignore_reg")).toString(), expected);
    QCOMPARE(openStore()->value(QStringLiteral("ignore_reg")).toString(), expected);
}

void TestMainWindow::programmaticPatternStoresNothing()
{
    MainWindow w;
    MainWindowProbe::ui(w)->lineEdit_3->setText(QStringLiteral("set by code"));
    QVERIFY(!MainWindowProbe::settings(w)->contains(QStringLiteral("ignore_reg")));
}

void TestMainWindow::clearCacheZeroesTimes()
{
    storeValue(QStringLiteral("upload_time"), QVariant(qlonglong(1700000000000)));
    storeValue(QStringLiteral("download_time"), QVariant(qlonglong(1700000000999)));

    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QCOMPARE(MainWindowProbe::uploadTime(w).load(), qint64(1700000000000));
    QCOMPARE(MainWindowProbe::downloadTime(w).load(), qint64(1700000000999));

    QTest::mouseClick(ui->pushButton_3, Qt::LeftButton);

    QCOMPARE(MainWindowProbe::uploadTime(w).load(), qint64(0));
    QCOMPARE(MainWindowProbe::downloadTime(w).load(), qint64(0));
    QSettings *store = MainWindowProbe::settings(w);
    QCOMPARE(store->value(QStringLiteral("upload_time")).toLongLong(), qint64(0));
    QCOMPARE(store->value(QStringLiteral("download_time")).toLongLong(), qint64(0));
    QCOMPARE(openStore()->value(QStringLiteral("upload_time")).toLongLong(), qint64(0));
    QCOMPARE(logLines(w), QStringList {QStringLiteral("清理缓存，可全部重新上传或下载")});
    // Timed sync is not touched.
    QVERIFY(!MainWindowProbe::syncTimer(w)->isActive());
    QCOMPARE(ui->progressBar->value(), 24);
}

void TestMainWindow::clearCacheTwiceLogsTwice()
{
    MainWindow w;
    Ui::MainWindow *ui = MainWindowProbe::ui(w);
    QTest::mouseClick(ui->pushButton_3, Qt::LeftButton);
    MainWindowProbe::uploadTime(w) = 42;
    QTest::mouseClick(ui->pushButton_3, Qt::LeftButton);

    QCOMPARE(MainWindowProbe::uploadTime(w).load(), qint64(0));
    const QString line = QStringLiteral("清理缓存，可全部重新上传或下载");
    QCOMPARE(logLines(w), (QStringList {line, line}));
}

void TestMainWindow::metaObjectNamesTheClass()
{
    MainWindow w;
    const QMetaObject *meta = w.metaObject();
    QCOMPARE(meta, &MainWindow::staticMetaObject);
    QCOMPARE(meta->className(), "MainWindow");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 10);
    QCOMPARE(meta->methodOffset(), QMainWindow::staticMetaObject.methodCount());
}

void TestMainWindow::metaObjectMethods_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("methodType");
    QTest::addColumn<int>("access");
    QTest::addColumn<QByteArrayList>("parameterNames");

    const QByteArrayList none;
    const QByteArrayList arg1 {"arg1"};
    const int slot = QMetaMethod::Slot;
    const int priv = QMetaMethod::Private;

    QTest::newRow("signalOutput") << 0 << QByteArray("signalOutput(QString)")
                                  << int(QMetaMethod::Signal) << int(QMetaMethod::Public)
                                  << QByteArrayList {"s"};
    QTest::newRow("pushButton") << 1 << QByteArray("on_pushButton_clicked()") << slot << priv
                                << none;
    QTest::newRow("pushButton_2") << 2 << QByteArray("on_pushButton_2_clicked()") << slot << priv
                                  << none;
    QTest::newRow("lineEdit") << 3 << QByteArray("on_lineEdit_editingFinished()") << slot << priv
                              << none;
    QTest::newRow("lineEdit_2") << 4 << QByteArray("on_lineEdit_2_editingFinished()") << slot
                                << priv << none;
    QTest::newRow("checkBox") << 5 << QByteArray("on_checkBox_stateChanged(int)") << slot << priv
                              << arg1;
    QTest::newRow("checkBox_2") << 6 << QByteArray("on_checkBox_2_stateChanged(int)") << slot
                                << priv << arg1;
    QTest::newRow("spinBox") << 7 << QByteArray("on_spinBox_valueChanged(int)") << slot << priv
                             << arg1;
    QTest::newRow("pushButton_3") << 8 << QByteArray("on_pushButton_3_clicked()") << slot << priv
                                  << none;
    QTest::newRow("lineEdit_3") << 9 << QByteArray("on_lineEdit_3_textEdited(QString)") << slot
                                << priv << arg1;
}

void TestMainWindow::metaObjectMethods()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);
    QFETCH(int, methodType);
    QFETCH(int, access);
    QFETCH(QByteArrayList, parameterNames);

    const QMetaObject &meta = MainWindow::staticMetaObject;
    const QMetaMethod method = meta.method(meta.methodOffset() + index);
    QVERIFY(method.isValid());
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(int(method.methodType()), methodType);
    QCOMPARE(int(method.access()), access);
    QCOMPARE(method.parameterNames(), parameterNames);
    QCOMPARE(method.returnType(), int(QMetaType::Void));
    QCOMPARE(meta.indexOfMethod(signature.constData()), meta.methodOffset() + index);
}

void TestMainWindow::metaCastAnswersOwnAndBaseNames()
{
    MainWindow w;
    QCOMPARE(w.qt_metacast("MainWindow"), static_cast<void *>(&w));
    QCOMPARE(w.qt_metacast("QMainWindow"), static_cast<void *>(static_cast<QMainWindow *>(&w)));
    QCOMPARE(w.qt_metacast("QMainWindow"), static_cast<void *>(&w));
    QCOMPARE(w.qt_metacast("QWidget"), static_cast<void *>(static_cast<QWidget *>(&w)));
    QCOMPARE(w.qt_metacast("Nope"), static_cast<void *>(nullptr));
    QCOMPARE(w.qt_metacast(nullptr), static_cast<void *>(nullptr));
    QCOMPARE(qobject_cast<MainWindow *>(static_cast<QObject *>(&w)), &w);
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
