#include "sync/walk/live_text.h"

QString LiveText::text() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

void LiveText::setText(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    current = text;
    changes.fetch_add(1, std::memory_order_release);
}

QString LiveText::text(quint64 *versionOut) const
{
    std::lock_guard<std::mutex> lock(mutex);
    *versionOut = changes.load(std::memory_order_relaxed);
    return current;
}
