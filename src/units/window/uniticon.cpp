#include "uniticon.h"

#include "units/devicecatalogue.h"

QIcon iconForUnit(const MarluneUnit &unit)
{
    const QString path = iconPathForUnit(unit);
    return path.isEmpty() ? QIcon() : QIcon(path);
}
