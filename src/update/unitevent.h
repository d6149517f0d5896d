#pragma once

#include "update/runrecord.h"
#include "update/unitrun.h"

#include <QDateTime>
#include <QString>

#include <optional>

// One step of one unit in a batch, as the core saw it happen: the pipeline, the file server and the
// reachability tests each tell their steps as these events. The status log shows them, the history
// and the update report are made of them, and the command-line tool prints them; none of these works
// out again from a table cell or a log text what happened.
enum class UnitStep {
    Queued,
    Retried,
    // A rollout plan holds the unit back after a halt; Stop Batch took it out of the queue before its
    // command; the operator took it off the list.
    Held,
    TakenOut,
    Removed,
    // The update command goes out; it is over and the unit had it (answered or not); or no
    // connection to the unit could be made, or it gave no answer (detail says how).
    Commanding,
    Commanded,
    CommandUnanswered,
    // The image: its transfer began, moved on (bytes of size), ended whole, or was cut short.
    FetchBegun,
    FetchProgress,
    Fetched,
    FetchCut,
    // The file server gave the unit no image (detail says why).
    Refused,
    // Seen going down for its reboot after it took its image; back and answering.
    WentDown,
    Back,
    // The confirm pass: the command goes out; its exchange is over. Or the unit already carried the
    // package's dates (another device confirmed it), or the update was not applied.
    Confirming,
    Confirmed,
    ConfirmedElsewhere,
    NotApplied,
    EdidResetting,
    EdidReset,
    EdidFailed,
    EdidAbandoned,
    Overdue,
    NoLongerOverdue,
    // A batch picks up one that was cut short: the unit, commanded there (or reporting its pending
    // update), is taken in as commanded without a command of its own (detail: its last step there);
    // or it is not resumed (detail says why).
    Adopted,
    NotResumed,
};

// How a transfer was cut short.
enum class FetchCut { BrokeOff = 0, Stalled, FileChanged };

struct UnitEvent
{
    UnitStep step = UnitStep::Queued;
    QString mac;
    QString ip;
    QString name;
    QString serial;
    QString type;
    // The pipeline's batch the unit was last queued in (0 for none).
    int batch = 0;
    // When it happened: the wall clock for the record, a clock that never jumps for durations.
    QDateTime time;
    qint64 steadyMs = -1;
    // Queued: the unit's dates when it was queued; Confirmed, ConfirmedElsewhere, NotApplied: its
    // dates when it was judged.
    QString software;
    QString web;
    // Commanding: the address the unit is told to fetch from. Fetch steps: the image file.
    // CommandUnanswered: a few words on how. Refused: why. Overdue: the overdue text.
    QString detail;
    // Queued, Adopted: the batch's rollout plan ("" for none).
    QString plan;
    // Commanding: the image the unit is meant to take, its SHA-256, and whether the unit is one of
    // its rollout's canaries.
    QString package;
    QString packageSha256;
    bool canary = false;
    // Fetch steps: the bytes handed over of the image's size.
    qint64 bytes = 0;
    qint64 size = 0;
    FetchCut cut = FetchCut::BrokeOff;
    // FetchCut of a stalled transfer: how long the unit took nothing.
    int stallSecs = 0;
    // EdidFailed: the failed attempts so far.
    int attempt = 0;
    // Overdue: which step is late.
    Overdue overdue = Overdue::None;
    // CommandUnanswered: the connection to the unit was made, so it may have read the command.
    bool reachedUnit = false;
    // Confirmed: an EDID reset follows; the unit carries its package's dates.
    bool edidFollows = false;
    bool withPackageDates = false;
    // The unit's status text right after the step, as the table shows it then.
    QString status;
};

// What a step is called wherever it is named: the history's event kinds, the tool's steps.
QString unitStepName(UnitStep step);

// The status-log line a step is told with (its source and message), if it has one.
struct StatusLogText
{
    QString source;
    QString message;
};
std::optional<StatusLogText> statusLogText(const UnitEvent &event);
// The step in words, for a step that has no status-log line: "NAME (IP): seen going down for its
// reboot." and the like.
QString eventDescription(const UnitEvent &event);

// The unit's row in its batch after one more of its steps: the update report's and the history's
// row is made of the batch's events alone. row.mac identifies the unit.
void applyEvent(RunRecord &row, const UnitEvent &event);
