#pragma once

#include "marluneunit.h"

#include <QDateTime>
#include <QString>

#include <variant>
#include <vector>

// One field of MarluneUnit: its name, which is also its key in "units.ini", and the member it is.
struct UnitField
{
    using Member = std::variant<QString MarluneUnit::*, quint32 MarluneUnit::*, qint32 MarluneUnit::*,
                                MarluneUnit::Channels MarluneUnit::*, QDateTime MarluneUnit::*>;

    const char *key;
    Member member;
    // Written to "units.ini". The others (time of the last reply, identify button, update flags and
    // network statistics) only mean something while the updater runs.
    bool persisted;
};

// Every field of MarluneUnit, each once: first the persisted ones in the order "units.ini" gets
// them, then the others. The "units.ini" writer and operator== go through this list, so a new
// field of the record needs its line in the list (unitfields.cpp) and nowhere else.
const std::vector<UnitField> &unitFields();

// A field's value as text, by its key; an array element by its key and index, "playChannel[3]".
// Numbers in decimal, lastSeen as ISO 8601 with milliseconds, a null text as "". A null QString
// when no field has that name.
QString unitFieldText(const MarluneUnit &unit, const QString &name);
