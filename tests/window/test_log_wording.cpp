#include "window/log_wording.h"

#include <QDir>
#include <QtTest>

// The user's words for every event of a run: the one place the engine's
// values become log lines, each line checked as it stands.
class TestLogWording : public QObject
{
    Q_OBJECT

private slots:
    void wordsEachEvent_data();
    void wordsEachEvent();
    void wordsEachFailure_data();
    void wordsEachFailure();
    void showsPathAfterLocalField_data();
    void showsPathAfterLocalField();
};

Q_DECLARE_METATYPE(SyncEvent)

namespace {

SyncEvent jobEvent(EventKind kind, SyncDirection direction, qint64 since, qint64 time = 0,
                   int failures = 0)
{
    SyncEvent event;
    event.kind = kind;
    event.direction = direction;
    event.since = since;
    event.time = time;
    event.failures = failures;
    return event;
}

SyncEvent withError(EventKind kind, const QString &path, const QString &detail)
{
    SyncEvent event = SyncEvent::of(kind, path);
    event.error = FsError {FsFault::System, 13, detail};
    return event;
}

SyncEvent pattern(const QString &text, const QString &problem)
{
    SyncEvent event;
    event.kind = EventKind::PatternUnusable;
    event.pattern = text;
    event.patternProblem = problem;
    return event;
}

} // namespace

void TestLogWording::wordsEachEvent_data()
{
    QTest::addColumn<SyncEvent>("event");
    QTest::addColumn<QString>("line");
    const QString file = QDir::toNativeSeparators(QStringLiteral("/work/docs/a.txt"));
    const auto entry = [&file](const char *tag, EventKind kind, const char *words) {
        QTest::newRow(tag) << SyncEvent::of(kind, file)
                           << QString::fromUtf8(words) + QDir::toNativeSeparators("/docs/a.txt");
    };
    entry("copied", EventKind::Copied, "    复制文件：");
    entry("targetNewer", EventKind::TargetNewer, "    目标较新，未覆盖：");
    entry("bothChanged", EventKind::BothChanged, "    两边都已修改，未覆盖：");
    entry("bothDiffer", EventKind::BothDiffer, "    两边都有此文件而内容不同，未覆盖：");
    entry("deferred", EventKind::Deferred, "    源文件刚刚修改，下次同步时复制：");
    entry("keptLink", EventKind::KeptLink, "    目标是符号链接，未覆盖：");
    entry("nameRefused", EventKind::NameRefused, "    目标文件系统不接受此文件名，未复制：");
    entry("caseTwin", EventKind::CaseTwin,
          "    目标文件系统不区分大小写，与同目录中另一名称相同，未复制：");
    entry("linkSkipped", EventKind::LinkSkipped, "    跳过链接：");
    entry("inUse", EventKind::TargetInUse, "    目标文件正被其他程序使用，下次同步时重试：");
    entry("tooDeep", EventKind::TooDeep, "    目录层级过深，未复制：");

    // Run events name the tree as the user named it.
    QTest::newRow("sameDirectory") << SyncEvent::of(EventKind::SameDirectory, "/work")
                                   << QStringLiteral("    源目录与目标目录相同，未复制：/work");
    QTest::newRow("sourceMissing") << SyncEvent::of(EventKind::SourceMissing, "/mnt/share")
                                   << QStringLiteral("    源目录不存在：/mnt/share");
    QTest::newRow("clockUnreadable")
            << withError(EventKind::SourceClockUnreadable, "/mnt/share", "Permission denied")
            << QStringLiteral("    无法在源目录创建临时文件（Permission denied），按本机时钟计时："
                              "/mnt/share");
    QTest::newRow("stampAhead") << SyncEvent::of(
            EventKind::StampAhead,
            "/work") << QStringLiteral("    上次同步时间晚于源目录的当前时间，本次检查全部文件");
    QTest::newRow("flushFailed") << withError(EventKind::FlushFailed, QString(), "I/O error")
                                 << QStringLiteral("    复制失败：写入磁盘失败（I/O error）");
    QTest::newRow("recordSetAside")
            << withError(EventKind::RecordSetAside, "/home/u/.local/share/twinfold/r.sqlite", "")
            << QStringLiteral("    同步记录已损坏或版本不同，已另存，重新开始记录："
                              "/home/u/.local/share/twinfold/r.sqlite");
    QTest::newRow("recordUnavailable")
            << withError(EventKind::RecordUnavailable, "/ro/r.sqlite", "disk I/O error")
            << QStringLiteral("    无法保存同步记录（disk I/O error），本次同步的结果不会被记住："
                              "/ro/r.sqlite");
    QTest::newRow("patternInvalid")
            << pattern("(", "missing right parenthesis")
            << QStringLiteral("    忽略规则无效，未忽略任何文件：(（missing right parenthesis）");
    QTest::newRow("patternCostly") << pattern("(a*){999}", QString())
                                   << QStringLiteral("    忽略规则无效，未忽略任何文件：(a*){999}"
                                                     "（重复次数过大）");

    // The job's own lines.
    QTest::newRow("uploadStarted")
            << jobEvent(EventKind::Started, SyncDirection::Upload, 0, 1700000000123)
            << QStringLiteral("\n开始上传 0 --> 1700000000123");
    QTest::newRow("downloadStarted")
            << jobEvent(EventKind::Started, SyncDirection::Download, 42, 1700000000123)
            << QStringLiteral("\n开始下载 42 --> 1700000000123");
    QTest::newRow("uploadCompleted")
            << jobEvent(EventKind::Completed, SyncDirection::Upload, 0, 1699999998000)
            << QStringLiteral("上传成功 1699999998000");
    QTest::newRow("downloadIncomplete")
            << jobEvent(EventKind::Incomplete, SyncDirection::Download, 1000, 0, 3)
            << QStringLiteral("下载未完成，失败 3 项，保留时间 1000");
    QTest::newRow("uploadCancelled") << jobEvent(EventKind::Cancelled, SyncDirection::Upload, 42)
                                     << QStringLiteral("上传已中止，保留时间 42");
}

void TestLogWording::wordsEachEvent()
{
    QFETCH(SyncEvent, event);
    QFETCH(QString, line);
    QCOMPARE(logLine(event, QDir::toNativeSeparators(QStringLiteral("/work"))), line);
}

void TestLogWording::wordsEachFailure_data()
{
    QTest::addColumn<SyncEvent>("event");
    QTest::addColumn<QString>("reason");
    const QString path = QStringLiteral("a.txt");
    const auto walk = [&path](const char *tag, Failure failure, const char *reason) {
        QTest::newRow(tag) << SyncEvent::failed(path, failure) << QString::fromUtf8(reason);
    };
    walk("targetIsLink", Failure::TargetIsLink, "目标位置是符号链接，未改动");
    walk("targetIsDirectory", Failure::TargetIsDirectory, "目标位置是目录");
    walk("targetNotFile", Failure::TargetNotFile, "目标位置不是普通文件");
    walk("targetNotDirectory", Failure::TargetNotDirectory, "目标位置不是目录");
    walk("vanished", Failure::DirectoryVanished, "目录在同步时消失");
    const auto system = [&path](const char *tag, FsFault fault, const char *reason) {
        QTest::newRow(tag) << SyncEvent::failed(path, Failure::FileSystem,
                                                FsError {fault, 28, QStringLiteral("No space")})
                           << QString::fromUtf8(reason);
    };
    system("system", FsFault::System, "No space");
    system("readSource", FsFault::ReadSource, "无法读取源文件：No space");
    system("notRegular", FsFault::SourceNotRegular, "源文件不是普通文件");
    system("sourceChanged", FsFault::SourceChanged, "源文件在复制时被修改，下次重试");
    system("targetDirectory", FsFault::WriteTargetDirectory, "无法写入目标目录：No space");
    system("writeTarget", FsFault::WriteTarget, "无法写入目标：No space");
    system("setTime", FsFault::SetTime, "无法设置修改时间：No space");
    system("appeared", FsFault::TargetAppeared, "目标在复制时出现，未覆盖");
    system("targetChanged", FsFault::TargetChanged, "目标在复制时被修改，未覆盖");
    system("nameRefused", FsFault::NameRefused, "目标文件系统不接受此文件名：No space");
    system("cancelled", FsFault::Cancelled, "已取消");
}

void TestLogWording::wordsEachFailure()
{
    QFETCH(SyncEvent, event);
    QFETCH(QString, reason);
    QCOMPARE(logLine(event, QString()),
             QStringLiteral("    复制失败：a.txt（") + reason + QStringLiteral("）"));
}

void TestLogWording::showsPathAfterLocalField_data()
{
    // "/" stands for the native separator, in the path and (unless the
    // field was typed with forward slashes) in the field.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("typedNative");
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *tag, const char *path, const char *field, const char *shown,
                        bool typedNative = true) {
        QTest::newRow(tag) << QString(path) << QString(field) << typedNative << QString(shown);
    };
    row("fieldIsSource", "/r/work/docs/a.txt", "/r/work", "/docs/a.txt");
    row("fieldWithSeparator", "/r/work/docs/a.txt", "/r/work/", "docs/a.txt");
    row("otherTree", "/r/share/docs/a.txt", "/r/work", "/r/share/docs/a.txt");
    row("characterPrefix", "/r/ab/docs/a.txt", "/r/a", "b/docs/a.txt");
    row("emptyField", "/r/work/docs/a.txt", "", "/r/work/docs/a.txt");
    row("otherCase", "/r/work/docs/a.txt", "/r/WORK", "/r/work/docs/a.txt");
    row("fieldLongerThanPath", "/r/work/docs/a.txt", "/r/work/docs/a.txt/x", "/r/work/docs/a.txt");
    row("fieldIsWholePath", "/r/work/docs/a.txt", "/r/work/docs/a.txt", "");
    row("fieldWithBlank", "/r/work/docs/a.txt", "/r/work ", "/r/work/docs/a.txt");
    // Typed with "/" where the separator is "\\" ("D:/work"): the prefix of no
    // native path, so the whole path is shown.
    row("forwardSlashes", "/r/work/docs/a.txt", "/r/work",
        QDir::separator() == QLatin1Char('/') ? "/docs/a.txt" : "/r/work/docs/a.txt", false);
}

void TestLogWording::showsPathAfterLocalField()
{
    QFETCH(QString, path);
    QFETCH(QString, field);
    QFETCH(bool, typedNative);
    QFETCH(QString, shown);
    const SyncEvent copied = SyncEvent::of(EventKind::Copied, QDir::toNativeSeparators(path));
    QCOMPARE(logLine(copied, typedNative ? QDir::toNativeSeparators(field) : field),
             QStringLiteral("    复制文件：") + QDir::toNativeSeparators(shown));
}

QTEST_GUILESS_MAIN(TestLogWording)
#include "test_log_wording.moc"
