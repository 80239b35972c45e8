#include "bench_error.h"
#include "bench_options.h"
#include "copy_cases.h"
#include "machine_info.h"
#include "report.h"
#include "window_case.h"
#include "workspace.h"

#include <QApplication>

#include <vector>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform's two remarks on every run say nothing about the
// program; everything else Qt says is passed on.
void quietOffscreen(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == QLatin1String("This plugin does not support propagateSizeHints()")
        || message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    defaultHandler(type, context, message);
}

void printNotes(const BenchOptions &options)
{
    say(QStringLiteral("runs:    %1 timed runs of each contender after one untimed warm-up, "
                       "interleaved; figures are medians%2")
                .arg(options.runs)
                .arg(options.quick ? QStringLiteral(" (--quick: small trees, a smoke test)")
                                   : QString()));
    say(QStringLiteral("notes:   the engine runs with its default ignore pattern ^\\..*/$ and so "
                       "skips dot-directories (.git/, .cache N/); cp -a and rsync -a copy them "
                       "too. The trees are compared as they are."));
    say(QStringLiteral("         A-D time the engine's copy, as cp and rsync copy: all leave "
                       "the write-back to the kernel. A job then flushes what it wrote (syncfs) "
                       "before it stores its stamp; C shows that apart (engine + flush against "
                       "cp -a + syncfs) and E includes it. Every timed run starts after a sync."));
}

std::vector<Bound> runCases(const BenchOptions &options)
{
    Workspace space(options.dir, sizesFor(options.quick));
    say(QStringLiteral("work in: ") + space.path());
    std::vector<Bound> bounds;
    const auto add = [&bounds](const std::vector<Bound> &more) {
        bounds.insert(bounds.end(), more.begin(), more.end());
    };
    // C first: after the many-file cases the kernel goes on writing back for
    // a while, and large copies measured then vary fivefold.
    if (options.wants('C'))
        add(runThroughputCase(space, options.runs));
    if (options.wants('A'))
        add(runFullCopyCase(space, options.runs));
    if (options.wants('B'))
        add(runRescanCase(space, options.runs));
    if (options.wants('D'))
        add(runIncrementalCase(space, options.runs));
    if (options.wants('F'))
        add(runFutureDatedCase(space, options.runs));
    if (options.wants('G'))
        add(runFuseCase(space, options.runs));
    if (options.wants('E'))
        add(runWindowCase(space, options.runs));
    if (options.wants('L'))
        add(runLatencyCase(space, options.runs));
    say(QStringLiteral("· removing the temporary trees …"));
    return bounds;
}

} // namespace

int main(int argc, char *argv[])
{
    // The window case needs a QApplication, never a screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(quietOffscreen);
    QApplication app(argc, argv);

    BenchOptions options;
    QString error;
    QString note;
    if (!parseOptions(app.arguments().mid(1), &options, &error, &note)) {
        say(error);
        say(usage());
        return 1;
    }
    try {
        printMachine(options.dir);
        printNotes(options);
        if (!note.isEmpty())
            say(QStringLiteral("         ") + note);
        const std::vector<Bound> bounds = runCases(options);
        say(QString());
        return printBounds(bounds) ? 0 : 1;
    } catch (const BenchError &failure) {
        say(QStringLiteral("FAIL  the benchmark stopped: ")
            + QString::fromStdString(failure.what()));
        return 1;
    }
}
