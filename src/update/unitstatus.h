#pragma once

#include "units/marluneunit.h"

#include <QList>
#include <QMap>
#include <QString>

class PackageCatalogue;
class UpdatePackage;

// The status cell of one unit-table row and the row colour, worked out from where the unit
// stands in the update pipeline and how it compares with its package. Pure: the window turns
// the result into table items.

enum class CellColour { Default, Yellow, Red, Magenta, Green, DarkYellow };

struct StatusCell
{
    QString text;
    // "Disable": the row cannot be queued for update.
    QString disableMarker;
    // For a unit too old for this package: the package's minimum software date.
    QString minimumDate;
    // Set when the cell's own colour overrides the row colour.
    CellColour colour = CellColour::Default;
    // The comparison found a unit without a web version, or one below the minimum date (the
    // window writes these to the debug log).
    bool noWebVersion = false;
    bool belowMinimum = false;
};

// The pipeline lists and maps the rules read, all keyed as the window keeps them.
struct PipelineView
{
    const QList<MarluneUnit> &vUnits;
    const QList<MarluneUnit> &vUnitsUpdate;
    const QList<MarluneUnit> &vUnitsConfirm;
    const QList<MarluneUnit> &vUnitsEDID;
    const QList<MarluneUnit> &vUnitsFinished;
    const QMap<QString, bool> &tcpAlive;
    const QMap<QString, int> &edidAttempts;
};

inline const QString kDisableMarker = QStringLiteral("Disable");

bool containsMac(const QList<MarluneUnit> &list, const QString &mac);

// Compares a unit with one package and updates the status cell ("Update Available", the
// add-on text, or "Cannot update. Min SW is ..."). False when the cell stays as it was.
bool comparePackage(StatusCell &cell, const UpdatePackage &package, const MarluneUnit &unit);

// The whole status of one listed unit. testsWanted receives how many reachability tests the
// rules ask for (one per unit waiting for confirmation).
StatusCell unitStatus(const MarluneUnit &unit, const PipelineView &pipeline, const PackageCatalogue &packages,
                      int *testsWanted = nullptr);

// unitStatus in its three steps, for the window, which compares packages cell by cell:
// the reachability and pending-update rules (false: the status is final and nothing is
// compared), then one comparePackage per package of packagesToCompare, then the pipeline rules.
bool statusBeforeComparison(StatusCell &cell, const MarluneUnit &unit, const PipelineView &pipeline);
void statusAfterComparison(StatusCell &cell, const MarluneUnit &unit, const PipelineView &pipeline,
                           const PackageCatalogue &packages, int *testsWanted);

// The colour of every cell of the unit's row, by its pipeline state.
CellColour rowColour(const QString &mac, const PipelineView &pipeline);

// The per-family confirmation text of a finished unit whose dates equal its package's.
QString confirmationText(const MarluneUnit &finished, bool edidGivenUp);
