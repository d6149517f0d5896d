#pragma once

#include "units/marluneunit.h"

#include <QList>
#include <QString>

#include <algorithm>

// What the parts of the update pipeline share: how a large fleet's tick is cut into event-loop
// turns, and a few small helpers on unit records.
namespace PipelineSupport {

constexpr int kEdidAttempts = 3;
// Fleets larger than this are ticked over several event-loop turns: kUnitsPerTurn units are
// polled or walked by a pass, or kRecordsPerTurn replies merged, per turn.
constexpr qsizetype kUnitsTickedAtOnce = 250;
constexpr qsizetype kUnitsPerTurn = 100;
constexpr qsizetype kRecordsPerTurn = 500;

inline const QString kUpdater = QStringLiteral("Updater");

// Where the slice of a list walked from `from` ends: a short list is walked whole.
inline qsizetype sliceEnd(qsizetype size, qsizetype from)
{
    return size <= kUnitsTickedAtOnce ? size : qMin(size, from + kUnitsPerTurn);
}

inline QString nameAndIp(const MarluneUnit &unit)
{
    return unit.name + QStringLiteral(" (") + unit.ip + QStringLiteral(")");
}

// Removes the first entry with this MAC; false when there is none (the operator took the unit
// off the list, or retried it, while its exchange ran).
inline bool takeEntry(QList<MarluneUnit> &list, const QString &mac)
{
    const auto found =
        std::find_if(list.begin(), list.end(), [&mac](const MarluneUnit &unit) { return unit.mac == mac; });
    if (found == list.end())
        return false;
    list.erase(found);
    return true;
}

} // namespace PipelineSupport
