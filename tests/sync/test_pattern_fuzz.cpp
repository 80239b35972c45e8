// Hostile ignore patterns against hostile names: whatever the user types into
// the pattern field, testing a name must neither crash nor take long nor eat
// the memory, an unusable pattern must ignore nothing and be reported once,
// and a change of the text must apply to the very next name. Times are
// processor time of the calling thread, so a busy machine does not count.

#include "sync/walk/ignore_filter.h"
#include "sync/walk/live_text.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegExp>
#include <QSet>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <ctime>
#include <new>
#include <optional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The most processor time one name test of a pattern the filter accepted may
// take, compiling the expression included: the copy tests every name.
constexpr qint64 slowestCallNs = 50 * 1000 * 1000;

quint32 seedFromEnvironment()
{
    bool ok = false;
    const quint32 fixed = qEnvironmentVariable("TWINFOLD_SEED").toUInt(&ok);
    return ok ? fixed : QRandomGenerator::global()->generate();
}

QChar pick(QRandomGenerator &random, const QString &from)
{
    return from.at(int(random.bounded(quint32(from.size()))));
}

template<typename T>
const T &pick(QRandomGenerator &random, const QList<T> &from)
{
    return from.at(int(random.bounded(quint32(from.size()))));
}

// Character soup: metacharacters, letters and a few digits (which make back
// references and repeat counts), mostly unbalanced and invalid.
QString soupPattern(QRandomGenerator &random, int length)
{
    static const QString meta = QStringLiteral("()[]{}*+?|\\^$.");
    static const QString letters = QStringLiteral("aabAB 中.");
    static const QString digits = QStringLiteral("0123");
    QString pattern;
    while (pattern.size() < length) {
        const quint32 kind = random.bounded(100);
        if (kind < 40)
            pattern += pick(random, meta);
        else if (kind < 92)
            pattern += pick(random, letters);
        else
            pattern += pick(random, digits);
    }
    return pattern;
}

// A well-formed expression with nested groups, alternations, classes, anchors
// and quantifiers stacked on quantifiers; the kind that makes a backtracking
// engine slow. Repeat counts stay in one digit here; large ones have their
// own test below.
QString grammarExpression(QRandomGenerator &random, int depth);

QString grammarAtom(QRandomGenerator &random, int depth)
{
    static const QStringList atoms = {
            QStringLiteral("a"),    QStringLiteral("b"),    QStringLiteral("."),
            QStringLiteral("中"),   QStringLiteral(" "),    QStringLiteral("\\."),
            QStringLiteral("\\w"),  QStringLiteral("\\s"),  QStringLiteral("\\d"),
            QStringLiteral("[ab]"), QStringLiteral("[^a]"), QStringLiteral("[a-z.]"),
            QStringLiteral("/"),    QStringLiteral("\\b"),  QStringLiteral("\\1"),
    };
    const quint32 kind = random.bounded(100);
    if (depth < 4 && kind < 30) {
        static const QStringList opens = {QStringLiteral("("), QStringLiteral("(?:"),
                                          QStringLiteral("(?="), QStringLiteral("(?!")};
        const QString open = random.bounded(4) == 0 ? pick(random, opens) : opens.first();
        return open + grammarExpression(random, depth + 1) + QLatin1Char(')');
    }
    return pick(random, atoms);
}

QString grammarQuantifier(QRandomGenerator &random)
{
    static const QStringList quantifiers
            = {QStringLiteral("*"),    QStringLiteral("+"),     QStringLiteral("?"),
               QStringLiteral("{2}"),  QStringLiteral("{1,3}"), QStringLiteral("{0,}"),
               QStringLiteral("{,9}"), QStringLiteral("+")};
    return random.bounded(2) == 0 ? QString() : pick(random, quantifiers);
}

QString grammarExpression(QRandomGenerator &random, int depth)
{
    QString expression;
    const int terms = 1 + int(random.bounded(4));
    for (int i = 0; i < terms; ++i)
        expression += grammarAtom(random, depth) + grammarQuantifier(random);
    if (random.bounded(4) == 0)
        expression += QLatin1Char('|') + grammarExpression(random, depth + 1);
    return expression;
}

// Lengths 0 to 40, about half of them soup and half well formed.
QString randomPattern(QRandomGenerator &random)
{
    constexpr int longest = 40;
    if (random.bounded(2) == 0)
        return soupPattern(random, int(random.bounded(longest + 1)));
    QString pattern;
    do {
        pattern = grammarExpression(random, 0);
        if (random.bounded(3) == 0)
            pattern = QLatin1Char('^') + pattern;
        if (random.bounded(3) == 0)
            pattern += QLatin1Char('$');
    } while (pattern.size() > longest);
    return pattern;
}

// What makes QRegExp slow: counted repeats in every form it accepts ("{n}",
// "{n,}", "{,n}", "{n,m}"), nested up to three deep around bodies that can
// match nothing or anything, counts from 0 to 300.
QString countForm(QRandomGenerator &random)
{
    const auto count = [&random] {
        return QString::number(random.bounded(4) == 0 ? random.bounded(301) : random.bounded(24));
    };
    switch (random.bounded(4)) {
    case 0: return QLatin1Char('{') + count() + QLatin1Char('}');
    case 1: return QLatin1Char('{') + count() + QStringLiteral(",}");
    case 2: return QStringLiteral("{,") + count() + QLatin1Char('}');
    default: {
        const QString low = count();
        return QLatin1Char('{') + low + QLatin1Char(',')
               + QString::number(low.toInt() + random.bounded(200)) + QLatin1Char('}');
    }
    }
}

QString costlyPattern(QRandomGenerator &random)
{
    static const QStringList bodies
            = {QStringLiteral("a"),     QStringLiteral("a*"),  QStringLiteral("a?"),
               QStringLiteral(".?"),    QStringLiteral(".*"),  QStringLiteral("(a|aa)"),
               QStringLiteral("[ab]?"), QStringLiteral("\\w*")};
    static const QStringList tails = {QString(), QStringLiteral("b"), QStringLiteral("x"),
                                      QStringLiteral("$"), QStringLiteral("\\.txt")};
    QString pattern = pick(random, bodies);
    const int depth = 1 + int(random.bounded(3));
    for (int level = 0; level < depth; ++level) {
        pattern = QLatin1Char('(') + pattern + QLatin1Char(')') + countForm(random);
        if (random.bounded(5) == 0)
            pattern += pick(random, bodies);
    }
    if (random.bounded(4) == 0)
        pattern += pattern; // two such groups in a row
    return pattern + pick(random, tails);
}

// Letters (mostly 'a', so that the repeating parts of a pattern get a long
// run to chew on), blanks, Chinese and dots; a directory name ends with "/".
// Lengths 0 to 255 characters.
QString randomName(QRandomGenerator &random)
{
    static const QString characters = QStringLiteral("aaaaaaaabAB .中文件名");
    const int length = int(random.bounded(random.bounded(4) == 0 ? 256 : 24));
    QString name;
    name.reserve(length + 1);
    for (int i = 0; i < length; ++i)
        name += pick(random, characters);
    if (random.bounded(4) == 0)
        name += QLatin1Char('/');
    return name;
}

bool isBlank(const QString &text)
{
    return text.trimmed().isEmpty();
}

qint64 threadCpuNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The cost of one call in processor time (what the expression costs, whatever
// else the machine is doing), and its answer.
struct Timed
{
    qint64 ns;
    bool ignored;
};

Timed timedIsIgnored(IgnoreFilter &filter, const QString &name)
{
    const qint64 start = threadCpuNs();
    const bool ignored = filter.isIgnored(name);
    return {threadCpuNs() - start, ignored};
}

// CPU time a process has used so far, in ms, or -1 once it is gone.
qint64 cpuMs(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

// Bytes of data segment this process holds now.
rlim_t dataInUse()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmData:"))
            return rlim_t(line.mid(7).trimmed().split(' ').first().toULongLong()) * 1024;
    }
    return 0;
}

// Runs one name test in a child process whose data segment may grow by
// dataBytes only, so that an expression that eats memory cannot take the
// test machine with it, and which gets cpuLimitMs of processor time. The
// answer must come in time and be `meant` (when known), or the pattern must
// have been refused with a report, which sets *refused. Returns an empty
// string when all is well, otherwise what went wrong.
QString runCapped(const QString &pattern, const QString &name, std::optional<bool> meant,
                  rlim_t dataBytes, qint64 cpuLimitMs, bool *refused = nullptr)
{
    enum Exit { Fine = 0, Slow = 3, OutOfMemory = 4, Threw = 5, Wrong = 6, Refused = 7 };
    const pid_t child = ::fork();
    if (child < 0)
        return QStringLiteral("fork failed");
    if (child == 0) {
        // A crash is the answer here; the test framework's crash handler
        // (a stack dump) would only make it late.
        for (const int fatal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE})
            ::signal(fatal, SIG_DFL);
        const rlim_t limit = dataInUse() + dataBytes;
        const rlimit cap {limit, limit};
        ::setrlimit(RLIMIT_DATA, &cap);
        // Nothing may unwind into the test framework, which lives on in this
        // copy of the process.
        try {
            LiveText text(pattern);
            int reports = 0;
            IgnoreFilter filter(text, [&reports](const SyncEvent &event) {
                reports += event.kind == EventKind::PatternUnusable ? 1 : 100;
            });
            const Timed result = timedIsIgnored(filter, name);
            if (reports == 1 && !result.ignored)
                ::_exit(Refused);
            if (reports != 0)
                ::_exit(Wrong);
            if (result.ns >= slowestCallNs)
                ::_exit(Slow);
            ::_exit(!meant || result.ignored == *meant ? Fine : Wrong);
        } catch (const std::bad_alloc &) {
            ::_exit(OutOfMemory);
        } catch (...) {
            ::_exit(Threw);
        }
    }
    int status = 0;
    QDeadlineTimer wallLimit(cpuLimitMs * 10);
    bool ended = false;
    qint64 used = 0;
    while (!ended && used < cpuLimitMs && !wallLimit.hasExpired()) {
        used = std::max(used, cpuMs(child));
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended)
            QTest::qWait(20);
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return QStringLiteral("no answer after %1 ms of processor time").arg(used);
    }
    if (WIFSIGNALED(status)) {
        return QStringLiteral("the process died with signal %1 (%2 MiB more data allowed)")
                .arg(WTERMSIG(status))
                .arg(dataBytes >> 20);
    }
    switch (WEXITSTATUS(status)) {
    case Refused:
        if (refused)
            *refused = true;
        return QString();
    case Fine: return QString();
    case Slow:
        return QStringLiteral("the call took more than %1 ms of processor time")
                .arg(slowestCallNs / 1000000);
    case OutOfMemory:
        return QStringLiteral("the call threw std::bad_alloc after %1 ms of processor time, "
                              "having used more than %2 MiB")
                .arg(used)
                .arg(dataBytes >> 20);
    case Wrong:
        return QStringLiteral(
                "the answer was wrong, or the report was not one \"忽略规则无效\" line");
    default: return QStringLiteral("the call threw an exception");
    }
}

} // namespace

class TestPatternFuzz : public QObject
{
    Q_OBJECT

private slots:
    void randomPatternsNeitherCrashNorStall();
    void backtrackingPatternsStayFast();
    void costlyPatternsAreFastOrRefused_data();
    void costlyPatternsAreFastOrRefused();
    void generatedCountedPatternsAreFastOrRefused();
};

// The filter is the one a copy holds for a whole run; the pattern changes
// under it between names, as when the user types while a run goes on.
void TestPatternFuzz::randomPatternsNeitherCrashNorStall()
{
    const quint32 seed = seedFromEnvironment();
    qInfo("seed %u (set TWINFOLD_SEED to repeat)", seed);
    QRandomGenerator random(seed);

    LiveText text;
    QStringList warnings; // the patterns reported unusable
    IgnoreFilter filter(text, [&warnings](const SyncEvent &event) {
        if (event.kind == EventKind::PatternUnusable)
            warnings << event.pattern;
    });

    constexpr int patternCount = 3000;
    constexpr int namesPerPattern = 40;
    int cases = 0;
    int invalidPatterns = 0; // refused, for whatever reason
    int validRefused = 0; // refused although QRegExp would run them
    int matches = 0;
    qint64 worstNs = -1;
    QString worstPattern;
    QString worstName;
    QElapsedTimer total;
    total.start();

    QSet<QString> reportedTexts;
    for (int p = 0; p < patternCount; ++p) {
        const QString pattern = randomPattern(random);
        const QRegExp reference(pattern, Qt::CaseSensitive, QRegExp::RegExp);
        const bool blank = isBlank(pattern);
        const int warningsBefore = warnings.size();
        text.setText(pattern);

        // Whether the filter refused the text is known from its report; the
        // answers are checked once that is known.
        QVector<QPair<QString, bool>> answers;
        for (int n = 0; n < namesPerPattern; ++n) {
            const QString name = randomName(random);
            const Timed result = timedIsIgnored(filter, name);
            ++cases;
            if (result.ns > worstNs) {
                worstNs = result.ns;
                worstPattern = pattern;
                worstName = name;
            }
            matches += result.ignored ? 1 : 0;
            answers.append({name, result.ignored});
        }

        // An unusable text is reported the first time it takes effect and
        // never again; blank texts and valid expressions the filter runs are
        // never reported. A text that is no expression must be refused.
        const int reported = warnings.size() - warningsBefore;
        const bool refused = !blank && (reported > 0 || reportedTexts.contains(pattern));
        if (reported > 1 || (reported == 1 && reportedTexts.contains(pattern))
            || (!blank && !reference.isValid() && !refused)) {
            QFAIL(qPrintable(QStringLiteral("pattern \"%1\": %2 reports (seed %3)")
                                     .arg(pattern)
                                     .arg(reported)
                                     .arg(seed)));
        }
        for (int w = warningsBefore; w < warnings.size(); ++w) {
            QCOMPARE(warnings.at(w), pattern);
        }
        if (refused) {
            reportedTexts.insert(pattern);
            ++invalidPatterns;
            validRefused += reference.isValid() ? 1 : 0;
        }
        // What a freshly compiled expression says; blank and refused texts
        // ignore nothing.
        for (const auto &answer : qAsConst(answers)) {
            QRegExp fresh = reference;
            const bool expected = !blank && !refused && fresh.exactMatch(answer.first);
            if (answer.second != expected) {
                QFAIL(qPrintable(QStringLiteral("pattern \"%1\" on name \"%2\": ignored %3, "
                                                "a fresh expression says %4 (seed %5)")
                                         .arg(pattern, answer.first)
                                         .arg(answer.second)
                                         .arg(expected)
                                         .arg(seed)));
            }
        }
    }

    qInfo("%d pattern/name pairs over %d patterns (%d invalid), %d names ignored, in %lld ms; "
          "slowest call %.3f ms of processor time: pattern \"%s\" on a name of %d characters",
          cases, patternCount, invalidPatterns, matches, total.elapsed(), worstNs / 1e6,
          qPrintable(worstPattern), int(worstName.size()));
    // The run must have met every kind of input, or it proved little.
    QVERIFY(cases >= 20000);
    QVERIFY(invalidPatterns > patternCount / 10);
    QVERIFY(invalidPatterns < patternCount * 9 / 10);
    // Refusing for cost is for the rare costly pattern, not for ordinary ones.
    QVERIFY2(validRefused < patternCount / 20, qPrintable(QString::number(validRefused)));
    QVERIFY(matches > cases / 100);
    QVERIFY2(worstNs < slowestCallNs,
             qPrintable(QStringLiteral("pattern \"%1\" on name \"%2\" took %3 ms (seed %4)")
                                .arg(worstPattern, worstName)
                                .arg(worstNs / 1e6)
                                .arg(seed)));
}

// The classic expressions that take exponential time in a backtracking
// engine, each against a long run of the repeated letter that just fails to
// match at the end.
void TestPatternFuzz::backtrackingPatternsStayFast()
{
    const QStringList patterns = {
            QStringLiteral("(a*)*b"),
            QStringLiteral("(a|aa)+$"),
            QStringLiteral("(a+)+$"),
            QStringLiteral("(a|a?)+b"),
            QStringLiteral("((a*)*)*b"),
            QStringLiteral("(.*a){12}"),
            QStringLiteral("(a|b|ab)*c"),
            QStringLiteral("(\\w+\\s?)*$"),
            QStringLiteral("^(a+)+\\1b"),
            QStringLiteral("(.*)*\\1x"),
            QStringLiteral("(([a-z])+.)+[A-Z]([a-z])+"),
            QStringLiteral("(a{1,30}){1,30}b"),
    };
    const QStringList names = {
            QString(30, QLatin1Char('a')) + QLatin1Char('!'),
            QString(254, QLatin1Char('a')) + QLatin1Char('!'),
            QString(200, QLatin1Char('a')) + QLatin1Char('/'),
            QString(120, QLatin1Char('a')) + QString(120, QLatin1Char(' ')),
            QString(85, QChar(0x6587)), // 255 bytes in UTF-8
    };
    LiveText text;
    IgnoreFilter filter(text);
    qint64 worstNs = -1;
    QString worst;
    for (const QString &pattern : patterns) {
        text.setText(pattern);
        for (const QString &name : names) {
            const qint64 ns = timedIsIgnored(filter, name).ns;
            if (ns > worstNs) {
                worstNs = ns;
                worst = QStringLiteral("\"%1\" on \"%2\"").arg(pattern, name);
            }
        }
    }
    qInfo("%d patterns x %d names, slowest call %.3f ms of processor time: %s",
          int(patterns.size()), int(names.size()), worstNs / 1e6, qPrintable(worst));
    QVERIFY2(worstNs < slowestCallNs,
             qPrintable(QStringLiteral("%1 took %2 ms").arg(worst).arg(worstNs / 1e6)));
}

// Short patterns whose counted repeats multiply into large expressions. One
// test of an ordinary 255-byte name must neither take long (the copy tests
// every name of the tree) nor take the program's memory; a pattern the filter
// will not run must be reported, not silently ignore nothing.
void TestPatternFuzz::costlyPatternsAreFastOrRefused_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("meant"); // what the expression says about the name, read by hand

    const QString run = QString(255, QLatin1Char('a'));
    QTest::newRow("(a*){999}b") << QStringLiteral("(a*){999}b") << run << false;
    QTest::newRow("(a?){999}b") << QStringLiteral("(a?){999}b") << run << false;
    QTest::newRow("(a{1,1000}){1,1000}") << QStringLiteral("(a{1,1000}){1,1000}") << run << true;
    // Counts that multiply to 10^9: compiling alone once took gigabytes.
    QTest::newRow("((a{1,1000}){1,1000}){1,1000}")
            << QStringLiteral("((a{1,1000}){1,1000}){1,1000}") << QStringLiteral("a.txt") << false;
    // Counts written "{,n}" are "{0,n}" to QRegExp, and as costly.
    QTest::newRow("((.?){,64}){,64}x")
            << QStringLiteral("((.?){,64}){,64}x") << QStringLiteral("report 2026.txt") << false;
    QTest::newRow("(a*){,999}b") << QStringLiteral("(a*){,999}b") << run << false;
    QTest::newRow("((a?){,16}){,16}") << QStringLiteral("((a?){,16}){,16}") << run << true;
    // Within the bound on repeats (255) and on the expanded size (256), but
    // with too many loops: 0.1 s and more.
    QTest::newRow("((a?){64}){4}") << QStringLiteral("((a?){64}){4}") << run << true;
    QTest::newRow("((.*){91,98}){,2}") << QStringLiteral("((.*){91,98}){,2}") << run << true;
    QTest::newRow("(a*){200}(a*){200}(a*){200}b")
            << QStringLiteral("(a*){200}(a*){200}(a*){200}b") << run << false;
    // Accepted, and quick: copies of a plain atom, and loops within the bound.
    QTest::newRow(".{0,255}") << QStringLiteral(".{0,255}") << run << true;
    QTest::newRow("((.*)(.*)){32}") << QStringLiteral("((.*)(.*)){32}") << run << true;
}

void TestPatternFuzz::costlyPatternsAreFastOrRefused()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, meant);
    const QString failure = runCapped(pattern, name, meant, rlim_t(128) << 20, 3000);
    QVERIFY2(failure.isEmpty(),
             qPrintable(QStringLiteral("pattern \"%1\" on a name of %2 characters: %3")
                                .arg(pattern)
                                .arg(name.size())
                                .arg(failure)));
}

// Judged by what each pattern costs, not by asking the guard: every
// generated pattern is either refused with a report or answers for a
// 255-character name within slowestCallNs.
void TestPatternFuzz::generatedCountedPatternsAreFastOrRefused()
{
    const quint32 seed = seedFromEnvironment();
    qInfo("seed %u (set TWINFOLD_SEED to repeat)", seed);
    QRandomGenerator random(seed);
    const QStringList names
            = {QString(255, QLatin1Char('a')), QString(254, QLatin1Char('a')) + QLatin1Char('!')};
    constexpr int patternCount = 150;
    int refusals = 0;
    for (int p = 0; p < patternCount; ++p) {
        const QString pattern = costlyPattern(random);
        bool refused = false;
        for (const QString &name : names) {
            const QString failure
                    = runCapped(pattern, name, std::nullopt, rlim_t(256) << 20, 2000, &refused);
            if (!failure.isEmpty()) {
                QFAIL(qPrintable(QStringLiteral("pattern \"%1\" on a name of %2 characters: %3 "
                                                "(seed %4)")
                                         .arg(pattern)
                                         .arg(name.size())
                                         .arg(failure)
                                         .arg(seed)));
            }
        }
        refusals += refused ? 1 : 0;
    }
    qInfo("%d of %d generated patterns refused", refusals, patternCount);
    // Both outcomes must occur, or the generator proved nothing.
    QVERIFY(refusals > patternCount / 10);
    QVERIFY(refusals < patternCount * 9 / 10);
}

QTEST_GUILESS_MAIN(TestPatternFuzz)
#include "test_pattern_fuzz.moc"
