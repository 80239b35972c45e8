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

#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "support/test_settings.h"
#include "window/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// The one thing the widgets do not show: whether a job is still running.
struct MainWindowProbe
{
    static bool syncing(const MainWindow &window) { return window.syncing.load(); }
};

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

class Writer
{
public:
    Writer(const QByteArray &root, quint32 seed, const QByteArray &prefix, int journal)
        : root(root)
        , random(seed)
        , prefix(prefix)
        , journal(journal)
    { }

    bool run(int seconds);

private:
    bool createDirectory();
    bool createFile();
    bool rewriteInPlace();
    bool rewriteInSteps();
    bool saveThroughTemporary(const QByteArray &path, bool created);
    QByteArray nextContent(const QByteArray &path);
    bool checkUnchanged(const QByteArray &path);
    void wrote(const QByteArray &path, const QByteArray &content);
    QByteArray absolute(const QByteArray &path) const { return root + '/' + path; }
    bool note(const QByteArray &line);
    bool fail(const char *what, const QByteArray &path);

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

bool Writer::note(const QByteArray &line)
{
    const QByteArray whole = line + '\n';
    return ::write(journal, whole.constData(), size_t(whole.size())) == ssize_t(whole.size());
}

bool Writer::fail(const char *what, const QByteArray &path)
{
    std::fprintf(stderr, "writer %s: %s %s: %s\n", prefix.constData(), what, path.constData(),
                 std::strerror(errno));
    return false;
}

// Every revision of a file differs in length from the one before: two
// revisions written within one tick of the file system's clock are otherwise
// the same file to anything that compares time and size.
QByteArray Writer::nextContent(const QByteArray &path)
{
    QByteArray content = prefix + ' ' + path + " revision " + QByteArray::number(++counter) + '\n';
    const int length = 16 + int(random.bounded(6000));
    while (content.size() < length)
        content += char('a' + random.bounded(26));
    if (content.size() == lastSize.value(path, -1))
        content += '+';
    lastSize.insert(path, content.size());
    return content;
}

void Writer::wrote(const QByteArray &path, const QByteArray &content)
{
    lastWritten.insert(path, md5(content));
}

// Only this writer changes its files in its tree; the sync may put the same
// content there again, nothing else. Before every edit it looks, as an editor
// does before saving over a file that changed on disk.
bool Writer::checkUnchanged(const QByteArray &path)
{
    QFile file(QFile::decodeName(absolute(path)));
    const QByteArray found = file.open(QIODevice::ReadOnly) ? md5(file.readAll()) : "missing";
    if (found == lastWritten.value(path))
        return true;
    return note("changed\t" + path + '\t' + lastWritten.value(path) + '\t' + found);
}

bool Writer::createDirectory()
{
    const QByteArray &parent = directories.at(int(random.bounded(quint32(directories.size()))));
    if (parent.count('/') >= 3)
        return true;
    const QByteArray path = parent + prefix + " 目录 " + QByteArray::number(++made) + '/';
    if (::mkdir(absolute(path).constData(), 0755) != 0)
        return fail("mkdir", path);
    directories << path;
    return note("mkdir\t" + path);
}

bool Writer::createFile()
{
    static const QList<QByteArray> endings = {".txt", ".md", " 笔记.txt", "", ".tar.gz"};
    const QByteArray &directory = directories.at(int(random.bounded(quint32(directories.size()))));
    const QByteArray path = directory + prefix + '-' + QByteArray::number(files.size() + 1)
                            + endings.at(int(random.bounded(quint32(endings.size()))));
    files << path;
    ++creates;
    if (random.bounded(2) == 0)
        return saveThroughTemporary(path, true);
    const QByteArray content = nextContent(path);
    const int fd
            = ::open(absolute(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("create", path);
    const bool written
            = ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    if (::close(fd) != 0 || !written)
        return fail("write", path);
    wrote(path, content);
    return note("create\t" + path + '\t' + md5(content));
}

// Truncate and write, as a program that rewrites its file does.
bool Writer::rewriteInPlace()
{
    const QByteArray &path = files.at(int(random.bounded(quint32(files.size()))));
    if (!checkUnchanged(path))
        return false;
    const QByteArray content = nextContent(path);
    const int fd = ::open(absolute(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return fail("open", path);
    const bool written
            = ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    if (::close(fd) != 0 || !written)
        return fail("rewrite", path);
    wrote(path, content);
    ++inPlace;
    return note("edit\t" + path + '\t' + md5(content));
}

// Truncate, then write the content in parts as it is produced, the way a
// program writes its output file (a shell redirection, a log, a compiler).
bool Writer::rewriteInSteps()
{
    const QByteArray &path = files.at(int(random.bounded(quint32(files.size()))));
    if (!checkUnchanged(path))
        return false;
    const QByteArray content = nextContent(path);
    const int fd = ::open(absolute(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return fail("open", path);
    bool written = true;
    const int parts = 2 + int(random.bounded(3));
    for (int part = 0; part < parts && written; ++part) {
        const int from = content.size() * part / parts;
        const int to = content.size() * (part + 1) / parts;
        written = ::write(fd, content.constData() + from, size_t(to - from)) == ssize_t(to - from);
        // The program computing its next part: 0.1 to 1 ms.
        if (part + 1 < parts)
            QThread::usleep(100 + random.bounded(900));
    }
    if (::close(fd) != 0 || !written)
        return fail("rewrite", path);
    wrote(path, content);
    ++inSteps;
    return note("edit\t" + path + '\t' + md5(content));
}

// Write ".name.swp" beside the file, then rename it over the file.
bool Writer::saveThroughTemporary(const QByteArray &path, bool created)
{
    if (!created && !checkUnchanged(path))
        return false;
    const int slash = path.lastIndexOf('/');
    const QByteArray temporary = path.left(slash + 1) + '.' + path.mid(slash + 1) + ".swp";
    const QByteArray content = nextContent(path);
    const int fd = ::open(absolute(temporary).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          0644);
    if (fd < 0)
        return fail("create", temporary);
    const bool written
            = ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    if (::close(fd) != 0 || !written)
        return fail("write", temporary);
    if (::rename(absolute(temporary).constData(), absolute(path).constData()) != 0)
        return fail("rename", temporary);
    wrote(path, content);
    if (!created)
        ++renames;
    return note((created ? "create\t" : "rename\t") + path + '\t' + md5(content));
}

bool Writer::run(int seconds)
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
        else if (roll < 45)
            ok = rewriteInPlace();
        else if (roll < 62)
            ok = rewriteInSteps();
        else
            ok = saveThroughTemporary(files.at(int(random.bounded(quint32(files.size())))), false);
        if (!ok)
            return false;
        // The pace of a busy program, not a wait for anything: 2 to 20 ms
        // between edits, so one file may change twice within a few ms.
        QThread::usleep(2000 + random.bounded(18000));
    }
    return note("end\t" + QByteArray::number(creates) + '\t' + QByteArray::number(inPlace) + '\t'
                + QByteArray::number(inSteps) + '\t' + QByteArray::number(renames) + '\t'
                + QByteArray::number(made));
}

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
    int creates = 0;
    int inPlace = 0;
    int inSteps = 0;
    int renames = 0;
    int made = 0;
    bool ended = false;

    static Journal read(const QString &path)
    {
        Journal journal;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return journal;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.first() == "changed" && fields.size() == 4) {
                const QList<QByteArray> &revisions = journal.history[fields.at(1)];
                const int found = revisions.lastIndexOf(fields.at(3));
                journal.changed
                        << QStringLiteral("%1 held %2 instead of revision %3, its last")
                                   .arg(QString::fromUtf8(fields.at(1)),
                                        found < 0 ? QStringLiteral("content its writer "
                                                                   "never wrote")
                                                  : QStringLiteral("revision %1").arg(found + 1))
                                   .arg(revisions.lastIndexOf(fields.at(2)) + 1);
            } else if (fields.first() == "mkdir" && fields.size() == 2) {
                journal.directories.insert(fields.at(1));
            } else if ((fields.first() == "create" || fields.first() == "edit"
                        || fields.first() == "rename")
                       && fields.size() == 3) {
                journal.files.insert(fields.at(1), fields.at(2));
                journal.history[fields.at(1)] << fields.at(2);
            } else if (fields.first() == "end" && fields.size() == 6) {
                journal.creates = fields.at(1).toInt();
                journal.inPlace = fields.at(2).toInt();
                journal.inSteps = fields.at(3).toInt();
                journal.renames = fields.at(4).toInt();
                journal.made = fields.at(5).toInt();
                journal.ended = true;
            }
        }
        return journal;
    }
};

// Every entry below root by relative path: "dir" or the md5 of the content.
void walk(const QByteArray &root, const QByteArray &prefix, QMap<QByteArray, QByteArray> *tree)
{
    const QByteArray directory = root + '/' + prefix;
    DIR *stream = ::opendir(directory.constData());
    if (!stream)
        return;
    while (const dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = prefix + name;
        const QByteArray full = root + '/' + path;
        struct stat st;
        if (::lstat(full.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            tree->insert(path + '/', "dir");
            walk(root, path + '/', tree);
        } else {
            QFile file(QFile::decodeName(full));
            tree->insert(path, file.open(QIODevice::ReadOnly) ? md5(file.readAll()) : "?");
        }
    }
    ::closedir(stream);
}

QMap<QByteArray, QByteArray> walk(const QString &root)
{
    QMap<QByteArray, QByteArray> tree;
    walk(QFile::encodeName(root), QByteArray(), &tree);
    return tree;
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
    };

    void read(const QPlainTextEdit *pane)
    {
        const QTextDocument *document = pane->document();
        if (document->isEmpty())
            return;
        for (; nextBlock < document->blockCount(); ++nextBlock)
            take(document->findBlockByNumber(nextBlock).text());
    }

    // Runs of the direction that started after the moment and have ended.
    int endedSince(bool upload, qint64 moment) const
    {
        int count = 0;
        for (const Run &run : runs)
            count += run.upload == upload && run.start > moment && !run.end.isEmpty() ? 1 : 0;
        return count;
    }
    int succeeded() const
    {
        int count = 0;
        for (const Run &run : runs)
            count += run.end.contains(QStringLiteral("成功")) ? 1 : 0;
        return count;
    }
    // End lines of the runs that started after the moment and did not complete.
    QStringList unfinishedSince(qint64 moment) const
    {
        QStringList lines;
        for (const Run &run : runs) {
            if (run.start > moment && !run.end.isEmpty()
                && !run.end.contains(QStringLiteral("成功")))
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
        static const QString startUpload = QStringLiteral("开始上传 ");
        static const QString startDownload = QStringLiteral("开始下载 ");
        if (line.startsWith(startUpload) || line.startsWith(startDownload)) {
            Run run;
            run.upload = line.startsWith(startUpload);
            run.start = line.section(QStringLiteral(" --> "), 1).toLongLong();
            (run.upload ? openUpload : openDownload) = runs.size();
            runs << run;
        } else if (line.startsWith(QStringLiteral("上传")) && openUpload >= 0) {
            runs[openUpload].end = line;
            openUpload = -1;
        } else if (line.startsWith(QStringLiteral("下载")) && openDownload >= 0) {
            runs[openDownload].end = line;
            openDownload = -1;
        } else if (line.startsWith(QStringLiteral("    复制文件："))) {
            ++copies;
        } else if (line.startsWith(QStringLiteral("    目标较新，未覆盖："))) {
            ++keptNewer;
        } else if (line.startsWith(QStringLiteral("    复制失败："))) {
            failures << line;
        } else if (line == QStringLiteral("正在同步中，请稍后再试")) {
            ++refused;
        }
    }

    int nextBlock = 0;
    int openUpload = -1;
    int openDownload = -1;
};

QString listDifferences(const QMap<QByteArray, QByteArray> &a,
                        const QMap<QByteArray, QByteArray> &b, const char *nameA, const char *nameB)
{
    QStringList lines;
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        if (!b.contains(it.key()))
            lines << QStringLiteral("only in %1: %2")
                             .arg(QLatin1String(nameA), QString::fromUtf8(it.key()));
        else if (b.value(it.key()) != it.value())
            lines << QStringLiteral("differs: %1").arg(QString::fromUtf8(it.key()));
    }
    for (auto it = b.cbegin(); it != b.cend(); ++it) {
        if (!a.contains(it.key()))
            lines << QStringLiteral("only in %1: %2")
                             .arg(QLatin1String(nameB), QString::fromUtf8(it.key()));
    }
    if (lines.size() > 40)
        lines = lines.mid(0, 40) << QStringLiteral("...");
    return lines.join(QLatin1Char('\n'));
}

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

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString local = base.filePath(QStringLiteral("local"));
    const QString remote = base.filePath(QStringLiteral("remote"));
    QVERIFY(QDir().mkpath(local));
    QVERIFY(QDir().mkpath(remote));
    const QString journal1 = base.filePath(QStringLiteral("journal-1"));
    const QString journal2 = base.filePath(QStringLiteral("journal-2"));

    {
        const std::unique_ptr<QSettings> store(openSettingsStore());
        store->setValue(SettingsKeys::localDir, local);
        store->setValue(SettingsKeys::remoteDir, remote);
        store->setValue(SettingsKeys::timerInterval, 1);
        store->setValue(SettingsKeys::timerUpload, true);
        store->setValue(SettingsKeys::timerDownload, true);
        store->setValue(SettingsKeys::ignorePattern, QString::fromLatin1(ignorePattern));
        store->sync();
        QCOMPARE(store->status(), QSettings::NoError);
    }

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCheckBox *timedUpload = window.findChild<QCheckBox *>(QStringLiteral("checkBox"));
    QCheckBox *timedDownload = window.findChild<QCheckBox *>(QStringLiteral("checkBox_2"));
    const QPlainTextEdit *pane
            = window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    QVERIFY(timedUpload->isChecked());
    QVERIFY(timedDownload->isChecked());
    QCOMPARE(window.findChild<QSpinBox *>(QStringLiteral("spinBox"))->value(), 1);

    QProcess writer1;
    QProcess writer2;
    const QString self = QCoreApplication::applicationFilePath();
    const QString count = QString::number(seconds);
    QElapsedTimer clock;
    clock.start();
    writer1.start(self, {QStringLiteral("--writer"), local, QString::number(seed),
                         QStringLiteral("w1"), count, journal1});
    writer2.start(self, {QStringLiteral("--writer"), remote, QString::number(seed ^ 0x9e3779b9u),
                         QStringLiteral("w2"), count, journal2});
    QVERIFY(writer1.waitForStarted());
    QVERIFY(writer2.waitForStarted());

    RunLog runs;
    // The window syncs all along; the test only watches.
    QTRY_VERIFY_WITH_TIMEOUT((runs.read(pane), writer1.state() == QProcess::NotRunning
                                                       && writer2.state() == QProcess::NotRunning),
                             (seconds + 60) * 1000);
    const qint64 stopped = QDateTime::currentMSecsSinceEpoch();
    const qint64 writing = clock.elapsed();
    QVERIFY2(writer1.exitStatus() == QProcess::NormalExit && writer1.exitCode() == 0,
             writer1.readAllStandardError().constData());
    QVERIFY2(writer2.exitStatus() == QProcess::NormalExit && writer2.exitCode() == 0,
             writer2.readAllStandardError().constData());
    const int runsWhileWriting = runs.succeeded();

    // Two quiet rounds: two runs of each direction that started after the
    // writers stopped, and ended.
    QTRY_VERIFY_WITH_TIMEOUT((runs.read(pane), runs.endedSince(true, stopped) >= 2
                                                       && runs.endedSince(false, stopped) >= 2),
                             60000);
    QTest::mouseClick(timedUpload, Qt::LeftButton);
    QTest::mouseClick(timedDownload, Qt::LeftButton);
    QVERIFY(!timedUpload->isChecked() && !timedDownload->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(!MainWindowProbe::syncing(window), 30000);
    QCoreApplication::processEvents(); // the last lines of the last job
    runs.read(pane);

    const Journal first = Journal::read(journal1);
    const Journal second = Journal::read(journal2);
    QVERIFY(first.ended && second.ended);
    qInfo("wrote for %.1f s; writer 1: %d files created, %d rewritten in place at once, %d "
          "rewritten in place in parts, %d saved through a rename, %d directories; "
          "writer 2: %d, %d, %d, %d, %d",
          writing / 1000.0, first.creates, first.inPlace, first.inSteps, first.renames, first.made,
          second.creates, second.inPlace, second.inSteps, second.renames, second.made);
    qInfo("%d sync runs completed (%d while the writers wrote), %d files copied, %d newer "
          "targets kept, %d ticks refused while a job ran, %d runs not completed",
          runs.succeeded(), runsWhileWriting, runs.copies, runs.keptNewer, runs.refused,
          int(runs.unfinishedSince(0).size()));
    // A soak that did not soak proves nothing.
    for (const Journal *journal : {&first, &second}) {
        QVERIFY(journal->creates + journal->inPlace + journal->inSteps + journal->renames
                > seconds * 10);
    }
    QVERIFY(runsWhileWriting >= seconds / 2);

    // No writer found a file of its own changed by anyone else while it worked.
    const QStringList changed = first.changed + second.changed;
    QVERIFY2(changed.isEmpty(),
             qPrintable(QStringLiteral("the sync changed %1 files under their writer:\n%2")
                                .arg(changed.size())
                                .arg(changed.join(QLatin1Char('\n')))));

    // Exactly the files and directories the writers made, on both sides.
    QMap<QByteArray, QByteArray> expected;
    for (const Journal *journal : {&first, &second}) {
        for (auto it = journal->files.cbegin(); it != journal->files.cend(); ++it)
            expected.insert(it.key(), it.value());
        for (const QByteArray &directory : journal->directories)
            expected.insert(directory, "dir");
    }
    const auto localTree = walk(local);
    const auto remoteTree = walk(remote);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (localTree.value(it.key()) == it.value() && remoteTree.value(it.key()) == it.value())
            continue;
        const auto &history = (it.key().startsWith("w1") ? first : second).history;
        qWarning("%s", qPrintable(explain(it.key(), history.value(it.key()), local, remote)));
    }
    QVERIFY2(localTree == expected,
             qPrintable(listDifferences(expected, localTree, "the journals", "local")));
    QVERIFY2(remoteTree == expected,
             qPrintable(listDifferences(expected, remoteTree, "the journals", "remote")));
    for (const auto *tree : {&localTree, &remoteTree}) {
        for (auto it = tree->cbegin(); it != tree->cend(); ++it) {
            const QByteArray name = it.key().mid(it.key().lastIndexOf('/', -2) + 1);
            QVERIFY2(!(name.startsWith(".twinfold-") && name.endsWith(".tmp")),
                     it.key().constData());
        }
    }
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
