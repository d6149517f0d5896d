#pragma once

#include "update/preflight.h"

#include <QJsonObject>
#include <QList>
#include <QString>

class UpdaterCore;
struct UnitSelection;

// The check before an update, as the command-line tool shows it: check prints a line (or a JSON
// object) per unit and the summary last; update refuses the units it fails and tells its warnings.

// The table rows of the units the selection takes, the first row of each unit (a unit listed again
// after it came back has a row for each listing).
QList<int> matchingRows(const UpdaterCore &core, const UnitSelection &selection);
// "NAME (IP): VERDICT — reason; reason" ("NAME (IP): ok" without reasons).
QString checkLine(const UnitPreflight &unit);
// {mac, name, ip, type, verdict, reasons: [{code, severity, text}]}.
QJsonObject checkObject(const UnitPreflight &unit);
// The texts of the unit's reasons of this severity, joined by "; "; "" for none.
QString reasonsOf(const UnitPreflight &unit, PreflightVerdict severity);
// check's exit code: 1 when some unit fails, else 0 (warnings too).
int checkExitCode(const QList<UnitPreflight> &results);
// check's last JSON object: the summary's text and counts.
QJsonObject checkSummaryObject(const QList<UnitPreflight> &results, bool stopped);
