#pragma once

#include <QString>

#include <atomic>
#include <mutex>

// A text that one thread edits and others read at every use: a field's
// contents kept in step for the copy running on a pool thread. The version
// lets a reader that caches something derived from the text (a compiled
// expression) see cheaply that nothing changed.
class LiveText
{
public:
    LiveText() = default;
    explicit LiveText(const QString &text)
        : current(text)
    { }
    LiveText(const LiveText &) = delete;
    LiveText &operator=(const LiveText &) = delete;

    QString text() const;
    // The text together with the version it belongs to.
    QString text(quint64 *versionOut) const;
    void setText(const QString &text);
    bool isEmpty() const { return text().isEmpty(); }

    // Changes on every setText; a reader compares it with the version it saw.
    quint64 version() const { return changes.load(std::memory_order_acquire); }

private:
    mutable std::mutex mutex;
    QString current;
    std::atomic<quint64> changes {0};
};
