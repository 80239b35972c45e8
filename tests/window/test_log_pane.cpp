// The log pane: lines posted from any thread, shown on the GUI thread in order,
// and a view that follows the newest line unless the user scrolled up.

#include "support/main_window_probe.h"
#include "support/test_settings.h"
#include "window/main_window.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

QPlainTextEdit *pane(MainWindow &window)
{
    return MainWindowProbe::ui(window)->plainTextEdit;
}

QStringList logLines(MainWindow &window)
{
    return pane(window)->toPlainText().split(QLatin1Char('\n'));
}

QString numbered(int i)
{
    return QStringLiteral("line %1").arg(i);
}

// Enough numbered lines, posted on the GUI thread, to make the pane scroll.
void fillPane(MainWindow &window, int lines)
{
    for (int i = 0; i < lines; ++i)
        window.output(numbered(i));
}

} // namespace

class TestLogPane : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void workerLinesWaitForEventLoop();
    void workerLinesArriveInOrderOnGuiThread();
    void workerLinesFromQThread();
    void guiThreadLineAppendedAtOnce();
    void guiThreadLineOvertakesQueuedWorkerLines();
    void leadingLineBreakShowsEmptyLine();
    void emptyTextAppendsEmptyParagraph();
    void lineKeepsItsSpaces_data();
    void lineKeepsItsSpaces();

    void viewAtBottomFollows();
    void viewAtBottomDropsSelection();
    void viewScrolledUpStays();
    void noScrollRangeMovesCursorToEnd();
    void paneKeepsItsNewestLines();
    void viewAtBottomFollowsAtTheLimit();
    void viewScrolledUpStaysAtTheLimit();

private:
    IsolatedSettings isolated;
};

void TestLogPane::init()
{
    isolated.clear();
}

void TestLogPane::workerLinesWaitForEventLoop()
{
    MainWindow w;
    std::thread worker([&w] { w.output(QStringLiteral("from the worker")); });
    worker.join();

    // Posted, but the GUI thread has not run its event loop yet.
    QVERIFY(pane(w)->toPlainText().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(pane(w)->toPlainText(), QStringLiteral("from the worker"), 5000);
}

void TestLogPane::workerLinesArriveInOrderOnGuiThread()
{
    MainWindow w;
    std::atomic<int> offThreadChanges {0};
    QThread *const guiThread = QThread::currentThread();
    connect(
            pane(w), &QPlainTextEdit::textChanged, this,
            [&offThreadChanges, guiThread] {
                if (QThread::currentThread() != guiThread)
                    ++offThreadChanges;
            },
            Qt::DirectConnection);

    const int count = 500;
    std::thread worker([&w] {
        for (int i = 0; i < count; ++i)
            w.output(numbered(i));
    });
    worker.join();
    QVERIFY(pane(w)->toPlainText().isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(pane(w)->blockCount(), count, 10000);
    QStringList expected;
    for (int i = 0; i < count; ++i)
        expected << numbered(i);
    QCOMPARE(logLines(w), expected);
    QCOMPARE(offThreadChanges.load(), 0);
}

void TestLogPane::workerLinesFromQThread()
{
    MainWindow w;
    QThread *worker = QThread::create([&w] {
        for (int i = 0; i < 50; ++i)
            w.output(numbered(i));
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;

    QTRY_COMPARE_WITH_TIMEOUT(pane(w)->blockCount(), 50, 10000);
    QCOMPARE(logLines(w).first(), numbered(0));
    QCOMPARE(logLines(w).last(), numbered(49));
}

void TestLogPane::guiThreadLineAppendedAtOnce()
{
    MainWindow w;
    w.output(QStringLiteral("first"));
    QCOMPARE(logLines(w), QStringList {QStringLiteral("first")});
    w.output(QStringLiteral("second"));
    QCOMPARE(logLines(w), (QStringList {QStringLiteral("first"), QStringLiteral("second")}));
}

void TestLogPane::guiThreadLineOvertakesQueuedWorkerLines()
{
    MainWindow w;
    std::thread worker([&w] {
        for (int i = 0; i < 3; ++i)
            w.output(numbered(i));
    });
    worker.join();

    w.output(QStringLiteral("from the GUI"));
    QCOMPARE(logLines(w), QStringList {QStringLiteral("from the GUI")});

    QTRY_COMPARE_WITH_TIMEOUT(pane(w)->blockCount(), 4, 5000);
    QCOMPARE(logLines(w),
             (QStringList {QStringLiteral("from the GUI"), numbered(0), numbered(1), numbered(2)}));
}

void TestLogPane::leadingLineBreakShowsEmptyLine()
{
    MainWindow w;
    w.output(QStringLiteral("before"));
    const int blocks = pane(w)->blockCount();
    w.output(QStringLiteral("\n开始上传 0 --> 1"));

    QCOMPARE(pane(w)->blockCount(), blocks + 2);
    QCOMPARE(logLines(w), (QStringList {QStringLiteral("before"), QString(),
                                        QStringLiteral("开始上传 0 --> 1")}));
}

void TestLogPane::emptyTextAppendsEmptyParagraph()
{
    MainWindow w;
    w.output(QStringLiteral("before"));
    const int blocks = pane(w)->blockCount();
    w.output(QString());

    QCOMPARE(pane(w)->blockCount(), blocks + 1);
    QVERIFY(pane(w)->document()->lastBlock().text().isEmpty());
    w.output(QStringLiteral("after"));
    QCOMPARE(logLines(w),
             (QStringList {QStringLiteral("before"), QString(), QStringLiteral("after")}));
}

void TestLogPane::lineKeepsItsSpaces_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("indented") << QStringLiteral("    复制文件：/a/b.txt");
    QTest::newRow("trailing") << QStringLiteral("上传成功 12 ");
    QTest::newRow("blanks") << QStringLiteral("   ");
}

void TestLogPane::lineKeepsItsSpaces()
{
    QFETCH(QString, text);
    MainWindow w;
    w.output(QStringLiteral("x"));
    w.output(text);
    QCOMPARE(logLines(w).last(), text);
}

void TestLogPane::viewAtBottomFollows()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QScrollBar *bar = pane(w)->verticalScrollBar();

    fillPane(w, 200);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(pane(w)->textCursor().atEnd());

    // Lines from a worker follow as well.
    std::thread worker([&w] {
        for (int i = 0; i < 50; ++i)
            w.output(QStringLiteral("worker %1").arg(i));
    });
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(pane(w)->blockCount(), 250, 5000);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(pane(w)->textCursor().atEnd());
}

void TestLogPane::viewAtBottomDropsSelection()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    fillPane(w, 200);

    QScrollBar *bar = pane(w)->verticalScrollBar();
    QTextCursor selection = pane(w)->textCursor();
    selection.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    pane(w)->setTextCursor(selection);
    QVERIFY(pane(w)->textCursor().hasSelection());
    QCOMPARE(bar->value(), bar->maximum());

    w.output(QStringLiteral("one more"));
    QVERIFY(!pane(w)->textCursor().hasSelection());
    QVERIFY(pane(w)->textCursor().atEnd());
    QCOMPARE(bar->value(), bar->maximum());
}

void TestLogPane::viewScrolledUpStays()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    fillPane(w, 200);

    QScrollBar *bar = pane(w)->verticalScrollBar();
    const int maximumBefore = bar->maximum();
    QVERIFY(maximumBefore > 0);
    bar->setValue(0);

    QTextCursor selection(pane(w)->document());
    selection.setPosition(2);
    selection.setPosition(9, QTextCursor::KeepAnchor);
    pane(w)->setTextCursor(selection);
    bar->setValue(0); // setting the cursor may have scrolled to it
    QCOMPARE(bar->value(), 0);

    for (int i = 0; i < 50; ++i)
        w.output(QStringLiteral("more %1").arg(i));
    std::thread worker([&w] { w.output(QStringLiteral("from the worker")); });
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(logLines(w).last(), QStringLiteral("from the worker"), 5000);

    QVERIFY(bar->maximum() > maximumBefore);
    QCOMPARE(bar->value(), 0);
    const QTextCursor after = pane(w)->textCursor();
    QVERIFY(after.hasSelection());
    QCOMPARE(after.selectionStart(), 2);
    QCOMPARE(after.selectionEnd(), 9);
    QCOMPARE(after.selectedText(),
             QStringLiteral("ne 0\nli").replace(QLatin1Char('\n'), QChar::ParagraphSeparator));
}

void TestLogPane::noScrollRangeMovesCursorToEnd()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QScrollBar *bar = pane(w)->verticalScrollBar();

    w.output(QStringLiteral("short"));
    QTextCursor start(pane(w)->document());
    start.setPosition(1);
    start.setPosition(3, QTextCursor::KeepAnchor);
    pane(w)->setTextCursor(start);
    QCOMPARE(bar->maximum(), 0);

    w.output(QStringLiteral("also short"));
    QCOMPARE(bar->maximum(), 0);
    QVERIFY(!pane(w)->textCursor().hasSelection());
    QVERIFY(pane(w)->textCursor().atEnd());
    QCOMPARE(pane(w)->textCursor().position(), pane(w)->document()->characterCount() - 1);
}

// Weeks of timed sync must not fill the memory: the pane holds the newest
// lines up to its limit and lets the oldest go.
void TestLogPane::paneKeepsItsNewestLines()
{
    MainWindow w;
    QCOMPARE(pane(w)->maximumBlockCount(), MainWindow::logBlockLimit);
    pane(w)->setMaximumBlockCount(100); // the same rule, at a size a test can fill
    fillPane(w, 250);
    QCOMPARE(pane(w)->blockCount(), 100);
    QCOMPARE(logLines(w).first(), numbered(150));
    QCOMPARE(logLines(w).last(), numbered(249));
}

void TestLogPane::viewAtBottomFollowsAtTheLimit()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    pane(w)->setMaximumBlockCount(100);
    fillPane(w, 150);
    QScrollBar *bar = pane(w)->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    for (int i = 0; i < 30; ++i) {
        std::thread worker([&w, i] { w.output(QStringLiteral("from the worker %1").arg(i)); });
        worker.join();
        QTRY_COMPARE_WITH_TIMEOUT(logLines(w).last(), QStringLiteral("from the worker %1").arg(i),
                                  5000);
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(pane(w)->textCursor().atEnd());
    }
}

// At the limit the oldest lines go while the user reads further down: the
// lines in view stay in view.
void TestLogPane::viewScrolledUpStaysAtTheLimit()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    pane(w)->setMaximumBlockCount(100);
    fillPane(w, 150);
    QScrollBar *bar = pane(w)->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const auto firstInView = [&w] {
        return pane(w)->cursorForPosition(QPoint(2, 2)).block().text();
    };
    const QString reading = firstInView();
    QVERIFY(!reading.isEmpty());

    for (int i = 0; i < 20; ++i)
        w.output(QStringLiteral("more %1").arg(i));
    QCOMPARE(pane(w)->blockCount(), 100);
    QCOMPARE(firstInView(), reading);
    QVERIFY(bar->value() < bar->maximum());
}

QTEST_MAIN(TestLogPane)
#include "test_log_pane.moc"
