#include "sync/ignore_filter.h"

#include "sync/live_text.h"

#include <algorithm>

namespace {

// QRegExp builds a counted repeat {m,n} as n copies of what it repeats, and
// matching time grows with the square of the copies: "(a*){999}b" takes
// seconds for one name, "((a?){64}){64}" half a minute, and nested counts
// exhaust memory. At 256 copies the worst seen is about 0.15 s for a 255
// character name; a file name is never longer, so larger counts buy nothing.
constexpr qint64 largestRepeat = 255;
constexpr qint64 largestExpansion = 256;

bool isBlank(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

// Reads a count at pos ("12" in "{12,}"); -1 when there is none.
qint64 readCount(const QString &text, int &pos)
{
    qint64 count = -1;
    while (pos < text.size() && text.at(pos).isDigit()) {
        count = std::min<qint64>((count < 0 ? 0 : count) * 10 + text.at(pos).digitValue(),
                                 largestRepeat + 1);
        ++pos;
    }
    return count;
}

// The number of atoms the expression from pos expands to, up to the closing
// parenthesis of the group it is in; -1 past the limits.
qint64 expansion(const QString &text, int &pos)
{
    qint64 total = 0;
    qint64 last = 0;
    while (pos < text.size()) {
        const QChar c = text.at(pos++);
        if (c == QLatin1Char(')'))
            return total;
        if (c == QLatin1Char('(')) {
            last = expansion(text, pos);
            if (last < 0)
                return -1;
        } else if (c == QLatin1Char('\\')) {
            ++pos;
            last = 1;
        } else if (c == QLatin1Char('[')) {
            // A class is one atom: skip to its end ("]" right after "[" or "[^" is a member).
            if (pos < text.size() && text.at(pos) == QLatin1Char('^'))
                ++pos;
            if (pos < text.size() && text.at(pos) == QLatin1Char(']'))
                ++pos;
            while (pos < text.size() && text.at(pos) != QLatin1Char(']'))
                pos += text.at(pos) == QLatin1Char('\\') ? 2 : 1;
            ++pos;
            last = 1;
        } else if (c == QLatin1Char('{')) {
            int end = pos;
            qint64 low = readCount(text, end);
            if (low < 0 && end < text.size() && text.at(end) == QLatin1Char(','))
                low = 0; // "{,n}" is "{0,n}" to QRegExp
            qint64 high = low;
            if (end < text.size() && text.at(end) == QLatin1Char(',')) {
                ++end;
                high = readCount(text, end);
                if (high < 0)
                    high = low + 1;
            }
            if (low < 0 || end >= text.size() || text.at(end) != QLatin1Char('}')) {
                last = 1; // not a count: a plain brace
            } else {
                pos = end + 1;
                if (high > largestRepeat)
                    return -1;
                total += last * (std::max<qint64>(high, 1) - 1);
                last = 0;
            }
        } else if (c != QLatin1Char('*') && c != QLatin1Char('+') && c != QLatin1Char('?')
                   && c != QLatin1Char('|')) {
            last = 1;
        } else {
            last = 0;
        }
        total += last;
        if (total > largestExpansion)
            return -1;
    }
    return total;
}

} // namespace

IgnoreFilter::IgnoreFilter(const LiveText &pattern, Warn warn)
    : pattern(pattern)
    , warn(std::move(warn))
{ }

bool IgnoreFilter::isIgnored(const QString &name)
{
    if (pattern.version() != seenVersion)
        refresh();
    return active && expression.exactMatch(name);
}

bool IgnoreFilter::withinLimits(const QString &pattern)
{
    int pos = 0;
    qint64 total = 0;
    // An unbalanced ")" ends a group early; go on with the rest.
    while (pos < pattern.size()) {
        const qint64 part = expansion(pattern, pos);
        if (part < 0 || (total += part) > largestExpansion)
            return false;
    }
    return true;
}

void IgnoreFilter::refresh()
{
    const QString text = pattern.text(&seenVersion);
    if (compiled && text == compiledText)
        return;
    compiled = true;
    compiledText = text;
    active = false;
    if (isBlank(text))
        return;
    if (!withinLimits(text)) {
        report(text, QStringLiteral("重复次数过大"));
        return;
    }
    // White space at the ends is part of the expression; only the blank test trims.
    expression = QRegExp(text, Qt::CaseSensitive, QRegExp::RegExp);
    if (!expression.isValid()) {
        report(text, expression.errorString());
        return;
    }
    active = true;
}

void IgnoreFilter::report(const QString &text, const QString &problem)
{
    if (!warn || reported.contains(text))
        return;
    reported.insert(text);
    warn(QStringLiteral("    忽略规则无效，未忽略任何文件：") + text + QStringLiteral("（")
         + problem + QStringLiteral("）"));
}
