#pragma once

#include "units/marluneunit.h"
#include "update/pipelinestate.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

class PackageCatalogue;
class UpdatePackage;

// What the unit table shows of one unit: its status cell and row colour, worked out from where
// the unit stands in the update pipeline and how it compares with its package; and the one-time
// warnings a redraw raises. Pure: the window turns the results into table items and boxes.

enum class CellColour { Default, Yellow, Red, Magenta, Green, DarkYellow, Orange };

struct StatusCell
{
    QString text;
    // "Disable": the row cannot be queued for update.
    QString disableMarker;
    // For a unit too old for this package: the package's minimum software date.
    QString minimumDate;
    // Set when the cell's own colour overrides the row colour.
    CellColour colour = CellColour::Default;
    // While the unit fetches its image: the whole percent handed over, drawn as a bar; else -1.
    int progress = -1;
    // Some package comparison found a unit without a web version, or one below the package's
    // minimum date (the window writes these to the debug log).
    bool noWebVersion = false;
    bool belowMinimum = false;
};

inline const QString kDisableMarker = QStringLiteral("Disable");

// Where each unit stands in the pipeline, looked up by MAC. Built once for a redraw or a summary
// of many units, so that each unit's lookup costs the same however large the fleet; valid while
// the lists it was built from stay unchanged.
class PipelineIndex
{
public:
    explicit PipelineIndex(const PipelineState &pipeline);
    // Knows only these units: a set lookup per list entry instead of an insert, for a few units
    // looked at in a large fleet.
    PipelineIndex(const PipelineState &pipeline, const QSet<QString> &only);

    bool isQueued(const QString &mac) const { return queued.contains(mac); }
    bool isCommanded(const QString &mac) const { return commanded.contains(mac); }
    bool isResettingEdid(const QString &mac) const { return resettingEdid.contains(mac); }
    bool isInBatch(const QString &mac) const { return inBatch.contains(mac); }
    // The unit's last vUnitsFinished entry, and its first vUnits entry; nullptr for none.
    const MarluneUnit *lastFinished(const QString &mac) const { return finished.value(mac); }
    const MarluneUnit *firstListed(const QString &mac) const { return listed.value(mac); }

private:
    QSet<QString> queued;
    QSet<QString> commanded;
    QSet<QString> resettingEdid;
    QSet<QString> inBatch;
    QHash<QString, const MarluneUnit *> finished;
    QHash<QString, const MarluneUnit *> listed;
};

// Compares a unit with one package and updates the status cell ("Update Available", the
// add-on text, or "Cannot update. Min SW is ..."). False when the cell stays as it was.
bool placeUpdateBlurb(StatusCell &cell, const UpdatePackage &package, const MarluneUnit &unit);

// The whole status of one listed unit. testsWanted receives how many reachability tests the
// rules ask for (one per unit waiting for confirmation). A commanded unit's transfer progress,
// broken-off transfer or overdue step shows over the waiting texts.
StatusCell unitStatus(const MarluneUnit &unit, const PipelineState &pipeline, const PackageCatalogue &packages,
                      int *testsWanted = nullptr);
StatusCell unitStatus(const MarluneUnit &unit, const PipelineState &pipeline, const PackageCatalogue &packages,
                      const PipelineIndex &index, int *testsWanted = nullptr);

// A finished unit (its vUnitsFinished record) ended as its package says: with the package's
// dates or its add-on, and any EDID reset done.
bool finishedWell(const MarluneUnit &finished, const PipelineState &pipeline, const PackageCatalogue &packages);

// How a finished unit's latest update ended. Not judged: it was finished without the package's
// dates, but on a reboot seen before its latest command (it was queued again after an update), so
// nothing seen of this attempt says it failed.
enum class FinishVerdict { Confirmed, Failed, NotJudged };
FinishVerdict finishVerdict(const MarluneUnit &finished, const PipelineState &pipeline,
                            const PackageCatalogue &packages);

// Where each unit of the current batch stands; the parts add up to total. Waiting and held:
// queued units a rollout plan holds back. Taken out: out of the queue before their command.
struct BatchCounts
{
    int total = 0;
    int queued = 0;
    int waiting = 0;
    int held = 0;
    int commanded = 0;
    int fetching = 0;
    int rebooting = 0;
    // Back after the reboot and not confirmed yet, or resetting EDID.
    int confirming = 0;
    int confirmed = 0;
    int overdue = 0;
    int failed = 0;
    int notJudged = 0;
    int takenOut = 0;
};
BatchCounts batchCounts(const PipelineState &pipeline, const PackageCatalogue &packages);

// Where one unit of the current batch stands: the part of the batch summary that counts it. The
// summary's counts and the rows its parts show both come from here.
enum class BatchStanding {
    Queued,
    Waiting,
    Held,
    Commanded,
    Fetching,
    Rebooting,
    Confirming,
    Confirmed,
    Overdue,
    Failed,
    NotJudged,
    TakenOut
};
BatchStanding batchStanding(const QString &mac, const PipelineState &pipeline, const PackageCatalogue &packages,
                            const PipelineIndex &index);

// One part of the batch summary, and what its units are doing: confirmed, on their way (queued,
// commanded, fetching, rebooting, confirming, waiting), in trouble (overdue, failed, not judged,
// held) or taken out of the queue.
struct SummaryPart
{
    enum Kind { Confirmed, Underway, Trouble, TakenOut };
    QString text;
    Kind kind = Underway;
};
inline const QString kSummarySeparator = QStringLiteral(" \u00b7 ");
QList<SummaryPart> batchSummaryParts(const PipelineState &pipeline, const BatchCounts &counts);

// The current batch at a glance, every unit in one part, parts that are zero left out, e.g.
// "Batch: 7 of 10 confirmed · 2 fetching · 1 overdue"; "" before the first batch.
QString batchSummary(const PipelineState &pipeline, const PackageCatalogue &packages);
QString batchSummary(const PipelineState &pipeline, const BatchCounts &counts);

// The commanded units of the current batch that no longer move on by themselves but wait out the
// deadline of their step: their update command brought no answer, or they spent a third of the
// step's deadline in it without moving on (a unit that never fetches, or does not come back).
// longestSecs: the longest time left until one of their deadlines.
struct DeadlineWait
{
    int units = 0;
    qint64 longestSecs = 0;
};
DeadlineWait deadlineWait(const PipelineState &pipeline, const QDateTime &now);

// A few units must end before the pace so far says how long the rest will take.
constexpr int kUnitsBeforeEstimate = 3;
// The time since the batch began, and how long the units still moving will take at the pace of
// the units that ended by moving through their steps (confirmed, not applied, not judged); units
// that wait out a deadline are told apart: "2:35 elapsed, about 3 min left; 3 units wait for their
// deadline, up to 2 min". Once no unit moves or waits any more (the rest overdue, held or taken
// out), the time stops at the last unit's end: "4:13 elapsed, no unit moving". "" before the
// first batch.
QString batchTiming(const PipelineState &pipeline, const BatchCounts &counts, const QDateTime &now);

// The colour of every cell of the unit's row, by its pipeline state.
CellColour rowColour(const QString &mac, const PipelineState &pipeline);
CellColour rowColour(const QString &mac, const PipelineIndex &index);

// The per-family confirmation text of a finished unit whose dates equal its package's.
QString confirmationText(const MarluneUnit &finished, bool edidGivenUp);

// The one-time warning boxes a table redraw raises, in the order they are shown.
struct TableWarnings
{
    // Units were commanded more than 25 seconds ago and connected, but no image was served.
    bool firewall = false;
    // The first listed unit (in table order) with no local address on its subnet.
    std::optional<MarluneUnit> outsideSubnet;
    // The last online windowing processor (in table order) too old for automatic updates.
    std::optional<MarluneUnit> tooOld;
};

// The warnings due at a redraw of the listed units, given this workstation's addresses, for the
// ones not shown yet in this run.
TableWarnings warningsDue(const PipelineState &pipeline, const QList<QHostAddress> &localAddresses,
                          const QDateTime &now);
