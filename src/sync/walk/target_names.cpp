#include "sync/walk/target_names.h"

#include "sync/decision/tree_clock.h"
#include <QHash>

namespace {

bool isAscii(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

// What FAT, exFAT and NTFS with Windows names can hold: none of : ? * " < > |
// \ or control characters, and no dot or space at the end.
bool isWindowsName(const QString &name)
{
    static const QString refused = QStringLiteral(":?*\"<>|\\");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || refused.contains(c))
            return false;
    }
    return !name.endsWith(QLatin1Char('.')) && !name.endsWith(QLatin1Char(' '));
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, with any extension:
// device names on Windows, which a share stores under another name.
bool isReservedName(const QString &name)
{
    const QString base = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList devices {"CON", "PRN", "AUX", "NUL"};
    if (devices.contains(base))
        return true;
    return base.size() == 4
           && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
           && base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
}

} // namespace

void markCaseTwins(std::vector<DirectoryEntry> *entries,
                   const std::function<bool(const QString &)> &inStep)
{
    QHash<QString, DirectoryEntry *> keeper; // by folded name
    for (DirectoryEntry &entry : *entries) {
        DirectoryEntry *&first = keeper[entry.name.toCaseFolded()];
        if (!first) {
            first = &entry;
        } else if (!first->caseTwin && !inStep(first->name) && inStep(entry.name)) {
            first->caseTwin = true;
            first = &entry;
        } else {
            entry.caseTwin = true;
        }
    }
}

std::optional<EventKind> nameRefusal(const DirectoryEntry &entry, const TreeClock &target)
{
    if (entry.caseTwin)
        return EventKind::CaseTwin;
    if ((target.windowsNames && !isWindowsName(entry.name))
        || (target.asciiNamesOnly && !isAscii(entry.name))
        || (target.reservedNames && isReservedName(entry.name)))
        return EventKind::NameRefused;
    return std::nullopt;
}
