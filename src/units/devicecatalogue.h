#pragma once

#include <QString>

class MarluneUnit;

// What the operator sees of a unit's kind: short type code, icon and product name. The icon
// itself is made in uniticon.h, on the Qt Gui side.
// Stateless; every function reads only the records it is given.

QString typeCodeForUnit(const MarluneUnit &unit);
// The resource path of the unit's icon, or "" when its kind has none.
QString iconPathForUnit(const MarluneUnit &unit);
QString displayNameForSerial(const QString &serial);
