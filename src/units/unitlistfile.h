#pragma once

#include <QString>

class MarluneUnit;

// Writes one unit into "units.ini" (the sibling tool reads it): its MAC joins the "MACS" array
// once, and the group named by its MAC is overwritten with every persisted field, in a fixed
// order. Failures of the settings layer are not reported. The file is kept open for the run and
// written on a thread of its own: a lone store reaches the disk at once, a burst of them at
// most a second later (and at exit); the caller never waits.
void storeUnit(const MarluneUnit &unit);
// Returns once everything storeUnit was given is on disk.
void flushUnitList();
// The same, into a given INI file (used by storeUnit and the tests).
void storeUnitIn(const QString &iniPath, const MarluneUnit &unit);
