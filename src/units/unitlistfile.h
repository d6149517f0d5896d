#pragma once

#include <QString>

class MarluneUnit;

// Writes one unit into "units.ini" (the sibling tool reads it): its MAC joins the "MACS" array
// once, and the group named by its MAC is overwritten with every persisted field, in a fixed
// order. Failures of the settings layer are not reported.
void storeUnit(const MarluneUnit &unit);
// The same, into a given INI file (used by storeUnit and the tests).
void storeUnitIn(const QString &iniPath, const MarluneUnit &unit);
