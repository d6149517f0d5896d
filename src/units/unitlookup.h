#pragma once

#include "marluneunit.h"

#include <QList>
#include <QString>

// Finding a unit in a list by one of its text fields, for example
//     findUnit(vUnits, &MarluneUnit::ip, peer)
// Lists are short and searched in order, so the first (or last) match is well defined.

// The first unit whose field equals value, or nullptr.
const MarluneUnit *findUnit(const QList<MarluneUnit> &list, QString MarluneUnit::*field, const QString &value);
// The last unit whose field equals value, or nullptr.
const MarluneUnit *findLastUnit(const QList<MarluneUnit> &list, QString MarluneUnit::*field, const QString &value);

inline bool containsMac(const QList<MarluneUnit> &list, const QString &mac)
{
    return findUnit(list, &MarluneUnit::mac, mac) != nullptr;
}
