#pragma once

#include <QRegExp>
#include <QString>

#include <functional>

class LiveText;

// The name test of the copy: a whole-name, case-sensitive QRegExp match of
// the pattern field's current text. The text is looked at for every name; the
// expression is compiled again only when the text changed. A blank text
// ignores nothing, and so does a pattern that is not a valid expression.
class IgnoreFilter
{
public:
    using Warn = std::function<void(const QString &)>;

    // warn, if given, is told once per distinct invalid pattern.
    explicit IgnoreFilter(const LiveText &pattern, Warn warn = {});

    // name is a bare file name, or a directory name followed by "/".
    bool isIgnored(const QString &name);

private:
    void refresh();

    const LiveText &pattern;
    Warn warn;
    quint64 seenVersion = ~quint64(0);
    bool blank = true;
    QRegExp expression;
};
