#include "unitlookup.h"

#include <algorithm>

const MarluneUnit *findUnit(const QList<MarluneUnit> &list, QString MarluneUnit::*field, const QString &value)
{
    const auto found =
        std::find_if(list.cbegin(), list.cend(), [&](const MarluneUnit &unit) { return unit.*field == value; });
    return found == list.cend() ? nullptr : &*found;
}

const MarluneUnit *findLastUnit(const QList<MarluneUnit> &list, QString MarluneUnit::*field, const QString &value)
{
    const auto found =
        std::find_if(list.crbegin(), list.crend(), [&](const MarluneUnit &unit) { return unit.*field == value; });
    return found == list.crend() ? nullptr : &*found;
}
