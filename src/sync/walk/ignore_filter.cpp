#include "sync/walk/ignore_filter.h"

#include "sync/walk/live_text.h"

#include <algorithm>

namespace {

// QRegExp builds a counted repeat {m,n} as n copies of what it repeats, and
// matching time grows with the square of the copies of anything that can
// match in more than one way (a "*" or "?" loop, a part that may match
// nothing): "(a*){999}b" takes seconds for one name, "((a?){64}){64}" half
// a minute, and nested counts exhaust memory. Copies of a plain atom cost
// little (".{0,255}" is quick). So two things are bounded: the atoms the
// expression expands to, and the loops among them. At 64 loops the worst
// seen is about 15 ms for a 255 character name ("((.*)(.*)){32}"); a file
// name is never longer, so larger counts buy nothing.
constexpr qint64 largestRepeat = 255;
constexpr qint64 largestExpansion = 256;
constexpr qint64 largestLoopCount = 64;

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

// What a part of the expression costs once QRegExp has expanded it.
struct Cost
{
    qint64 atoms = 0;
    qint64 loops = 0;
    bool matchesEmpty = true;

    bool tooLarge() const { return atoms > largestExpansion || loops > largestLoopCount; }
    void append(const Cost &item)
    {
        atoms += item.atoms;
        loops += item.loops;
        matchesEmpty = matchesEmpty && item.matchesEmpty;
    }
};

const Cost oneAtom {1, 0, false};

// A quantifier on item: "*" and "?" make it a loop that may match nothing,
// "+" a loop where it may already match nothing.
Cost looped(Cost item, QChar quantifier)
{
    if (quantifier != QLatin1Char('+') || item.matchesEmpty)
        ++item.loops;
    item.matchesEmpty = item.matchesEmpty || quantifier != QLatin1Char('+');
    return item;
}

// "{low,high}" on item: high copies; each copy of an item that may match
// nothing or holds a loop counts as that many loops again.
Cost counted(Cost item, qint64 low, qint64 high)
{
    const qint64 perCopy = std::max<qint64>(item.loops, item.matchesEmpty ? 1 : 0);
    item.atoms *= std::max<qint64>(high, 1);
    item.loops = perCopy * high;
    item.matchesEmpty = item.matchesEmpty || low == 0;
    return item;
}

// The cost of the expression from pos up to the closing parenthesis of the
// group it is in; tooLarge() past the limits.
Cost expansion(const QString &text, int &pos)
{
    Cost group; // the alternatives so far
    group.matchesEmpty = false;
    Cost sequence; // the current alternative, without its last item
    Cost last {0, 0, true}; // its last item, which a quantifier applies to
    const auto endAlternative = [&] {
        sequence.append(last);
        group.atoms += sequence.atoms;
        group.loops += sequence.loops;
        group.matchesEmpty = group.matchesEmpty || sequence.matchesEmpty;
        sequence = Cost();
        last = Cost();
    };
    while (pos < text.size()) {
        const QChar c = text.at(pos++);
        if (c == QLatin1Char(')'))
            break;
        if (c == QLatin1Char('|')) {
            endAlternative();
            continue;
        }
        if (c == QLatin1Char('*') || c == QLatin1Char('+') || c == QLatin1Char('?')) {
            last = looped(last, c);
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
                    high = low + 1; // "{n,}": n copies and a loop
            }
            if (low < 0 || end >= text.size() || text.at(end) != QLatin1Char('}')) {
                sequence.append(last);
                last = oneAtom; // not a count: a plain brace
            } else {
                pos = end + 1;
                if (high > largestRepeat)
                    return {largestExpansion + 1, 0, false};
                last = counted(last, low, high);
            }
        } else {
            sequence.append(last);
            if (c == QLatin1Char('(')) {
                last = expansion(text, pos);
            } else if (c == QLatin1Char('\\')) {
                ++pos;
                last = oneAtom;
            } else if (c == QLatin1Char('[')) {
                // A class is one atom: skip to its end ("]" right after "[" or "[^" is a member).
                if (pos < text.size() && text.at(pos) == QLatin1Char('^'))
                    ++pos;
                if (pos < text.size() && text.at(pos) == QLatin1Char(']'))
                    ++pos;
                while (pos < text.size() && text.at(pos) != QLatin1Char(']'))
                    pos += text.at(pos) == QLatin1Char('\\') ? 2 : 1;
                ++pos;
                last = oneAtom;
            } else {
                last = oneAtom;
            }
        }
        Cost sofar = sequence;
        sofar.append(last);
        if (sofar.tooLarge() || group.atoms + sofar.atoms > largestExpansion
            || group.loops + sofar.loops > largestLoopCount)
            return {largestExpansion + 1, 0, false};
    }
    endAlternative();
    return group;
}

} // namespace

IgnoreFilter::IgnoreFilter(const LiveText &pattern, EventSink warn)
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
    Cost total;
    // An unbalanced ")" ends a group early; go on with the rest.
    while (pos < pattern.size()) {
        total.append(expansion(pattern, pos));
        if (total.tooLarge())
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
        report(text, QString()); // valid, but too costly
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
    SyncEvent event;
    event.kind = EventKind::PatternUnusable;
    event.pattern = text;
    event.patternProblem = problem;
    warn(event);
}
