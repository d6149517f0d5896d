#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/unitlookup.h"
#include "update/pipelinesupport.h"
#include "update/unitstatus.h"

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";
static const char kTick[] = "MainWindow::refreshTimerTimeout";

using namespace PipelineSupport;

// The plan decides which of the batch's queued units go now; the others wait, and a queued unit
// outside the batch (FOREVER mode) goes as usual. The tick ends here as it would without a plan,
// unless the batch is halted and nothing went: held units do not hold up the out-of-sync pass.
bool UpdatePipeline::commandUnitsOfPlan()
{
    BLOG_AS(kLogSource, kTick) << "Checking vUnitsUpdate" << lists.rollout.plan.text();
    const RolloutDecision decision = decideRollout(lists.rollout, rolloutUnits());
    RolloutProgress &rollout = lists.rollout;
    if (!rollout.canariesChosen) {
        rollout.canariesChosen = true;
        rollout.canaries = decision.canaries;
        for (const QString &mac : decision.canaries)
            lists.runs[mac].canary = true;
    }
    if (decision.halted && !rollout.halted)
        haltRollout(decision);
    const bool waitingChanged = rollout.waiting != decision.waiting || rollout.inFlight != decision.inFlight;
    rollout.waiting = decision.waiting;
    rollout.inFlight = decision.inFlight;
    // Held after a halt: told once the rollout's waiting units say why.
    {
        const Telling telling(*this);
        for (auto waiting = decision.waiting.cbegin(); waiting != decision.waiting.cend(); ++waiting) {
            if (*waiting != WaitReason::Held || lists.runs[waiting.key()].held)
                continue;
            lists.runs[waiting.key()].held = true;
            if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, waiting.key()))
                tell(UnitStep::Held, *listed);
        }
    }

    const QSet<QString> allowed(decision.command.cbegin(), decision.command.cend());
    const QSet<QString> inBatch(lists.batch.cbegin(), lists.batch.cend());
    const QList<MarluneUnit> queued = lists.vUnitsUpdate;
    bool commanded = false;
    for (const MarluneUnit &unit : queued) {
        if (unit.mac.isEmpty() || busy.contains(unit.mac) || (inBatch.contains(unit.mac) && !allowed.contains(unit.mac)))
            continue;
        commandUnit(unit);
        commanded = true;
    }
    if (commanded || waitingChanged)
        port.refreshUnitTable();
    return commanded || !decision.halted;
}

QList<RolloutUnit> UpdatePipeline::rolloutUnits() const
{
    QList<RolloutUnit> units;
    const PipelineIndex index(lists);
    QSet<QString> inBatch(lists.batch.cbegin(), lists.batch.cend());
    for (const MarluneUnit &unit : lists.vUnits) {
        // Each unit once, in the order the table shows it.
        if (!inBatch.remove(unit.mac))
            continue;
        RolloutStep step = RolloutStep::Out;
        if (index.isQueued(unit.mac)) {
            step = busy.contains(unit.mac) ? RolloutStep::InFlight : RolloutStep::Waiting;
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
        units.append({unit.mac, step});
    }
    return units;
}

// Told once per halt: a status-log line naming the failed units, and the operator's notice.
void UpdatePipeline::haltRollout(const RolloutDecision &decision)
{
    RolloutProgress &rollout = lists.rollout;
    rollout.halted = true;
    rollout.haltFailures = decision.failures;
    QStringList failed;
    for (const RolloutUnit &unit : rolloutUnits()) {
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

bool UpdatePipeline::resumeRollout()
{
    RolloutProgress &rollout = lists.rollout;
    if (!rollout.halted)
        return false;
    ::resumeRollout(rollout, rolloutUnits());
    rollout.waiting.clear();
    port.toStatusLog(kUpdater, QStringLiteral("Rollout resumed."));
    lists.tableDirty = true;
    port.refreshUnitTable();
    return true;
}
