#pragma once

#include "sync/walk/sync_event.h"

#include <QRegExp>
#include <QSet>
#include <QString>

class LiveText;

// The name test of the copy: a whole-name, case-sensitive QRegExp match of
// the pattern field's current text. The text is looked at for every name; the
// expression is compiled again only when the text changed. A blank text
// ignores nothing, and so does a pattern that is not a valid expression or
// one too costly to match.
class IgnoreFilter
{
public:
    // warn, if given, is told once about each unusable pattern text
    // (EventKind::PatternUnusable).
    explicit IgnoreFilter(const LiveText &pattern, EventSink warn = {});

    // name is a bare file name, or a directory name followed by "/".
    bool isIgnored(const QString &name);

    // False for patterns whose counted repeats QRegExp would expand into
    // more than it can match in reasonable time and memory.
    static bool withinLimits(const QString &pattern);

private:
    void refresh();
    void report(const QString &text, const QString &problem);

    const LiveText &pattern;
    EventSink warn;
    quint64 seenVersion = ~quint64(0);
    bool compiled = false;
    QString compiledText;
    bool active = false; // a usable expression is compiled
    QRegExp expression;
    QSet<QString> reported;
};
