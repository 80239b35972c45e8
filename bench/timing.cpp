#include "timing.h"

#include "bench_error.h"
#include "report.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

void flushToDisk()
{
    ::sync();
}

void flushFileSystemOf(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::syncfs(fd) == 0;
    const int failure = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw BenchError(QStringLiteral("cannot sync the file system of ") + path
                         + QStringLiteral(": ") + qt_error_string(failure));
}

void runInterleaved(std::vector<Contender> &contenders, int runs)
{
    for (Contender &contender : contenders) {
        if (contender.prepare)
            contender.prepare();
        flushToDisk();
        contender.run();
    }
    for (int round = 0; round < runs; ++round) {
        for (Contender &contender : contenders) {
            if (contender.prepare)
                contender.prepare();
            flushToDisk();
            contender.times.push_back(contender.run());
        }
    }
}

void printRuns(const std::vector<Contender> &contenders)
{
    for (const Contender &contender : contenders) {
        QString line = QStringLiteral("  # ") + contender.name + QStringLiteral(" runs (ms):");
        for (const double time : contender.times)
            line += QLatin1Char(' ') + fixed(time);
        say(line);
    }
}
