#pragma once

#include <QIcon>

class MarluneUnit;

// The icon of the unit's kind (iconPathForUnit in devicecatalogue.h), or a null icon when its
// kind has none. Apart from the catalogue because icons need Qt Gui, which the core does without.
QIcon iconForUnit(const MarluneUnit &unit);
