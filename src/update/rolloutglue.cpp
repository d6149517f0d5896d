#include "rolloutglue.h"

#include "packages/packagecatalogue.h"
#include "units/unitlookup.h"
#include "update/eventteller.h"
#include "update/exchangeserialiser.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/pipelinesupport.h"
#include "update/unitstatus.h"

using namespace PipelineSupport;

RolloutGlue::RolloutGlue(PipelinePort &port, PipelineState &lists, const PackageCatalogue &packages,
                         const ExchangeSerialiser &exchanges, EventTeller &teller)
    : port(port), lists(lists), packages(packages), exchanges(exchanges), teller(teller)
{
}

// The plan decides which of the batch's queued units go now; the others wait, and a queued unit
// outside the batch (FOREVER mode) goes as usual.
RolloutGlue::Turn RolloutGlue::takeTurn()
{
    const RolloutDecision decision = decideRollout(lists.rollout, units());
    RolloutProgress &rollout = lists.rollout;
    if (!rollout.canariesChosen) {
        rollout.canariesChosen = true;
        rollout.canaries = decision.canaries;
        for (const QString &mac : decision.canaries)
            lists.runs[mac].canary = true;
    }
    if (decision.halted && !rollout.halted)
        halt(decision);
    Turn turn;
    turn.waitingChanged = rollout.waiting != decision.waiting || rollout.inFlight != decision.inFlight;
    rollout.waiting = decision.waiting;
    rollout.inFlight = decision.inFlight;
    // Held after a halt: told once the rollout's waiting units say why.
    {
        const EventTeller::Telling telling(teller);
        for (auto waiting = decision.waiting.cbegin(); waiting != decision.waiting.cend(); ++waiting) {
            if (*waiting != WaitReason::Held || lists.runs[waiting.key()].held)
                continue;
            lists.runs[waiting.key()].held = true;
            if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, waiting.key()))
                teller.tell(UnitStep::Held, *listed);
        }
    }
    turn.allowed = QSet<QString>(decision.command.cbegin(), decision.command.cend());
    turn.inBatch = QSet<QString>(lists.batch.cbegin(), lists.batch.cend());
    turn.halted = decision.halted;
    return turn;
}

QList<RolloutUnit> RolloutGlue::units() const
{
    QList<RolloutUnit> batchUnits;
    const PipelineIndex index(lists);
    QSet<QString> inBatch(lists.batch.cbegin(), lists.batch.cend());
    for (const MarluneUnit &unit : lists.vUnits) {
        // Each unit once, in the order the table shows it.
        if (!inBatch.remove(unit.mac))
            continue;
        RolloutStep step = RolloutStep::Out;
        if (index.isQueued(unit.mac)) {
            step = exchanges.busy(unit.mac) ? RolloutStep::InFlight : RolloutStep::Waiting;
        } else if (index.isCommanded(unit.mac)) {
            const auto run = lists.runs.constFind(unit.mac);
            const bool overdue = run != lists.runs.cend() && run->overdue != Overdue::None;
            step = overdue ? RolloutStep::Failed : RolloutStep::InFlight;
        } else if (index.isResettingEdid(unit.mac)) {
            step = RolloutStep::Confirmed;
        } else if (const MarluneUnit *finished = index.lastFinished(unit.mac)) {
            switch (finishVerdict(*finished, lists, packages)) {
            case FinishVerdict::Confirmed:
                step = RolloutStep::Confirmed;
                break;
            case FinishVerdict::Failed:
                step = RolloutStep::Failed;
                break;
            case FinishVerdict::NotJudged:
                step = RolloutStep::Out;
                break;
            }
        }
        batchUnits.append({unit.mac, step});
    }
    return batchUnits;
}

// Told once per halt: a status-log line naming the failed units, and the operator's notice.
void RolloutGlue::halt(const RolloutDecision &decision)
{
    RolloutProgress &rollout = lists.rollout;
    rollout.halted = true;
    rollout.haltFailures = decision.failures;
    QStringList failed;
    for (const RolloutUnit &unit : units()) {
        if (unit.step == RolloutStep::Failed && !rollout.forgiven.contains(unit.mac)) {
            const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, unit.mac);
            failed << (listed ? nameAndIp(*listed) : unit.mac);
        }
    }
    const QString text = QStringLiteral("Rollout stopped after %1: %2 units held (failed: %3).")
                             .arg(failedUnitsText(decision.failures))
                             .arg(decision.waiting.size())
                             .arg(failed.join(QStringLiteral(", ")));
    port.toStatusLog(kUpdater, text);
    port.rolloutHalted(text);
}

bool RolloutGlue::resume()
{
    RolloutProgress &rollout = lists.rollout;
    if (!rollout.halted)
        return false;
    ::resumeRollout(rollout, units());
    rollout.waiting.clear();
    port.toStatusLog(kUpdater, QStringLiteral("Rollout resumed."));
    lists.tableDirty = true;
    port.refreshUnitTable();
    return true;
}
