#pragma once

#include "update/runrecord.h"

#include <QList>
#include <QString>

class MarluneUnit;

// Picking up a batch cut short. The last batch of the history is picked up again when it ended
// closed, interrupted or stopped with units not confirmed: a new batch, with the cut batch's
// plan, names it and takes each of those units by where it stands now. Nothing is sent to a unit
// that may still be taking its image.

// The unit's run in its batch confirmed it (by this updater or another device).
bool runConfirmed(const RunRecord &run);
// The unit's last step in its batch says its update command went out (or may have): it may be
// taking its image, rebooting or waiting for its confirmation.
bool commandedStep(const QString &step);

enum class ResumeVerdict {
    // Queued again, as any unit queued for update.
    Queue,
    // Commanded in the cut batch and not confirmed: taken in as commanded, without a command, its
    // deadlines counted from now; the pipeline's rules bring it to its end.
    Adopt,
    // Reports a pending update: taken in as commanded, without a command, for the confirm pass.
    Pending,
    // Carries its package's dates and reports no pending update: left alone.
    Confirmed,
    // Not listed now (not heard from): left alone.
    NotListed,
};

// now: the unit as listed now, nullptr when it is not; carriesPackageDates: its dates are its
// package's.
ResumeVerdict resumeVerdict(const QString &lastStep, const MarluneUnit *now, bool carriesPackageDates);
// "queued again", "not heard from", ...
QString resumeVerdictText(ResumeVerdict verdict);
// The unit is taken into the new batch (queued, or waited for).
inline bool resumedInBatch(ResumeVerdict verdict)
{
    return verdict == ResumeVerdict::Queue || verdict == ResumeVerdict::Adopt || verdict == ResumeVerdict::Pending;
}

struct ResumedUnit
{
    QString mac;
    QString name;
    QString ip;
    // Its last step in the cut batch.
    QString lastStep;
    ResumeVerdict verdict = ResumeVerdict::Queue;
};

// What picking up the last batch did, or would do.
struct ResumeOutcome
{
    // The history's id of the cut batch (0: there is none), how it ended, its plan and its size.
    qint64 resumes = 0;
    QString end;
    QString plan;
    int batchUnits = 0;
    // The pipeline's number of the new batch (0 before it began).
    int batch = 0;
    // Why nothing was done, "" when it was (or would be).
    QString refusal;
    QList<ResumedUnit> units;

    int count(ResumeVerdict verdict) const;
};
