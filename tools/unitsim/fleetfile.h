#pragma once

#include "unitconfig.h"

#include <QList>
#include <QString>

struct FleetDescription
{
    QList<UnitConfig> units;
    bool verbose = false; // log every datagram the shared broadcast socket sees
    // UDP replies sent per millisecond; 0 sends every reply at once, as a fleet of real units
    // answering one broadcast does.
    int replyPacing = 0;
};

// Reads a fleet file: an INI file whose group [fleet] holds defaults for every unit and whose
// every other group describes one unit, named by the group.
class FleetFile
{
public:
    // False on any mistake in the file, with the reason in *error; warnings (unknown keys) go to
    // *warnings and do not fail the read.
    static bool read(const QString &path, FleetDescription *fleet, QString *error, QStringList *warnings);
};
