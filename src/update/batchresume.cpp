#include "batchresume.h"

#include "app/debuglog.h"
#include "history/historykeeper.h"
#include "units/marluneunit.h"
#include "units/unitlookup.h"
#include "update/pipelinesupport.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"
#include "update/updatercore.h"

#include <QSet>

static const char kLogSource[] = "resume";

using namespace PipelineSupport;

bool runConfirmed(const RunRecord &run)
{
    return run.confirmed.isValid() || run.step == QLatin1String("confirmed elsewhere");
}

bool commandedStep(const QString &step)
{
    static const QSet<QString> commanded{QStringLiteral("commanding"),         QStringLiteral("commanded"),
                                         QStringLiteral("command unanswered"), QStringLiteral("fetch begun"),
                                         QStringLiteral("fetching"),           QStringLiteral("fetched"),
                                         QStringLiteral("fetch cut"),          QStringLiteral("refused"),
                                         QStringLiteral("went down"),          QStringLiteral("back"),
                                         QStringLiteral("confirming"),         QStringLiteral("overdue"),
                                         QStringLiteral("no longer overdue"),  QStringLiteral("adopted")};
    return commanded.contains(step);
}

ResumeVerdict resumeVerdict(const QString &lastStep, const MarluneUnit *now, bool carriesPackageDates)
{
    if (!now)
        return ResumeVerdict::NotListed;
    if (now->updateStatus != 0)
        return ResumeVerdict::Pending;
    if (carriesPackageDates)
        return ResumeVerdict::Confirmed;
    return commandedStep(lastStep) ? ResumeVerdict::Adopt : ResumeVerdict::Queue;
}

QString resumeVerdictText(ResumeVerdict verdict)
{
    switch (verdict) {
    case ResumeVerdict::Queue:
        return QStringLiteral("queued again");
    case ResumeVerdict::Adopt:
        return QStringLiteral("commanded before: waited for, not commanded again");
    case ResumeVerdict::Pending:
        return QStringLiteral("reports a pending update: waited for to be confirmed, not commanded again");
    case ResumeVerdict::Confirmed:
        return QStringLiteral("confirmed meanwhile");
    case ResumeVerdict::NotListed:
        return QStringLiteral("not heard from");
    }
    return QString();
}

int ResumeOutcome::count(ResumeVerdict verdict) const
{
    return int(std::count_if(units.cbegin(), units.cend(),
                             [verdict](const ResumedUnit &unit) { return unit.verdict == verdict; }));
}

QList<ResumedUnit> UpdatePipeline::resumeVerdicts(const QList<RunRecord> &runs) const
{
    const PipelineIndex index(lists);
    QList<ResumedUnit> units;
    for (const RunRecord &run : runs) {
        const MarluneUnit *now = index.firstListed(run.mac);
        units.append({run.mac, now ? now->name : run.name, now ? now->ip : run.ip, run.step,
                      resumeVerdict(run.step, now, now && packages.unitMatchesPackage(*now))});
    }
    return units;
}

// The units to queue are queued first, so that the batch begins with the cut batch's plan; the
// others join it as they stand. All are told in one piece, once the batch names the cut one.
int UpdatePipeline::resumeBatch(qint64 resumes, const QString &plan, const QList<RunRecord> &runs,
                                QList<ResumedUnit> *outcome)
{
    if (batchOnItsWay())
        return 0;
    const EventTeller::Telling telling(teller);
    const QList<ResumedUnit> units = resumeVerdicts(runs);
    QStringList queue;
    for (const ResumedUnit &unit : units) {
        if (unit.verdict == ResumeVerdict::Queue)
            queue.append(unit.mac);
    }
    const RolloutPlan nextPlan = lists.plan;
    lists.plan = RolloutPlan::fromText(plan);
    if (queue.isEmpty())
        beginBatchIfIdle(PipelineIndex(lists));
    else
        queueForUpdate(queue);
    lists.plan = nextPlan;
    lists.resumes = resumes;
    QHash<QString, const RunRecord *> runOf;
    for (const RunRecord &run : runs)
        runOf.insert(run.mac, &run);
    for (const ResumedUnit &resumed : units) {
        const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, resumed.mac);
        if (resumed.verdict == ResumeVerdict::Adopt || resumed.verdict == ResumeVerdict::Pending) {
            adoptCommanded(*listed, resumed.lastStep, resumed.verdict == ResumeVerdict::Pending);
        } else if (resumed.verdict != ResumeVerdict::Queue) {
            // A unit not heard from is told by what the cut batch knew of it.
            MarluneUnit unit = listed ? *listed : MarluneUnit();
            if (!listed) {
                const RunRecord *run = runOf.value(resumed.mac);
                unit.mac = run->mac;
                unit.name = run->name;
                unit.ip = run->ip;
                unit.sn = run->serial;
            }
            lists.batchOfUnit.insert(unit.mac, lists.batchNumber);
            UnitEvent notResumed = teller.eventFor(UnitStep::NotResumed, unit);
            notResumed.detail = resumeVerdictText(resumed.verdict);
            notResumed.software = unit.swversion;
            notResumed.web = unit.webversion;
            notResumed.plan = lists.rollout.plan.text();
            teller.tell(notResumed);
        }
    }
    if (outcome)
        *outcome = units;
    lists.tableDirty = true;
    port.refreshUnitTable();
    return lists.batchNumber;
}

// The unit waits for its reboot and confirmation as if commanded now: its deadlines run from now,
// from the step the cut batch last saw it take. A unit that reports its pending update has taken
// its image and rebooted; the reboot rule of the tick admits it to the confirm pass.
void UpdatePipeline::adoptCommanded(const MarluneUnit &unit, const QString &lastStep, bool pending)
{
    static const QSet<QString> fetchedSteps{QStringLiteral("fetched"), QStringLiteral("went down"),
                                            QStringLiteral("back"), QStringLiteral("confirming")};
    static const QSet<QString> rebootSteps{QStringLiteral("went down"), QStringLiteral("back"),
                                           QStringLiteral("confirming")};
    UnitRun &run = newAttempt(unit);
    const QDateTime now = clock.now();
    const qint64 nowMs = clock.steadyMs();
    run.commanded = now;
    run.commandedMs = nowMs;
    const UpdatePackage *package = packages.packageForFetch(unit);
    run.packageFile = package ? package->newFilename : QString();
    if (pending || fetchedSteps.contains(lastStep)) {
        run.fetched = now;
        run.fetchedMs = nowMs;
    }
    if (pending || rebootSteps.contains(lastStep)) {
        run.rebootSeen = now;
        run.rebootSeenMs = nowMs;
    }
    // Seen going down by the cut batch: the confirm pass judges it once it answers again.
    if (!pending && rebootSteps.contains(lastStep)) {
        removeUnitByMac(unit.mac, lists.vUnitsRebooted);
        lists.vUnitsRebooted.append(unit);
    }
    lists.vUnitsConfirm.append(unit);
    if (!lists.batch.contains(unit.mac))
        lists.batch.append(unit.mac);
    lists.batchOfUnit.insert(unit.mac, lists.batchNumber);
    lists.fetchTimeByMac.remove(unit.mac);
    lists.exchangeFailures.remove(unit.mac);
    BLOG << "adopted" << unit.mac << "last step" << lastStep << "pending" << pending;
    UnitEvent adopted = teller.eventFor(UnitStep::Adopted, unit);
    adopted.detail = lastStep;
    adopted.software = unit.swversion;
    adopted.web = unit.webversion;
    adopted.plan = run.rolloutPlan;
    adopted.package = run.packageFile;
    adopted.packageSha256 = package ? package->imageSha256 : QString();
    teller.tell(adopted);
}

ResumeOutcome UpdaterCore::resumePreview() const
{
    ResumeOutcome outcome;
    if (lastBatch.batch.id == 0)
        return outcome;
    outcome.resumes = lastBatch.batch.id;
    outcome.end = lastBatch.batch.end;
    outcome.plan = lastBatch.batch.plan;
    outcome.batchUnits = lastBatch.batch.units;
    outcome.units = updatePipeline.resumeVerdicts(lastBatch.unconfirmed);
    return outcome;
}

ResumeOutcome UpdaterCore::resumeLastBatch()
{
    ResumeOutcome outcome = resumePreview();
    if (outcome.resumes == 0)
        return outcome;
    if (updatePipeline.batchOnItsWay()) {
        outcome.refusal = QStringLiteral("A batch is under way: resume once it has ended.");
        return outcome;
    }
    // Once a batch names it, it is no longer the last one: it is not offered again.
    const HistoryStore::Resumable cut = std::exchange(lastBatch, {});
    toStatusLog(
        kUpdater,
        QStringLiteral("Resuming batch %1 (%2 units not confirmed)").arg(outcome.resumes).arg(cut.unconfirmed.size()));
    outcome.batch = updatePipeline.resumeBatch(cut.batch.id, cut.batch.plan, cut.unconfirmed, &outcome.units);
    toStatusLog(kUpdater, QStringLiteral("%1 units queued again, %2 waited for without a new command, %3 confirmed "
                                         "meanwhile, %4 not heard from.")
                              .arg(outcome.count(ResumeVerdict::Queue))
                              .arg(outcome.count(ResumeVerdict::Adopt) + outcome.count(ResumeVerdict::Pending))
                              .arg(outcome.count(ResumeVerdict::Confirmed))
                              .arg(outcome.count(ResumeVerdict::NotListed)));
    refreshFleet();
    Q_EMIT resumableChanged();
    return outcome;
}
