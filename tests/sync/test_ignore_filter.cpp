#include "sync/ignore_filter.h"
#include "sync/live_text.h"

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
    void invalidPatternIgnoresNothing();
    void invalidPatternIsReportedOnce();
    void eachNewInvalidPatternIsReported();
    void validPatternIsNotReported();
    void editAppliesToNextName();
    void blankingAndRestoringPatternTakesEffect();
};

namespace {

const QString warningPrefix = QStringLiteral("    忽略规则无效");

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
    QStringList warnings;
    IgnoreFilter filter(text, [&warnings](const QString &line) { warnings << line; });
    const QStringList names {"a.txt", "docs/", ".git/", "", " ", "   ", "\t\n"};
    for (const QString &name : names)
        QVERIFY2(!filter.isIgnored(name), qPrintable(QStringLiteral("ignored '%1'").arg(name)));
    QCOMPARE(warnings, QStringList());
}

void TestIgnoreFilter::invalidPatternIgnoresNothing()
{
    const LiveText text(QStringLiteral("("));
    IgnoreFilter filter(text);
    QVERIFY(!filter.isIgnored(QStringLiteral("(")));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.txt")));
    QVERIFY(!filter.isIgnored(QStringLiteral("docs/")));
    QVERIFY(!filter.isIgnored(QString()));
}

void TestIgnoreFilter::invalidPatternIsReportedOnce()
{
    LiveText text(QStringLiteral("("));
    QStringList warnings;
    IgnoreFilter filter(text, [&warnings](const QString &line) { warnings << line; });
    for (int i = 0; i < 5; ++i)
        filter.isIgnored(QStringLiteral("file%1.txt").arg(i));
    // Setting the same text again is no new pattern.
    text.setText(QStringLiteral("("));
    filter.isIgnored(QStringLiteral("later.txt"));

    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(warningPrefix), qPrintable(warnings.first()));
    QVERIFY2(warnings.first().contains(QLatin1Char('(')), qPrintable(warnings.first()));
}

void TestIgnoreFilter::eachNewInvalidPatternIsReported()
{
    LiveText text(QStringLiteral("("));
    QStringList warnings;
    IgnoreFilter filter(text, [&warnings](const QString &line) { warnings << line; });
    QVERIFY(!filter.isIgnored(QStringLiteral("a")));
    text.setText(QStringLiteral("[a"));
    QVERIFY(!filter.isIgnored(QStringLiteral("a")));
    QVERIFY(!filter.isIgnored(QStringLiteral("b")));

    QCOMPARE(warnings.size(), 2);
    QVERIFY2(warnings.at(0).startsWith(warningPrefix) && warnings.at(0).contains("("),
             qPrintable(warnings.at(0)));
    QVERIFY2(warnings.at(1).startsWith(warningPrefix) && warnings.at(1).contains("[a"),
             qPrintable(warnings.at(1)));
}

void TestIgnoreFilter::validPatternIsNotReported()
{
    const LiveText text(QStringLiteral("^\\..*/$"));
    QStringList warnings;
    IgnoreFilter filter(text, [&warnings](const QString &line) { warnings << line; });
    QVERIFY(filter.isIgnored(QStringLiteral(".git/")));
    QVERIFY(!filter.isIgnored(QStringLiteral("a.txt")));
    QCOMPARE(warnings, QStringList());
}

// The field can be edited while a copy runs: the name tested after the edit
// sees the new text, the one before it the old.
void TestIgnoreFilter::editAppliesToNextName()
{
    LiveText text(QStringLiteral(".*\\.log"));
    QStringList warnings;
    IgnoreFilter filter(text, [&warnings](const QString &line) { warnings << line; });
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

    QCOMPARE(warnings.size(), 1);
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

QTEST_GUILESS_MAIN(TestIgnoreFilter)
#include "test_ignore_filter.moc"
