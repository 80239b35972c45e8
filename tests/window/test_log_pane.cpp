// The log pane: lines posted from any thread, shown on the GUI thread in order,
// and a view that follows the newest line unless the user scrolled up.

#include "support/window_fixture.h"

#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// "line 0", "line 1", ...: count lines from the first.
QStringList numbered(int count, int first = 0, const QString &text = QStringLiteral("line %1"))
{
    QStringList lines;
    for (int i = first; i < first + count; ++i)
        lines << text.arg(i);
    return lines;
}

// A window whose log pane is at hand.
struct PaneWindow : ProbedWindow
{
    QPlainTextEdit *const pane = ui->plainTextEdit;
    QScrollBar *const bar = pane->verticalScrollBar();

    bool shown()
    {
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }
    // Posted on the GUI thread: shown at once.
    void post(const QStringList &lines)
    {
        for (const QString &line : lines)
            window.output(line);
    }
    // Posted from a worker thread, which has ended on return.
    void postFromWorker(const QStringList &lines)
    {
        std::thread([this, lines] { post(lines); }).join();
    }
    bool atBottom() const { return bar->value() == bar->maximum(); }
};

} // namespace

class TestLogPane : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolated.clear(); }

    void workerLinesArriveInOrderOnGuiThread();
    void workerLinesFromQThread();
    void guiThreadLineAppendedAtOnce();
    void guiThreadLineOvertakesQueuedWorkerLines();
    void lineBreaksAndEmptyTexts_data();
    void lineBreaksAndEmptyTexts();
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

// Posted from a worker, the lines wait for the GUI thread's event loop and
// are then shown there, in order.
void TestLogPane::workerLinesArriveInOrderOnGuiThread()
{
    PaneWindow w;
    std::atomic<int> offThreadChanges {0};
    QThread *const guiThread = QThread::currentThread();
    connect(
            w.pane, &QPlainTextEdit::textChanged, this,
            [&offThreadChanges, guiThread] {
                if (QThread::currentThread() != guiThread)
                    ++offThreadChanges;
            },
            Qt::DirectConnection);

    w.postFromWorker(numbered(500));
    QVERIFY(w.log().isEmpty()); // the GUI thread has not run its event loop yet

    QTRY_COMPARE_WITH_TIMEOUT(w.pane->blockCount(), 500, 10000);
    QCOMPARE(w.lines(), numbered(500));
    QCOMPARE(offThreadChanges.load(), 0);
}

void TestLogPane::workerLinesFromQThread()
{
    PaneWindow w;
    QThread *worker = QThread::create([&w] { w.post(numbered(50)); });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;

    QTRY_COMPARE_WITH_TIMEOUT(w.pane->blockCount(), 50, 10000);
    QCOMPARE(w.lines().first(), QStringLiteral("line 0"));
    QCOMPARE(w.lines().last(), QStringLiteral("line 49"));
}

void TestLogPane::guiThreadLineAppendedAtOnce()
{
    PaneWindow w;
    w.post({QStringLiteral("first")});
    QCOMPARE(w.lines(), QStringList {QStringLiteral("first")});
    w.post({QStringLiteral("second")});
    QCOMPARE(w.lines(), (QStringList {QStringLiteral("first"), QStringLiteral("second")}));
}

void TestLogPane::guiThreadLineOvertakesQueuedWorkerLines()
{
    PaneWindow w;
    w.postFromWorker(numbered(3));
    w.post({QStringLiteral("from the GUI")});
    QCOMPARE(w.lines(), QStringList {QStringLiteral("from the GUI")});

    QTRY_COMPARE_WITH_TIMEOUT(w.pane->blockCount(), 4, 5000);
    QCOMPARE(w.lines(), QStringList {QStringLiteral("from the GUI")} + numbered(3));
}

// A leading line break shows an empty line before the text; an empty text
// appends an empty paragraph.
void TestLogPane::lineBreaksAndEmptyTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("leadingLineBreak")
            << QStringLiteral("\n开始上传 0 --> 1")
            << QStringList {QString(), QStringLiteral("开始上传 0 --> 1")};
    QTest::newRow("emptyText") << QString() << QStringList {QString()};
}

void TestLogPane::lineBreaksAndEmptyTexts()
{
    QFETCH(QString, text);
    QFETCH(QStringList, shown);
    PaneWindow w;
    w.post({QStringLiteral("before")});
    const int blocks = w.pane->blockCount();
    w.post({text});

    QCOMPARE(w.pane->blockCount(), blocks + shown.size());
    QCOMPARE(w.pane->document()->lastBlock().text(), shown.last());
    w.post({QStringLiteral("after")});
    QCOMPARE(w.lines(), QStringList {QStringLiteral("before")} + shown + QStringList {"after"});
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
    PaneWindow w;
    w.post({QStringLiteral("x"), text});
    QCOMPARE(w.lines().last(), text);
}

void TestLogPane::viewAtBottomFollows()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.post(numbered(200));
    QVERIFY(w.bar->maximum() > 0);
    QVERIFY(w.atBottom());
    QVERIFY(w.pane->textCursor().atEnd());

    // Lines from a worker follow as well.
    w.postFromWorker(numbered(50, 0, QStringLiteral("worker %1")));
    QTRY_COMPARE_WITH_TIMEOUT(w.pane->blockCount(), 250, 5000);
    QVERIFY(w.atBottom());
    QVERIFY(w.pane->textCursor().atEnd());
}

void TestLogPane::viewAtBottomDropsSelection()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.post(numbered(200));

    QTextCursor selection = w.pane->textCursor();
    selection.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    w.pane->setTextCursor(selection);
    QVERIFY(w.pane->textCursor().hasSelection());
    QVERIFY(w.atBottom());

    w.post({QStringLiteral("one more")});
    QVERIFY(!w.pane->textCursor().hasSelection());
    QVERIFY(w.pane->textCursor().atEnd());
    QVERIFY(w.atBottom());
}

void TestLogPane::viewScrolledUpStays()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.post(numbered(200));

    const int maximumBefore = w.bar->maximum();
    QVERIFY(maximumBefore > 0);
    w.bar->setValue(0);
    QTextCursor selection(w.pane->document());
    selection.setPosition(2);
    selection.setPosition(9, QTextCursor::KeepAnchor);
    w.pane->setTextCursor(selection);
    w.bar->setValue(0); // setting the cursor may have scrolled to it
    QCOMPARE(w.bar->value(), 0);

    w.post(numbered(50, 0, QStringLiteral("more %1")));
    w.postFromWorker({QStringLiteral("from the worker")});
    QTRY_COMPARE_WITH_TIMEOUT(w.lines().last(), QStringLiteral("from the worker"), 5000);

    QVERIFY(w.bar->maximum() > maximumBefore);
    QCOMPARE(w.bar->value(), 0);
    const QTextCursor after = w.pane->textCursor();
    QVERIFY(after.hasSelection());
    QCOMPARE(after.selectionStart(), 2);
    QCOMPARE(after.selectionEnd(), 9);
    QCOMPARE(after.selectedText(),
             QString(QStringLiteral("ne 0") + QChar::ParagraphSeparator + "li"));
}

void TestLogPane::noScrollRangeMovesCursorToEnd()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.post({QStringLiteral("short")});
    QTextCursor start(w.pane->document());
    start.setPosition(1);
    start.setPosition(3, QTextCursor::KeepAnchor);
    w.pane->setTextCursor(start);
    QCOMPARE(w.bar->maximum(), 0);

    w.post({QStringLiteral("also short")});
    QCOMPARE(w.bar->maximum(), 0);
    QVERIFY(!w.pane->textCursor().hasSelection());
    QVERIFY(w.pane->textCursor().atEnd());
    QCOMPARE(w.pane->textCursor().position(), w.pane->document()->characterCount() - 1);
}

// Weeks of timed sync must not fill the memory: the pane holds the newest
// lines up to its limit and lets the oldest go.
void TestLogPane::paneKeepsItsNewestLines()
{
    PaneWindow w;
    QCOMPARE(w.pane->maximumBlockCount(), MainWindow::logBlockLimit);
    w.pane->setMaximumBlockCount(100); // the same rule, at a size a test can fill
    w.post(numbered(250));
    QCOMPARE(w.lines(), numbered(100, 150));
}

void TestLogPane::viewAtBottomFollowsAtTheLimit()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.pane->setMaximumBlockCount(100);
    w.post(numbered(150));
    QVERIFY(w.atBottom());
    for (const QString &line : numbered(30, 0, QStringLiteral("from the worker %1"))) {
        w.postFromWorker({line});
        QTRY_COMPARE_WITH_TIMEOUT(w.lines().last(), line, 5000);
        QVERIFY(w.atBottom());
        QVERIFY(w.pane->textCursor().atEnd());
    }
}

// At the limit the oldest lines go while the user reads further down: the
// lines in view stay in view.
void TestLogPane::viewScrolledUpStaysAtTheLimit()
{
    PaneWindow w;
    QVERIFY(w.shown());
    w.pane->setMaximumBlockCount(100);
    w.post(numbered(150));
    w.bar->setValue(w.bar->maximum() / 2);
    const auto firstInView = [&w] {
        return w.pane->cursorForPosition(QPoint(2, 2)).block().text();
    };
    const QString reading = firstInView();
    QVERIFY(!reading.isEmpty());

    w.post(numbered(20, 0, QStringLiteral("more %1")));
    QCOMPARE(w.pane->blockCount(), 100);
    QCOMPARE(firstInView(), reading);
    QVERIFY(w.bar->value() < w.bar->maximum());
}

QTEST_MAIN(TestLogPane)
#include "test_log_pane.moc"
