#include "report.h"

#include <QByteArray>
#include <QLocale>

#include <cstdio>

void say(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString count(qint64 value)
{
    QLocale english(QLocale::English);
    return english.toString(value);
}

bool printBounds(const std::vector<Bound> &bounds)
{
    bool all = true;
    for (const Bound &bound : bounds) {
        all = all && bound.passed();
        const int decimals = bound.unit.isEmpty() ? 2 : 1;
        const QString unit = bound.unit.isEmpty() ? QString() : QLatin1Char(' ') + bound.unit;
        say((bound.passed() ? QStringLiteral("PASS  ") : QStringLiteral("FAIL  ")) + bound.label
            + QStringLiteral(" = ") + fixed(bound.figure, decimals) + unit
            + (bound.upper ? QStringLiteral("  (bound ≤ ") : QStringLiteral("  (bound ≥ "))
            + fixed(bound.limit, decimals) + unit + QLatin1Char(')'));
    }
    return all;
}
