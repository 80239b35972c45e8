#include "support/checks.h"
#include "support/copier.h"
#include "support/tree.h"
#include "support/tree_pair.h"

#include <QtTest>

#include <atomic>
#include <thread>

// A file being replaced is seen by everyone else (the other direction's job,
// the user's programs) as the old file or the new one, never as a mixture or
// a truncated copy.
class TestAtomicReplace : public QObject
{
    Q_OBJECT

private slots:
    void replacementIsNeverSeenHalfWritten_data()
    {
        QTest::addColumn<QString>("fileSystem");
#ifndef Q_OS_WIN // which has the portable implementation alone
        QTest::newRow("posix") << QStringLiteral("posix");
#endif
        QTest::newRow("portable") << QStringLiteral("portable");
    }
    void replacementIsNeverSeenHalfWritten();
};

namespace {

constexpr int fileCount = 8;
constexpr qint64 oldSize = 32 * 1024 * 1024;
constexpr qint64 newSize = oldSize + 4096 * 3 + 17;
constexpr qint64 blockSize = 64 * 1024;

const QDateTime oldTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
const QDateTime newTime(QDate(2020, 1, 2), QTime(0, 0), Qt::UTC);

QString nameOf(int index)
{
    return QStringLiteral("big%1.bin").arg(index);
}

void writeFilled(const QString &path, qint64 size, char fill, const QDateTime &mtime)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    const QByteArray block(1024 * 1024, fill);
    for (qint64 written = 0; written < size;) {
        const qint64 part = std::min<qint64>(block.size(), size - written);
        QCOMPARE(file.write(block.constData(), part), part);
        written += part;
    }
    file.close();
    Tree::setModified(path, mtime);
}

// One look at a target file: whatever is open under the name must be the old
// file or the new one throughout. Returns what is wrong, or nothing.
QString inspect(const QString &path, bool *sawNew)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
#ifdef Q_OS_WIN
        // Windows refuses a reader for the instant a replacement holds the
        // name (a sharing violation); it sees nothing, least of all a mix.
        return QString();
#else
        return QStringLiteral("%1 could not be opened: %2").arg(path, file.errorString());
#endif
    }
    const qint64 size = file.size(); // of the open file, not of whatever has the name now
    if (size != oldSize && size != newSize)
        return QStringLiteral("%1 has size %2").arg(path).arg(size);
    const char fill = size == oldSize ? 'a' : 'b';
    const qint64 offsets[] = {0, size / 2 - blockSize / 2, size - blockSize};
    for (const qint64 offset : offsets) {
        if (!file.seek(offset))
            return QStringLiteral("%1 cannot seek to %2").arg(path).arg(offset);
        const QByteArray block = file.read(blockSize);
        if (block.size() != blockSize)
            return QStringLiteral("%1 gave %2 bytes at %3").arg(path).arg(block.size()).arg(offset);
        for (int i = 0; i < block.size(); ++i) {
            if (block.at(i) != fill) {
                return QStringLiteral("%1 of size %2 has '%3' at %4 instead of '%5'")
                        .arg(path)
                        .arg(size)
                        .arg(QLatin1Char(block.at(i)))
                        .arg(offset + i)
                        .arg(QLatin1Char(fill));
            }
        }
    }
    if (fill == 'b')
        *sawNew = true;
    return QString();
}

} // namespace

void TestAtomicReplace::replacementIsNeverSeenHalfWritten()
{
    QFETCH(QString, fileSystem);
    TreePair trees;
    const QString &source = trees.local;
    const QString &target = trees.remote;
    QVERIFY(QDir().mkpath(source));
    QVERIFY(QDir().mkpath(target));
    // In step with the old versions, then changed at the source.
    for (int i = 0; i < fileCount; ++i) {
        writeFilled(source + QLatin1Char('/') + nameOf(i), oldSize, 'a', oldTime);
        writeFilled(target + QLatin1Char('/') + nameOf(i), oldSize, 'a', oldTime);
    }
    RETURN_IF_FAILED();
    Copier copier(fileSystem == QLatin1String("posix") ? makeFileSystem()
                                                       : makePortableFileSystem());
    QVERIFY(copier.run(source, target).complete());
    for (int i = 0; i < fileCount; ++i)
        writeFilled(source + QLatin1Char('/') + nameOf(i), newSize, 'b', newTime);
    RETURN_IF_FAILED();

    std::atomic<bool> copyDone {false};
    std::atomic<int> passes {0};
    std::atomic<int> looks {0};
    std::atomic<int> problemCount {0};
    QStringList problems; // written by the reader only, read after it joined
    std::thread reader([&] {
        while (!copyDone.load() && problems.size() < 20) {
            for (int i = 0; i < fileCount; ++i) {
                bool newOne = false;
                const QString problem = inspect(target + QLatin1Char('/') + nameOf(i), &newOne);
                if (!problem.isEmpty()) {
                    problems << problem;
                    ++problemCount;
                }
                ++looks;
            }
            ++passes;
        }
    });
    // The reader is under way before the first file is replaced.
    QTRY_VERIFY(passes.load() > 0 || problemCount.load() > 0);

    const CopyReport report = copier.run(source, target);
    copyDone = true;
    reader.join();

    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    QVERIFY(looks.load() >= fileCount);
    qInfo("%d looks at the targets while they were replaced", looks.load());
    // POSIX renames over a file that is open. Windows refuses to replace a
    // file a reader holds open: such a target is said and kept, and the next
    // run replaces it.
    const int held = copier.log.count(EventKind::TargetInUse);
    QCOMPARE(report.copied + held, fileCount);
    QCOMPARE(report.failures, held);
    if (QDir::separator() == QLatin1Char('/')) {
        QVERIFY2(report.complete(), qPrintable(copier.said()));
    } else {
        qInfo("%d of %d targets were held open by the reader", held, fileCount);
        copier.log.clear();
        const CopyReport retry = copier.run(source, target);
        QVERIFY2(retry.complete(), qPrintable(copier.said()));
        QCOMPARE(retry.copied, held);
    }

    // And in the end every target is the new file, whole.
    for (int i = 0; i < fileCount; ++i) {
        const QString path = target + QLatin1Char('/') + nameOf(i);
        bool newOne = false;
        QCOMPARE(inspect(path, &newOne), QString());
        QVERIFY(newOne);
        QCOMPARE(Tree::modifiedMs(path), newTime.toMSecsSinceEpoch());
        QCOMPARE(Tree::readFile(path), QByteArray(int(newSize), 'b'));
    }
    QCOMPARE(Tree::names(target), Tree::names(source));
}

QTEST_GUILESS_MAIN(TestAtomicReplace)
#include "test_atomic_replace.moc"
