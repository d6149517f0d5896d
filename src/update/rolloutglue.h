#pragma once

#include "update/rollout.h"

#include <QList>
#include <QSet>
#include <QString>

class EventTeller;
class ExchangeSerialiser;
class PackageCatalogue;
class PipelinePort;
struct PipelineState;

// Puts a batch's rollout plan to work: where each unit of the batch stands for the plan, which
// queued units the plan lets go now, and the halt and resume of the batch.
class RolloutGlue final
{
public:
    RolloutGlue(PipelinePort &port, PipelineState &lists, const PackageCatalogue &packages,
                const ExchangeSerialiser &exchanges, EventTeller &teller);
    RolloutGlue(const RolloutGlue &) = delete;
    RolloutGlue &operator=(const RolloutGlue &) = delete;

    // What the plan lets the command pass do in this tick.
    struct Turn
    {
        // The batch's units the plan lets go now; the batch's other queued units wait.
        QSet<QString> allowed;
        QSet<QString> inBatch;
        bool halted = false;
        // The units waiting, or those on their way, are others than at the last turn.
        bool waitingChanged = false;
    };
    // Asks the plan which of the batch's queued units go now: picks the canaries the first time,
    // halts the rollout once when the plan says so, and tells the units held after a halt.
    Turn takeTurn();
    // Continues a halted batch: its units failed so far no longer count toward a halt. False
    // when it was not halted.
    bool resume();
    // The units of the current batch in table order, and where each stands for the rollout.
    QList<RolloutUnit> units() const;

private:
    void halt(const RolloutDecision &decision);

    PipelinePort &port;
    PipelineState &lists;
    const PackageCatalogue &packages;
    const ExchangeSerialiser &exchanges;
    EventTeller &teller;
};
