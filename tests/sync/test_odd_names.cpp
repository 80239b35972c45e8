// Trees whose names are awkward: blanks at either end, Chinese, leading dots,
// control characters, names of the longest length a file system allows, paths
// longer than PATH_MAX, and names that are not UTF-8 at all. Every tree here
// is built and read back through directory descriptors (openat and friends)
// on the raw bytes of the names, so that what the test sees is what is on
// disk, not what a path-based call or a decoding made of it.

#include "support/checks.h"
#include "support/copier.h"
#include "support/sync_pair.h"
#include "support/tree.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

// An open directory descriptor, closed when it goes.
struct Fd
{
    explicit Fd(int fd = -1)
        : fd(fd)
    { }
    Fd(Fd &&other) noexcept
        : fd(std::exchange(other.fd, -1))
    { }
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }

    int fd;
};

QByteArray errorText()
{
    return QByteArray(::strerror(errno));
}

Fd openDirectory(const QString &path)
{
    return Fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Fd openChild(int dir, const QByteArray &name)
{
    return Fd(::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Creates the directory (if needed) and opens it.
Fd makeChild(int dir, const QByteArray &name)
{
    if (::mkdirat(dir, name.constData(), 0755) != 0 && errno != EEXIST)
        qWarning("mkdirat %s: %s", name.toHex().constData(), errorText().constData());
    return openChild(dir, name);
}

bool writeAt(int dir, const QByteArray &name, const QByteArray &content)
{
    const int fd = ::openat(dir, name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written
            = ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    return ::close(fd) == 0 && written;
}

QByteArray readAt(int dir, const QByteArray &name)
{
    const int fd = ::openat(dir, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return QByteArray("<unreadable: ") + errorText() + '>';
    QByteArray content;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, int(got));
    ::close(fd);
    return content;
}

QList<QByteArray> entriesOf(int dir)
{
    QList<QByteArray> names;
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR *stream = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!stream) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    while (const dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(stream);
    return names;
}

// Every entry below dir, keyed by its relative path in raw bytes: "dir" for a
// directory, "file <md5 of content>" for a file, "other" for anything else.
void walk(int dir, const QByteArray &prefix, QMap<QByteArray, QByteArray> *tree)
{
    for (const QByteArray &name : entriesOf(dir)) {
        struct stat st;
        if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const QByteArray path = prefix + name;
        if (S_ISDIR(st.st_mode)) {
            tree->insert(path + '/', "dir");
            const Fd child = openChild(dir, name);
            if (child.isOpen())
                walk(child.get(), path + '/', tree);
        } else if (S_ISREG(st.st_mode)) {
            tree->insert(path, "file "
                                       + QCryptographicHash::hash(readAt(dir, name),
                                                                  QCryptographicHash::Md5)
                                                 .toHex());
        } else {
            tree->insert(path, "other");
        }
    }
}

QMap<QByteArray, QByteArray> walk(const QString &root)
{
    QMap<QByteArray, QByteArray> tree;
    const Fd fd = openDirectory(root);
    if (fd.isOpen())
        walk(fd.get(), QByteArray(), &tree);
    return tree;
}

// Removes everything below dir through descriptors, so that paths longer
// than PATH_MAX go too.
void removeContents(int dir)
{
    for (const QByteArray &name : entriesOf(dir)) {
        struct stat st;
        if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            const Fd child = openChild(dir, name);
            if (child.isOpen())
                removeContents(child.get());
            ::unlinkat(dir, name.constData(), AT_REMOVEDIR);
        } else {
            ::unlinkat(dir, name.constData(), 0);
        }
    }
}

// What tells two walks apart, one line per entry (its path in hex), for a
// readable failure.
QString differences(const QMap<QByteArray, QByteArray> &expected,
                    const QMap<QByteArray, QByteArray> &actual)
{
    const auto lines = [](const QMap<QByteArray, QByteArray> &tree) {
        QStringList found;
        for (auto it = tree.cbegin(); it != tree.cend(); ++it)
            found << QString::fromLatin1(it.key().toHex() + ' ' + it.value());
        return found;
    };
    return Tree::difference(lines(actual), lines(expected));
}

} // namespace

class TestOddNames : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void blanksDotsControlCharactersAndChineseArriveUnchanged();
    void namesOfTheLongestLengthArrive();
    void pathsLongerThanPathMaxArrive();
    void namesThatAreNotUtf8KeepTheirBytes();
    void jobsBothWaysSettleWithOddNames();

private:
    CopyReport copy()
    {
        Copier copier;
        copier.pattern.setText(QStringLiteral("^\\..*/$"));
        const CopyReport report = copier.run(source, target);
        log = copier.log;
        return report;
    }
    QString said() const { return log.said(); }

    std::unique_ptr<QTemporaryDir> base;
    QString source;
    QString target;
    EventLog log;
};

void TestOddNames::init()
{
    base = std::make_unique<QTemporaryDir>();
    QVERIFY(base->isValid());
    source = base->filePath(QStringLiteral("source"));
    target = base->filePath(QStringLiteral("target"));
    QVERIFY(::mkdir(QFile::encodeName(source).constData(), 0755) == 0);
}

void TestOddNames::cleanup()
{
    // QTemporaryDir removes by path, which fails below PATH_MAX depth.
    const Fd top = openDirectory(base->path());
    if (top.isOpen())
        removeContents(top.get());
    base.reset();
}

void TestOddNames::blanksDotsControlCharactersAndChineseArriveUnchanged()
{
    const QList<QByteArray> files = {
            " leading.txt",
            "trailing.txt ",
            "   ",
            "中文 名字.txt",
            ".hidden",
            "..two dots",
            "...",
            "line\nbreak.txt",
            "tab\there",
            "back\\slash",
            "star*?[x].txt",
            "-rf",
            "quote\"'`$(x)",
            "emoji \xf0\x9f\x93\x81.txt",
            "combining e\xcc\x81 and \xc3\xa9", // two spellings of é side by side
    };
    const QList<QByteArray> directories = {" a b ", "目录", " a b / c d ", "目录/子 目录"};
    {
        const Fd root = openDirectory(source);
        QVERIFY(root.isOpen());
        for (const QByteArray &directory : directories)
            QVERIFY(::mkdirat(root.get(), directory.constData(), 0755) == 0);
        int n = 0;
        for (const QByteArray &name : files) {
            QVERIFY2(writeAt(root.get(), name, "root " + name + QByteArray::number(++n)),
                     name.constData());
            for (const QByteArray &directory : directories)
                QVERIFY(writeAt(root.get(), directory + '/' + name, directory + name));
        }
        // A dot directory, skipped by the pattern, with a file in it.
        const Fd dotted = makeChild(root.get(), ".git");
        QVERIFY(writeAt(dotted.get(), "config", "x"));
    }

    const CopyReport report = copy();
    QVERIFY2(report.complete(), qPrintable(said()));
    const int fileCount = files.size() * (directories.size() + 1);
    QCOMPARE(report.copied, fileCount);
    QCOMPARE(log.count(EventKind::Copied), fileCount);

    auto expected = walk(source);
    QVERIFY(expected.remove(".git/") == 1 && expected.remove(".git/config") == 1);
    QCOMPARE(expected.size(), fileCount + directories.size());
    const auto actual = walk(target);
    QVERIFY2(actual == expected, qPrintable(differences(expected, actual)));

    // The events name each file as it is, blanks at the ends included.
    const QStringList briefs = log.briefs(source);
    for (const char *name : {" leading.txt", "trailing.txt ", "   ", " a b / c d /中文 名字.txt"})
        QVERIFY2(briefs.contains("Copied " + QString::fromUtf8(name)), name);
}

// NAME_MAX (255 bytes) in ASCII and in Chinese (85 characters of 3 bytes),
// nested in a directory whose name is as long.
void TestOddNames::namesOfTheLongestLengthArrive()
{
    const QByteArray ascii(255, 'n');
    const QByteArray chinese = QString(85, QChar(0x6587)).toUtf8();
    QCOMPARE(chinese.size(), 255);
    const QByteArray directory = QByteArray(250, 'd') + "-dir.";
    {
        const Fd root = openDirectory(source);
        QVERIFY(writeAt(root.get(), ascii, "ascii"));
        QVERIFY(writeAt(root.get(), chinese, "chinese"));
        const Fd child = makeChild(root.get(), directory);
        QVERIFY(child.isOpen());
        QVERIFY(writeAt(child.get(), ascii, "nested ascii"));
        QVERIFY(writeAt(child.get(), chinese, "nested chinese"));
        // One byte more is refused by the file system itself.
        QVERIFY(!writeAt(root.get(), ascii + 'n', "too long"));
    }

    const CopyReport report = copy();
    QVERIFY2(report.complete(), qPrintable(said()));
    QCOMPARE(report.copied, 4);
    const auto expected = walk(source);
    const auto actual = walk(target);
    QCOMPARE(expected.size(), 5);
    QVERIFY2(actual == expected, qPrintable(differences(expected, actual)));
}

// 20 levels of 250-byte names: the deepest file is more than 5000 bytes from
// the root, beyond what any path-based call accepts.
void TestOddNames::pathsLongerThanPathMaxArrive()
{
    constexpr int levels = 20;
    const auto levelName = [](int i) -> QByteArray {
        return QByteArray(245, 'a') + QByteArray::number(10000 + i);
    };
    int depthBytes = 0;
    {
        const Fd root = openDirectory(source);
        QVERIFY(writeAt(root.get(), "shallow.txt", "shallow"));
        Fd level = makeChild(root.get(), levelName(0));
        for (int i = 1; i < levels && level.isOpen(); ++i) {
            QVERIFY(writeAt(level.get(), "level" + QByteArray::number(i) + ".txt",
                            QByteArray::number(i)));
            level = makeChild(level.get(), levelName(i));
            depthBytes += 251;
        }
        QVERIFY(level.isOpen());
        QVERIFY(writeAt(level.get(), "deep.txt", "at the bottom"));
        depthBytes += 251 + 8;
    }
    QVERIFY2(QFile::encodeName(source).size() + depthBytes > PATH_MAX,
             "the tree is not deeper than PATH_MAX");
    // Sanity: the path of the deepest file is indeed refused by path-based calls.
    {
        QByteArray path = QFile::encodeName(source);
        for (int i = 0; i < levels; ++i)
            path += '/' + levelName(i);
        path += "/deep.txt";
        QVERIFY(::access(path.constData(), F_OK) != 0);
        QCOMPARE(errno, ENAMETOOLONG);
    }

    const CopyReport report = copy();
    // Whatever happens to the deep files, the shallow one is copied.
    {
        const Fd copied = openDirectory(target);
        QVERIFY(copied.isOpen());
        QCOMPARE(readAt(copied.get(), "shallow.txt"), QByteArray("shallow"));
    }
    QCOMPARE(report.failures, log.count(EventKind::Failed));
    // The engine walks by descriptors, so depth is no reason to fail.
    QVERIFY2(report.complete(), qPrintable(said()));
    QCOMPARE(report.copied, levels + 1);
    const auto expected = walk(source);
    const auto actual = walk(target);
    QCOMPARE(expected.size(), 2 * levels + 1);
    QVERIFY2(actual == expected, qPrintable(differences(expected, actual)));
}

// Names are bytes on this system. The copy must either carry such a name over
// byte for byte, or report it as failed; it must never create a file under a
// different name (a decoded and re-encoded one with U+FFFD in it), and two
// names that decode alike must stay two files.
void TestOddNames::namesThatAreNotUtf8KeepTheirBytes()
{
    const QList<QByteArray> odd = {
            "bad\xff\xfe.txt",
            "bad\xff.txt", // decodes to the same text as the next one
            "bad\xfe.txt",        "overlong \xc0\xaf slash",    "latin1 caf\xe9.txt",
            "truncated \xe4\xb8", "surrogate \xed\xa0\x80.txt",
    };
    const QByteArray oddDirectory = "dir \xe9\xff";
    {
        const Fd root = openDirectory(source);
        QVERIFY(writeAt(root.get(), "ok.txt", "plain"));
        int n = 0;
        for (const QByteArray &name : odd) {
            QVERIFY2(writeAt(root.get(), name, "content " + QByteArray::number(++n)),
                     name.toHex().constData());
        }
        const Fd child = makeChild(root.get(), oddDirectory);
        QVERIFY(child.isOpen());
        QVERIFY(writeAt(child.get(), "inside \xff.txt", "inside"));
        QVERIFY(writeAt(child.get(), "plain inside.txt", "plain inside"));
    }
    // Two of the names are indistinguishable once decoded.
    QCOMPARE(QFile::decodeName(QByteArray("bad\xff.txt")),
             QFile::decodeName(QByteArray("bad\xfe.txt")));

    const CopyReport report = copy();
    const auto expected = walk(source);
    const auto actual = walk(target);

    QCOMPARE(actual.value("ok.txt"), expected.value("ok.txt"));
    // Nothing under a name the source does not have, and no content but its own.
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        QVERIFY2(expected.contains(it.key()),
                 qPrintable(QStringLiteral("the target has a name the source does not: %1")
                                    .arg(QString::fromLatin1(it.key().toHex()))));
        QVERIFY2(expected.value(it.key()) == it.value(),
                 qPrintable(QStringLiteral("wrong content under %1")
                                    .arg(QString::fromLatin1(it.key().toHex()))));
    }
    // Every odd name either arrived or has its failure event.
    QCOMPARE(report.failures, log.count(EventKind::Failed));
    int arrived = 0;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (actual.contains(it.key())) {
            ++arrived;
            continue;
        }
        const QString name = QFile::decodeName(it.key());
        const bool reported
                = std::any_of(log.events.begin(), log.events.end(), [&](const SyncEvent &event) {
                      return event.kind == EventKind::Failed && event.path.contains(name);
                  });
        QVERIFY2(reported, qPrintable(QStringLiteral("%1 neither arrived nor was reported:\n%2")
                                              .arg(QString::fromLatin1(it.key().toHex()), said())));
    }
    qInfo("%d of %d entries with names that are not UTF-8 (and their neighbours) arrived "
          "byte for byte; %d reported as failed",
          arrived, int(expected.size()), report.failures);
    // The engine works on the raw bytes throughout, so all of them arrive.
    QVERIFY2(report.complete(), qPrintable(said()));
    QVERIFY2(actual == expected, qPrintable(differences(expected, actual)));
}

// Each side gets its own odd names; an upload and a download bring the trees
// into step, and the next pair of runs finds nothing to copy (a name the
// engine could not find again would be copied every time).
void TestOddNames::jobsBothWaysSettleWithOddNames()
{
    // Each gets a one-byte prefix, so the longest is 255 bytes in the end.
    const QList<QByteArray> names
            = {" lead", "trail ", "中文.txt", ".dot", "bad\xff.txt", QByteArray(254, 'x')};
    QVERIFY(::mkdir(QFile::encodeName(target).constData(), 0755) == 0);
    {
        const Fd local = openDirectory(source);
        const Fd remote = openDirectory(target);
        const Fd localChild = makeChild(local.get(), " 目录 \xfe");
        const Fd remoteChild = makeChild(remote.get(), "remote \xfe dir");
        for (const QByteArray &name : names) {
            QVERIFY(writeAt(local.get(), "L" + name, "local " + name));
            QVERIFY(writeAt(localChild.get(), name, "local child " + name));
            QVERIFY(writeAt(remote.get(), "R" + name, "remote " + name));
            QVERIFY(writeAt(remoteChild.get(), name, "remote child " + name));
        }
    }

    SyncPair pair(source, target); // ignores dot directories, as the window does
    int copied = 0;
    for (const SyncDirection direction : {SyncDirection::Upload, SyncDirection::Download}) {
        QVERIFY2(pair.run(direction).completed, qPrintable(pair.said()));
        QCOMPARE(pair.log.count(EventKind::Failed), 0);
        copied += pair.log.count(EventKind::Copied);
    }
    QCOMPARE(copied, 4 * names.size());
    const auto local = walk(source);
    QCOMPARE(local.size(), 4 * names.size() + 2);
    const auto remote = walk(target);
    QVERIFY2(local == remote, qPrintable(differences(local, remote)));

    for (const SyncDirection direction : {SyncDirection::Upload, SyncDirection::Download}) {
        QVERIFY2(pair.run(direction).completed, qPrintable(pair.said()));
        COMPARE_LISTS(pair.body(), QStringList());
        QCOMPARE(pair.log.count(EventKind::Completed), 1);
    }
    QCOMPARE(walk(source), local);
    QCOMPARE(walk(target), local);
}

QTEST_GUILESS_MAIN(TestOddNames)
#include "test_odd_names.moc"
