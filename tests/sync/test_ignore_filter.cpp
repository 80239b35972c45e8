#include "sync/walk/ignore_filter.h"
#include "sync/walk/live_text.h"

#include <QRandomGenerator>
#include <QtTest>

// The name test of the copy: the pattern field's text as a whole-name,
// case-sensitive regular expression, read afresh for every name.
class TestIgnoreFilter : public QObject
{
    Q_OBJECT

private slots:
    void matchesWholeNameCaseSensitively_data();
    void matchesWholeNameCaseSensitively();
    void blankPatternIgnoresNothing_data();
    void blankPatternIgnoresNothing();
    void invalidPatternIgnoresNothingAndIsReportedOnce_data();
    void invalidPatternIgnoresNothingAndIsReportedOnce();
    void invalidPatternIsReportedOncePerTextAcrossEdits();
    void validPatternIsNotReported();
    void editAppliesToNextName();
    void blankingAndRestoringPatternTakesEffect();
    void patternChangeAppliesToTheNextName();
};

namespace {

// The patterns the filter reported unusable, with Qt's words for each.
struct Reports
{
    EventSink sink()
    {
        return [this](const SyncEvent &event) {
            if (event.kind == EventKind::PatternUnusable)
                patterns << event.pattern + QStringLiteral(": ") + event.patternProblem;
        };
    }
    QStringList patterns;
};

} // namespace

void TestIgnoreFilter::matchesWholeNameCaseSensitively_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ignored");

    const auto row = [](const char *tag, const char *pattern, const char *name, bool ignored) {
        QTest::newRow(tag) << QString::fromUtf8(pattern) << QString::fromUtf8(name) << ignored;
    };
    const char *const hiddenDirectories = "^\\..*/$";
    row("defaultSkipsGit", hiddenDirectories, ".git/", true);
    row("defaultSkipsHiddenDir", hiddenDirectories, ".cache/", true);
    row("defaultKeepsGitignore", hiddenDirectories, ".gitignore", false);
    row("defaultKeepsPlainDir", hiddenDirectories, "src/", false);
    row("defaultKeepsDotInsideName", hiddenDirectories, "a.b/", false);

    row("dirPatternSkipsDir", "build/", "build/", true);
    row("dirPatternKeepsFile", "build/", "build", false);
    row("filePatternKeepsDir", "build", "build/", false);
    row("filePatternSkipsFile", "build", "build", true);

    row("wholeNameOnly", "tmp", "tmp.txt", false);
    row("wholeNameNotSuffix", "tmp", "a.tmp", false);
    row("wholeNameExact", "tmp", "tmp", true);
    row("logLower", ".*\\.log", "a.log", true);
    row("logUpper", ".*\\.log", "a.LOG", false);
    row("upperPatternLowerName", "TMP", "tmp", false);
    row("leadingBlankIsPart", " tmp", "tmp", false);
    row("leadingBlankMatchesBlank", " tmp", " tmp", true);
    row("trailingBlankIsPart", "tmp ", "tmp", false);
    row("anyMatchesFile", ".*", "a.txt", true);
    row("anyMatchesDir", ".*", "docs/", true);
    row("alternation", "a|b", "b", true);
    row("alternationWhole", "a|b", "ab", false);
    row("chineseName", "报告.*", "报告 一.txt", true);
    row("chineseOther", "报告.*", "文档.txt", false);
}

void TestIgnoreFilter::matchesWholeNameCaseSensitively()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, ignored);

    const LiveText text(pattern);
    IgnoreFilter filter(text);
    QCOMPARE(filter.isIgnored(name), ignored);
}

void TestIgnoreFilter::blankPatternIgnoresNothing_data()
{
    QTest::addColumn<QString>("pattern");

    QTest::newRow("empty") << QString();
    QTest::newRow("emptyString") << QString("");
    QTest::newRow("spaces") << QString("   ");
    QTest::newRow("tabAndNewline") << QString("\t\n");
    QTest::newRow("ideographicSpace") << QString::fromUtf8("\u3000");
}

void TestIgnoreFilter::blankPatternIgnoresNothing()
{
    QFETCH(QString, pattern);

    const LiveText text(pattern);
    Reports reports;
    IgnoreFilter filter(text, reports.sink());
    const QStringList names {"a.txt", "docs/", ".git/", "", " ", "   ", "\t\n"};
    for (const QString &name : names)
        QVERIFY2(!filter.isIgnored(name), qPrintable(QStringLiteral("ignored '%1'").arg(name)));
    QCOMPARE(reports.patterns, QStringList());
}

void TestIgnoreFilter::invalidPatternIgnoresNothingAndIsReportedOnce_data()
{
    QTest::addColumn<QString>("pattern");
    for (const char *pattern : {"(", "a)", "[a-", "*a", "a{2,1}", "(?:a"})
        QTest::newRow(pattern) << QString::fromLatin1(pattern);
}

void TestIgnoreFilter::invalidPatternIgnoresNothingAndIsReportedOnce()
{
    QFETCH(QString, pattern);
    QVERIFY2(!QRegExp(pattern).isValid(), qPrintable(pattern));
    LiveText text(pattern);
    Reports reports;
    IgnoreFilter filter(text, reports.sink());
    // Names a plausible reading of the pattern might have caught.
    const QStringList names {pattern, "a", "(", ".git/", "", "aa", "docs/"};
    for (int round = 0; round < 5; ++round) {
        for (const QString &name : names)
            QVERIFY2(!filter.isIgnored(name), qPrintable(pattern + QStringLiteral(" / ") + name));
    }
    // Setting the same text again is no new pattern.
    text.setText(pattern);
    QVERIFY(!filter.isIgnored(QStringLiteral("a")));
    QCOMPARE(reports.patterns.size(), 1);
    QVERIFY2(reports.patterns.first().startsWith(pattern + QStringLiteral(": "))
                     && reports.patterns.first().size() > pattern.size() + 2,
             qPrintable(reports.patterns.first()));
}

// The user types while a long run goes on: "(" is invalid, "(a)" is fine, and
// back to "(" with a backspace. Each distinct invalid text is reported once,
// so a text that comes back is not reported again.
void TestIgnoreFilter::invalidPatternIsReportedOncePerTextAcrossEdits()
{
    LiveText text;
    Reports reports;
    IgnoreFilter filter(text, reports.sink());
    for (const char *edit : {"(", "(a", "(a)", "(a", "(", "", "(", "[a"}) {
        text.setText(QString::fromLatin1(edit));
        QVERIFY(!filter.isIgnored(QStringLiteral("b")));
    }
    QCOMPARE(reports.patterns.size(), 3);
    QVERIFY(reports.patterns.at(0).startsWith(QStringLiteral("(: ")));
    QVERIFY(reports.patterns.at(1).startsWith(QStringLiteral("(a: ")));
    QVERIFY(reports.patterns.at(2).startsWith(QStringLiteral("[a: ")));
}

void TestIgnoreFilter::validPatternIsNotReported()
{
    const LiveText text(QStringLiteral("^\\..*/$"));
    Reports reports;
    IgnoreFilter filter(text, reports.sink());
    QVERIFY(filter.isIgnored(QStringLiteral(".git/")));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.txt")));
    QCOMPARE(reports.patterns, QStringList());
}

// The field can be edited while a copy runs: the name tested after the edit
// sees the new text, the one before it the old.
void TestIgnoreFilter::editAppliesToNextName()
{
    LiveText text(QStringLiteral(".*\\.log"));
    Reports reports;
    IgnoreFilter filter(text, reports.sink());
    QVERIFY(filter.isIgnored(QStringLiteral("a.log")));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.tmp")));

    text.setText(QStringLiteral(".*\\.tmp"));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.log")));
    QVERIFY(filter.isIgnored(QStringLiteral("a.tmp")));

    text.setText(QStringLiteral("("));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.tmp")));

    text.setText(QStringLiteral("a\\..*"));
    QVERIFY(filter.isIgnored(QStringLiteral("a.log")));
    QVERIFY(filter.isIgnored(QStringLiteral("a.tmp")));
    QVERIFY(!filter.isIgnored(QStringLiteral("b.tmp")));

    QCOMPARE(reports.patterns.size(), 1);
}

void TestIgnoreFilter::blankingAndRestoringPatternTakesEffect()
{
    LiveText text(QStringLiteral("tmp"));
    IgnoreFilter filter(text);
    QVERIFY(filter.isIgnored(QStringLiteral("tmp")));

    text.setText(QStringLiteral("  "));
    QVERIFY(!filter.isIgnored(QStringLiteral("tmp")));

    text.setText(QStringLiteral("tmp"));
    QVERIFY(filter.isIgnored(QStringLiteral("tmp")));

    text.setText(QString());
    QVERIFY(!filter.isIgnored(QStringLiteral("tmp")));
}

// Whatever the text was a name ago, the answer is the fresh expression's.
void TestIgnoreFilter::patternChangeAppliesToTheNextName()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    LiveText text;
    IgnoreFilter filter(text);
    const QStringList patterns {"a.*", "b.*", "(", " ", "", ".*/", "^\\..*/$", "[ab]+"};
    const QStringList names {"abc", "bcd", ".git/", "ab", "dir/", " "};
    int changes = 0;
    for (int step = 0; step < 2000; ++step) {
        const QString &pattern = patterns.at(int(random.bounded(uint(patterns.size()))));
        const QString &name = names.at(int(random.bounded(uint(names.size()))));
        changes += pattern != text.text() ? 1 : 0;
        text.setText(pattern);
        QRegExp fresh(pattern, Qt::CaseSensitive, QRegExp::RegExp);
        const bool expected
                = !pattern.trimmed().isEmpty() && fresh.isValid() && fresh.exactMatch(name);
        QVERIFY2(filter.isIgnored(name) == expected,
                 qPrintable(QStringLiteral("step %1: pattern \"%2\", name \"%3\" (seed %4)")
                                    .arg(step)
                                    .arg(pattern, name)
                                    .arg(seed)));
    }
    QVERIFY(changes > 1000);
}

QTEST_GUILESS_MAIN(TestIgnoreFilter)
#include "test_ignore_filter.moc"
