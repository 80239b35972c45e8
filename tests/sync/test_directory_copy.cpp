#include "support/checks.h"
#include "support/copier.h"
#include "support/ctime_blind_file_system.h"
#include "support/delegating_file_system.h"
#include "support/tree.h"
#include "support/tree_pair.h"

#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <sys/stat.h>
#endif
#ifdef Q_OS_LINUX
#    include <sys/xattr.h>
#endif

using Tree::prefixed;
using Tree::sorted;

namespace {

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);
const QDateTime futureTime(QDate(2100, 1, 1), QTime(0, 0, 0, 7), Qt::UTC);

// Windows has the portable implementation alone.
#ifdef Q_OS_WIN
const char *const fileSystemNames[] = {"portable"};
#else
const char *const fileSystemNames[] = {"posix", "portable"};
#endif

// A row for one file system, its tag "fileSystem/tag".
QTestData &fileSystemRow(const char *fileSystem, const char *tag)
{
    return QTest::addRow("%s/%s", fileSystem, tag) << QString::fromLatin1(fileSystem);
}

// For a test with no data of its own: one row per file system.
void fileSystemRows()
{
    QTest::addColumn<QString>("fileSystem");
    for (const char *fileSystem : fileSystemNames)
        QTest::newRow(fileSystem) << QString::fromLatin1(fileSystem);
}

// One case: a source and a target (not yet made) below a fresh temporary
// directory, and a copier on the named file system, by default the one of
// the test's row (its "fileSystem" column).
struct CopyCase : TreePair
{
    CopyCase()
        : CopyCase(*static_cast<QString *>(QTest::qData("fileSystem", qMetaTypeId<QString>())))
    { }
    explicit CopyCase(const QString &fileSystem)
        : copier(fileSystem == QLatin1String("posix") ? makeFileSystem() : makePortableFileSystem())
    { }

    // A run from source to target; the events of earlier runs are dropped.
    CopyReport run(qint64 since = 0)
    {
        copier.log.clear();
        report = copier.run(source, target, since);
        return report;
    }
    QStringList briefs() const { return copier.log.briefs(source); }
    // The last report and its events, for a failure message.
    QByteArray said() const
    {
        return QStringLiteral("copied %1, failures %2, cancelled %3, source found %4; events:\n%5")
                .arg(report.copied)
                .arg(report.failures)
                .arg(report.cancelled)
                .arg(report.sourceFound)
                .arg(copier.said())
                .toLocal8Bit();
    }

    QString source = local;
    QString target = remote;
    Copier copier;
    CopyReport report;
};

// Entries relative to root: "name/" a directory, anything else a file whose
// content is its own relative path, with the given modification time.
void build(const QString &root, const QStringList &entries, const QDateTime &mtime = oldTime)
{
    QDir().mkpath(root);
    for (const QString &entry : entries) {
        if (entry.endsWith(QLatin1Char('/')))
            QDir().mkpath(root + QLatin1Char('/') + entry);
        else
            Tree::writeFile(root + QLatin1Char('/') + entry, entry.toUtf8() + '\n', mtime);
    }
}

// The file entries of a tree, without its directories.
QStringList fileNames(const QString &root)
{
    QStringList files;
    for (const QString &name : Tree::names(root)) {
        if (!QFileInfo(root + QLatin1Char('/') + name).isDir())
            files << name;
    }
    return files;
}

QStringList temporaryNames(const QString &root)
{
    return Tree::names(root).filter(
            QRegularExpression(QStringLiteral("(^|/)\\.twinfold-[^/]*\\.tmp$")));
}

// Qt keeps the owner's, group's and others' bits at 0x1000, 0x10 and 0x1.
bool setMode(const QString &path, int mode)
{
    return QFile::setPermissions(
            path,
            QFileDevice::Permissions(((mode & 0700) << 6) | ((mode & 070) << 1) | (mode & 07)));
}

QString modeOf(const QString &path)
{
    const int bits = int(QFileInfo(path).permissions());
    return QString::number(((bits >> 6) & 0700) | ((bits >> 1) & 070) | (bits & 07), 8);
}

// What a copy keeps of a mode: on Windows the read-only attribute alone,
// which Qt shows as every read bit and, when clear, every write bit.
QString keptMode(int mode)
{
#ifdef Q_OS_WIN
    return (mode & 0200) ? QStringLiteral("666") : QStringLiteral("444");
#else
    return QString::number(mode, 8);
#endif
}

} // namespace

// The walk that carries one tree into another, run on real trees in fresh
// temporary directories, against both file system implementations where the
// behaviour is theirs alike. What it did is compared as its events.
class TestDirectoryCopy : public QObject
{
    Q_OBJECT

private slots:
    // Listing and names.
    void copiesTree_data();
    void copiesTree();

    // The ignore pattern.
    void skipsIgnoredEntries_data();
    void skipsIgnoredEntries();
    void reportsInvalidPatternOnce_data() { fileSystemRows(); }
    void reportsInvalidPatternOnce();
    void appliesEditOrCancelFromNextEntry_data();
    void appliesEditOrCancelFromNextEntry();

    // The time test.
    void copiesOnlyFilesChangedAfterSince_data();
    void copiesOnlyFilesChangedAfterSince();
    void testsTimeBeforeName_data() { fileSystemRows(); }
    void testsTimeBeforeName();
    void copiesFileMovedIntoTree();

    // Files already on the target side.
    void decidesOverExistingTarget_data();
    void decidesOverExistingTarget();
    void keepsModeAndTime_data();
    void keepsModeAndTime();
    void settlesSameTimeTieByOwnCopy();
    void sameSizeRewriteAfterCopyIsCopied_data() { fileSystemRows(); }
    void sameSizeRewriteAfterCopyIsCopied();

    // Directories.
    void recreatesSkeletonEveryRun_data() { fileSystemRows(); }
    void recreatesSkeletonEveryRun();
    void makesTargetOnlyForSourceDirectory_data();
    void makesTargetOnlyForSourceDirectory();
    void skipsTargetInsideSource_data();
    void skipsTargetInsideSource();
    void refusesSameSourceAndTarget_data();
    void refusesSameSourceAndTarget();

    // Failures.
    void leavesWhatStandsInTheWay_data();
    void leavesWhatStandsInTheWay();
    void reportsDirectoryInPlaceOfFile_data();
    void reportsDirectoryInPlaceOfFile();
    void reportsUncreatableTarget_data() { fileSystemRows(); }
    void reportsUncreatableTarget();

    // Links.
    void handlesLinksInSource_data();
    void handlesLinksInSource();
    void keepsToDirectoriesItOpened_data();
    void keepsToDirectoriesItOpened();

    // Other file kinds and file systems.
    void skipsSpecialFiles_data() { fileSystemRows(); }
    void skipsSpecialFiles();
    void copiesAcrossFileSystems_data();
    void copiesAcrossFileSystems();

    // Temporaries.
    void keepsHolesOfSparseFiles();
    void copiesNewLinkToOldFile_data();
    void copiesNewLinkToOldFile();
    void leavesTargetChangedDuringReplace_data() { fileSystemRows(); }
    void leavesTargetChangedDuringReplace();
    void neverCopiesTemporaries_data() { fileSystemRows(); }
    void neverCopiesTemporaries();
};

// ---------------------------------------------------------------------------
// Listing and names

// Every file arrives under its name, with its content and time; the next
// run finds them all in step. The walk does not sort: the files come in the
// order the directory lists them.
void TestDirectoryCopy::copiesTree_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QStringList>("entries"); // "name/" an empty directory

    QStringList many;
    for (int i = 0; i < 40; ++i)
        many << QStringLiteral("file%1.txt").arg(i, 2, 10, QLatin1Char('0'));
    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "manyFiles") << many;
        fileSystemRow(fs, "wholeTree") << QStringList {"a.txt",
                                                       "docs/b.md",
                                                       "docs/deep/er/c.bin",
                                                       ".hidden",
                                                       ".config/settings.ini",
                                                       "empty/",
                                                       "docs/deep/empty/"};
        fileSystemRow(fs, "chinese") << QStringList {"文档/报告 一.txt", "中文.md"};
        fileSystemRow(fs, "leadingDots") << QStringList {".profile", "..double/.x", ".d/.e/.f"};
        // As long as a name may be: 255 bytes.
        fileSystemRow(fs, "longestName") << QStringList {QString(251, QLatin1Char('n')) + ".txt"};
        fileSystemRow(fs, "longChineseName") << QStringList {QString(83, QChar(0x6587)) + ".txt",
                                                             "d/" + QString(85, QChar(0x6863))};
#ifdef Q_OS_WIN
        // Windows names hold none of \\ / : * ? " < > | and end in no dot or blank.
        fileSystemRow(fs, "spaces") << QStringList {"with space/a b  c.txt", " leading"};
        fileSystemRow(fs, "punctuation")
                << QStringList {"100%.txt", "-rf", "a;b&c", "#x#", "a.b.c", "[x]{y}"};
#else
        fileSystemRow(fs, "spaces") << QStringList {"with space/a b  c.txt", " leading", "trail "};
        fileSystemRow(fs, "punctuation")
                << QStringList {"100%.txt", "-rf", "a;b&c", "q?.txt", "name.", "#x#"};
        fileSystemRow(fs, "backslash") << QStringList {"a\\b.txt"};
#endif
    }
}

void TestDirectoryCopy::copiesTree()
{
    QFETCH(QStringList, entries);
    CopyCase c;
    build(c.source, entries);
    const QStringList files = entries.filter(QRegularExpression(QStringLiteral("[^/]$")));
    QStringList listed; // the files at the top, in the order they are listed
    QDirIterator it(c.source, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        listed << it.fileName();
    }

    QVERIFY2(c.run().complete(), c.said());
    QCOMPARE(c.report.copied, files.size());
    COMPARE_LISTS(sorted(c.briefs()), sorted(prefixed("Copied ", files)));
    COMPARE_LISTS(c.briefs().filter(QRegularExpression(QStringLiteral("^Copied [^/]*$"))),
                  prefixed("Copied ", listed));
    const QStringList afterFirst = Tree::snapshot(c.target);
    COMPARE_LISTS(afterFirst, Tree::snapshot(c.source));

    // Files in step (same time, same size) are passed over without an event.
    QVERIFY2(c.run().complete() && c.report.copied == 0, c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
    COMPARE_LISTS(Tree::snapshot(c.target), afterFirst);
}

// ---------------------------------------------------------------------------
// The ignore pattern

void TestDirectoryCopy::skipsIgnoredEntries_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");

    const QStringList buildTree {"build/", "build/out.o", "src/", "src/build"};
    const QStringList dotted {"a", ".git/", ".git/x"};
    const QStringList sources {"src/", "src/a.c", "src/b.c"};
    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "defaultPattern")
                << "^\\..*/$" << QStringList {".git/",       ".git/config",  ".gitignore", "src/",
                                              "src/.cache/", "src/.cache/x", "src/a.c"}
                << QStringList {".gitignore", "src", "src/a.c"};
        fileSystemRow(fs, "dirPattern")
                << "build/" << buildTree << QStringList {"src", "src/build"};
        fileSystemRow(fs, "filePattern")
                << "build" << buildTree << QStringList {"build", "build/out.o", "src"};
        fileSystemRow(fs, "wholeName") << "tmp" << QStringList {"tmp", "tmp.txt", "a.tmp"}
                                       << QStringList {"a.tmp", "tmp.txt"};
        fileSystemRow(fs, "caseSensitive")
                << ".*\\.log" << QStringList {"a.log", "b.LOG", "logs/", "logs/b.log"}
                << QStringList {"b.LOG", "logs"};
        fileSystemRow(fs, "leadingBlank") << " tmp" << QStringList {"tmp"} << QStringList {"tmp"};
        fileSystemRow(fs, "trailingBlank") << "tmp " << QStringList {"tmp"} << QStringList {"tmp"};
        fileSystemRow(fs, "blank") << "   " << dotted << QStringList {".git", ".git/x", "a"};
        fileSystemRow(fs, "empty") << "" << dotted << QStringList {".git", ".git/x", "a"};
        fileSystemRow(fs, "invalid")
                << "(" << (QStringList(dotted) << "(") << QStringList {"(", ".git", ".git/x", "a"};
        fileSystemRow(fs, "everything")
                << ".*" << QStringList {"a", "d/", "d/b", ".e/"} << QStringList();
        fileSystemRow(fs, "filesOnly")
                << "[^/]*" << QStringList {"a", "d/", "d/b", "d/e/"} << QStringList {"d", "d/e"};
        fileSystemRow(fs, "bareName") << "a\\.c" << sources << QStringList {"src", "src/b.c"};
        fileSystemRow(fs, "notWholePath")
                << "src/a\\.c" << sources << QStringList {"src", "src/a.c", "src/b.c"};
        fileSystemRow(fs, "dirTestedWithSlash")
                << "src" << sources << QStringList {"src", "src/a.c", "src/b.c"};
    }
}

void TestDirectoryCopy::skipsIgnoredEntries()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    CopyCase c;
    build(c.source, entries);
    c.copier.pattern.setText(pattern);

    QVERIFY2(c.run().complete(), c.said());
    QVERIFY(QFileInfo(c.target).isDir());
    COMPARE_LISTS(Tree::names(c.target), expected);
    COMPARE_LISTS(sorted(c.briefs().filter(QRegularExpression(QStringLiteral("^Copied ")))),
                  sorted(prefixed("Copied ", fileNames(c.target))));
}

void TestDirectoryCopy::reportsInvalidPatternOnce()
{
    CopyCase c;
    build(c.source, {"a", "b", "c/", "c/d", "c/e/"});
    c.copier.pattern.setText(QStringLiteral("("));
    c.run();

    QVERIFY2(c.copier.log.count(EventKind::PatternUnusable) == 1, c.said());
    for (const SyncEvent &event : c.copier.log.events) {
        if (event.kind == EventKind::PatternUnusable) {
            QCOMPARE(event.pattern, QStringLiteral("("));
            QVERIFY(!event.patternProblem.isEmpty()); // Qt's words for what is wrong
        }
    }
    QCOMPARE(c.report.failures, 0);
    QCOMPARE(c.report.copied, 3);
    COMPARE_LISTS(Tree::names(c.target), QStringList({"a", "b", "c", "c/d", "c/e"}));
}

void TestDirectoryCopy::appliesEditOrCancelFromNextEntry_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("cancel"); // else the pattern is edited

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "patternEdited") << false;
        fileSystemRow(fs, "cancelled") << true;
    }
}

// Right after the first copy the pattern is edited to ignore every file (as
// the user may while a job runs), or the run is cancelled: every entry
// tested after that sees it, so nothing more is copied, and what is there is
// whole.
void TestDirectoryCopy::appliesEditOrCancelFromNextEntry()
{
    QFETCH(bool, cancel);
    CopyCase c;
    for (int i = 0; i < 6; ++i) {
        Tree::writeFile(c.source + QStringLiteral("/f%1.bin").arg(i),
                        QByteArray(256 * 1024 + i, char('a' + i)), oldTime);
    }
    c.copier.onEvent = [&](const SyncEvent &event) {
        if (event.kind == EventKind::Copied && cancel)
            c.copier.cancel = true;
        else if (event.kind == EventKind::Copied)
            c.copier.pattern.setText(QStringLiteral("f.*"));
    };

    c.run();
    QVERIFY2(c.report.cancelled == cancel && c.report.complete() == !cancel, c.said());
    QCOMPARE(c.report.failures, 0);
    QCOMPARE(c.report.copied, 1);
    const QStringList names = Tree::names(c.target);
    COMPARE_LISTS(c.briefs(), prefixed("Copied ", names));
    QCOMPARE(names.size(), 1);
    COMPARE_LISTS(Tree::snapshot(c.target),
                  Tree::snapshot(c.source).filter(QRegularExpression(
                          QLatin1Char('^') + QRegularExpression::escape(names.first()) + ' ')));
}

// ---------------------------------------------------------------------------
// The time test

void TestDirectoryCopy::copiesOnlyFilesChangedAfterSince_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QDateTime>("mtime"); // invalid: as written
    QTest::addColumn<bool>("fromZero");
    QTest::addColumn<qint64>("offset"); // since, relative to the file's change time
    QTest::addColumn<bool>("copied");

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "sinceZero") << QDateTime() << true << qint64(0) << true;
        fileSystemRow(fs, "sinceZeroOldFile") << oldTime << true << qint64(0) << true;
        fileSystemRow(fs, "sameMs") << QDateTime() << false << qint64(0) << false;
        fileSystemRow(fs, "oneMsEarlier") << QDateTime() << false << qint64(-1) << true;
        fileSystemRow(fs, "oneMsLater") << QDateTime() << false << qint64(1) << false;
        // An old modification time: the status change decides.
        fileSystemRow(fs, "oldMtimeSameMs") << oldTime << false << qint64(0) << false;
        fileSystemRow(fs, "oldMtimeOneMsEarlier") << oldTime << false << qint64(-1) << true;
        // A modification time ahead of the clock, and since at it: a stamp
        // later than the tree's own clock was not taken from it, so every
        // file is looked at again.
        fileSystemRow(fs, "futureMtimeSameMs") << futureTime << false << qint64(0) << true;
        fileSystemRow(fs, "futureMtimeOneMsEarlier") << futureTime << false << qint64(-1) << true;
    }
}

void TestDirectoryCopy::copiesOnlyFilesChangedAfterSince()
{
    QFETCH(QDateTime, mtime);
    QFETCH(bool, fromZero);
    QFETCH(qint64, offset);
    QFETCH(bool, copied);
    CopyCase c;
    Tree::writeFile(c.source + "/a.txt", "content", mtime);
    const qint64 changed = Tree::changeTimeMs(c.source + "/a.txt");
    if (mtime.isValid() && mtime > QDateTime::currentDateTimeUtc())
        QCOMPARE(changed, mtime.toMSecsSinceEpoch());
    const qint64 since = fromZero ? 0 : changed + offset;

    QVERIFY2(c.run(since).complete(), c.said());
    QStringList expected;
    if (copied && since > QDateTime::currentMSecsSinceEpoch())
        expected << "StampAhead " + c.source;
    if (copied)
        expected << "Copied a.txt";
    QVERIFY2(c.briefs() == expected,
             qPrintable(QStringLiteral("change time %1, since %2; ").arg(changed).arg(since)
                        + c.said()));
    QVERIFY(QFileInfo(c.target).isDir());
    COMPARE_LISTS(Tree::snapshot(c.target), copied ? Tree::snapshot(c.source) : QStringList());
}

// An unchanged file never reaches the name test: an invalid pattern, which is
// reported when first tested, stays unreported while only unchanged files
// are found, and is reported once a changed one is.
void TestDirectoryCopy::testsTimeBeforeName()
{
    CopyCase c;
    build(c.source, {"a.txt", "b.txt"});
    // The tree's clock after the files and their directory last changed, read
    // beside the source so that nothing in it changes (on Windows the engine
    // also reads NTFS change times, which Qt does not show and which setting
    // a time back would move).
    const qint64 since = Tree::clockMs(c.dir.path());
    c.copier.pattern.setText(QStringLiteral("("));

    QVERIFY2(c.run(since).complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
    c.run(0);
    QCOMPARE(c.report.copied, 2);
    QVERIFY2(c.copier.log.count(EventKind::PatternUnusable) == 1, c.said());
}

// A file moved in from outside keeps its old modification time; the status
// change of the move makes it new to the tree.
void TestDirectoryCopy::copiesFileMovedIntoTree()
{
#ifndef Q_OS_UNIX
    QSKIP("the status-change time is the POSIX implementation's");
#endif
    CopyCase c(QStringLiteral("posix"));
    build(c.source, {"stays.txt"});
    Tree::writeFile(c.path("outside/moved.txt"), "moved in", oldTime);
    QVERIFY(QFile::rename(c.path("outside/moved.txt"), c.source + "/moved.txt"));
    // Both files were last modified well before since.
    const qint64 since = QDateTime(QDate(2022, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    QCOMPARE(Tree::modifiedMs(c.source + "/moved.txt"), oldTime.toMSecsSinceEpoch());

    QVERIFY2(c.run(since).complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), QStringList({"Copied moved.txt", "Copied stays.txt"}));
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.source));
}

// ---------------------------------------------------------------------------
// Files already on the target side

void TestDirectoryCopy::decidesOverExistingTarget_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("synced"); // both held "v1" and a run put them in step
    QTest::addColumn<QByteArray>("source"); // then written: content, or null for no write
    QTest::addColumn<qint64>("sourceAge"); // its time minus the first version's, ms
    QTest::addColumn<QByteArray>("target"); // likewise; null and not synced: no target
    QTest::addColumn<qint64>("targetAge");
    QTest::addColumn<QString>("expected"); // the one event, or "" for none

    const qint64 hour = 3600000;
    const QByteArray none;
    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "missing")
                << false << QByteArray("new") << 0LL << none << 0LL << "Copied a.txt";
        // Never in step: the same contents join the record quietly; other
        // contents are kept on both sides, whichever time is later.
        fileSystemRow(fs, "neverSyncedAlike")
                << false << QByteArray("same") << 0LL << QByteArray("same") << hour << "";
        fileSystemRow(fs, "neverSyncedTargetOlder")
                << false << QByteArray("new") << 0LL << QByteArray("old") << -hour
                << "BothDiffer a.txt";
        fileSystemRow(fs, "neverSyncedTargetNewer")
                << false << QByteArray("new") << 0LL << QByteArray("old") << hour
                << "BothDiffer a.txt";
        // In step: whichever side differs from the record changed, whatever its time.
        fileSystemRow(fs, "sourceEdited")
                << true << QByteArray("new") << hour << none << 0LL << "Copied a.txt";
        fileSystemRow(fs, "sourceRestoredOlder")
                << true << QByteArray("v0") << -hour << none << 0LL << "Copied a.txt";
        fileSystemRow(fs, "targetEdited")
                << true << none << 0LL << QByteArray("theirs") << hour << "TargetNewer a.txt";
        fileSystemRow(fs, "targetRestoredOlder")
                << true << none << 0LL << QByteArray("v0") << -hour << "TargetNewer a.txt";
        fileSystemRow(fs, "bothEdited") << true << QByteArray("mine") << hour
                                        << QByteArray("theirs") << 2 * hour << "BothChanged a.txt";
        fileSystemRow(fs, "bothEditedAlike")
                << true << QByteArray("same") << hour << QByteArray("same") << 2 * hour << "";
    }
}

void TestDirectoryCopy::decidesOverExistingTarget()
{
    QFETCH(bool, synced);
    QFETCH(QByteArray, source);
    QFETCH(qint64, sourceAge);
    QFETCH(QByteArray, target);
    QFETCH(qint64, targetAge);
    QFETCH(QString, expected);
    CopyCase c;
    const QString copy = c.target + "/a.txt";
    if (synced) {
        Tree::writeFile(c.source + "/a.txt", "v1", oldTime);
        QVERIFY2(c.run().complete(), c.said());
    }
    if (!source.isNull())
        Tree::writeFile(c.source + "/a.txt", source, oldTime.addMSecs(sourceAge));
    if (!target.isNull())
        Tree::writeFile(copy, target, oldTime.addMSecs(targetAge));
    const QStringList targetBefore = Tree::snapshot(c.target);

    c.run();
    const bool replaced = expected.startsWith(QLatin1String("Copied"));
    const bool conflict = expected.startsWith(QLatin1String("Both"));
    QVERIFY2(c.report.complete() != conflict, c.said());
    COMPARE_LISTS(c.briefs(), expected.isEmpty() ? QStringList() : QStringList {expected});
    QCOMPARE(c.report.copied, replaced ? 1 : 0);
    if (replaced)
        COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.source));
    else
        COMPARE_LISTS(Tree::snapshot(c.target), targetBefore);
    // Settled, or kept and said again until the other direction or the
    // person settles it.
    c.run();
    COMPARE_LISTS(c.briefs(),
                  replaced || expected.isEmpty() ? QStringList() : QStringList {expected});
}

void TestDirectoryCopy::keepsModeAndTime_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<int>("mode");
    QTest::addColumn<qint64>("mtime");
    QTest::addColumn<bool>("overReadOnlyTarget"); // a target made read-only since is replaced

    const qint64 old = oldTime.toMSecsSinceEpoch();
    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "readOnly") << 0444 << old << false;
        fileSystemRow(fs, "ownerReadOnly") << 0400 << old << false;
        fileSystemRow(fs, "executable") << 0755 << old << false;
        fileSystemRow(fs, "private") << 0600 << old << false;
        fileSystemRow(fs, "groupWritable") << 0664 << old << false;
        fileSystemRow(fs, "othersExecuteOnly") << 0645 << old << false;
        fileSystemRow(fs, "replacesReadOnlyTarget") << 0644 << old << true;
        // Times before 1970 too, as archives and broken clocks leave behind.
        // Qt cannot set those with a fraction of a second on Unix; both
        // implementations set times themselves (futimens, and on Windows
        // file times reach back to 1601).
        fileSystemRow(fs, "recent") << 0644 << qint64(1614834367891) << false;
        fileSystemRow(fs, "justAfterEpoch") << 0644 << qint64(1500) << false;
        fileSystemRow(fs, "epoch") << 0644 << qint64(0) << false;
        fileSystemRow(fs, "secondBeforeEpoch") << 0644 << qint64(-1000) << false;
        fileSystemRow(fs, "fractionBeforeEpoch") << 0644 << qint64(-1500) << false;
        fileSystemRow(fs, "decadeBeforeEpoch") << 0644 << qint64(-315359999877) << false;
    }
}

// The copy has its source's permissions (on Windows its read-only bit) and
// its modification time to the ms, so that the next run finds the two in
// step.
void TestDirectoryCopy::keepsModeAndTime()
{
    QFETCH(int, mode);
    QFETCH(qint64, mtime);
    QFETCH(bool, overReadOnlyTarget);
    CopyCase c;
    const QString copy = c.target + "/a.txt";
    if (overReadOnlyTarget) { // an earlier version in step, then made read-only there
        Tree::writeFile(c.source + "/a.txt", "old", oldTime.addDays(-1));
        QVERIFY2(c.run().complete(), c.said());
        QVERIFY(setMode(copy, 0444));
    }
    Tree::writeFile(c.source + "/a.txt", "new content",
                    QDateTime::fromMSecsSinceEpoch(mtime, Qt::UTC));
    QVERIFY(setMode(c.source + "/a.txt", mode));
    QCOMPARE(modeOf(c.source + "/a.txt"), keptMode(mode));
    QCOMPARE(Tree::modifiedMs(c.source + "/a.txt"), mtime);

    QVERIFY2(c.run().complete() && c.report.copied == 1, c.said());
    COMPARE_LISTS(c.briefs(), QStringList {"Copied a.txt"});
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.source));
    QCOMPARE(modeOf(copy), keptMode(mode));
    QCOMPARE(Tree::modifiedMs(copy), mtime);
    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
}

// A writer that saves twice within one tick of the file-system clock gives
// both versions one time. A copy of the first then ties with the second: the
// copy, still as written, gives way; a copy someone changed since does not.
void TestDirectoryCopy::settlesSameTimeTieByOwnCopy()
{
#ifndef Q_OS_LINUX
    QSKIP("copies are marked with extended attributes on Linux only");
#else
    CopyCase c(QStringLiteral("posix"));
    const QDateTime stamp = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
    Tree::writeFile(c.source + "/a.txt", "version 1", stamp);
    QVERIFY2(c.run().complete(), c.said());
    if (::getxattr(QFile::encodeName(c.target + "/a.txt").constData(), "user.twinfold.copy",
                   nullptr, 0)
        < 0)
        QSKIP("this file system keeps no extended attributes");

    // The writer's second version, same time: the unchanged copy gives way.
    Tree::writeFile(c.source + "/a.txt", "version 2, longer", stamp);
    QVERIFY2(c.run().complete() && c.report.copied == 1, c.said());
    QCOMPARE(Tree::readFile(c.target + "/a.txt"), QByteArray("version 2, longer"));

    // Changed in place on both sides (same time again): neither is the state
    // the last copy left, so both stay, and the pair is reported.
    Tree::writeFile(c.source + "/a.txt", "version 3", stamp);
    Tree::writeFile(c.target + "/a.txt", "edited on the target side", stamp);
    QCOMPARE(c.run().failures, 1);
    COMPARE_LISTS(c.briefs(), QStringList {"BothChanged a.txt"});
    QCOMPARE(Tree::readFile(c.target + "/a.txt"), QByteArray("edited on the target side"));
#endif
}

// Equal time and size is taken for equal content, so a copy must never
// share its time with a later version: a file written just before a run and
// rewritten, same size, right after it is still carried by the next run.
void TestDirectoryCopy::sameSizeRewriteAfterCopyIsCopied()
{
    CopyCase c;
    for (int round = 0; round < 20; ++round) {
        Tree::writeFile(c.source + "/a.txt", QByteArray("first version ") + char('a' + round));
        const qint64 since = QDateTime::currentMSecsSinceEpoch() - 1000;
        QVERIFY2(c.run(since).complete(), c.said());
        Tree::writeFile(c.source + "/a.txt", QByteArray("other version ") + char('a' + round));
        QVERIFY2(c.run(since).complete(), c.said());
        QCOMPARE(Tree::readFile(c.target + "/a.txt"), Tree::readFile(c.source + "/a.txt"));
    }
}

// ---------------------------------------------------------------------------
// Directories

// Directories take no time test: each run makes every one that is missing,
// also where nothing in it changed; and a run never removes anything.
void TestDirectoryCopy::recreatesSkeletonEveryRun()
{
    CopyCase c;
    build(c.source, {"a/b/c/", "a/f.txt", "e/"});
    QVERIFY2(c.run().complete(), c.said());

    QVERIFY(QDir(c.target).rmpath("a/b/c"));
    QVERIFY(QDir(c.target).rmdir("e"));
    build(c.source, {"n/m/"});
    build(c.target, {"only-here.txt", "only-here/"});
    QVERIFY2(c.run(QDateTime::currentMSecsSinceEpoch()).complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
    COMPARE_LISTS(Tree::names(c.target), QStringList({"a", "a/b", "a/b/c", "a/f.txt", "e", "n",
                                                      "n/m", "only-here", "only-here.txt"}));
}

void TestDirectoryCopy::makesTargetOnlyForSourceDirectory_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("sourceKind"); // "directory" (empty), "missing" or "file"
    QTest::addColumn<QStringList>("expected"); // below the temporary directory afterwards

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "emptySource")
                << "directory" << QStringList({"local", "x", "x/y", "x/y/target"});
        fileSystemRow(fs, "missingSource") << "missing" << QStringList();
        fileSystemRow(fs, "sourceIsFile") << "file" << QStringList {"local"};
    }
}

// An empty source makes an empty target, with its parents; a missing one
// makes nothing, and is said by the job that runs the copy (SourceMissing).
void TestDirectoryCopy::makesTargetOnlyForSourceDirectory()
{
    QFETCH(QString, sourceKind);
    QFETCH(QStringList, expected);
    CopyCase c;
    c.target = c.path("x/y/target");
    if (sourceKind == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(c.source));
    else if (sourceKind == QLatin1String("file"))
        Tree::writeFile(c.source, "not a directory");

    c.run();
    const bool found = sourceKind == QLatin1String("directory");
    QCOMPARE(c.report.sourceFound, found);
    QCOMPARE(c.report.complete(), found);
    QCOMPARE(c.report.copied, 0);
    COMPARE_LISTS(c.briefs(), QStringList());
    COMPARE_LISTS(Tree::names(c.dir.path()), expected);
}

void TestDirectoryCopy::skipsTargetInsideSource_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("targetBelowSource");

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "direct") << "backup";
        fileSystemRow(fs, "nested") << "x/backup";
    }
}

// A remote directory below the local one: the walk does not go into it, so
// it never holds a copy of itself, however often the copy runs.
void TestDirectoryCopy::skipsTargetInsideSource()
{
    QFETCH(QString, targetBelowSource);
    CopyCase c;
    c.target = c.source + QLatin1Char('/') + targetBelowSource;
    const QStringList entries {"a.txt", "sub/b.txt", "x/y.txt"};
    build(c.source, entries);
    build(c.path("expected"), entries);

    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), sorted(prefixed("Copied ", entries)));
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.path("expected")));

    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.path("expected")));
}

void TestDirectoryCopy::refusesSameSourceAndTarget_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("targetSpelling"); // appended to the source path

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "samePath") << "";
        fileSystemRow(fs, "trailingSeparator") << "/";
        fileSystemRow(fs, "dotSegment") << "/.";
        fileSystemRow(fs, "roundTrip") << "/../local";
#ifdef Q_OS_UNIX // directory links are POSIX
        fileSystemRow(fs, "throughLink") << "-link";
#endif
    }
}

void TestDirectoryCopy::refusesSameSourceAndTarget()
{
    QFETCH(QString, targetSpelling);
    CopyCase c;
    c.target = c.source + targetSpelling;
    build(c.source, {"a.txt", "sub/b.txt"});
    if (targetSpelling == QLatin1String("-link"))
        QVERIFY(QFile::link(c.source, c.target));
    const QStringList before = Tree::snapshot(c.source);

    c.run();
    QVERIFY(!c.report.complete());
    QCOMPARE(c.report.failures, 1);
    QCOMPARE(c.report.copied, 0);
    COMPARE_LISTS(c.briefs(), QStringList {"SameDirectory " + c.source});
    COMPARE_LISTS(Tree::snapshot(c.source), before);
}

// ---------------------------------------------------------------------------
// Failures

void TestDirectoryCopy::leavesWhatStandsInTheWay_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QStringList>("entries"); // in the source, beside plain.txt
    QTest::addColumn<QString>("blockerName"); // in the target, on the entries' way
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory; empty: a file
    // What stands in place of a directory is reported at its target path,
    // what stands in place of a file at the source file's.
    QTest::addColumn<QString>("failed"); // <target> stands for the target root

    for (const char *fs : fileSystemNames) {
        const auto row = [fs](const char *tag, const QStringList &entries, const char *blockerName,
                              const char *linkTarget, const char *failed) {
            fileSystemRow(fs, tag)
                    << entries << QString(blockerName) << QString(linkTarget) << QString(failed);
        };
        row("fileInPlaceOfDirectory", {"sub/f.txt", "sub/inner/g.txt"}, "sub", "",
            "Failed(TargetNotDirectory) <target>/sub");
#ifdef Q_OS_UNIX // links are POSIX
        row("linkInPlaceOfDirectory", {"sub/f.txt"}, "sub", "outside",
            "Failed(TargetIsLink) <target>/sub");
        row("linkInPlaceOfFile", {"f.txt"}, "f.txt", "outside/f.txt", "Failed(TargetIsLink) f.txt");
        row("danglingInPlaceOfFile", {"f.txt"}, "f.txt", "outside/none.txt",
            "Failed(TargetIsLink) f.txt");
        row("danglingInPlaceOfDirectory", {"sub/f.txt"}, "sub", "outside/none",
            "Failed(TargetIsLink) <target>/sub");
        row("deeperLinkInPlaceOfDirectory", {"a/sub/f.txt"}, "a/sub", "outside",
            "Failed(TargetIsLink) <target>/a/sub");
#endif
    }
}

// A file where a target directory has to go, or a link in the target tree
// where the copy has to put a directory or a file: reported, left as it is,
// nothing is written through it and nothing of what it blocks is copied; the
// rest of the tree is. Again on the next run.
void TestDirectoryCopy::leavesWhatStandsInTheWay()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, blockerName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, failed);
    CopyCase c;
    build(c.source, QStringList(entries) << "plain.txt");
    build(c.path("outside"), {"f.txt", "marker"});
    const QString blocker = c.target + QLatin1Char('/') + blockerName;
    QVERIFY(QDir().mkpath(QFileInfo(blocker).path()));
    if (linkTarget.isEmpty())
        Tree::writeFile(blocker, "in the way", oldTime);
    else
        QVERIFY(QFile::link(c.path(linkTarget), blocker));
    QStringList expected = Tree::snapshot(c.target);
    expected
            = sorted(expected + Tree::snapshot(c.source).filter(QRegularExpression("^plain.txt ")));
    const QStringList outsideBefore = Tree::snapshot(c.path("outside"));
    failed.replace("<target>", c.target);

    for (int run = 0; run < 2; ++run) {
        c.run();
        QVERIFY2(!c.report.complete() && c.report.failures == 1, c.said());
        COMPARE_LISTS(sorted(c.briefs()),
                      run == 0 ? QStringList({"Copied plain.txt", failed}) : QStringList {failed});
        COMPARE_LISTS(Tree::snapshot(c.target), expected);
        COMPARE_LISTS(Tree::snapshot(c.path("outside")), outsideBefore);
    }
}

void TestDirectoryCopy::reportsDirectoryInPlaceOfFile_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("suffix"); // after the source as it is given
    QTest::addColumn<bool>("native"); // given with native separators

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "asGiven") << QString() << false;
        fileSystemRow(fs, "trailingSeparator") << QStringLiteral("/") << false;
        fileSystemRow(fs, "nativeSeparators") << QString() << true;
    }
}

// A directory where a file has to go: reported, left as it is with what is
// in it, and the rest is copied. However the source is spelled, each event
// names the source file's path in native separators (the window shows it
// after the local field's text where that is its prefix: the wording test
// covers that), a failure as well as a copy, deeper down as well as at the
// top.
void TestDirectoryCopy::reportsDirectoryInPlaceOfFile()
{
    QFETCH(QString, suffix);
    QFETCH(bool, native);
    CopyCase c;
    build(c.source, {"a.txt", "b.txt", "docs/c.txt"});
    build(c.target, {"a.txt/keep"});

    const QString given = native ? QDir::toNativeSeparators(c.source) : c.source + suffix;
    const CopyReport report = c.copier.run(given, c.target);
    QVERIFY2(!report.complete() && report.failures == 1, qPrintable(c.copier.said()));
    COMPARE_LISTS(
            sorted(c.copier.log.briefs(c.source)),
            QStringList({"Copied b.txt", "Copied docs/c.txt", "Failed(TargetIsDirectory) a.txt"}));
    QStringList paths;
    for (const SyncEvent &event : c.copier.log.events)
        paths << event.path;
    COMPARE_LISTS(sorted(paths),
                  prefixed(QDir::toNativeSeparators(c.source + QLatin1Char('/')),
                           {"a.txt", "b.txt", QDir::toNativeSeparators("docs/c.txt")}));
    COMPARE_LISTS(Tree::names(c.target),
                  QStringList({"a.txt", "a.txt/keep", "b.txt", "docs", "docs/c.txt"}));
    QCOMPARE(Tree::readFile(c.target + "/a.txt/keep"), QByteArray("a.txt/keep\n"));
}

void TestDirectoryCopy::reportsUncreatableTarget()
{
    CopyCase c;
    c.target = c.path("blocker/target");
    build(c.source, {"a.txt"});
    Tree::writeFile(c.path("blocker"), "a file, not a directory");

    c.run();
    QVERIFY(c.report.sourceFound);
    QVERIFY(!c.report.complete());
    QCOMPARE(c.report.failures, 1);
    QCOMPARE(c.report.copied, 0);
    COMPARE_LISTS(c.briefs(), QStringList {"Failed(FileSystem:System) " + c.target + "/"});
    QVERIFY2(!c.copier.log.events.first().error.detail.isEmpty(), c.said()); // the system's words
    QCOMPARE(Tree::readFile(c.path("blocker")), QByteArray("a file, not a directory"));
}

// ---------------------------------------------------------------------------
// Links (POSIX: Windows has the portable implementation alone)

void TestDirectoryCopy::handlesLinksInSource_data()
{
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected"); // the events about the link

    const QStringList skipped {"LinkSkipped link"};
    const QStringList copied {"Copied link"};
    // A link to a file is copied as the file it points to. A link to a
    // directory is never followed and one to nothing has nothing to copy:
    // each is reported, and neither is a failure.
    QTest::newRow("toFile") << "outside/real.txt" << QString() << copied;
    QTest::newRow("toDirectory") << "outside" << QString() << skipped;
    QTest::newRow("toSubdirectory") << "local/sub" << QString() << skipped;
    QTest::newRow("dangling") << "outside/none.txt" << QString() << skipped;
    // A link is tested under its bare name, like a file, whatever it points to.
    QTest::newRow("dirLinkByName") << "outside"
                                   << "link" << QStringList();
    QTest::newRow("dirLinkNotAsDirectory") << "outside"
                                           << "link/" << skipped;
    QTest::newRow("danglingByName") << "outside/none"
                                    << "li.*" << QStringList();
    QTest::newRow("fileLinkByName") << "outside/real.txt"
                                    << "link" << QStringList();
    QTest::newRow("fileLinkNotAsDirectory") << "outside/real.txt"
                                            << "link/" << copied;
}

void TestDirectoryCopy::handlesLinksInSource()
{
#ifndef Q_OS_UNIX
    QSKIP("links are handled by the POSIX implementation");
#endif
    QFETCH(QString, linkTarget);
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    CopyCase c(QStringLiteral("posix"));
    build(c.source, {"sub/a.txt"});
    build(c.path("outside"), {"inner.txt", "deeper/x.txt"});
    Tree::writeFile(c.path("outside/real.txt"), "the real content", oldTime);
    QVERIFY(QFile::link(c.path(linkTarget), c.source + "/link"));
    const QStringList outsideBefore = Tree::snapshot(c.path("outside"));
    c.copier.pattern.setText(pattern);

    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), sorted(QStringList(expected) << "Copied sub/a.txt"));
    const bool copied = expected.contains(QStringLiteral("Copied link"));
    COMPARE_LISTS(Tree::names(c.target), copied ? QStringList({"link", "sub", "sub/a.txt"})
                                                : QStringList({"sub", "sub/a.txt"}));
    COMPARE_LISTS(Tree::snapshot(c.path("outside")), outsideBefore);
    if (copied) {
        const QFileInfo copy(c.target + "/link");
        QVERIFY(!copy.isSymLink());
        QVERIFY(copy.isFile());
        QCOMPARE(Tree::readFile(copy.filePath()), QByteArray("the real content"));
        QCOMPARE(Tree::modifiedMs(copy.filePath()), oldTime.toMSecsSinceEpoch());
    }

    // The copy is in step with what the link points to; a skipped link was
    // said once, until it changes.
    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList());
    if (expected.filter(QStringLiteral("LinkSkipped")).isEmpty())
        return;
    QVERIFY(QFile::remove(c.source + "/link"));
    QVERIFY(QFile::link(c.path("outside/deeper"), c.source + "/link"));
    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList {"LinkSkipped link"});
}

void TestDirectoryCopy::keepsToDirectoriesItOpened_data()
{
    QTest::addColumn<bool>("swapSource"); // else the target directory is swapped

    QTest::newRow("sourceSwapped") << true;
    QTest::newRow("targetSwapped") << false;
}

// While a directory is being copied it is moved aside and a link to another
// place is put under its name: the rest of it is still read from, or written
// into, the directory the walk opened, never the place the link leads to.
void TestDirectoryCopy::keepsToDirectoriesItOpened()
{
#ifndef Q_OS_UNIX
    QSKIP("the POSIX implementation works on open directories");
#endif
    QFETCH(bool, swapSource);
    CopyCase c(QStringLiteral("posix"));
    const QString outside = c.path("outside");
    const QStringList files {"f0", "f1", "f2", "f3", "f4", "f5"};
    build(c.source, prefixed(QStringLiteral("sub/"), files));
    for (const QString &file : files)
        Tree::writeFile(outside + QLatin1Char('/') + file, "outside " + file.toUtf8(), oldTime);
    const QStringList outsideBefore = Tree::snapshot(outside);
    const QStringList sourceBefore = Tree::snapshot(c.source + "/sub");
    bool swapped = false;
    c.copier.onEvent = [&](const SyncEvent &event) {
        if (swapped || event.kind != EventKind::Copied)
            return;
        const QString root = swapSource ? c.source : c.target;
        swapped = QFile::rename(root + "/sub", root + "/sub-moved")
                  && QFile::link(outside, root + "/sub");
    };

    c.run();
    QVERIFY(swapped);
    QVERIFY2(c.report.complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), sorted(prefixed("Copied sub/", files)));
    COMPARE_LISTS(Tree::snapshot(outside), outsideBefore);
    COMPARE_LISTS(Tree::snapshot(c.target + (swapSource ? "/sub" : "/sub-moved")), sourceBefore);
}

// ---------------------------------------------------------------------------
// Other file kinds and file systems

// A named pipe is neither copied nor opened (opening one for reading would
// wait for a writer): it is passed over, and the rest of the tree is copied.
void TestDirectoryCopy::skipsSpecialFiles()
{
#ifndef Q_OS_UNIX
    QSKIP("named pipes are POSIX");
#else
    CopyCase c;
    build(c.source, {"a.txt", "sub/b.txt"});
    QCOMPARE(::mkfifo(QFile::encodeName(c.source + "/pipe").constData(), 0644), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(c.source + "/sub/pipe").constData(), 0644), 0);

    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), QStringList({"Copied a.txt", "Copied sub/b.txt"}));
    COMPARE_LISTS(Tree::names(c.target), QStringList({"a.txt", "sub", "sub/b.txt"}));
#endif
}

void TestDirectoryCopy::copiesAcrossFileSystems_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("fromMemory"); // the source in /dev/shm, else the target

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "fromMemory") << true;
        fileSystemRow(fs, "intoMemory") << false;
    }
}

// Source and target on different file systems: the content cannot be cloned
// inside one, and is still copied whole, with its time.
void TestDirectoryCopy::copiesAcrossFileSystems()
{
    QFETCH(bool, fromMemory);
    CopyCase c;
    QTemporaryDir memory(QStringLiteral("/dev/shm/twinfold-test-XXXXXX"));
    if (!memory.isValid())
        QSKIP("no memory file system at /dev/shm");
    (fromMemory ? c.source : c.target) = memory.filePath("tree");
    build(c.source, {"a.txt", "sub/b.txt", "empty/"});
    QByteArray large;
    for (int i = 0; i < 3 * 1024 * 1024 / 4; ++i)
        large.append(reinterpret_cast<const char *>(&i), 4);
    Tree::writeFile(c.source + "/large.bin", large, oldTime);

    QVERIFY2(c.run().complete() && c.report.copied == 3, c.said());
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.source));

    Tree::writeFile(c.source + "/large.bin", large.left(1000), oldTime.addDays(1));
    QVERIFY2(c.run().complete() && c.report.copied == 1, c.said());
    COMPARE_LISTS(Tree::snapshot(c.target), Tree::snapshot(c.source));
}

// ---------------------------------------------------------------------------
// Temporaries and cancellation

void TestDirectoryCopy::copiesNewLinkToOldFile_data()
{
    QTest::addColumn<bool>("ctimeBlind");
    QTest::newRow("posix") << false;
    // Where directories tell only their modification time (exFAT, sshfs),
    // the link's own time is all that shows it: elsewhere making the link
    // moves its directory's change time too.
    QTest::newRow("ctimeBlind") << true;
}

// A link made now to a file that has not changed in years is new to the
// tree, even where its directory's time says nothing changed (set back
// here, as an unpacker or a sync tool may leave it).
void TestDirectoryCopy::copiesNewLinkToOldFile()
{
#ifndef Q_OS_UNIX
    QSKIP("links are POSIX");
#else
    QFETCH(bool, ctimeBlind);
    CopyCase c(QStringLiteral("posix"));
    if (ctimeBlind)
        c.copier.fileSystem = std::make_unique<CtimeBlindFileSystem>();
    Tree::writeFile(c.source + "/sub/old.txt", "old", oldTime);
    QVERIFY2(c.run().complete(), c.said());
    QThread::msleep(20);
    const qint64 since = QDateTime::currentMSecsSinceEpoch();
    QThread::msleep(20);
    QVERIFY(QFile::link(QStringLiteral("old.txt"), c.source + "/sub/link.txt"));
    const timespec old[2] = {{oldTime.toSecsSinceEpoch(), 0}, {oldTime.toSecsSinceEpoch(), 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(c.source + "/sub").constData(), old, 0) == 0);

    QVERIFY2(c.run(since).complete(), c.said());
    COMPARE_LISTS(c.briefs(), QStringList {"Copied sub/link.txt"});
    QCOMPARE(Tree::readFile(c.target + "/sub/link.txt"), QByteArray("old"));
#endif
}

// A 1 GiB file holding 4 KiB of data at its middle and one byte at its end
// arrives with the same content and no more than 1 MiB on the disk, as
// cp -a leaves it.
void TestDirectoryCopy::keepsHolesOfSparseFiles()
{
#ifndef Q_OS_LINUX
    QSKIP("holes are looked for with SEEK_DATA on Linux");
#else
    CopyCase c(QStringLiteral("posix"));
    QVERIFY(QDir().mkpath(c.source));
    const QString image = c.source + "/disk.img";
    constexpr qint64 size = qint64(1) << 30;
    {
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        QVERIFY(file.seek(size / 2));
        QCOMPARE(file.write(QByteArray(4096, 'd')), qint64(4096));
        QVERIFY(file.seek(size - 1));
        QCOMPARE(file.write("e", 1), qint64(1));
    }
    Tree::setModified(image, oldTime);
    struct stat written;
    QVERIFY(::stat(QFile::encodeName(image).constData(), &written) == 0);
    if (qint64(written.st_blocks) * 512 > (1 << 20))
        QSKIP("this file system stores no holes");

    QVERIFY2(c.run().complete(), c.said());
    struct stat copied;
    QVERIFY(::stat(QFile::encodeName(c.target + "/disk.img").constData(), &copied) == 0);
    QCOMPARE(qint64(copied.st_size), size);
    QVERIFY2(qint64(copied.st_blocks) * 512 <= (1 << 20),
             qPrintable(QStringLiteral("%1 bytes allocated").arg(qint64(copied.st_blocks) * 512)));
    QFile a(image);
    QFile b(c.target + "/disk.img");
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    for (qint64 at = 0; at < size; at += 64 << 20)
        QVERIFY2(a.read(64 << 20) == b.read(64 << 20), qPrintable(QString::number(at)));
#endif
}

// Saves the target the moment the copy starts, after the decision.
class SavingFileSystem : public DelegatingFileSystem
{
public:
    SavingFileSystem(std::unique_ptr<FileSystem> real, QString path)
        : DelegatingFileSystem(std::move(real))
        , path(std::move(path))
    { }
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, FsError *error) override
    {
        Tree::writeFile(path, "saved by another program meanwhile");
        return real->copyFile(from, entry, into, request, error);
    }

private:
    QString path;
};

// Another program saves the target while its replacement is being written:
// the save stays, and the pair is reported, on both implementations.
void TestDirectoryCopy::leavesTargetChangedDuringReplace()
{
    CopyCase c;
    Tree::writeFile(c.source + "/a.txt", "old", oldTime);
    QVERIFY2(c.run().complete(), c.said());
    Tree::writeFile(c.source + "/a.txt", "new version", oldTime.addSecs(60));
    c.copier.fileSystem = std::make_unique<SavingFileSystem>(std::move(c.copier.fileSystem),
                                                             c.target + "/a.txt");

    QCOMPARE(c.run().failures, 1);
    COMPARE_LISTS(c.briefs(), QStringList {"Failed(FileSystem:TargetChanged) a.txt"});
    QCOMPARE(Tree::readFile(c.target + "/a.txt"), QByteArray("saved by another program meanwhile"));
    COMPARE_LISTS(temporaryNames(c.target), QStringList());
}

void TestDirectoryCopy::neverCopiesTemporaries()
{
    CopyCase c;
    // Names that look like the program's own but carry no token of this
    // pair's: the user's, copied like any other.
    const QStringList copied {"a.txt",
                              "sub/b.txt",
                              ".twinfold-notes.txt",
                              "x.twinfold-0.tmp",
                              ".twinfold-0123abcd.tmp",
                              "sub/.twinfold-probe.tmp",
                              ".twinfold-0123456789ab-probe.tmp"};
    build(c.source, copied);

    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), sorted(prefixed("Copied ", copied)));
    const QStringList targetNames = Tree::names(c.source);
    COMPARE_LISTS(Tree::names(c.target), targetNames);

    // Replacing every file leaves no temporary behind.
    for (const QString &name : copied)
        Tree::writeFile(c.source + QLatin1Char('/') + name, "changed: " + name.toUtf8(),
                        oldTime.addDays(1));
    QVERIFY2(c.run().complete(), c.said());
    COMPARE_LISTS(sorted(c.briefs()), sorted(prefixed("Copied ", copied)));
    COMPARE_LISTS(Tree::names(c.target), targetNames);
    QCOMPARE(Tree::readFile(c.target + "/sub/b.txt"), QByteArray("changed: sub/b.txt"));
}

QTEST_GUILESS_MAIN(TestDirectoryCopy)
#include "test_directory_copy.moc"
