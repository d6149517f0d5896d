#pragma once

#include "update/unitstatus.h"

#include <QDateTime>
#include <QString>

class MarluneUnit;
class PackageCatalogue;
struct PipelineState;

// What the operator's view of a large fleet is made of: which rows a filter shows, which units
// "Select Units Needing Update" takes, which status-log lines are problems. Pure: the window
// turns the results into hidden rows, a selection and a shorter log.

// The state filter above the unit table.
enum class ViewFilter { All, NeedsAttention, InProgress, Done };

// Where a row stands for the filter. A unit of the current batch stands where the batch summary
// counts it: in trouble (overdue, failed, not judged, held) needs attention, on its way is in
// progress, confirmed is done. Any other unit: attention when overdue, failed (ended without its
// package's dates or gave up its EDID reset), held by a halted rollout, did not answer its last
// command, status unknown, or cannot be updated; in progress when queued, commanded or resetting
// EDID; done when confirmed or needing no update.
enum class RowKind { Other, Attention, InProgress, Done };

RowKind rowKind(const MarluneUnit &unit, const StatusCell &cell, const PipelineState &pipeline,
                const PackageCatalogue &packages, const PipelineIndex &index);
bool filterShows(ViewFilter filter, RowKind kind);
// The filter that shows the units a part of the batch summary counts.
ViewFilter filterOfPart(SummaryPart::Kind kind);
// The search field: every word (case-insensitive) is in one of the unit's fields (its name, IP,
// MAC and serial).
bool searchMatches(const QString &search, const QStringList &fields);

// Some package offers the unit an update (or add-on) and none refuses it.
bool packageOffersUpdate(const MarluneUnit &unit, const PackageCatalogue &packages);
// The unit already has what its packages offer: it has at least one package to compare with,
// none offers newer dates or an add-on, and it reports no update waiting to be confirmed. Updating
// it again would only send the same image once more.
bool isUpToDate(const MarluneUnit &unit, const PackageCatalogue &packages);
// The selection rules, for the window's selection, the tool's and "Select Units Needing Update"
// alike: whether the unit may be queued, and if not why, as the window's boxes say it (title and
// text). cell: the unit's status. A unit its package cannot update, or one too old for it, is
// taken out of the window's selection; one not heard from lately stays selected.
struct SelectionVerdict
{
    enum Kind { Admit, NotHeardFrom, TooOld, CannotUpdate };
    Kind kind = Admit;
    QString title;
    QString text;
};
SelectionVerdict selectionVerdict(const MarluneUnit &unit, const StatusCell &cell, const QDateTime &now);
// Its text alone: "" when the rules admit the unit.
QString selectionRefusal(const MarluneUnit &unit, const StatusCell &cell, const QDateTime &now);

// What "Select Units Needing Update" does with a listed unit that is not in the pipeline: leaves
// it (nothing to update), selects it, or names it as refused, with the reason.
struct UpdateNeedVerdict
{
    enum Kind { Leave, Select, Refuse };
    Kind kind = Leave;
    QString reason;
};
UpdateNeedVerdict updateNeedVerdict(const MarluneUnit &unit, const StatusCell &cell, const PackageCatalogue &packages,
                                    const QDateTime &now);

// A status-log line that tells of a problem: overdue, failures, refusals, warnings.
bool isProblemLine(const QString &line);
// The address a status-log line names its unit by ("NAME (10.0.0.5): ..."), "" for none.
QString addressInLine(const QString &line);

// "19 units answered, 17 listed (2 without a package)"; "" when every unit that answered is listed.
QString answeredText(int listed, int withoutPackage);
