// Upload and download jobs started from the window: refusals, what a job copies
// and logs, the stamps it stores, and a window destroyed while a job runs.

#include "support/build_kind.h"
#include "support/checks.h"
#include "support/window_fixture.h"
#ifdef Q_OS_UNIX
#    include "support/remote_mount.h"
#endif

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QTest>

#include <memory>

using namespace LogTexts;

namespace {

// Enough files that a job is still running when the test acts on it.
constexpr int manyFiles = 3000;

void writeManyFiles(const StoredTrees &trees)
{
    for (int i = 0; i < manyFiles; ++i)
        trees.write(QStringLiteral("local/d%1/f%2.txt").arg(i / 100).arg(i),
                    QByteArray::number(i).repeated(20));
}

int fileCount(const QString &dir)
{
    int count = 0;
    for (const QString &name : Tree::names(dir))
        count += QFileInfo(dir + QLatin1Char('/') + name).isFile() ? 1 : 0;
    return count;
}

int indexStarting(const QStringList &lines, const QString &prefix)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}

} // namespace

class TestWindowJobs : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolated.clear(); }

    void refusesWithoutPaths_data();
    void refusesWithoutPaths();
    void buttonCopiesAndLogsItsDirection_data();
    void buttonCopiesAndLogsItsDirection();
    void typedPathsAreUsed();
    void patternFieldAppliesToJobs_data();
    void patternFieldAppliesToJobs();
    void windowCopyUsesPatternField();
    void busyRequestsAreRefusedAndClearGivesWay();
    void tickWithBothBoxesIsOneRequest();
    void tickKeepsLocalEditOverShareDatedAhead();
    void nextRunStartsFromStampOrFromZeroAfterClear();
    void destroyingWindowStopsRunningJob();
    void stampOfJobEndedBeforeDestroyIsStored();
#ifdef Q_OS_UNIX
    void destroyingWindowOverHungShareLeavesJobBehind(); // a FUSE driver stopped
#endif

private:
    IsolatedSettings isolated;
};

void TestWindowJobs::refusesWithoutPaths_data()
{
    QTest::addColumn<bool>("localSet");
    QTest::addColumn<bool>("remoteSet");
    QTest::addColumn<QString>("button");

    QTest::newRow("noneUpload") << false << false << "pushButton";
    QTest::newRow("noneDownload") << false << false << "pushButton_2";
    QTest::newRow("localOnlyUpload") << true << false << "pushButton";
    QTest::newRow("localOnlyDownload") << true << false << "pushButton_2";
    QTest::newRow("remoteOnlyUpload") << false << true << "pushButton";
    QTest::newRow("remoteOnlyDownload") << false << true << "pushButton_2";
}

void TestWindowJobs::refusesWithoutPaths()
{
    QFETCH(bool, localSet);
    QFETCH(bool, remoteSet);
    QFETCH(QString, button);
    StoredTrees trees(localSet, remoteSet);
    trees.write(QStringLiteral("local/a.txt"), "local");
    trees.write(QStringLiteral("remote/b.txt"), "remote");

    ProbedWindow w;
    auto *push = w.window.findChild<QPushButton *>(button);
    QVERIFY(push);
    QTest::mouseClick(push, Qt::LeftButton);
    QCOMPARE(w.lines(), QStringList {noPaths});
    QVERIFY(!w.syncing());

    QTest::mouseClick(push, Qt::LeftButton);
    QCOMPARE(w.lines(), (QStringList {noPaths, noPaths}));
    QCOMPARE(w.session()->jobsRunning(), 0);
    QCoreApplication::processEvents(); // lines a job would have posted
    QCOMPARE(w.lines(), (QStringList {noPaths, noPaths}));
    QCOMPARE(Tree::names(trees.local), QStringList {QStringLiteral("a.txt")});
    QCOMPARE(Tree::names(trees.remote), QStringList {QStringLiteral("b.txt")});
    QCOMPARE(w.uploadTime(), qint64(0));
    QCOMPARE(w.downloadTime(), qint64(0));
}

// Each button runs its own direction only: the source tree stays as it was,
// the other direction neither starts nor gets a stamp. The log's paths are
// shown after the local field's text where that is their beginning.
void TestWindowJobs::buttonCopiesAndLogsItsDirection_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<QStringList>("files"); // in the source tree
    QTest::addColumn<QStringList>("shown"); // the copies' paths, after the root shown
    QTest::addColumn<QStringList>("arrived"); // the target tree after the run

    QTest::newRow("upload") << true << QStringList {"top.txt", "a/b.txt", ".git/config"}
                            << QStringList {"/a/b.txt", "/top.txt"}
                            << QStringList {"a", "a/b.txt", "other.txt", "top.txt"};
    QTest::newRow("download") << false << QStringList {"sub/r.txt"} << QStringList {"/sub/r.txt"}
                              << QStringList {"other.txt", "sub", "sub/r.txt"};
}

void TestWindowJobs::buttonCopiesAndLogsItsDirection()
{
    QFETCH(bool, upload);
    QFETCH(QStringList, files);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, arrived);
    StoredTrees trees;
    const QString source = upload ? trees.local : trees.remote;
    const QString target = upload ? trees.remote : trees.local;
    for (const QString &file : files)
        trees.write((upload ? "local/" : "remote/") + file, file.toUtf8());
    trees.write((upload ? "remote/" : "local/") + QStringLiteral("other.txt"), "other");
    const QStringList sourceBefore = Tree::snapshot(source);

    ProbedWindow w;
    const qint64 before = nowMs();
    const qint64 treeBefore = Tree::clockMs(trees.dir.path());
    QTest::mouseClick(upload ? w.ui->pushButton : w.ui->pushButton_2, Qt::LeftButton);
    QVERIFY(w.syncing());
    QVERIFY(w.waitForJob());
    const qint64 treeAfter = Tree::clockMs(trees.dir.path());
    const qint64 after = nowMs();

    COMPARE_LISTS(Tree::names(target), arrived);
    for (const QString &file : files) {
        if (QFileInfo::exists(target + QLatin1Char('/') + file))
            QCOMPARE(Tree::readFile(target + QLatin1Char('/') + file), file.toUtf8());
    }
    COMPARE_LISTS(Tree::snapshot(source), sourceBefore);

    // A blank line and the start, the copies, the end with the new stamp.
    const QStringList lines = w.lines();
    QCOMPARE(lines.size(), shown.size() + 3);
    QCOMPARE(lines.at(0), QString());
    const QString started
            = upload ? QStringLiteral("开始上传 0 --> ") : QStringLiteral("开始下载 0 --> ");
    QVERIFY2(lines.at(1).startsWith(started), qPrintable(lines.at(1)));
    const qint64 start = lines.at(1).mid(started.size()).toLongLong();
    QVERIFY(start >= before && start <= after);
    // The local field's text is no beginning of the remote tree's paths.
    const QString root = upload ? QString() : QDir::fromNativeSeparators(trees.remote);
    COMPARE_LISTS(Tree::sorted(lines.mid(2, shown.size())), Tree::prefixed(copied + root, shown));
    // The source tree's own time at the start, less the two-second margin.
    const QString done = upload ? uploadDone : downloadDone;
    const QString &end = lines.last();
    QVERIFY2(end.startsWith(done), qPrintable(end));
    const qint64 stamp = end.mid(done.size()).toLongLong();
    QVERIFY2(stamp >= treeBefore - 2000 && stamp <= treeAfter - 2000, qPrintable(end));

    QCOMPARE(upload ? w.uploadTime() : w.downloadTime(), stamp);
    QCOMPARE(upload ? w.downloadTime() : w.uploadTime(), qint64(0));
    const char *key = upload ? SettingsKeys::uploadTime : SettingsKeys::downloadTime;
    const char *otherKey = upload ? SettingsKeys::downloadTime : SettingsKeys::uploadTime;
    QCOMPARE(w.stored(key), stamp);
    QCOMPARE(openStore()->value(key).toLongLong(), stamp);
    QVERIFY(!w.store->contains(otherKey));
    QVERIFY(!openStore()->contains(otherKey));
}

void TestWindowJobs::typedPathsAreUsed()
{
    StoredTrees trees(false, false);
    trees.write(QStringLiteral("local/typed.txt"), "typed");

    ProbedWindow w;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QCOMPARE(w.lines(), QStringList {noPaths});

    QTest::keyClicks(w.ui->lineEdit, QDir::toNativeSeparators(trees.local));
    QTest::keyClick(w.ui->lineEdit, Qt::Key_Return);
    QTest::keyClicks(w.ui->lineEdit_2, trees.remote);
    QTest::keyClick(w.ui->lineEdit_2, Qt::Key_Return);
    QVERIFY(w.clickAndWait(w.ui->pushButton));

    QCOMPARE(trees.read(QStringLiteral("remote/typed.txt")), QByteArray("typed"));
    QVERIFY(w.lines().contains(copied + QStringLiteral("/typed.txt")));
    QCOMPARE(w.countStarting(uploadDone), 1);
}

void TestWindowJobs::patternFieldAppliesToJobs_data()
{
    QTest::addColumn<bool>("edit");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("arrived");

    QTest::newRow("defaultPattern") << false << QString() << QStringList {"keep.txt", "skip.tmp"};
    QTest::newRow("emptyField") << true << QString()
                                << QStringList {".git", ".git/config", "keep.txt", "skip.tmp"};
    QTest::newRow("tmpFiles") << true << QStringLiteral(".*\\.tmp")
                              << QStringList {".git", ".git/config", "keep.txt"};
    QTest::newRow("blankField") << true << QStringLiteral("  ")
                                << QStringList {".git", ".git/config", "keep.txt", "skip.tmp"};
}

void TestWindowJobs::patternFieldAppliesToJobs()
{
    QFETCH(bool, edit);
    QFETCH(QString, typed);
    QFETCH(QStringList, arrived);
    StoredTrees trees;
    for (const char *name : {"keep.txt", "skip.tmp", ".git/config"})
        trees.write(QStringLiteral("local/") + name, name);

    ProbedWindow w;
    if (edit) {
        w.ui->lineEdit_3->selectAll();
        QTest::keyClick(w.ui->lineEdit_3, Qt::Key_Backspace);
        QTest::keyClicks(w.ui->lineEdit_3, typed);
        QCOMPARE(w.ui->lineEdit_3->text(), typed);
    }
    QVERIFY(w.clickAndWait(w.ui->pushButton));

    QCOMPARE(Tree::names(trees.remote), arrived);
    QCOMPARE(w.countStarting(uploadDone), 1);
}

// The window's own copy and name test read the pattern field and the local
// field as they stand (neither is stored here): a copy that took another
// pattern, or showed its paths after anything but the local field's text,
// fails; so does one that says it went through when it did not.
void TestWindowJobs::windowCopyUsesPatternField()
{
    StoredTrees trees(false, false);
    for (const char *name : {"a.txt", "b.log", ".git/config"})
        trees.write(QStringLiteral("local/") + name, name);
    const QString blocked = trees.path(QStringLiteral("blocked"));
    trees.write(QStringLiteral("blocked/a.txt/in-the-way"), "x");
    ProbedWindow w;
    QVERIFY(w.window.isIgnored(QStringLiteral(".git/")));
    QVERIFY(!w.window.isIgnored(QStringLiteral(".git")));
    QVERIFY(!w.window.isIgnored(QStringLiteral("a.txt")));

    // Paths shown after the local field's text: here the trees' parent.
    w.ui->lineEdit->setText(QDir::toNativeSeparators(trees.dir.path()));
    w.ui->lineEdit_3->setText(QStringLiteral(".*\\.log"));
    QVERIFY(w.window.isIgnored(QStringLiteral("b.log")));
    QVERIFY(!w.window.isIgnored(QStringLiteral(".git/")));
    QVERIFY(w.window.copyDirectory(trees.local, trees.remote, true, 0));
    COMPARE_LISTS(Tree::names(trees.remote), (QStringList {".git", ".git/config", "a.txt"}));
    COMPARE_LISTS(Tree::sorted(w.lines()),
                  Tree::prefixed(copied, {"/local/.git/config", "/local/a.txt"}));

    // Both fields changed again and taken at once; a directory where a.txt
    // goes fails the copy.
    w.ui->plainTextEdit->clear();
    w.ui->lineEdit->setText(QDir::toNativeSeparators(trees.local));
    w.ui->lineEdit_3->setText(QStringLiteral(".*\\.txt"));
    QVERIFY(w.window.isIgnored(QStringLiteral("a.txt")));
    QVERIFY(!w.window.isIgnored(QStringLiteral("b.log")));
    QVERIFY(w.window.copyDirectory(trees.local, blocked, true, 0));
    w.ui->lineEdit_3->clear();
    QVERIFY(!w.window.copyDirectory(trees.local, blocked, true, 0));
    COMPARE_LISTS(Tree::sorted(w.lines()),
                  Tree::sorted(Tree::prefixed(copied, {"/.git/config", "/b.log"})
                               << QStringLiteral("    复制失败：/a.txt（目标位置是目录）")));
    // Nothing of a job: no stamp, no busy flag.
    QCOMPARE(w.uploadTime(), qint64(0));
    QVERIFY(!w.syncing());
}

// While an upload runs, more requests are refused, and a clear of the stamps
// gives way to the upload's own when it completes.
void TestWindowJobs::busyRequestsAreRefusedAndClearGivesWay()
{
    StoredTrees trees;
    writeManyFiles(trees);
    storeValue(SettingsKeys::downloadTime, QVariant(qlonglong(1500000000000)));

    ProbedWindow w;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY2(w.syncing(), "the first request was not accepted");

    // Refused at once, ahead of every line of the job still queued.
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QCOMPARE(w.lines(), QStringList {busy});
    QTest::mouseClick(w.ui->pushButton_2, Qt::LeftButton);
    QCOMPARE(w.lines(), (QStringList {busy, busy}));
    QTest::mouseClick(w.ui->pushButton_3, Qt::LeftButton);
    QVERIFY2(w.syncing(), "the job ended before the clear");
    QCOMPARE(w.downloadTime(), qint64(0));

    QVERIFY(w.waitForJob());
    const QStringList lines = w.lines();
    QCOMPARE(lines.count(busy), 2);
    QCOMPARE(w.countStarting(uploadStart), 1);
    QCOMPARE(w.countStarting(downloadStart), 0);
    QCOMPARE(w.countStarting(copied), manyFiles);
    QVERIFY(lines.lastIndexOf(busy) < indexStarting(lines, uploadStart));
    QCOMPARE(fileCount(trees.remote), manyFiles);
    const qint64 stamp = w.uploadTime();
    QVERIFY(stamp > 0);
    QCOMPARE(w.linesStarting(uploadDone), QStringList {uploadDone + QString::number(stamp)});
    QCOMPARE(w.stored(SettingsKeys::uploadTime), stamp);
    QCOMPARE(w.downloadTime(), qint64(0));
    QCOMPARE(w.stored(SettingsKeys::downloadTime), qint64(0));
}

void TestWindowJobs::tickWithBothBoxesIsOneRequest()
{
    StoredTrees trees;
    trees.write(QStringLiteral("local/up.txt"), "up");
    trees.write(QStringLiteral("remote/down.txt"), "down");
    storeTimedSync(3600, true, true);

    ProbedWindow w;
    QVERIFY(w.syncTimer->isActive());
    w.tick();
    QVERIFY(w.syncing());
    // Nothing refused: both directions went to the one request.
    QVERIFY(w.log().isEmpty());
    QVERIFY(w.waitForJob());

    const QStringList lines = w.lines();
    QVERIFY(!lines.contains(busy));
    const int up = indexStarting(lines, uploadStart);
    QVERIFY(up >= 0);
    QVERIFY(up < indexStarting(lines, uploadDone));
    QVERIFY(indexStarting(lines, uploadDone) < indexStarting(lines, downloadStart));
    QVERIFY(indexStarting(lines, downloadStart) < indexStarting(lines, downloadDone));
    QCOMPARE(w.countStarting(uploadStart), 1);
    QCOMPARE(w.countStarting(downloadStart), 1);
    QCOMPARE(trees.read(QStringLiteral("remote/up.txt")), QByteArray("up"));
    QCOMPARE(trees.read(QStringLiteral("local/down.txt")), QByteArray("down"));
    QVERIFY(w.uploadTime() != 0);
    QVERIFY(w.downloadTime() != 0);
    QCOMPARE(w.stored(SettingsKeys::downloadTime), w.downloadTime());
    QCOMPARE(w.stored(SettingsKeys::uploadTime), w.uploadTime());
}

// A share file dated an hour ahead, downloaded and then edited here: the
// next tick with both boxes uploads the edit and the download keeps it.
void TestWindowJobs::tickKeepsLocalEditOverShareDatedAhead()
{
    StoredTrees trees;
    trees.write(QStringLiteral("remote/plan.txt"), "share version",
                QDateTime::currentDateTimeUtc().addSecs(3600));
    storeTimedSync(3600, true, true);

    ProbedWindow w;
    QVERIFY(w.clickAndWait(w.ui->pushButton_2));
    QCOMPARE(trees.read(QStringLiteral("local/plan.txt")), QByteArray("share version"));
    QSaveFile edit(trees.local + QStringLiteral("/plan.txt"));
    QVERIFY(edit.open(QIODevice::WriteOnly));
    edit.write("edited here");
    QVERIFY(edit.commit());

    w.ui->plainTextEdit->clear();
    w.tick();
    QVERIFY(w.waitForJob());
    QCOMPARE(trees.read(QStringLiteral("local/plan.txt")), QByteArray("edited here"));
    // The record tells the share's file has not changed since it came
    // down: the edit goes up, whatever the share's clock says.
    COMPARE_LISTS(w.linesStarting(QStringLiteral("    ")), QStringList {copied + "/plan.txt"});
    QCOMPARE(trees.read(QStringLiteral("remote/plan.txt")), QByteArray("edited here"));
}

// Each run starts from its direction's stamp, until the stamps are cleared.
void TestWindowJobs::nextRunStartsFromStampOrFromZeroAfterClear()
{
    StoredTrees trees;
    trees.write(QStringLiteral("local/old.txt"), "old");

    ProbedWindow w;
    QVERIFY(w.clickAndWait(w.ui->pushButton));
    const qint64 stamp = w.uploadTime();
    QVERIFY(stamp > 0);

    // A file changed after the stamp goes; the old one, unchanged, does not.
    trees.write(QStringLiteral("local/new.txt"), "new",
                QDateTime::fromMSecsSinceEpoch(stamp + 60000));
    QVERIFY(w.clickAndWait(w.ui->pushButton));
    QVERIFY(w.linesStarting(uploadStart)
                    .value(1)
                    .startsWith(uploadStart + QString::number(stamp) + QStringLiteral(" --> ")));
    QCOMPARE(w.linesStarting(copied), Tree::prefixed(copied, {"/old.txt", "/new.txt"}));

    QVERIFY(w.clickAndWait(w.ui->pushButton_2));
    QVERIFY(w.downloadTime() > 0);
    QTest::mouseClick(w.ui->pushButton_3, Qt::LeftButton);
    QCOMPARE(w.lines().last(), cacheCleared);

    QVERIFY(w.clickAndWait(w.ui->pushButton));
    QVERIFY(w.clickAndWait(w.ui->pushButton_2));
    const QStringList uploads = w.linesStarting(uploadStart);
    const QStringList downloads = w.linesStarting(downloadStart);
    QCOMPARE(uploads.size(), 3);
    QCOMPARE(downloads.size(), 2);
    QVERIFY(uploads.at(2).startsWith(uploadStart + QStringLiteral("0 --> ")));
    QVERIFY(downloads.at(1).startsWith(downloadStart + QStringLiteral("0 --> ")));
}

void TestWindowJobs::destroyingWindowStopsRunningJob()
{
    StoredTrees trees;
    writeManyFiles(trees);

    auto w = std::make_unique<ProbedWindow>();
    const auto session = w->session();
    w->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w->window));
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    // Under way: the first directory of the copy is there.
    QVERIFY2(QTest::qWaitFor([&trees] { return !Tree::names(trees.remote).isEmpty(); }, 60000),
             "no directory of the copy arrived");
    QVERIFY2(w->syncing(), "the job ended before the window was closed");

    w->window.close();
    w.reset();
    const QStringList namesAtDestruction = Tree::names(trees.remote);

    // The job had ended inside the destructor: nothing changes afterwards.
    QVERIFY(session->waitForJobs(10000));
    QCOMPARE(Tree::names(trees.remote), namesAtDestruction);

    QVERIFY2(fileCount(trees.remote) < manyFiles, "the job was not stopped early");
    // Every file there arrived whole; no partial or temporary file is left.
    for (const QString &name : namesAtDestruction) {
        const QString target = trees.remote + QLatin1Char('/') + name;
        const QString source = trees.local + QLatin1Char('/') + name;
        QVERIFY2(QFileInfo::exists(source), qPrintable(name));
        if (QFileInfo(target).isFile())
            QCOMPARE(Tree::readFile(target), Tree::readFile(source));
    }
    // An unfinished upload keeps the old stamp.
    QCOMPARE(openStore()->value(SettingsKeys::uploadTime, qlonglong(0)).toLongLong(), qint64(0));
}

void TestWindowJobs::stampOfJobEndedBeforeDestroyIsStored()
{
    StoredTrees trees;
    trees.write(QStringLiteral("local/a.txt"), "a");

    auto w = std::make_unique<ProbedWindow>();
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    // Waits for the job without running the event loop, so what the job
    // posted for the GUI thread is still waiting there. The window stores a
    // job's stamp on its own thread, so both the member and the store still
    // wait for it.
    QVERIFY(w->session()->waitForJobs(10000));
    QCOMPARE(w->uploadTime(), qint64(0));
    QVERIFY(!w->store->contains(SettingsKeys::uploadTime));

    const qint64 before = nowMs();
    w.reset();
    const qint64 stamp = openStore()->value(SettingsKeys::uploadTime).toLongLong();
    QVERIFY2(stamp > before - 60000 && stamp < before, qPrintable(QString::number(stamp)));
    QCOMPARE(trees.read(QStringLiteral("remote/a.txt")), QByteArray("a"));
}

#ifdef Q_OS_UNIX
// A job blocked in the kernel (its share's driver stopped) cannot stop at a
// boundary; the window must go anyway, and the job, once it can go on, must
// neither touch the window nor store its stamp.
void TestWindowJobs::destroyingWindowOverHungShareLeavesJobBehind()
{
    RemoteMount share(QStringLiteral("bindfs"));
    QVERIFY2(share.isMounted(), qPrintable(share.error()));
    StoredTrees trees(true, false);
    trees.write(QStringLiteral("local/a.txt"), "a");
    storeValue(SettingsKeys::remoteDir, share.path());

    auto w = std::make_unique<ProbedWindow>();
    const auto session = w->session();
    QVERIFY(share.freeze());
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    QTRY_VERIFY(w->countStarting(uploadStart) > 0);
    QTest::qWait(200); // the job is now blocked on the share

    QElapsedTimer clock;
    clock.start();
    w.reset();
    const qint64 tookMs = clock.elapsed();
    if (!sanitizedBuild)
        QVERIFY2(tookMs < 2000, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QVERIFY2(session->jobsRunning() > 0, "the job was not blocked");

    share.thaw();
    QVERIFY(session->waitForJobs(10000));
    QCoreApplication::sendPostedEvents();
    QVERIFY(!QFileInfo::exists(share.underPath() + QStringLiteral("/a.txt")));
    QCOMPARE(openStore()->value(SettingsKeys::uploadTime, qlonglong(0)).toLongLong(), qint64(0));
}
#endif

QTEST_MAIN(TestWindowJobs)
#include "test_window_jobs.moc"
