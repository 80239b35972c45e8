#include "bench_options.h"

#include <QDir>

namespace {

constexpr int fullMinimumRuns = 5;
constexpr int quickRuns = 3;

bool isCaseList(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if ((c < QLatin1Char('A') || c > QLatin1Char('G')) && c != QLatin1Char('L'))
            return false;
    }
    return true;
}

} // namespace

CaseSizes sizesFor(bool quick)
{
    if (quick)
        return CaseSizes {1000, 100, 4096, 10000, 500, 64, 512, 4, qint64(16) << 20,
                          0.01, 200, 200,  5000,  200};
    return CaseSizes {10000, 1000, 4096, 100000, 5000, 64, 512, 20, qint64(50) << 20,
                      0.01,  1000, 2000, 100000, 2000};
}

bool parseOptions(const QStringList &arguments, BenchOptions *options, QString *error,
                  QString *note)
{
    bool runsGiven = false;
    options->dir = QDir::tempPath();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--quick")) {
            options->quick = true;
        } else if (argument == QLatin1String("--runs") && hasValue) {
            bool ok = false;
            options->runs = arguments.at(++i).toInt(&ok);
            if (!ok || options->runs < 1) {
                *error = QStringLiteral("--runs wants a positive number");
                return false;
            }
            runsGiven = true;
        } else if (argument == QLatin1String("--dir") && hasValue) {
            options->dir = arguments.at(++i);
        } else if (argument == QLatin1String("--cases") && hasValue) {
            options->cases = arguments.at(++i).toUpper();
            if (!isCaseList(options->cases)) {
                *error = QStringLiteral("--cases wants letters from ABCDEFGL");
                return false;
            }
        } else {
            *error = QStringLiteral("unknown or incomplete argument: ") + argument;
            return false;
        }
    }
    if (options->quick && !runsGiven)
        options->runs = quickRuns;
    if (!options->quick && options->runs < fullMinimumRuns) {
        *note = QStringLiteral("--runs %1 raised to %2: a median of fewer runs says little here")
                        .arg(options->runs)
                        .arg(fullMinimumRuns);
        options->runs = fullMinimumRuns;
    }
    return true;
}

QString usage()
{
    return QStringLiteral(
            "usage: twinfold-bench [--runs N] [--quick] [--dir PATH] [--cases ABCDEFGL]\n"
            "  --runs N      timed runs of each contender (default 5, at least 5 unless --quick)\n"
            "  --quick       small trees and 3 runs: a smoke test, not a measurement\n"
            "  --dir PATH    where to make the temporary directory (default: the system's)\n"
            "  --cases LIST  a subset of A B C D E F G L (default: all but L, which takes\n"
            "                minutes: copies over a link with 1 ms round trips)\n");
}
