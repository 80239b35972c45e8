#include "sync/ignore_filter.h"

#include "sync/live_text.h"

namespace {

bool isBlank(const QString &text)
{
    for (const QChar c : text) {
        if (!c.isSpace())
            return false;
    }
    return true;
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
    if (blank)
        return false;
    // An invalid expression matches nothing, so nothing is ignored.
    return expression.exactMatch(name);
}

void IgnoreFilter::refresh()
{
    const QString text = pattern.text(&seenVersion);
    if (!blank && text == expression.pattern())
        return;
    blank = isBlank(text);
    if (blank)
        return;
    // White space at the ends is part of the expression; only the blank test trims.
    expression = QRegExp(text, Qt::CaseSensitive, QRegExp::RegExp);
    if (!expression.isValid() && warn)
        warn(QStringLiteral("    忽略规则无效，未忽略任何文件：") + text + QStringLiteral("（")
             + expression.errorString() + QStringLiteral("）"));
}
