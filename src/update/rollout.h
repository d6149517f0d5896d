#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// How a batch is let loose on the fleet. The default plan commands every queued unit at the next
// tick; a plan only changes when units are commanded, never what they are sent.
struct RolloutPlan
{
    // The first units of the batch, in table order, are commanded alone; the others wait until
    // each of them is confirmed. 0: none.
    int canary = 0;
    // At most this many units between their command and their confirmation. 0: no cap.
    int maxInFlight = 0;
    // The batch halts once this many of its units failed. 0: never.
    int stopAfterFailures = 0;

    bool isDefault() const { return canary <= 0 && maxInFlight <= 0 && stopAfterFailures <= 0; }
    // "canary 1 · 4 at a time · stop after 1 failed unit"; "" for the default plan.
    QString text() const;
    // The plan text() gave; parts it does not know are left out.
    static RolloutPlan fromText(const QString &text);
    bool operator==(const RolloutPlan &other) const
    {
        return canary == other.canary && maxInFlight == other.maxInFlight
               && stopAfterFailures == other.stopAfterFailures;
    }
    bool operator!=(const RolloutPlan &other) const { return !(*this == other); }
};

// Where a unit of the batch stands, as far as the rollout is concerned. In flight: its update
// command went out (or waits its turn to) and it is not confirmed yet. Failed: overdue at some
// step, finished without its package's dates, or its EDID reset given up, by what was seen in
// this batch. Out: taken out of the queue or off the list before it was commanded, or finished
// on an earlier update's reboot (neither confirmed nor failed by this batch).
enum class RolloutStep { Waiting, InFlight, Confirmed, Failed, Out };

struct RolloutUnit
{
    QString mac;
    RolloutStep step = RolloutStep::Waiting;
};

// Why a queued unit of the batch is not commanded yet.
enum class WaitReason { Canary, Cap, Held };

// What is kept of the current batch's rollout from one decision to the next.
struct RolloutProgress
{
    RolloutPlan plan;
    bool canariesChosen = false;
    QStringList canaries;
    // Halted: no further unit is commanded until the operator resumes.
    bool halted = false;
    int haltFailures = 0;
    // Failed units the operator resumed past: they no longer count toward a halt.
    QSet<QString> forgiven;
    // Of the last decision: why each waiting unit waits, and how many units were in flight.
    QHash<QString, WaitReason> waiting;
    int inFlight = 0;
};

struct RolloutDecision
{
    // The waiting units to command now, in table order.
    QStringList command;
    QHash<QString, WaitReason> waiting;
    // The batch's canaries: the ones chosen before, or chosen by this decision.
    QStringList canaries;
    // Units in flight once the ones to command are.
    int inFlight = 0;
    // Failed units that count toward a halt.
    int failures = 0;
    // The batch stands halted: by an earlier decision, or by this one because a canary or the
    // plan's number of units failed while some unit still waits.
    bool halted = false;
};

// Which waiting units of the batch may be commanded now. units: the batch's units in table order.
RolloutDecision decideRollout(const RolloutProgress &progress, const QList<RolloutUnit> &units);

// The operator resumes a halted batch: the units failed so far no longer count.
void resumeRollout(RolloutProgress &progress, const QList<RolloutUnit> &units);

// "Waiting (canary)", "Waiting: 8 in flight", "Held: rollout stopped after 2 failed units".
QString waitingText(WaitReason reason, const RolloutProgress &progress);
// "2 failed units", "1 failed unit".
QString failedUnitsText(int failures);
