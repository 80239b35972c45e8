#include "support/delegating_file_system.h"
#include "support/tree.h"
#include "sync/directory_copy.h"
#include "sync/file_system.h"
#include "sync/live_text.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#ifdef Q_OS_LINUX
#    include <sys/xattr.h>
#endif
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#    include <fcntl.h>
#    include <sys/stat.h>
#endif

// The walk that carries one tree into another, run on real trees in fresh
// temporary directories, against both file system implementations where the
// behaviour is theirs alike.
class TestDirectoryCopy : public QObject
{
    Q_OBJECT

private slots:
    // Listing and names.
    void copiesWholeTree_data();
    void copiesWholeTree();
    void copiesUnusualNames_data();
    void copiesUnusualNames();
    void processesEntriesInListingOrder_data();
    void processesEntriesInListingOrder();
    void secondRunCopiesNothing_data();
    void secondRunCopiesNothing();

    // The ignore pattern.
    void skipsIgnoredEntries_data();
    void skipsIgnoredEntries();
    void reportsInvalidPatternOnce_data();
    void reportsInvalidPatternOnce();
    void appliesPatternEditFromNextEntry_data();
    void appliesPatternEditFromNextEntry();

    // The time test.
    void copiesOnlyFilesChangedAfterSince_data();
    void copiesOnlyFilesChangedAfterSince();
    void testsTimeBeforeName_data();
    void testsTimeBeforeName();
    void copiesFileMovedIntoTree();

    // Files already on the target side.
    void decidesOverExistingTarget_data();
    void decidesOverExistingTarget();
    void replacesReadOnlyTarget_data();
    void replacesReadOnlyTarget();
    void copiesPermissions_data();
    void copiesPermissions();
    void settlesSameTimeTieByOwnCopy();
    void sameSizeRewriteAfterCopyIsCopied_data();
    void sameSizeRewriteAfterCopyIsCopied();
    void keepsModificationTimeToTheMs_data();
    void keepsModificationTimeToTheMs();

    // Directories.
    void recreatesSkeletonEveryRun_data();
    void recreatesSkeletonEveryRun();
    void emptySourceCreatesEmptyTarget_data();
    void emptySourceCreatesEmptyTarget();
    void missingSourceCreatesNothing_data();
    void missingSourceCreatesNothing();
    void skipsTargetInsideSource_data();
    void skipsTargetInsideSource();
    void refusesSameSourceAndTarget_data();
    void refusesSameSourceAndTarget();

    // Log lines.
    void showsPathAfterLocalField_data();
    void showsPathAfterLocalField();
    void showsPathWithFieldCurrentAtEachLine_data();
    void showsPathWithFieldCurrentAtEachLine();

    // Failures.
    void reportsFileInPlaceOfDirectory_data();
    void reportsFileInPlaceOfDirectory();
    void reportsDirectoryInPlaceOfFile_data();
    void reportsDirectoryInPlaceOfFile();
    void reportsUncreatableTarget_data();
    void reportsUncreatableTarget();

    // Links.
    void copiesLinkedFileContent();
    void skipsLinkToDirectoryOrDanglingLink_data();
    void skipsLinkToDirectoryOrDanglingLink();
    void leavesPlantedTargetLinkAlone_data();
    void leavesPlantedTargetLinkAlone();
    void testsLinkNamesAsFileNames_data();
    void testsLinkNamesAsFileNames();
    void keepsToDirectoriesItOpened_data();
    void keepsToDirectoriesItOpened();

    // Other file kinds and file systems.
    void skipsSpecialFiles_data();
    void skipsSpecialFiles();
    void copiesAcrossFileSystems_data();
    void copiesAcrossFileSystems();

    // Temporaries and cancellation.
    void keepsHolesOfSparseFiles();
    void copiesNewLinkToOldFile();
    void leavesTargetChangedDuringReplace_data();
    void leavesTargetChangedDuringReplace();
    void neverCopiesTemporaries_data();
    void neverCopiesTemporaries();
    void stopsWhenCancelled_data();
    void stopsWhenCancelled();
};

#define COMPARE_LISTS(actual, expected) \
    do { \
        const QStringList actualList = (actual); \
        const QStringList expectedList = (expected); \
        QVERIFY2(actualList == expectedList, \
                 qPrintable(Tree::difference(actualList, expectedList))); \
    } while (false)

namespace {

// File systems stamp from a coarse clock: two files written in a row may get
// the same change time. Touches a probe until its change time is later than
// that of reference, so that "written after" shows in the times.
bool waitForNextChangeTime(const QString &reference, const QString &probe)
{
    const qint64 before = Tree::changeTimeMs(reference);
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        Tree::writeFile(probe, "tick");
        if (Tree::changeTimeMs(probe) > before)
            return true;
    }
    return false;
}

} // namespace

namespace {

const QString copyLine = QStringLiteral("    复制文件：");
const QString failureLine = QStringLiteral("    复制失败：");
const QString newerLine = QStringLiteral("    目标较新，未覆盖：");
const QString linkLine = QStringLiteral("    跳过链接：");
const QString sameLine = QStringLiteral("    源目录与目标目录相同，未复制：");
const QString invalidPatternLine = QStringLiteral("    忽略规则无效");
const QString suspectStampLine
        = QStringLiteral("    上次同步时间晚于源目录的当前时间，本次检查全部文件");
const QString bothChangedLine = QStringLiteral("    两边都已修改，未覆盖：");

const QDateTime oldTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);
const QDateTime futureTime(QDate(2100, 1, 1), QTime(0, 0, 0, 7), Qt::UTC);

// Windows has the portable implementation alone.
#ifdef Q_OS_WIN
const char *const fileSystemNames[] = {"portable"};
#else
const char *const fileSystemNames[] = {"posix", "portable"};
#endif

std::unique_ptr<FileSystem> makeNamedFileSystem(const QString &name)
{
    return name == QLatin1String("posix") ? makeFileSystem() : makePortableFileSystem();
}

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

// One copy set-up: the two field texts, the cancel flag, the file system and
// the log lines collected from every run: as shown, and with the paths in
// them written with "/" (on Windows the log shows native separators).
struct Copier
{
    explicit Copier(const QString &fileSystemName)
        : fileSystem(makeNamedFileSystem(fileSystemName))
    { }

    CopyReport run(const QString &source, const QString &target, qint64 since = 0)
    {
        DirectoryCopy copy(
                pattern, localField,
                [this](const QString &line) {
                    shownLines << line;
                    lines << QDir::fromNativeSeparators(line);
                    if (onLine)
                        onLine(line);
                },
                &cancel, fileSystem.get());
        return copy.run(source, target, true, since);
    }

    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : lines) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }

    LiveText pattern;
    LiveText localField;
    std::atomic<bool> cancel {false};
    std::unique_ptr<FileSystem> fileSystem;
    std::function<void(const QString &)> onLine;
    QStringList lines;
    QStringList shownLines;
};

QString describe(const CopyReport &report, const QStringList &lines)
{
    return QStringLiteral("copied %1, failures %2, cancelled %3, source found %4; lines:\n%5")
            .arg(report.copied)
            .arg(report.failures)
            .arg(report.cancelled)
            .arg(report.sourceFound)
            .arg(lines.join(QLatin1Char('\n')));
}

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

using Tree::prefixed;
using Tree::sorted;

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
    const QRegularExpression temporary(QStringLiteral("(^|/)\\.twinfold-[^/]*\\.tmp$"));
    QStringList found;
    for (const QString &name : Tree::names(root)) {
        if (temporary.match(name).hasMatch())
            found << name;
    }
    return found;
}

constexpr QFileDevice::Permissions modeMask
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
          | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
          | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

QFileDevice::Permissions permissionsOfMode(int mode)
{
    QFileDevice::Permissions permissions;
    const QFileDevice::Permission bits[]
            = {QFileDevice::ExeOther, QFileDevice::WriteOther, QFileDevice::ReadOther,
               QFileDevice::ExeGroup, QFileDevice::WriteGroup, QFileDevice::ReadGroup,
               QFileDevice::ExeOwner, QFileDevice::WriteOwner, QFileDevice::ReadOwner};
    for (int bit = 0; bit < 9; ++bit) {
        if (mode & (1 << bit))
            permissions |= bits[bit];
    }
    return permissions;
}

QFileDevice::Permissions modeOf(const QString &path)
{
    return QFileInfo(path).permissions() & modeMask;
}

QString octal(QFileDevice::Permissions permissions);

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

QString octal(QFileDevice::Permissions permissions)
{
    int mode = 0;
    for (int bit = 0; bit < 9; ++bit) {
        if (permissions & permissionsOfMode(1 << bit))
            mode |= 1 << bit;
    }
    return QString::number(mode, 8);
}

} // namespace

// ---------------------------------------------------------------------------
// Listing and names

void TestDirectoryCopy::copiesWholeTree_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::copiesWholeTree()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    const QStringList files {"a.txt", "docs/b.md", "docs/deep/er/c.bin", ".hidden",
                             ".config/settings.ini"};
    build(source, QStringList(files) << "empty/"
                                     << "docs/deep/empty/");

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    QCOMPARE(report.copied, files.size());
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, files)));
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
}

void TestDirectoryCopy::copiesUnusualNames_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QStringList>("files");

    for (const char *fs : fileSystemNames) {
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

void TestDirectoryCopy::copiesUnusualNames()
{
    QFETCH(QString, fileSystem);
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, files);

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, files)));
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
}

void TestDirectoryCopy::processesEntriesInListingOrder_data()
{
    fileSystemRows();
}

// The walk does not sort: the files come in the order the directory lists them.
void TestDirectoryCopy::processesEntriesInListingOrder()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    QStringList files;
    for (int i = 0; i < 40; ++i)
        files << QStringLiteral("file%1.txt").arg(i, 2, 10, QLatin1Char('0'));
    build(source, files);

    QStringList listed;
    QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        listed << it.fileName();
    }
    QCOMPARE(sorted(listed), files);

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(copier.lines, prefixed(copyLine, listed));
}

void TestDirectoryCopy::secondRunCopiesNothing_data()
{
    fileSystemRows();
}

// Files in step (same time, same size) are passed over without a word.
void TestDirectoryCopy::secondRunCopiesNothing()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a.txt", "sub/b.txt", "sub/c/d.txt", "e/"});

    Copier copier(fileSystem);
    const CopyReport first = copier.run(source, target);
    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));
    QCOMPARE(first.copied, 3);
    const QStringList afterFirst = Tree::snapshot(target);

    copier.lines.clear();
    const CopyReport second = copier.run(source, target);

    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    QCOMPARE(second.copied, 0);
    COMPARE_LISTS(copier.lines, QStringList());
    COMPARE_LISTS(Tree::snapshot(target), afterFirst);
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
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
    QFETCH(QString, fileSystem);
    QFETCH(QString, pattern);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, entries);

    Copier copier(fileSystem);
    copier.pattern.setText(pattern);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    QVERIFY(QFileInfo(target).isDir());
    COMPARE_LISTS(Tree::names(target), expected);
    COMPARE_LISTS(sorted(copier.linesStartingWith(copyLine)),
                  sorted(prefixed(copyLine, fileNames(target))));
}

void TestDirectoryCopy::reportsInvalidPatternOnce_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::reportsInvalidPatternOnce()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a", "b", "c/", "c/d", "c/e/"});

    Copier copier(fileSystem);
    copier.pattern.setText(QStringLiteral("("));
    const CopyReport report = copier.run(source, target);

    const QStringList warnings = copier.linesStartingWith(invalidPatternLine);
    QVERIFY2(warnings.size() == 1, qPrintable(describe(report, copier.lines)));
    QVERIFY2(warnings.first().contains(QLatin1Char('(')), qPrintable(warnings.first()));
    QCOMPARE(report.failures, 0);
    QCOMPARE(report.copied, 3);
    COMPARE_LISTS(Tree::names(target), QStringList({"a", "b", "c", "c/d", "c/e"}));
}

void TestDirectoryCopy::appliesPatternEditFromNextEntry_data()
{
    fileSystemRows();
}

// The pattern is edited (as the user may while a job runs) right after the
// first copy: every entry tested after that sees the new pattern.
void TestDirectoryCopy::appliesPatternEditFromNextEntry()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"f0", "f1", "f2", "f3", "f4", "f5"});

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    copier.onLine = [&copier](const QString &line) {
        if (line.startsWith(copyLine))
            copier.pattern.setText(QStringLiteral("f.*"));
    };
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    QCOMPARE(report.copied, 1);
    QCOMPARE(copier.lines.size(), 1);
    const QString first = copier.lines.first().mid(copyLine.size());
    COMPARE_LISTS(Tree::names(target), QStringList {first});
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
        // An old modification time: the status change decides. Where files
        // have none (Windows), the directory's time shows the file arrived
        // after since, and every file in it is looked at.
        fileSystemRow(fs, "oldMtimeSameMs")
                << oldTime << false << qint64(0) << !Tree::keepsChangeTimes;
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
    QFETCH(QString, fileSystem);
    QFETCH(QDateTime, mtime);
    QFETCH(bool, fromZero);
    QFETCH(qint64, offset);
    QFETCH(bool, copied);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/a.txt", "content", mtime);
    const qint64 changed = Tree::changeTimeMs(source + "/a.txt");
    if (mtime.isValid() && mtime > QDateTime::currentDateTimeUtc())
        QCOMPARE(changed, mtime.toMSecsSinceEpoch());
    const qint64 since = fromZero ? 0 : changed + offset;

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target, since);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    const QString message = QStringLiteral("change time %1, since %2; lines:\n%3")
                                    .arg(changed)
                                    .arg(since)
                                    .arg(copier.lines.join(QLatin1Char('\n')));
    QStringList expected {copyLine + "a.txt"};
    if (since > QDateTime::currentMSecsSinceEpoch())
        expected.prepend(suspectStampLine);
    if (copied) {
        QVERIFY2(copier.lines == expected, qPrintable(message));
        COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
    } else {
        QVERIFY2(copier.lines.isEmpty(), qPrintable(message));
        QVERIFY(QFileInfo(target).isDir());
        COMPARE_LISTS(Tree::names(target), QStringList());
    }
}

void TestDirectoryCopy::testsTimeBeforeName_data()
{
    fileSystemRows();
}

// An unchanged file never reaches the name test: an invalid pattern, which is
// reported when first tested, stays unreported while only unchanged files
// are found, and is reported once a changed one is.
void TestDirectoryCopy::testsTimeBeforeName()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a.txt", "b.txt"});
    const qint64 since = std::max(Tree::changeTimeMs(source + "/a.txt"),
                                  Tree::changeTimeMs(source + "/b.txt"));
    // Without change times the directory's own time tells of arrivals: it
    // must not be later than since, or every file counts as new.
    if (!Tree::keepsChangeTimes)
        Tree::setModified(source, oldTime);

    Copier unchanged(fileSystem);
    unchanged.pattern.setText(QStringLiteral("("));
    const CopyReport quiet = unchanged.run(source, target, since);
    QVERIFY2(quiet.complete(), qPrintable(describe(quiet, unchanged.lines)));
    COMPARE_LISTS(unchanged.lines, QStringList());

    Copier changed(fileSystem);
    changed.pattern.setText(QStringLiteral("("));
    const CopyReport copied = changed.run(source, target, 0);
    QCOMPARE(copied.copied, 2);
    QCOMPARE(changed.linesStartingWith(invalidPatternLine).size(), 1);
}

// A file moved in from outside keeps its old modification time; the status
// change of the move makes it new to the tree.
void TestDirectoryCopy::copiesFileMovedIntoTree()
{
#ifndef Q_OS_UNIX
    QSKIP("the status-change time is the POSIX implementation's");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"stays.txt"});
    Tree::writeFile(dir.filePath("outside/moved.txt"), "moved in", oldTime);
    QVERIFY(QFile::rename(dir.filePath("outside/moved.txt"), source + "/moved.txt"));
    // Both files were last modified well before since.
    const qint64 since = QDateTime(QDate(2022, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    QCOMPARE(Tree::modifiedMs(source + "/moved.txt"), oldTime.toMSecsSinceEpoch());

    Copier copier(QStringLiteral("posix"));
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target, since);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, {"moved.txt", "stays.txt"})));
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
}

// ---------------------------------------------------------------------------
// Files already on the target side

void TestDirectoryCopy::decidesOverExistingTarget_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QByteArray>("targetContent"); // null: no target file
    QTest::addColumn<qint64>("targetAge"); // target mtime minus source mtime, ms
    QTest::addColumn<bool>("targetChangedLast"); // written after the source
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<QStringList>("expectedLines");

    const QStringList copied {copyLine + "a.txt"};
    const QStringList kept {newerLine + "a.txt"};
    const QStringList conflict {
            QStringLiteral("    复制失败：a.txt（目标与源修改时间相同而大小不同，"
                           "无法判断哪个较新，未覆盖）")};
    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "missing") << QByteArray() << qint64(0) << false << true << copied;
        fileSystemRow(fs, "olderByHour")
                << QByteArray("old") << qint64(-3600000) << true << true << copied;
        fileSystemRow(fs, "olderByOneMs")
                << QByteArray("old") << qint64(-1) << true << true << copied;
        fileSystemRow(fs, "olderSameSize")
                << QByteArray("OLD CONTENT") << qint64(-1) << true << true << copied;
        // Same time, another size, and the target is no copy of ours: neither
        // is known to be newer, whichever was written last.
        fileSystemRow(fs, "sameTimeShorter")
                << QByteArray("old") << qint64(0) << false << false << conflict;
        fileSystemRow(fs, "sameTimeLonger")
                << QByteArray("old content, but longer") << qint64(0) << false << false << conflict;
        fileSystemRow(fs, "sameTimeEmpty")
                << QByteArray("") << qint64(0) << false << false << conflict;
        fileSystemRow(fs, "sameTimeShorterChangedLater")
                << QByteArray("old") << qint64(0) << true << false << conflict;
        fileSystemRow(fs, "sameTimeLongerChangedLater")
                << QByteArray("old content, but longer") << qint64(0) << true << false << conflict;
        fileSystemRow(fs, "newerByOneMs")
                << QByteArray("old") << qint64(1) << true << false << kept;
        fileSystemRow(fs, "newerByHour")
                << QByteArray("old") << qint64(3600000) << true << false << kept;
    }
}

void TestDirectoryCopy::decidesOverExistingTarget()
{
    QFETCH(QString, fileSystem);
    QFETCH(QByteArray, targetContent);
    QFETCH(qint64, targetAge);
    QFETCH(bool, targetChangedLast);
    QFETCH(bool, replaced);
    QFETCH(QStringList, expectedLines);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    const QByteArray sourceContent("new content");
    const QDateTime targetTime = oldTime.addMSecs(targetAge);
    const auto writeSource = [&] {
        Tree::writeFile(source + "/a.txt", sourceContent, oldTime);
        QVERIFY(QFile::setPermissions(source + "/a.txt", permissionsOfMode(0640)));
    };
    const auto writeTarget = [&] {
        Tree::writeFile(target + "/a.txt", targetContent, targetTime);
        QVERIFY(QFile::setPermissions(target + "/a.txt", permissionsOfMode(0600)));
    };
    if (targetContent.isNull()) {
        writeSource();
    } else if (targetChangedLast) {
        writeSource();
        QVERIFY(waitForNextChangeTime(source + "/a.txt", dir.filePath("probe")));
        writeTarget();
    } else {
        writeTarget();
        QVERIFY(waitForNextChangeTime(target + "/a.txt", dir.filePath("probe")));
        writeSource();
    }

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    const bool conflict = !expectedLines.isEmpty() && expectedLines.first().contains("复制失败");
    QVERIFY2(report.complete() != conflict, qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(copier.lines, expectedLines);
    QCOMPARE(report.copied, replaced ? 1 : 0);
    COMPARE_LISTS(Tree::names(target), QStringList {"a.txt"});
    const QString copy = target + "/a.txt";
    if (replaced) {
        QCOMPARE(Tree::readFile(copy), sourceContent);
        QCOMPARE(Tree::modifiedMs(copy), oldTime.toMSecsSinceEpoch());
        QCOMPARE(octal(modeOf(copy)), keptMode(0640));
    } else {
        QCOMPARE(Tree::readFile(copy), targetContent);
        QCOMPARE(Tree::modifiedMs(copy), targetTime.toMSecsSinceEpoch());
        QCOMPARE(octal(modeOf(copy)), keptMode(0600));
    }
}

// A writer that saves twice within one tick of the file-system clock gives
// both versions one time. A copy of the first then ties with the second: the
// copy, still as written, gives way; a copy someone changed since does not.
void TestDirectoryCopy::settlesSameTimeTieByOwnCopy()
{
#ifndef Q_OS_LINUX
    QSKIP("copies are marked with extended attributes on Linux only");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    const QDateTime stamp = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
    Tree::writeFile(source + "/a.txt", "version 1", stamp);
    Copier copier("posix");
    QVERIFY(copier.run(source, target).complete());
    if (::getxattr(QFile::encodeName(target + "/a.txt").constData(), "user.twinfold.copy", nullptr,
                   0)
        < 0)
        QSKIP("this file system keeps no extended attributes");

    // The writer's second version, same time: the unchanged copy gives way.
    Tree::writeFile(source + "/a.txt", "version 2, longer", stamp);
    copier.lines.clear();
    CopyReport report = copier.run(source, target);
    QVERIFY2(report.complete() && report.copied == 1, qPrintable(describe(report, copier.lines)));
    QCOMPARE(Tree::readFile(target + "/a.txt"), QByteArray("version 2, longer"));

    // Changed in place on both sides (same time again): neither is the state
    // the last copy left, so both stay, and the pair is reported.
    Tree::writeFile(source + "/a.txt", "version 3", stamp);
    Tree::writeFile(target + "/a.txt", "edited on the target side", stamp);
    copier.lines.clear();
    report = copier.run(source, target);
    QCOMPARE(report.failures, 1);
    COMPARE_LISTS(copier.lines, QStringList {bothChangedLine + source + "/a.txt"});
    QCOMPARE(Tree::readFile(target + "/a.txt"), QByteArray("edited on the target side"));
#endif
}

void TestDirectoryCopy::sameSizeRewriteAfterCopyIsCopied_data()
{
    fileSystemRows();
}

// Equal time and size is taken for equal content, so a copy must never
// share its time with a later version: a file written just before a run and
// rewritten, same size, right after it is still carried by the next run.
void TestDirectoryCopy::sameSizeRewriteAfterCopyIsCopied()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Copier copier(fileSystem);
    for (int round = 0; round < 20; ++round) {
        Tree::writeFile(source + "/a.txt", QByteArray("first version ") + char('a' + round));
        const qint64 since = QDateTime::currentMSecsSinceEpoch() - 1000;
        QVERIFY2(copier.run(source, target, since).complete(), qPrintable(copier.lines.join('\n')));
        Tree::writeFile(source + "/a.txt", QByteArray("other version ") + char('a' + round));
        QVERIFY2(copier.run(source, target, since).complete(), qPrintable(copier.lines.join('\n')));
        QCOMPARE(Tree::readFile(target + "/a.txt"), Tree::readFile(source + "/a.txt"));
    }
}

void TestDirectoryCopy::replacesReadOnlyTarget_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::replacesReadOnlyTarget()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/a.txt", "new content", oldTime);
    QVERIFY(QFile::setPermissions(source + "/a.txt", permissionsOfMode(0644)));
    Tree::writeFile(target + "/a.txt", "old", oldTime.addDays(-1));
    QVERIFY(QFile::setPermissions(target + "/a.txt", permissionsOfMode(0444)));

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(copier.lines, QStringList {copyLine + "a.txt"});
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
    QCOMPARE(octal(modeOf(target + "/a.txt")), keptMode(0644));
}

void TestDirectoryCopy::copiesPermissions_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<int>("mode");

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "readOnly") << 0444;
        fileSystemRow(fs, "ownerReadOnly") << 0400;
        fileSystemRow(fs, "executable") << 0755;
        fileSystemRow(fs, "private") << 0600;
        fileSystemRow(fs, "groupWritable") << 0664;
        fileSystemRow(fs, "othersExecuteOnly") << 0645;
    }
}

void TestDirectoryCopy::copiesPermissions()
{
    QFETCH(QString, fileSystem);
    QFETCH(int, mode);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/a.txt", "content", oldTime);
    QVERIFY(QFile::setPermissions(source + "/a.txt", permissionsOfMode(mode)));
    QCOMPARE(octal(modeOf(source + "/a.txt")), keptMode(mode));

    Copier copier(fileSystem);
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
    QCOMPARE(octal(modeOf(target + "/a.txt")), keptMode(mode));
}

void TestDirectoryCopy::keepsModificationTimeToTheMs_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<qint64>("mtime");
    QTest::addColumn<bool>("settable");

    for (const char *fs : fileSystemNames) {
        // Qt on Unix cannot set a time before 1970 with a fraction of a
        // second; the portable copy must then fail, not keep a wrong time.
        // Windows file times reach back to 1601.
        const bool portable = qstrcmp(fs, "portable") == 0 && QDir::separator() == '/';
        fileSystemRow(fs, "recent") << qint64(1614834367891) << true;
        fileSystemRow(fs, "justAfterEpoch") << qint64(1500) << true;
        fileSystemRow(fs, "epoch") << qint64(0) << true;
        fileSystemRow(fs, "secondBeforeEpoch") << qint64(-1000) << true;
        fileSystemRow(fs, "fractionBeforeEpoch") << qint64(-1500) << !portable;
        fileSystemRow(fs, "decadeBeforeEpoch") << qint64(-315359999877) << !portable;
    }
}

// The copy has its source's modification time, also one before 1970 (as
// archives and broken clocks leave behind), so that the next run finds the
// two in step.
void TestDirectoryCopy::keepsModificationTimeToTheMs()
{
    QFETCH(QString, fileSystem);
    QFETCH(qint64, mtime);
    QFETCH(bool, settable);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/a.txt", "content", QDateTime::fromMSecsSinceEpoch(mtime, Qt::UTC));
    QCOMPARE(Tree::modifiedMs(source + "/a.txt"), mtime);

    Copier copier(fileSystem);
    const CopyReport first = copier.run(source, target);
    if (!settable) {
        QCOMPARE(first.failures, 1);
        QVERIFY2(copier.lines.join('\n').contains(QStringLiteral("无法设置修改时间")),
                 qPrintable(describe(first, copier.lines)));
        QVERIFY(!QFileInfo::exists(target + "/a.txt"));
        return;
    }
    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));
    QCOMPARE(first.copied, 1);
    QCOMPARE(Tree::modifiedMs(target + "/a.txt"), mtime);

    copier.lines.clear();
    const CopyReport second = copier.run(source, target);
    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    COMPARE_LISTS(copier.lines, QStringList());
}

// ---------------------------------------------------------------------------
// Directories

void TestDirectoryCopy::recreatesSkeletonEveryRun_data()
{
    fileSystemRows();
}

// Directories take no time test: each run makes every one that is missing,
// also where nothing in it changed; and a run never removes anything.
void TestDirectoryCopy::recreatesSkeletonEveryRun()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a/b/c/", "a/f.txt", "e/"});

    Copier copier(fileSystem);
    const CopyReport first = copier.run(source, target);
    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));

    QVERIFY(QDir(target).rmpath("a/b/c"));
    QVERIFY(QDir(target).rmdir("e"));
    build(source, {"n/m/"});
    build(target, {"only-here.txt", "only-here/"});
    const qint64 since = QDateTime::currentMSecsSinceEpoch();
    copier.lines.clear();
    const CopyReport second = copier.run(source, target, since);

    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    COMPARE_LISTS(copier.lines, QStringList());
    COMPARE_LISTS(Tree::names(target), QStringList({"a", "a/b", "a/b/c", "a/f.txt", "e", "n", "n/m",
                                                    "only-here", "only-here.txt"}));
}

void TestDirectoryCopy::emptySourceCreatesEmptyTarget_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::emptySourceCreatesEmptyTarget()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("x/y/target");
    QVERIFY(QDir().mkpath(source));

    Copier copier(fileSystem);
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    QCOMPARE(report.copied, 0);
    COMPARE_LISTS(copier.lines, QStringList());
    QVERIFY(QFileInfo(target).isDir());
    COMPARE_LISTS(Tree::names(target), QStringList());
}

void TestDirectoryCopy::missingSourceCreatesNothing_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("sourceIsFile");

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "missing") << false;
        fileSystemRow(fs, "file") << true;
    }
}

void TestDirectoryCopy::missingSourceCreatesNothing()
{
    QFETCH(QString, fileSystem);
    QFETCH(bool, sourceIsFile);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    if (sourceIsFile)
        Tree::writeFile(source, "not a directory");

    Copier copier(fileSystem);
    const CopyReport report = copier.run(source, target);

    QVERIFY(!report.sourceFound);
    QVERIFY(!report.complete());
    QCOMPARE(report.copied, 0);
    COMPARE_LISTS(copier.lines, QStringList());
    QVERIFY(!QFileInfo::exists(target));
    COMPARE_LISTS(Tree::names(dir.path()), sourceIsFile ? QStringList {"source"} : QStringList());
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
    QFETCH(QString, fileSystem);
    QFETCH(QString, targetBelowSource);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = source + QLatin1Char('/') + targetBelowSource;
    const QStringList entries {"a.txt", "sub/b.txt", "x/y.txt"};
    build(source, entries);
    build(dir.filePath("expected"), entries);

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport first = copier.run(source, target);

    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, entries)));
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(dir.filePath("expected")));

    copier.lines.clear();
    const CopyReport second = copier.run(source, target);

    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    COMPARE_LISTS(copier.lines, QStringList());
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(dir.filePath("expected")));
}

void TestDirectoryCopy::refusesSameSourceAndTarget_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("targetSpelling"); // appended to the source path

    for (const char *fs : fileSystemNames) {
        fileSystemRow(fs, "samePath") << "";
        fileSystemRow(fs, "trailingSeparator") << "/";
        fileSystemRow(fs, "dotSegment") << "/.";
        fileSystemRow(fs, "roundTrip") << "/../source";
        fileSystemRow(fs, "throughLink") << "-link";
    }
}

void TestDirectoryCopy::refusesSameSourceAndTarget()
{
    QFETCH(QString, fileSystem);
    QFETCH(QString, targetSpelling);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = source + targetSpelling;
    build(source, {"a.txt", "sub/b.txt"});
    if (targetSpelling == QLatin1String("-link")) {
#ifndef Q_OS_UNIX
        QSKIP("directory links are POSIX");
#endif
        QVERIFY(QFile::link(source, target));
    }
    const QStringList before = Tree::snapshot(source);

    Copier copier(fileSystem);
    const CopyReport report = copier.run(source, target);

    QVERIFY(!report.complete());
    QCOMPARE(report.failures, 1);
    QCOMPARE(report.copied, 0);
    COMPARE_LISTS(copier.lines, QStringList {sameLine + source});
    COMPARE_LISTS(Tree::snapshot(source), before);
}

// ---------------------------------------------------------------------------
// Log lines

void TestDirectoryCopy::showsPathAfterLocalField_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("sourceName");
    // <root> stands for the temporary directory; "/" for the native
    // separator, but in a field typed with forward slashes.
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("typedNative");
    QTest::addColumn<QString>("shown");

    for (const char *fs : fileSystemNames) {
        const auto row = [fs](const char *tag, const char *sourceName, const char *field,
                              const char *shown, bool typedNative = true) {
            fileSystemRow(fs, tag)
                    << QString(sourceName) << QString(field) << typedNative << QString(shown);
        };
        row("fieldIsSource", "work", "<root>/work", "/docs/a.txt");
        row("fieldWithSeparator", "work", "<root>/work/", "docs/a.txt");
        row("otherTree", "share", "<root>/work", "<root>/share/docs/a.txt");
        row("characterPrefix", "ab", "<root>/a", "b/docs/a.txt");
        row("emptyField", "work", "", "<root>/work/docs/a.txt");
        row("otherCase", "work", "<root>/WORK", "<root>/work/docs/a.txt");
        row("fieldLongerThanPath", "work", "<root>/work/docs/a.txt/x", "<root>/work/docs/a.txt");
        row("fieldIsWholePath", "work", "<root>/work/docs/a.txt", "");
        row("fieldWithBlank", "work", "<root>/work ", "<root>/work/docs/a.txt");
        // Typed with "/" where the separator is "\\" ("D:/work"): the prefix of
        // no native path, so the whole path is shown.
        row("forwardSlashes", "work", "<root>/work",
            QDir::separator() == QLatin1Char('/') ? "/docs/a.txt" : "<root>/work/docs/a.txt",
            false);
    }
}

void TestDirectoryCopy::showsPathAfterLocalField()
{
    QFETCH(QString, fileSystem);
    QFETCH(QString, sourceName);
    QFETCH(QString, field);
    QFETCH(bool, typedNative);
    QFETCH(QString, shown);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    const QString source = root + QLatin1Char('/') + sourceName;
    const QString target = dir.filePath("target");
    build(source, {"docs/a.txt"});
    const auto expand = [&root](QString text) {
        return QDir::toNativeSeparators(text.replace(QLatin1String("<root>"), root));
    };

    Copier copier(fileSystem);
    copier.localField.setText(typedNative ? expand(field)
                                          : field.replace(QLatin1String("<root>"), root));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(copier.shownLines, QStringList {copyLine + expand(shown)});
}

void TestDirectoryCopy::showsPathWithFieldCurrentAtEachLine_data()
{
    fileSystemRows();
}

// The local field is read for every line: an edit after the first copy
// changes how the following ones are shown.
void TestDirectoryCopy::showsPathWithFieldCurrentAtEachLine()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"f0", "f1", "f2", "f3"});

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    copier.onLine = [&copier](const QString &) {
        copier.localField.setText(QString());
    };
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    QCOMPARE(copier.lines.size(), 4);
    QVERIFY2(copier.lines.first().startsWith(copyLine + "f"), qPrintable(copier.lines.first()));
    QStringList names {copier.lines.first().mid(copyLine.size())};
    for (int i = 1; i < copier.lines.size(); ++i) {
        const QString line = copier.lines.at(i);
        const QString prefix = copyLine + source + QLatin1Char('/');
        QVERIFY2(line.startsWith(prefix), qPrintable(line));
        names << line.mid(prefix.size());
    }
    COMPARE_LISTS(sorted(names), QStringList({"f0", "f1", "f2", "f3"}));
}

// ---------------------------------------------------------------------------
// Failures

void TestDirectoryCopy::reportsFileInPlaceOfDirectory_data()
{
    fileSystemRows();
}

// A file where a target directory has to go: reported, left as it is, and
// nothing of the source directory is copied; the rest of the tree is.
void TestDirectoryCopy::reportsFileInPlaceOfDirectory()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"sub/f.txt", "sub/inner/g.txt", "other.txt"});
    Tree::writeFile(target + "/sub", "in the way", oldTime);
    const QString blocker = Tree::snapshot(target).first();
    const QRegularExpression failed(QLatin1Char('^')
                                    + QRegularExpression::escape(failureLine + target + "/sub")
                                    + QStringLiteral("/?（.+）$"));

    for (int run = 0; run < 2; ++run) {
        Copier copier(fileSystem);
        copier.localField.setText(Tree::typedDirectory(source));
        const CopyReport report = copier.run(source, target);

        QVERIFY(!report.complete());
        QVERIFY2(report.failures == 1, qPrintable(describe(report, copier.lines)));
        const QStringList failures = copier.linesStartingWith(failureLine);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failed.match(failures.first()).hasMatch(), qPrintable(failures.first()));
        COMPARE_LISTS(copier.linesStartingWith(copyLine),
                      run == 0 ? QStringList {copyLine + "other.txt"} : QStringList());
        QCOMPARE(copier.lines.size(), run == 0 ? 2 : 1);

        QStringList expected = Tree::snapshot(source).filter(QRegularExpression("^other.txt "));
        expected << blocker;
        COMPARE_LISTS(Tree::snapshot(target), sorted(expected));
    }
}

void TestDirectoryCopy::reportsDirectoryInPlaceOfFile_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::reportsDirectoryInPlaceOfFile()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a.txt", "b.txt"});
    build(target, {"a.txt/keep"});
    const QRegularExpression failed(QLatin1Char('^') + QRegularExpression::escape(failureLine)
                                    + QStringLiteral("(.*/)?a\\.txt（.+）$"));

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY(!report.complete());
    QVERIFY2(report.failures == 1, qPrintable(describe(report, copier.lines)));
    const QStringList failures = copier.linesStartingWith(failureLine);
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failed.match(failures.first()).hasMatch(), qPrintable(failures.first()));
    COMPARE_LISTS(copier.linesStartingWith(copyLine), QStringList {copyLine + "b.txt"});
    COMPARE_LISTS(Tree::names(target), QStringList({"a.txt", "a.txt/keep", "b.txt"}));
    QCOMPARE(Tree::readFile(target + "/a.txt/keep"), QByteArray("a.txt/keep\n"));
}

void TestDirectoryCopy::reportsUncreatableTarget_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::reportsUncreatableTarget()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("blocker/target");
    build(source, {"a.txt"});
    Tree::writeFile(dir.filePath("blocker"), "a file, not a directory");
    const QRegularExpression failed(QLatin1Char('^')
                                    + QRegularExpression::escape(failureLine + target)
                                    + QStringLiteral("/?（.+）$"));

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY(report.sourceFound);
    QVERIFY(!report.complete());
    QCOMPARE(report.failures, 1);
    QCOMPARE(report.copied, 0);
    QCOMPARE(copier.lines.size(), 1);
    QVERIFY2(failed.match(copier.lines.first()).hasMatch(), qPrintable(copier.lines.first()));
    QCOMPARE(Tree::readFile(dir.filePath("blocker")), QByteArray("a file, not a directory"));
}

// ---------------------------------------------------------------------------
// Links

void TestDirectoryCopy::copiesLinkedFileContent()
{
#ifndef Q_OS_UNIX
    QSKIP("links are handled by the POSIX implementation");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"plain.txt"});
    Tree::writeFile(dir.filePath("outside/real.txt"), "the real content", oldTime);
    QVERIFY(QFile::link(dir.filePath("outside/real.txt"), source + "/link.txt"));

    Copier copier(QStringLiteral("posix"));
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, {"link.txt", "plain.txt"})));
    const QFileInfo copy(target + "/link.txt");
    QVERIFY(!copy.isSymLink());
    QVERIFY(copy.isFile());
    QCOMPARE(Tree::readFile(copy.filePath()), QByteArray("the real content"));
    QCOMPARE(Tree::modifiedMs(copy.filePath()), oldTime.toMSecsSinceEpoch());

    // The copy is in step with what the link points to: the next run is quiet.
    copier.lines.clear();
    const CopyReport second = copier.run(source, target);
    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    COMPARE_LISTS(copier.lines, QStringList());
}

void TestDirectoryCopy::skipsLinkToDirectoryOrDanglingLink_data()
{
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory

    QTest::newRow("toDirectory") << "outside";
    QTest::newRow("toSubdirectory") << "source/sub";
    QTest::newRow("dangling") << "outside/none.txt";
}

// A link to a directory is never followed and one to nothing has nothing to
// copy: each is reported, and neither is a failure.
void TestDirectoryCopy::skipsLinkToDirectoryOrDanglingLink()
{
#ifndef Q_OS_UNIX
    QSKIP("links are handled by the POSIX implementation");
#endif
    QFETCH(QString, linkTarget);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"sub/a.txt"});
    build(dir.filePath("outside"), {"inner.txt", "deeper/x.txt"});
    QVERIFY(QFile::link(dir.filePath(linkTarget), source + "/link"));
    const QStringList outsideBefore = Tree::snapshot(dir.filePath("outside"));

    Copier copier(QStringLiteral("posix"));
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines),
                  sorted(QStringList({copyLine + "sub/a.txt", linkLine + "link"})));
    COMPARE_LISTS(Tree::names(target), QStringList({"sub", "sub/a.txt"}));
    COMPARE_LISTS(Tree::snapshot(dir.filePath("outside")), outsideBefore);
}

void TestDirectoryCopy::leavesPlantedTargetLinkAlone_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("entry"); // the file in the source
    QTest::addColumn<QString>("linkName"); // the link in the target, on the entry's way
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory

    for (const char *fs : fileSystemNames) {
        const auto row = [fs](const char *tag, const char *entry, const char *linkName,
                              const char *linkTarget) {
            fileSystemRow(fs, tag) << QString(entry) << QString(linkName) << QString(linkTarget);
        };
        row("inPlaceOfDirectory", "sub/f.txt", "sub", "outside");
        row("inPlaceOfFile", "f.txt", "f.txt", "outside/f.txt");
        row("danglingInPlaceOfFile", "f.txt", "f.txt", "outside/none.txt");
        row("danglingInPlaceOfDirectory", "sub/f.txt", "sub", "outside/none");
        row("deeperInPlaceOfDirectory", "a/sub/f.txt", "a/sub", "outside");
    }
}

// A link in the target tree where the copy has to put a directory or a file:
// nothing is written through it, and it is reported.
void TestDirectoryCopy::leavesPlantedTargetLinkAlone()
{
#ifndef Q_OS_UNIX
    QSKIP("links are POSIX");
#endif
    QFETCH(QString, fileSystem);
    QFETCH(QString, entry);
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {entry, "plain.txt"});
    build(dir.filePath("outside"), {"f.txt", "marker"});
    const QString link = target + QLatin1Char('/') + linkName;
    QVERIFY(QDir().mkpath(QFileInfo(link).path()));
    QVERIFY(QFile::link(dir.filePath(linkTarget), link));
    const QStringList outsideBefore = Tree::snapshot(dir.filePath("outside"));

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY(!report.complete());
    QVERIFY2(report.failures == 1, qPrintable(describe(report, copier.lines)));
    const QStringList failures = copier.linesStartingWith(failureLine);
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.first().contains(linkName + QStringLiteral("（")),
             qPrintable(failures.first()));
    QVERIFY(copier.lines.contains(copyLine + "plain.txt"));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), dir.filePath(linkTarget));
    COMPARE_LISTS(Tree::snapshot(dir.filePath("outside")), outsideBefore);
}

void TestDirectoryCopy::testsLinkNamesAsFileNames_data()
{
    QTest::addColumn<QString>("linkTarget"); // relative to the temporary directory
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expectedLines"); // shown paths after the source

    const QStringList skipped {linkLine + "link"};
    const QStringList copied {copyLine + "link"};
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

// A link is tested under its bare name, like a file, whatever it points to.
void TestDirectoryCopy::testsLinkNamesAsFileNames()
{
#ifndef Q_OS_UNIX
    QSKIP("links are handled by the POSIX implementation");
#endif
    QFETCH(QString, linkTarget);
    QFETCH(QString, pattern);
    QFETCH(QStringList, expectedLines);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    QVERIFY(QDir().mkpath(source));
    build(dir.filePath("outside"), {"real.txt"});
    QVERIFY(QFile::link(dir.filePath(linkTarget), source + "/link"));

    Copier copier(QStringLiteral("posix"));
    copier.pattern.setText(pattern);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(copier.lines, expectedLines);
    COMPARE_LISTS(Tree::names(target), expectedLines == QStringList {copyLine + "link"}
                                               ? QStringList {"link"}
                                               : QStringList());
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    const QString outside = dir.filePath("outside");
    const QStringList files {"f0", "f1", "f2", "f3", "f4", "f5"};
    build(source, prefixed(QStringLiteral("sub/"), files));
    for (const QString &file : files)
        Tree::writeFile(outside + QLatin1Char('/') + file, "outside " + file.toUtf8(), oldTime);
    const QStringList outsideBefore = Tree::snapshot(outside);
    const QStringList sourceBefore = Tree::snapshot(source + "/sub");

    Copier copier(QStringLiteral("posix"));
    copier.localField.setText(Tree::typedDirectory(source));
    bool swapped = false;
    copier.onLine = [&](const QString &line) {
        if (swapped || !line.startsWith(copyLine))
            return;
        const QString root = swapSource ? source : target;
        swapped = QFile::rename(root + "/sub", root + "/sub-moved")
                  && QFile::link(outside, root + "/sub");
    };
    const CopyReport report = copier.run(source, target);

    QVERIFY(swapped);
    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine + "sub/", files)));
    COMPARE_LISTS(Tree::snapshot(outside), outsideBefore);
    const QString copies = target + (swapSource ? "/sub" : "/sub-moved");
    COMPARE_LISTS(Tree::snapshot(copies), sourceBefore);
}

// ---------------------------------------------------------------------------
// Other file kinds and file systems

void TestDirectoryCopy::skipsSpecialFiles_data()
{
    fileSystemRows();
}

// A named pipe is neither copied nor opened (opening one for reading would
// wait for a writer): it is passed over, and the rest of the tree is copied.
void TestDirectoryCopy::skipsSpecialFiles()
{
#ifndef Q_OS_UNIX
    QSKIP("named pipes are POSIX");
#else
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    build(source, {"a.txt", "sub/b.txt"});
    QCOMPARE(::mkfifo(QFile::encodeName(source + "/pipe").constData(), 0644), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(source + "/sub/pipe").constData(), 0644), 0);

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QVERIFY2(report.complete(), qPrintable(describe(report, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, {"a.txt", "sub/b.txt"})));
    COMPARE_LISTS(Tree::names(target), QStringList({"a.txt", "sub", "sub/b.txt"}));
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
    QFETCH(QString, fileSystem);
    QFETCH(bool, fromMemory);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QTemporaryDir memory(QStringLiteral("/dev/shm/twinfold-test-XXXXXX"));
    if (!memory.isValid())
        QSKIP("no memory file system at /dev/shm");
    const QString source = (fromMemory ? memory : dir).filePath("source");
    const QString target = (fromMemory ? dir : memory).filePath("target");
    build(source, {"a.txt", "sub/b.txt", "empty/"});
    QByteArray large;
    for (int i = 0; i < 3 * 1024 * 1024 / 4; ++i)
        large.append(reinterpret_cast<const char *>(&i), 4);
    Tree::writeFile(source + "/large.bin", large, oldTime);

    Copier copier(fileSystem);
    const CopyReport first = copier.run(source, target);
    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));
    QCOMPARE(first.copied, 3);
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));

    Tree::writeFile(source + "/large.bin", large.left(1000), oldTime.addDays(1));
    const CopyReport second = copier.run(source, target);
    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    QCOMPARE(second.copied, 1);
    COMPARE_LISTS(Tree::snapshot(target), Tree::snapshot(source));
}

// ---------------------------------------------------------------------------
// Temporaries and cancellation

// A link made now to a file that has not changed in years is new to the
// tree, even where its directory's time says nothing changed (set back
// here, as an unpacker or a sync tool may leave it).
void TestDirectoryCopy::copiesNewLinkToOldFile()
{
#ifndef Q_OS_UNIX
    QSKIP("links are POSIX");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/sub/old.txt", "old", oldTime);
    Copier copier(QStringLiteral("posix"));
    copier.localField.setText(Tree::typedDirectory(source));
    QVERIFY(copier.run(source, target).complete());
    QThread::msleep(20);
    const qint64 since = QDateTime::currentMSecsSinceEpoch();
    QThread::msleep(20);
    QVERIFY(QFile::link(QStringLiteral("old.txt"), source + "/sub/link.txt"));
    const timespec old[2] = {{oldTime.toSecsSinceEpoch(), 0}, {oldTime.toSecsSinceEpoch(), 0}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(source + "/sub").constData(), old, 0) == 0);

    copier.lines.clear();
    QVERIFY2(copier.run(source, target, since).complete(), qPrintable(copier.lines.join('\n')));
    COMPARE_LISTS(copier.lines, QStringList {copyLine + "sub/link.txt"});
    QCOMPARE(Tree::readFile(target + "/sub/link.txt"), QByteArray("old"));
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
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    QVERIFY(QDir().mkpath(source));
    constexpr qint64 size = qint64(1) << 30;
    {
        QFile file(source + "/disk.img");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        QVERIFY(file.seek(size / 2));
        QCOMPARE(file.write(QByteArray(4096, 'd')), qint64(4096));
        QVERIFY(file.seek(size - 1));
        QCOMPARE(file.write("e", 1), qint64(1));
    }
    Tree::setModified(source + "/disk.img", oldTime);
    struct stat written;
    QVERIFY(::stat(QFile::encodeName(source + "/disk.img").constData(), &written) == 0);
    if (qint64(written.st_blocks) * 512 > (1 << 20))
        QSKIP("this file system stores no holes");

    Copier copier(QStringLiteral("posix"));
    QVERIFY2(copier.run(source, target).complete(), qPrintable(copier.lines.join('\n')));

    struct stat copied;
    QVERIFY(::stat(QFile::encodeName(target + "/disk.img").constData(), &copied) == 0);
    QCOMPARE(qint64(copied.st_size), size);
    QVERIFY2(qint64(copied.st_blocks) * 512 <= (1 << 20),
             qPrintable(QStringLiteral("%1 bytes allocated").arg(qint64(copied.st_blocks) * 512)));
    QFile a(source + "/disk.img");
    QFile b(target + "/disk.img");
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    for (qint64 at = 0; at < size; at += 64 << 20)
        QVERIFY2(a.read(64 << 20) == b.read(64 << 20), qPrintable(QString::number(at)));
#endif
}

void TestDirectoryCopy::leavesTargetChangedDuringReplace_data()
{
    fileSystemRows();
}

// Another program saves the target while its replacement is being written:
// the save stays, and the pair is reported, on both implementations.
void TestDirectoryCopy::leavesTargetChangedDuringReplace()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    Tree::writeFile(source + "/a.txt", "new version", oldTime.addSecs(60));
    Tree::writeFile(target + "/a.txt", "old", oldTime);

    // Saves the target the moment the copy starts, after the decision.
    struct SavingFileSystem : DelegatingFileSystem
    {
        SavingFileSystem(std::unique_ptr<FileSystem> real, QString path)
            : DelegatingFileSystem(std::move(real))
            , path(std::move(path))
        { }
        CopyResult copyFile(const Directory &from, const DirectoryEntry &entry,
                            const Directory &into, const CopyRequest &request,
                            QString *error) override
        {
            Tree::writeFile(path, "saved by another program meanwhile");
            return real->copyFile(from, entry, into, request, error);
        }
        QString path;
    };
    Copier copier(fileSystem);
    copier.fileSystem
            = std::make_unique<SavingFileSystem>(std::move(copier.fileSystem), target + "/a.txt");
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport report = copier.run(source, target);

    QCOMPARE(report.failures, 1);
    COMPARE_LISTS(copier.lines, QStringList {failureLine + "a.txt（目标在复制时被修改，未覆盖）"});
    QCOMPARE(Tree::readFile(target + "/a.txt"), QByteArray("saved by another program meanwhile"));
    COMPARE_LISTS(temporaryNames(target), QStringList());
}

void TestDirectoryCopy::neverCopiesTemporaries_data()
{
    fileSystemRows();
}

void TestDirectoryCopy::neverCopiesTemporaries()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    const QStringList copied {"a.txt", "sub/b.txt", ".twinfold-notes.txt", "x.twinfold-0.tmp"};
    build(source, QStringList(copied) << ".twinfold-0123abcd.tmp"
                                      << "sub/.twinfold-deadbeef.tmp");

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    const CopyReport first = copier.run(source, target);

    QVERIFY2(first.complete(), qPrintable(describe(first, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, copied)));
    COMPARE_LISTS(Tree::names(target), QStringList({".twinfold-notes.txt", "a.txt", "sub",
                                                    "sub/b.txt", "x.twinfold-0.tmp"}));

    // Replacing every file leaves no temporary behind either.
    for (const QString &name : copied)
        Tree::writeFile(source + QLatin1Char('/') + name, "changed: " + name.toUtf8(),
                        oldTime.addDays(1));
    copier.lines.clear();
    const CopyReport second = copier.run(source, target);

    QVERIFY2(second.complete(), qPrintable(describe(second, copier.lines)));
    COMPARE_LISTS(sorted(copier.lines), sorted(prefixed(copyLine, copied)));
    COMPARE_LISTS(temporaryNames(target), QStringList());
    COMPARE_LISTS(Tree::names(target), QStringList({".twinfold-notes.txt", "a.txt", "sub",
                                                    "sub/b.txt", "x.twinfold-0.tmp"}));
    QCOMPARE(Tree::readFile(target + "/sub/b.txt"), QByteArray("changed: sub/b.txt"));
}

void TestDirectoryCopy::stopsWhenCancelled_data()
{
    fileSystemRows();
}

// Cancelled after the first copy: nothing more is copied, and what is there
// is whole.
void TestDirectoryCopy::stopsWhenCancelled()
{
    QFETCH(QString, fileSystem);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    for (int i = 0; i < 6; ++i) {
        Tree::writeFile(source + QStringLiteral("/f%1.bin").arg(i),
                        QByteArray(256 * 1024 + i, char('a' + i)), oldTime);
    }

    Copier copier(fileSystem);
    copier.localField.setText(Tree::typedDirectory(source));
    copier.onLine = [&copier](const QString &line) {
        if (line.startsWith(copyLine))
            copier.cancel = true;
    };
    const CopyReport report = copier.run(source, target);

    QVERIFY(report.cancelled);
    QVERIFY(!report.complete());
    QCOMPARE(report.failures, 0);
    QCOMPARE(report.copied, 1);
    QCOMPARE(copier.lines.size(), 1);
    const QString copiedName = copier.lines.first().mid(copyLine.size());
    COMPARE_LISTS(Tree::names(target), QStringList {copiedName});
    COMPARE_LISTS(Tree::snapshot(target),
                  Tree::snapshot(source).filter(QRegularExpression(
                          QLatin1Char('^') + QRegularExpression::escape(copiedName) + ' ')));
}

QTEST_GUILESS_MAIN(TestDirectoryCopy)
#include "test_directory_copy.moc"
