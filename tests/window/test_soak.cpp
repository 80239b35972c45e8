// Soak: the window syncs both ways every second while two other processes
// keep editing both trees, the way people, editors and programs do: new
// files, plain rewrites in place (at once, or in parts as a program produces
// its output), and saves that write a temporary name and rename it over the
// file. Writer 1 works in the local tree, writer 2 in the remote tree, on
// names of their own, so no file is ever edited on both sides. When they stop
// and two more quiet rounds have run, both trees must hold exactly the files
// the writers made, each with the content of its last edit.
//
// The writers are this executable, started again as
//     test_soak --writer DIR SEED PREFIX SECONDS JOURNAL
// Each appends a journal line for every state it leaves behind; the journal
// lives outside the trees.
//
// TWINFOLD_SOAK_SECONDS sets how long the writers write (default 12);
// TWINFOLD_SEED fixes the seed.

#include "support/build_kind.h"
#include "support/checks.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <QTextBlock>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Editors keep their unsaved work under names like ".name.swp" next to the
// file; the user has the pattern skip those, as well as dot directories.
const char ignorePattern[] = "^\\..*/$|^\\..*\\.swp$";

int soakSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("TWINFOLD_SOAK_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 12;
}

quint32 seedFromEnvironment()
{
    bool ok = false;
    const quint32 fixed = qEnvironmentVariable("TWINFOLD_SEED").toUInt(&ok);
    return ok ? fixed : QRandomGenerator::global()->generate();
}

QByteArray md5(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
}

// --- the writer process ------------------------------------------------------

// Edits its tree for a while and notes every state it leaves behind.
class Writer
{
public:
    Writer(const QByteArray &root, quint32 seed, const QByteArray &prefix, int journal)
        : root(root)
        , random(seed)
        , prefix(prefix)
        , journal(journal)
    { }

    bool run(int seconds)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < qint64(seconds) * 1000) {
            const quint32 roll = random.bounded(100);
            bool ok = true;
            if (files.size() < 5 || (roll < 20 && files.size() < 80))
                ok = createFile();
            else if (roll < 25 && directories.size() < 8)
                ok = createDirectory();
            else if (roll < 62)
                ok = rewriteInPlace(roll >= 45);
            else
                ok = saveThroughTemporary(pick(files), false);
            if (!ok)
                return false;
            // The pace of a busy program, not a wait for anything: 2 to 20 ms
            // between edits, so one file may change twice within a few ms.
            QThread::usleep(2000 + random.bounded(18000));
        }
        QByteArray counts;
        for (const int count : {creates, inPlace, inSteps, renames, made})
            counts += '\t' + QByteArray::number(count);
        return note("end" + counts);
    }

private:
    bool createDirectory()
    {
        const QByteArray &parent = pick(directories);
        if (parent.count('/') >= 3)
            return true;
        const QByteArray path = parent + prefix + " 目录 " + QByteArray::number(++made) + '/';
        if (::mkdir(absolute(path).constData(), 0755) != 0)
            return fail("mkdir", path);
        directories << path;
        return note("mkdir\t" + path);
    }

    bool createFile()
    {
        static const QList<QByteArray> endings = {".txt", ".md", " 笔记.txt", "", ".tar.gz"};
        const QByteArray path = pick(directories) + prefix + '-'
                                + QByteArray::number(files.size() + 1) + pick(endings);
        files << path;
        ++creates;
        if (random.bounded(2) == 0)
            return saveThroughTemporary(path, true);
        const QByteArray content = nextContent(path);
        return writeFile(path, O_CREAT | O_EXCL, content)
               && note("create\t" + path + '\t' + md5(content));
    }

    // Truncate and write, as a program that rewrites its file does: at once
    // or in two to four parts.
    bool rewriteInPlace(bool inParts)
    {
        const QByteArray &path = pick(files);
        if (!checkUnchanged(path))
            return false;
        const QByteArray content = nextContent(path);
        if (!writeFile(path, O_TRUNC, content, inParts ? 2 + int(random.bounded(3)) : 1))
            return false;
        ++(inParts ? inSteps : inPlace);
        return note("edit\t" + path + '\t' + md5(content));
    }

    // Write ".name.swp" beside the file, then rename it over the file.
    bool saveThroughTemporary(const QByteArray &path, bool created)
    {
        if (!created && !checkUnchanged(path))
            return false;
        const int slash = path.lastIndexOf('/');
        const QByteArray temporary = path.left(slash + 1) + '.' + path.mid(slash + 1) + ".swp";
        const QByteArray content = nextContent(path);
        if (!writeFile(temporary, O_CREAT | O_TRUNC, content))
            return false;
        if (::rename(absolute(temporary).constData(), absolute(path).constData()) != 0)
            return fail("rename", temporary);
        lastWritten.insert(path, md5(content));
        if (!created)
            ++renames;
        return note((created ? "create\t" : "rename\t") + path + '\t' + md5(content));
    }

    // Opens with flags and writes the content in parts, as a program produces
    // its output (a shell redirection, a log, a compiler), computing each
    // next part for 0.1 to 1 ms; the content is then what this writer last
    // left there.
    bool writeFile(const QByteArray &path, int flags, const QByteArray &content, int parts = 1)
    {
        const int fd = ::open(absolute(path).constData(), O_WRONLY | O_CLOEXEC | flags, 0644);
        if (fd < 0)
            return fail("open", path);
        bool written = true;
        for (int part = 0; part < parts && written; ++part) {
            const int from = content.size() * part / parts;
            const int to = content.size() * (part + 1) / parts;
            written = ::write(fd, content.constData() + from, size_t(to - from))
                      == ssize_t(to - from);
            if (part + 1 < parts)
                QThread::usleep(100 + random.bounded(900));
        }
        if (::close(fd) != 0 || !written)
            return fail("write", path);
        lastWritten.insert(path, md5(content));
        return true;
    }

    // Every revision of a file differs in length from the one before: two
    // revisions written within one tick of the file system's clock are
    // otherwise the same file to anything that compares time and size.
    QByteArray nextContent(const QByteArray &path)
    {
        QByteArray content
                = prefix + ' ' + path + " revision " + QByteArray::number(++counter) + '\n';
        const int length = 16 + int(random.bounded(6000));
        while (content.size() < length)
            content += char('a' + random.bounded(26));
        if (content.size() == lastSize.value(path, -1))
            content += '+';
        lastSize.insert(path, content.size());
        return content;
    }

    // Only this writer changes its files in its tree; the sync may put the
    // same content there again, nothing else. Before every edit it looks, as
    // an editor does before saving over a file that changed on disk.
    bool checkUnchanged(const QByteArray &path)
    {
        QFile file(QFile::decodeName(absolute(path)));
        const QByteArray found = file.open(QIODevice::ReadOnly) ? md5(file.readAll()) : "missing";
        return found == lastWritten.value(path)
               || note("changed\t" + path + '\t' + lastWritten.value(path) + '\t' + found);
    }

    const QByteArray &pick(const QList<QByteArray> &list)
    {
        return list.at(int(random.bounded(quint32(list.size()))));
    }
    QByteArray absolute(const QByteArray &path) const { return root + '/' + path; }
    bool note(const QByteArray &line)
    {
        const QByteArray whole = line + '\n';
        return ::write(journal, whole.constData(), size_t(whole.size())) == ssize_t(whole.size());
    }
    bool fail(const char *what, const QByteArray &path)
    {
        std::fprintf(stderr, "writer %s: %s %s: %s\n", prefix.constData(), what, path.constData(),
                     std::strerror(errno));
        return false;
    }

    QByteArray root;
    QRandomGenerator random;
    QByteArray prefix;
    int journal;
    QList<QByteArray> directories {QByteArray()}; // relative, "" for the root, else ending in '/'
    QList<QByteArray> files;
    QHash<QByteArray, int> lastSize;
    QHash<QByteArray, QByteArray> lastWritten; // md5 of what this writer last left in each file
    int creates = 0;
    int inPlace = 0;
    int inSteps = 0;
    int renames = 0;
    int made = 0;
    int counter = 0;
};

int runWriter(int argc, char **argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s --writer DIR SEED PREFIX SECONDS JOURNAL\n", argv[0]);
        return 2;
    }
    const int journal = ::open(argv[6], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (journal < 0) {
        std::perror(argv[6]);
        return 2;
    }
    Writer writer(argv[2], quint32(QByteArray(argv[3]).toUInt()), argv[4], journal);
    const bool ok = writer.run(QByteArray(argv[5]).toInt());
    return ::close(journal) == 0 && ok ? 0 : 1;
}

// --- what the test reads -------------------------------------------------------

struct Journal
{
    QMap<QByteArray, QByteArray> files; // path -> md5 of the last content written
    QHash<QByteArray, QList<QByteArray>> history; // path -> md5 of every revision, in order
    QSet<QByteArray> directories; // ending in '/'
    QStringList changed; // files the writer found changed under it
    QList<int> counts; // created, rewritten at once, in parts, saved by a rename, directories

    int edits() const
    {
        return counts.size() < 4 ? 0 : counts[0] + counts[1] + counts[2] + counts[3];
    }

    static Journal read(const QString &path)
    {
        Journal journal;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return journal;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            const QByteArray &kind = fields.first();
            if (kind == "changed" && fields.size() == 4) {
                const QList<QByteArray> &revisions = journal.history[fields.at(1)];
                const int found = revisions.lastIndexOf(fields.at(3));
                journal.changed
                        << QStringLiteral("%1 held %2 instead of revision %3, its last")
                                   .arg(QString::fromUtf8(fields.at(1)),
                                        found < 0 ? QStringLiteral("content its writer never wrote")
                                                  : QStringLiteral("revision %1").arg(found + 1))
                                   .arg(revisions.lastIndexOf(fields.at(2)) + 1);
            } else if (kind == "mkdir" && fields.size() == 2) {
                journal.directories.insert(fields.at(1));
            } else if ((kind == "create" || kind == "edit" || kind == "rename")
                       && fields.size() == 3) {
                journal.files.insert(fields.at(1), fields.at(2));
                journal.history[fields.at(1)] << fields.at(2);
            } else if (kind == "end" && fields.size() == 6) {
                for (int i = 1; i < 6; ++i)
                    journal.counts << fields.at(i).toInt();
            }
        }
        return journal;
    }
};

// Every entry below root by relative path: "dir" or the md5 of the content.
// Hidden ones too: a temporary left behind is an entry no writer made.
QMap<QByteArray, QByteArray> treeOf(const QString &root)
{
    QMap<QByteArray, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const QByteArray path = QFile::encodeName(it.filePath().mid(root.size() + 1));
        if (it.fileInfo().isDir())
            tree.insert(path + '/', "dir");
        else
            tree.insert(path, file.open(QIODevice::ReadOnly) ? md5(file.readAll()) : "?");
    }
    return tree;
}

// "path md5" lines, for a whole-tree comparison.
QStringList linesOf(const QMap<QByteArray, QByteArray> &tree)
{
    QStringList lines;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        lines << QString::fromUtf8(it.key() + ' ' + it.value());
    return lines;
}

// The runs the log pane shows, read a new block at a time. Jobs never
// overlap, so a direction's end line belongs to its last start line.
class RunLog
{
public:
    struct Run
    {
        bool upload = true;
        qint64 start = 0;
        QString end; // empty while it runs
        bool succeeded() const { return end.contains(QStringLiteral("成功")); }
    };

    void read(const QPlainTextEdit *pane)
    {
        const QTextDocument *document = pane->document();
        for (; !document->isEmpty() && nextBlock < document->blockCount(); ++nextBlock)
            take(document->findBlockByNumber(nextBlock).text());
    }

    // Runs of the direction that started after the moment and have ended.
    int endedSince(bool upload, qint64 moment) const
    {
        return int(std::count_if(runs.begin(), runs.end(), [&](const Run &run) {
            return run.upload == upload && run.start > moment && !run.end.isEmpty();
        }));
    }
    int succeeded() const
    {
        return int(std::count_if(runs.begin(), runs.end(), std::mem_fn(&Run::succeeded)));
    }
    // End lines of the runs that started after the moment and did not complete.
    QStringList unfinishedSince(qint64 moment) const
    {
        QStringList lines;
        for (const Run &run : runs) {
            if (run.start > moment && !run.end.isEmpty() && !run.succeeded())
                lines << run.end;
        }
        return lines;
    }

    int copies = 0;
    int keptNewer = 0;
    int refused = 0;
    QStringList failures;
    QVector<Run> runs;

private:
    void take(const QString &line)
    {
        if (line.startsWith(LogTexts::uploadStart) || line.startsWith(LogTexts::downloadStart)) {
            Run run;
            run.upload = line.startsWith(LogTexts::uploadStart);
            run.start = line.section(QStringLiteral(" --> "), 1).toLongLong();
            (run.upload ? openUpload : openDownload) = runs.size();
            runs << run;
        } else if (line.startsWith(QStringLiteral("上传")) && openUpload >= 0) {
            runs[std::exchange(openUpload, -1)].end = line;
        } else if (line.startsWith(QStringLiteral("下载")) && openDownload >= 0) {
            runs[std::exchange(openDownload, -1)].end = line;
        } else if (line.startsWith(LogTexts::copied)) {
            ++copies;
        } else if (line.startsWith(QStringLiteral("    目标较新，未覆盖："))) {
            ++keptNewer;
        } else if (line.startsWith(QStringLiteral("    复制失败："))) {
            failures << line;
        } else if (line == LogTexts::busy) {
            ++refused;
        }
    }

    int nextBlock = 0;
    int openUpload = -1;
    int openDownload = -1;
};

// For a file that is wrong: which revision each tree holds, and its times.
QString explain(const QByteArray &path, const QList<QByteArray> &history, const QString &local,
                const QString &remote)
{
    QStringList parts;
    parts << QStringLiteral("%1: %2 revisions").arg(QString::fromUtf8(path)).arg(history.size());
    for (const QString &root : {local, remote}) {
        QFile file(root + QLatin1Char('/') + QString::fromUtf8(path));
        struct stat st
        {
        };
        const QByteArray full = QFile::encodeName(file.fileName());
        if (!file.open(QIODevice::ReadOnly) || ::stat(full.constData(), &st) != 0) {
            parts << QStringLiteral("%1 missing").arg(root);
            continue;
        }
        const QByteArray content = file.readAll();
        const int revision = history.lastIndexOf(md5(content));
        parts << QStringLiteral("%1 has revision %2 (%3 bytes, mtime %4.%5, ctime %6.%7)")
                         .arg(root)
                         .arg(revision < 0 ? QStringLiteral("none of them")
                                           : QString::number(revision + 1))
                         .arg(content.size())
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec, 9, 10, QLatin1Char('0'))
                         .arg(st.st_ctim.tv_sec)
                         .arg(st.st_ctim.tv_nsec, 9, 10, QLatin1Char('0'));
    }
    return parts.join(QStringLiteral("; "));
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void editsOnBothSidesEndInStepOnBothSides();

private:
    IsolatedSettings isolated;
};

void TestSoak::editsOnBothSidesEndInStepOnBothSides()
{
    const int seconds = soakSeconds();
    const quint32 seed = seedFromEnvironment();
    qInfo("seed %u (set TWINFOLD_SEED to repeat), writers write for %d s", seed, seconds);

    StoredTrees trees;
    storeTimedSync(1, true, true);
    storeValue(SettingsKeys::ignorePattern, QString::fromLatin1(ignorePattern));

    ProbedWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QVERIFY(w.ui->checkBox->isChecked());
    QVERIFY(w.ui->checkBox_2->isChecked());
    QCOMPARE(w.ui->spinBox->value(), 1);
    QCOMPARE(w.ui->lineEdit_3->text(), QString::fromLatin1(ignorePattern));

    QProcess writers[2];
    const QString journals[2]
            = {trees.path(QStringLiteral("journal-1")), trees.path(QStringLiteral("journal-2"))};
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 2; ++i) {
        writers[i].start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--writer"), i == 0 ? trees.local : trees.remote,
                          QString::number(i == 0 ? seed : seed ^ 0x9e3779b9u),
                          QStringLiteral("w%1").arg(i + 1), QString::number(seconds), journals[i]});
        QVERIFY(writers[i].waitForStarted());
    }

    RunLog runs;
    // The window syncs all along; the test only watches.
    QTRY_VERIFY_WITH_TIMEOUT(
            (runs.read(w.ui->plainTextEdit), writers[0].state() == QProcess::NotRunning
                                                     && writers[1].state() == QProcess::NotRunning),
            (seconds + 60) * 1000);
    const qint64 stopped = QDateTime::currentMSecsSinceEpoch();
    const qint64 writing = clock.elapsed();
    for (QProcess &writer : writers) {
        QVERIFY2(writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0,
                 writer.readAllStandardError().constData());
    }
    const int runsWhileWriting = runs.succeeded();

    // Two quiet rounds: two runs of each direction that started after the
    // writers stopped, and ended.
    QTRY_VERIFY_WITH_TIMEOUT(
            (runs.read(w.ui->plainTextEdit),
             runs.endedSince(true, stopped) >= 2 && runs.endedSince(false, stopped) >= 2),
            60000);
    QTest::mouseClick(w.ui->checkBox, Qt::LeftButton);
    QTest::mouseClick(w.ui->checkBox_2, Qt::LeftButton);
    QVERIFY(!w.ui->checkBox->isChecked() && !w.ui->checkBox_2->isChecked());
    QVERIFY(w.waitForJob(30000)); // its last lines are shown then
    runs.read(w.ui->plainTextEdit);

    const Journal journal[2] = {Journal::read(journals[0]), Journal::read(journals[1])};
    QCOMPARE(journal[0].counts.size(), 5); // the writer's last line: it ended
    QCOMPARE(journal[1].counts.size(), 5);
    const QList<int> &c1 = journal[0].counts;
    const QList<int> &c2 = journal[1].counts;
    qInfo("wrote for %.1f s; writer 1: %d files created, %d rewritten in place at once, %d "
          "rewritten in place in parts, %d saved through a rename, %d directories; "
          "writer 2: %d, %d, %d, %d, %d",
          writing / 1000.0, c1[0], c1[1], c1[2], c1[3], c1[4], c2[0], c2[1], c2[2], c2[3], c2[4]);
    qInfo("%d sync runs completed (%d while the writers wrote), %d files copied, %d newer "
          "targets kept, %d ticks refused while a job ran, %d runs not completed",
          runs.succeeded(), runsWhileWriting, runs.copies, runs.keptNewer, runs.refused,
          int(runs.unfinishedSince(0).size()));
    // A soak that did not soak proves nothing. A sanitizer slows both sides
    // several times: there it has only to have happened.
    for (const Journal &written : journal)
        QVERIFY(written.edits() > (sanitizedBuild ? 0 : seconds * 10));
    QVERIFY(runsWhileWriting >= (sanitizedBuild ? 1 : seconds / 2));

    // No writer found a file of its own changed by anyone else while it worked.
    const QStringList changed = journal[0].changed + journal[1].changed;
    QVERIFY2(changed.isEmpty(),
             qPrintable(QStringLiteral("the sync changed %1 files under their writer:\n%2")
                                .arg(changed.size())
                                .arg(changed.join(QLatin1Char('\n')))));

    // Exactly the files and directories the writers made, on both sides, and
    // nothing else: no temporary of a copy left behind.
    QMap<QByteArray, QByteArray> expected;
    for (const Journal &written : journal) {
        for (auto it = written.files.cbegin(); it != written.files.cend(); ++it)
            expected.insert(it.key(), it.value());
        for (const QByteArray &directory : written.directories)
            expected.insert(directory, "dir");
    }
    const auto localTree = treeOf(trees.local);
    const auto remoteTree = treeOf(trees.remote);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (localTree.value(it.key()) == it.value() && remoteTree.value(it.key()) == it.value())
            continue;
        const auto &history = journal[it.key().startsWith("w1") ? 0 : 1].history;
        qWarning("%s",
                 qPrintable(explain(it.key(), history.value(it.key()), trees.local, trees.remote)));
    }
    COMPARE_LISTS(linesOf(localTree), linesOf(expected));
    COMPARE_LISTS(linesOf(remoteTree), linesOf(expected));
    // While a writer works, a file may change under the copy on either side,
    // or two of its versions may carry one time; the run then leaves it for
    // the next one and does not complete. Every other failure is a fault.
    static const QStringList whileWriting {
            QStringLiteral("源文件在复制时被修改"), QStringLiteral("目标在复制时被修改"),
            QStringLiteral("目标在复制时出现"), QStringLiteral("无法判断哪个较新")};
    QStringList unexpected;
    for (const QString &line : qAsConst(runs.failures)) {
        if (std::none_of(whileWriting.begin(), whileWriting.end(),
                         [&line](const QString &reason) { return line.contains(reason); }))
            unexpected << line;
    }
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(QLatin1Char('\n'))));
    // Once the writers are quiet, every run completes.
    const QStringList unfinished = runs.unfinishedSince(stopped);
    QVERIFY2(unfinished.isEmpty(), qPrintable(unfinished.join(QLatin1Char('\n'))));
}

int main(int argc, char **argv)
{
    if (argc >= 2 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestSoak test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_soak.moc"
