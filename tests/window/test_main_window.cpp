// The window as it comes up: the form, what it restores from the store, the
// edits that write the store back, and its meta-object interface.

#include "support/window_fixture.h"

#include <QMenuBar>
#include <QMetaMethod>
#include <QStatusBar>
#include <QTest>

#include <iterator>

namespace {

// A stored value that reads as true but is not what writing a bool leaves
// behind, so a write-back can be told from no write at all.
const QString trueButNotWritten = QStringLiteral("1");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolated.clear(); }

    void emptyStoreGivesDefaults();
    void formTextsAndProperties();

    void restoringTextsWritesNothing_data();
    void restoringTextsWritesNothing();
    void restoringIntervalAndTimedSync_data();
    void restoringIntervalAndTimedSync();
    void restoringTimes();

    void returnStoresPath_data();
    void returnStoresPath();
    void focusLossStoresPath();
    void typingAloneStoresNothing_data();
    void typingAloneStoresNothing();
    void everyKeystrokeStoresIgnorePattern();
    void programmaticPatternStoresNothing();
    void clearCacheZeroesTimes();

    void metaObjectNamesClassAndMethods();
    void metaCastAnswersOwnAndBaseNames();

private:
    IsolatedSettings isolated;
};

void TestMainWindow::emptyStoreGivesDefaults()
{
    const qint64 before = nowMs();
    ProbedWindow w;
    const qint64 after = nowMs();
    Ui::MainWindow *ui = w.ui;

    QCOMPARE(ui->lineEdit->text(), QString());
    QCOMPARE(ui->lineEdit_2->text(), QString());
    QCOMPARE(ui->lineEdit->placeholderText(), QStringLiteral("本地目录"));
    QCOMPARE(ui->lineEdit_2->placeholderText(), QStringLiteral("远程目录"));

    QCOMPARE(ui->spinBox->value(), 10);
    QCOMPARE(ui->spinBox->text(), QStringLiteral("每隔 10 秒同步"));
    // The spin box slot ran once: interval applied, value written back, clock stamped.
    QCOMPARE(w.syncTimer->interval(), 10000);
    QCOMPARE(w.stored(SettingsKeys::timerInterval), qint64(10));
    QVERIFY(w.lastTick() >= before && w.lastTick() <= after);

    QVERIFY(!ui->checkBox->isChecked());
    QVERIFY(!ui->checkBox_2->isChecked());
    QVERIFY(!w.syncTimer->isActive());
    QVERIFY(!w.progressTimer->isActive());
    QCOMPARE(w.progressTimer->interval(), 30);

    QCOMPARE(ui->lineEdit_3->text(), QStringLiteral("^\\..*/$"));
    QCOMPARE(ui->lineEdit_3->text().size(), 7);

    QCOMPARE(ui->progressBar->minimum(), 0);
    QCOMPARE(ui->progressBar->maximum(), 10000);
    QCOMPARE(ui->progressBar->value(), 24);

    QVERIFY(w.log().isEmpty());
    QVERIFY(ui->plainTextEdit->isReadOnly());
    QVERIFY(ui->plainTextEdit->isEnabled());

    QCOMPARE(w.uploadTime(), qint64(0));
    QCOMPARE(w.downloadTime(), qint64(0));
    QVERIFY(!w.syncing());

    // Only the spin box writes back at construction.
    QCOMPARE(w.store->allKeys(), QStringList {SettingsKeys::timerInterval});
}

void TestMainWindow::formTextsAndProperties()
{
    ProbedWindow w;
    Ui::MainWindow *ui = w.ui;

    QCOMPARE(w.window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.window.windowTitle(), QStringLiteral("双向同步工具"));
    QCOMPARE(w.window.size(), QSize(467, 306));
    QCOMPARE(w.window.centralWidget(), ui->centralwidget);
    QCOMPARE(w.window.menuBar(), ui->menubar);
    QCOMPARE(w.window.statusBar(), ui->statusbar);
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
        QVERIFY2(w.window.findChild<QObject *>(name), qPrintable(name));
}

// The paths and the pattern are shown exactly as stored, and restoring them
// writes nothing back; an absent pattern is the default one.
void TestMainWindow::restoringTextsWritesNothing_data()
{
    QTest::addColumn<QVariant>("local");
    QTest::addColumn<QVariant>("remote");
    QTest::addColumn<QVariant>("pattern");

    const QVariant absent;
    const auto text = [](const char *path) {
        return QVariant(QString::fromUtf8(path));
    };
    QTest::newRow("plain") << text("/data/local") << text("/data/remote") << absent;
    QTest::newRow("leadingSpaces") << text("  /data/local") << text("   /data/remote") << absent;
    QTest::newRow("trailingSpaces") << text("/data/local ") << text("/data/remote  ") << absent;
    QTest::newRow("onlyBlanks") << text("   ") << text(" ") << absent;
    QTest::newRow("localOnly") << text(" /data/local ") << absent << absent;
    QTest::newRow("remoteOnly") << absent << text("/data/remote ") << absent;
    QTest::newRow("storedEmpty") << QVariant(QString()) << QVariant(QString()) << absent;
    QTest::newRow("emptyPattern") << absent << absent << QVariant(QString());
    QTest::newRow("customPattern") << absent << absent << text("\\.tmp$");
    QTest::newRow("patternSpaces") << absent << absent << text(" x ");
}

void TestMainWindow::restoringTextsWritesNothing()
{
    QFETCH(QVariant, local);
    QFETCH(QVariant, remote);
    QFETCH(QVariant, pattern);
    const std::pair<const char *, QVariant> stored[] = {{SettingsKeys::localDir, local},
                                                        {SettingsKeys::remoteDir, remote},
                                                        {SettingsKeys::ignorePattern, pattern}};
    QStringList expectedKeys {SettingsKeys::timerInterval};
    for (const auto &[key, value] : stored) {
        if (value.isValid()) {
            storeValue(key, value);
            expectedKeys << key;
        }
    }

    ProbedWindow w;
    QCOMPARE(w.ui->lineEdit->text(), local.toString());
    QCOMPARE(w.ui->lineEdit_2->text(), remote.toString());
    QCOMPARE(w.ui->lineEdit_3->text(), pattern.isValid() ? pattern.toString() : "^\\..*/$");
    QCOMPARE(Tree::sorted(w.store->allKeys()), Tree::sorted(expectedKeys));
    for (const auto &[key, value] : stored)
        QCOMPARE(w.store->value(key), value);
}

// The interval as stored shown in the spin box, whose slot runs only when
// that is a change, and the boxes as stored switching timed sync on where
// the interval allows.
void TestMainWindow::restoringIntervalAndTimedSync_data()
{
    QTest::addColumn<QVariant>("interval");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<bool>("download");
    QTest::addColumn<int>("shown");
    QTest::addColumn<bool>("slotRuns");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("timerInterval");

    const QVariant absent;
    QTest::newRow("absent") << absent << false << false << 10 << true << false << 10000;
    QTest::newRow("thirty") << QVariant(30) << false << false << 30 << true << false << 30000;
    QTest::newRow("thirtyAsText") << QVariant("30") << false << false << 30 << true << false
                                  << 30000;
    QTest::newRow("nonNumeric") << QVariant("abc") << false << false << 0 << false << false << 0;
    QTest::newRow("zero") << QVariant(0) << false << false << 0 << false << false << 0;
    QTest::newRow("negative") << QVariant(-5) << false << false << 0 << false << false << 0;
    QTest::newRow("largest") << QVariant(9999999) << false << false << 9999999 << true << false
                             << 2147483647;
    QTest::newRow("aboveRange") << QVariant(99999999) << false << false << 9999999 << true << false
                                << 2147483647;
    QTest::newRow("lastExactTimer")
            << QVariant(2147483) << false << false << 2147483 << true << false << 2147483000;
    QTest::newRow("firstCappedTimer")
            << QVariant(2147484) << false << false << 2147484 << true << false << 2147483647;
    QTest::newRow("uploadEvery30") << QVariant(30) << true << false << 30 << true << true << 30000;
    QTest::newRow("downloadEvery30")
            << QVariant(30) << false << true << 30 << true << true << 30000;
    QTest::newRow("bothEvery30") << QVariant(30) << true << true << 30 << true << true << 30000;
    QTest::newRow("uploadDefaultInterval")
            << absent << true << false << 10 << true << true << 10000;
    QTest::newRow("uploadIntervalZero") << QVariant(0) << true << false << 0 << false << false << 0;
    QTest::newRow("bothIntervalZero") << QVariant(0) << true << true << 0 << false << false << 0;
    QTest::newRow("uploadLongPeriod")
            << QVariant(9999999) << true << false << 9999999 << true << true << 2147483647;
}

void TestMainWindow::restoringIntervalAndTimedSync()
{
    QFETCH(QVariant, interval);
    QFETCH(bool, upload);
    QFETCH(bool, download);
    QFETCH(int, shown);
    QFETCH(bool, slotRuns);
    QFETCH(bool, running);
    QFETCH(int, timerInterval);
    if (interval.isValid())
        storeValue(SettingsKeys::timerInterval, interval);
    if (upload)
        storeValue(SettingsKeys::timerUpload, trueButNotWritten);
    if (download)
        storeValue(SettingsKeys::timerDownload, trueButNotWritten);

    const qint64 before = nowMs();
    ProbedWindow w;
    const qint64 after = nowMs();

    QCOMPARE(w.ui->spinBox->value(), shown);
    QCOMPARE(w.ui->checkBox->isChecked(), upload);
    QCOMPARE(w.ui->checkBox_2->isChecked(), download);
    QCOMPARE(w.syncTimer->isActive(), running);
    QCOMPARE(w.progressTimer->isActive(), running);
    QCOMPARE(w.syncTimer->interval(), timerInterval);
    QVERIFY(!w.syncTimer->isSingleShot());

    // A box that changed state wrote its key back as a bool; an unchanged one wrote nothing.
    for (const auto &[key, checked] : {std::pair(SettingsKeys::timerUpload, upload),
                                       std::pair(SettingsKeys::timerDownload, download)}) {
        QCOMPARE(w.store->value(key).toString(), checked ? QStringLiteral("true") : QString());
        QCOMPARE(w.store->contains(key), checked);
    }
    const QVariant written = w.store->value(SettingsKeys::timerInterval);
    if (slotRuns) {
        QCOMPARE(written.toInt(), shown);
        QVERIFY(w.lastTick() >= before && w.lastTick() <= after);
    } else {
        // Nothing written back: the stored value is still the one put there.
        QCOMPARE(written.toString(), interval.toString());
        QCOMPARE(w.lastTick(), qint64(0));
    }
    if (running) {
        // The first period has only just begun. (QTimer cannot report what is
        // left of an interval near its limit, so only short ones are checked.)
        if (timerInterval <= 60000)
            QVERIFY(w.syncTimer->remainingTime() > timerInterval / 2);
    } else {
        // Timers never ran, so the bar still shows the form's value.
        QCOMPARE(w.ui->progressBar->value(), 24);
    }
}

void TestMainWindow::restoringTimes()
{
    storeValue(SettingsKeys::uploadTime, QVariant(qlonglong(1700000000123)));
    storeValue(SettingsKeys::downloadTime, QVariant(QStringLiteral("1600000000456")));

    ProbedWindow w;
    QCOMPARE(w.uploadTime(), qint64(1700000000123));
    QCOMPARE(w.downloadTime(), qint64(1600000000456));
}

// Return stores the field exactly as it stands, also when it was cleared.
void TestMainWindow::returnStoresPath_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed");

    QTest::newRow("local") << "lineEdit" << QString() << "/home/me/work";
    QTest::newRow("remote") << "lineEdit_2" << QString() << "/mnt/share/work";
    QTest::newRow("localWithSpaces") << "lineEdit" << QString() << "  /home/me/work ";
    QTest::newRow("remoteWithSpaces") << "lineEdit_2" << QString() << " /mnt/share  ";
    QTest::newRow("localNotExisting") << "lineEdit" << QString() << "no/such/dir";
    QTest::newRow("localCleared") << "lineEdit"
                                  << "/data/local" << QString();
}

void TestMainWindow::returnStoresPath()
{
    QFETCH(QString, field);
    QFETCH(QString, before);
    QFETCH(QString, typed);
    const bool local = field == QLatin1String("lineEdit");
    const QString key = local ? SettingsKeys::localDir : SettingsKeys::remoteDir;
    if (!before.isNull())
        storeValue(key, before);

    ProbedWindow w;
    auto *edit = w.window.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, typed);
    QCOMPARE(w.store->contains(key), !before.isNull());
    QCOMPARE(w.store->value(key).toString(), before);
    QTest::keyClick(edit, Qt::Key_Return);

    QVERIFY(w.store->contains(key));
    QCOMPARE(w.store->value(key).toString(), typed);
    QCOMPARE(openStore()->value(key).toString(), typed);
    // The other path field wrote nothing.
    QVERIFY(!w.store->contains(local ? SettingsKeys::remoteDir : SettingsKeys::localDir));
}

void TestMainWindow::focusLossStoresPath()
{
    ProbedWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    w.ui->lineEdit->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(w.ui->lineEdit->hasFocus(), 5000);
    QTest::keyClicks(w.ui->lineEdit, QStringLiteral("/srv/local "));
    QVERIFY(!w.store->contains(SettingsKeys::localDir));

    w.ui->lineEdit_2->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(w.ui->lineEdit_2->hasFocus(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(w.store->value(SettingsKeys::localDir).toString(),
                              QStringLiteral("/srv/local "), 5000);

    QTest::keyClicks(w.ui->lineEdit_2, QStringLiteral("/srv/remote"));
    w.ui->lineEdit_3->setFocus();
    QTRY_COMPARE_WITH_TIMEOUT(w.store->value(SettingsKeys::remoteDir).toString(),
                              QStringLiteral("/srv/remote"), 5000);
}

void TestMainWindow::typingAloneStoresNothing_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("key");

    QTest::newRow("local") << "lineEdit" << SettingsKeys::localDir;
    QTest::newRow("remote") << "lineEdit_2" << SettingsKeys::remoteDir;
}

void TestMainWindow::typingAloneStoresNothing()
{
    QFETCH(QString, field);
    QFETCH(QString, key);
    storeValue(key, QStringLiteral("/before"));

    ProbedWindow w;
    auto *edit = w.window.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->end(false);
    QTest::keyClicks(edit, QStringLiteral("/after"));
    QCoreApplication::processEvents();

    QCOMPARE(edit->text(), QStringLiteral("/before/after"));
    QCOMPARE(w.store->value(key).toString(), QStringLiteral("/before"));
}

void TestMainWindow::everyKeystrokeStoresIgnorePattern()
{
    ProbedWindow w;
    QLineEdit *pattern = w.ui->lineEdit_3;
    const auto stored = [&w] {
        return w.store->value(SettingsKeys::ignorePattern).toString();
    };

    pattern->selectAll();
    QTest::keyClick(pattern, Qt::Key_Backspace);
    QVERIFY(w.store->contains(SettingsKeys::ignorePattern));
    QCOMPARE(stored(), QString());

    QString expected;
    for (const QChar c : QStringLiteral("\\.bak$ ")) {
        QTest::keyClicks(pattern, QString(c));
        expected += c;
        QCOMPARE(stored(), expected);
    }

    QTest::keyClick(pattern, Qt::Key_Backspace);
    expected.chop(1);
    QCOMPARE(stored(), expected);
    QCOMPARE(openStore()->value(SettingsKeys::ignorePattern).toString(), expected);
}

void TestMainWindow::programmaticPatternStoresNothing()
{
    ProbedWindow w;
    w.ui->lineEdit_3->setText(QStringLiteral("set by code"));
    QVERIFY(!w.store->contains(SettingsKeys::ignorePattern));
}

// Each click zeroes both stamps, in the window and the store, and says so;
// timed sync is not touched.
void TestMainWindow::clearCacheZeroesTimes()
{
    storeValue(SettingsKeys::uploadTime, QVariant(qlonglong(1700000000000)));
    storeValue(SettingsKeys::downloadTime, QVariant(qlonglong(1700000000999)));

    ProbedWindow w;
    QCOMPARE(w.uploadTime(), qint64(1700000000000));
    QCOMPARE(w.downloadTime(), qint64(1700000000999));

    QTest::mouseClick(w.ui->pushButton_3, Qt::LeftButton);
    QCOMPARE(w.uploadTime(), qint64(0));
    QCOMPARE(w.downloadTime(), qint64(0));
    QCOMPARE(w.stored(SettingsKeys::uploadTime), qint64(0));
    QCOMPARE(w.stored(SettingsKeys::downloadTime), qint64(0));
    QCOMPARE(openStore()->value(SettingsKeys::uploadTime).toLongLong(), qint64(0));
    QCOMPARE(w.lines(), QStringList {LogTexts::cacheCleared});
    QVERIFY(!w.syncTimer->isActive());
    QCOMPARE(w.ui->progressBar->value(), 24);

    w.uploadTime() = 42;
    QTest::mouseClick(w.ui->pushButton_3, Qt::LeftButton);
    QCOMPARE(w.uploadTime(), qint64(0));
    QCOMPARE(w.lines(), (QStringList {LogTexts::cacheCleared, LogTexts::cacheCleared}));
}

// The class and its own methods in their order: the signal, then the
// form's slots.
void TestMainWindow::metaObjectNamesClassAndMethods()
{
    const struct
    {
        const char *signature;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
        QByteArrayList parameterNames;
    } methods[] = {
            {"signalOutput(QString)", QMetaMethod::Signal, QMetaMethod::Public, {"s"}},
            {"on_pushButton_clicked()", QMetaMethod::Slot, QMetaMethod::Private, {}},
            {"on_pushButton_2_clicked()", QMetaMethod::Slot, QMetaMethod::Private, {}},
            {"on_lineEdit_editingFinished()", QMetaMethod::Slot, QMetaMethod::Private, {}},
            {"on_lineEdit_2_editingFinished()", QMetaMethod::Slot, QMetaMethod::Private, {}},
            {"on_checkBox_stateChanged(int)", QMetaMethod::Slot, QMetaMethod::Private, {"arg1"}},
            {"on_checkBox_2_stateChanged(int)", QMetaMethod::Slot, QMetaMethod::Private, {"arg1"}},
            {"on_spinBox_valueChanged(int)", QMetaMethod::Slot, QMetaMethod::Private, {"arg1"}},
            {"on_pushButton_3_clicked()", QMetaMethod::Slot, QMetaMethod::Private, {}},
            {"on_lineEdit_3_textEdited(QString)",
             QMetaMethod::Slot,
             QMetaMethod::Private,
             {"arg1"}},
    };
    MainWindow w;
    const QMetaObject &meta = *w.metaObject();
    QCOMPARE(&meta, &MainWindow::staticMetaObject);
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.methodOffset(), QMainWindow::staticMetaObject.methodCount());
    QCOMPARE(meta.methodCount() - meta.methodOffset(), int(std::size(methods)));
    int index = meta.methodOffset();
    for (const auto &expected : methods) {
        const QMetaMethod method = meta.method(index);
        QVERIFY2(method.isValid(), expected.signature);
        QCOMPARE(method.methodSignature(), QByteArray(expected.signature));
        QCOMPARE(method.methodType(), expected.type);
        QCOMPARE(method.access(), expected.access);
        QCOMPARE(method.parameterNames(), expected.parameterNames);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        QCOMPARE(meta.indexOfMethod(expected.signature), index++);
    }
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
