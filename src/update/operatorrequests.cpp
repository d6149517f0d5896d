#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/unitlookup.h"
#include "update/pipelinesupport.h"
#include "update/unitstatus.h"

#include <algorithm>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's update button keep that function's name as well.
static const char kLogSource[] = "mainwindow";
static const char kUpdateButton[] = "MainWindow::on_updateButton_clicked";

using namespace PipelineSupport;

void UpdatePipeline::unitChanged(const MarluneUnit &unit)
{
    if (lists.knownUnitsOnly && !containsMac(lists.vUnits, unit.mac))
        return;
    const int admissions = packages.admissions(unit);
    if (admissions == 0)
        lists.withoutPackage.insert(unit.mac);
    else
        lists.withoutPackage.remove(unit.mac);
    for (int i = 0; i < admissions; ++i)
        lists.vUnitsIncoming.append(unit);
}

void UpdatePipeline::unitChangedForced(const MarluneUnit &unit)
{
    if (containsMac(lists.vUnits, unit.mac))
        return;
    lists.vUnitsUpdate.clear();
    lists.vUnitsIncoming.clear();
    lists.vUnitsConfirm.clear();
    lists.vUnitsUpdateFetched.clear();
    lists.vUnitsFinished.clear();
    lists.vUnitsEDID.clear();
    lists.edidAttempts.clear();
    port.toStatusLog(QStringLiteral("CSV Import"),
                     QStringLiteral("Ignoring ") + nameAndIp(unit) + QStringLiteral(" No update available."));
}

bool UpdatePipeline::queueForUpdate(const QStringList &macs)
{
    const EventTeller::Telling telling(teller);
    // The selection names each unit once per cell: looked up through sets, not searched.
    const PipelineIndex index(lists);
    const auto inPipeline = [&index](const QString &mac) {
        return index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac);
    };
    beginBatchIfIdle(index);
    QSet<QString> inBatch(lists.batch.cbegin(), lists.batch.cend());
    QHash<QString, QList<qsizetype>> places;
    for (qsizetype i = 0; i < lists.vUnits.size(); ++i)
        places[lists.vUnits.at(i).mac].append(i);
    QSet<QString> handled;
    bool encoderQueued = false;
    for (const QString &mac : macs) {
        if (handled.contains(mac))
            continue;
        handled.insert(mac);
        BLOG_AS(kLogSource, kUpdateButton) << "appending" << mac;
        // A unit anywhere in the active pipeline (queued, commanded, EDID reset) is not queued
        // again: it would be commanded and confirmed twice. A finished unit may be.
        if (inPipeline(mac))
            continue;
        for (const qsizetype i : places.value(mac)) {
            const MarluneUnit unit = lists.vUnits.at(i);
            lists.vUnitsUpdate.append(unit);
            encoderQueued = encoderQueued || unit.isEncoder();
            const UnitRun &run = newAttempt(unit);
            if (!inBatch.contains(mac)) {
                inBatch.insert(mac);
                lists.batch.append(mac);
            }
            lists.batchOfUnit.insert(mac, lists.batchNumber);
            // Its dates as it stands now, before this batch's update.
            UnitEvent queued = teller.eventFor(UnitStep::Queued, unit);
            queued.software = unit.swversion;
            queued.web = unit.webversion;
            queued.plan = run.rolloutPlan;
            teller.tell(queued);
        }
        lists.fetchTimeByMac.remove(mac);
        lists.exchangeFailures.remove(mac);
    }
    return encoderQueued;
}

// A new batch begins when none of the last one is still on its way.
void UpdatePipeline::beginBatchIfIdle(const PipelineIndex &index)
{
    const auto inPipeline = [&index](const QString &mac) {
        return index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac);
    };
    if (std::any_of(lists.batch.cbegin(), lists.batch.cend(), inPipeline))
        return;
    lists.batch.clear();
    lists.batchStarted = clock.now();
    lists.resumes = 0;
    ++lists.batchNumber;
    lists.rollout = RolloutProgress();
    lists.rollout.plan = lists.plan;
}

bool UpdatePipeline::batchOnItsWay() const
{
    const PipelineIndex index(lists, QSet<QString>(lists.batch.cbegin(), lists.batch.cend()));
    return std::any_of(lists.batch.cbegin(), lists.batch.cend(), [&index](const QString &mac) {
        return index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac);
    });
}

bool UpdatePipeline::batchInFlight() const
{
    const PipelineIndex index(lists, QSet<QString>(lists.batch.cbegin(), lists.batch.cend()));
    return std::any_of(lists.batch.cbegin(), lists.batch.cend(), [this, &index](const QString &mac) {
        if (index.isResettingEdid(mac))
            return true;
        if (index.isCommanded(mac))
            return true;
        const auto waiting = lists.rollout.waiting.constFind(mac);
        return index.isQueued(mac) && (waiting == lists.rollout.waiting.cend() || *waiting != WaitReason::Held);
    });
}

void UpdatePipeline::removeUnits(const QStringList &macs)
{
    for (const QString &mac : macs) {
        if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac);
            listed && lists.batchOfUnit.contains(mac))
            teller.tell(UnitStep::Removed, *listed);
        removeUnitByMac(mac, lists.vUnits);
        removeUnitByMac(mac, lists.vUnitsUpdateFetched);
        removeUnitByMac(mac, lists.vUnitsIncoming);
        removeUnitByMac(mac, lists.vUnitsConfirm);
        removeUnitByMac(mac, lists.vUnitsFinished);
        removeUnitByMac(mac, lists.vUnitsEDID);
        // A unit the operator took off the list is never commanded.
        removeUnitByMac(mac, lists.vUnitsUpdate);
        lists.fetchTimeByMac.remove(mac);
        lists.exchangeFailures.remove(mac);
        lists.edidAttempts.clear();
        lists.batch.removeAll(mac);
        if (lists.runs.contains(mac))
            lists.runs[mac].removed = true;
    }
}

QStringList UpdatePipeline::withdrawQueued()
{
    const EventTeller::Telling telling(teller);
    QStringList withdrawn;
    for (qsizetype i = 0; i < lists.vUnitsUpdate.size();) {
        const QString mac = lists.vUnitsUpdate.at(i).mac;
        if (passes.commandGoingOut(mac)) {
            ++i;
            continue;
        }
        if (!withdrawn.contains(mac))
            withdrawn.append(mac);
        const MarluneUnit unit = lists.vUnitsUpdate.takeAt(i);
        const auto run = lists.runs.find(mac);
        if (run != lists.runs.end() && !run->takenOut) {
            run->takenOut = true;
            teller.tell(UnitStep::TakenOut, unit);
        }
    }
    // Nothing is held any longer; units queued later into this batch go by its plan again.
    if (lists.rollout.halted)
        ::resumeRollout(lists.rollout, rollout.units());
    lists.rollout.waiting.clear();
    if (!withdrawn.isEmpty()) {
        lists.tableDirty = true;
        port.refreshUnitTable();
    }
    return withdrawn;
}

QStringList UpdatePipeline::retryCandidates() const
{
    QStringList macs;
    QSet<QString> taken;
    for (const MarluneUnit &unit : lists.vUnitsConfirm) {
        const auto run = lists.runs.constFind(unit.mac);
        if (run != lists.runs.cend() && run->overdue != Overdue::None && !taken.contains(unit.mac)) {
            taken.insert(unit.mac);
            macs.append(unit.mac);
        }
    }
    if (lists.vUnitsFinished.isEmpty())
        return macs;
    QSet<QString> listed;
    for (const MarluneUnit &unit : lists.vUnits)
        listed.insert(unit.mac);
    for (const MarluneUnit &unit : lists.vUnitsFinished) {
        if (!finishedWell(unit, lists, packages) && listed.contains(unit.mac) && !taken.contains(unit.mac)) {
            taken.insert(unit.mac);
            macs.append(unit.mac);
        }
    }
    return macs;
}

// A unit whose update ended with the package's dates and only its EDID reset given up has its
// EDID reset again; every other unit is queued for a new update. Each is told as retried once it
// is queued, in its new batch.
void UpdatePipeline::retryUnits(const QStringList &macs)
{
    const EventTeller::Telling telling(teller);
    QStringList updates;
    QList<MarluneUnit> edidOnly;
    for (const QString &mac : macs) {
        const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac);
        if (!listed)
            continue;
        const auto finished = std::find_if(lists.vUnitsFinished.crbegin(), lists.vUnitsFinished.crend(),
                                           [&mac](const MarluneUnit &unit) { return unit.mac == mac; });
        const bool onlyEdid = finished != lists.vUnitsFinished.crend() && packages.unitMatchesPackage(*finished)
                              && lists.edidAttempts.value(finished->ip, 0) >= kEdidAttempts
                              && !containsMac(lists.vUnitsConfirm, mac);
        lists.edidAttempts.remove(listed->ip);
        if (onlyEdid) {
            edidOnly.append(*finished);
            removeUnitByMac(mac, lists.vUnitsFinished);
            continue;
        }
        removeUnitByMac(mac, lists.vUnitsConfirm);
        removeUnitByMac(mac, lists.vUnitsRebooted);
        removeUnitByMac(mac, lists.vUnitsEDID);
        removeUnitByMac(mac, lists.vUnitsFinished);
        UnitRun &run = lists.runs[mac];
        run.startAttempt();
        run.retried = true;
        updates.append(mac);
    }
    queueForUpdate(updates);
    for (const MarluneUnit &unit : std::as_const(edidOnly)) {
        if (!lists.batch.contains(unit.mac))
            lists.batch.append(unit.mac);
        lists.batchOfUnit.insert(unit.mac, lists.batchNumber);
        lists.runs[unit.mac].retried = true;
        lists.vUnitsEDID.append(unit);
        UnitEvent queued = teller.eventFor(UnitStep::Queued, unit);
        queued.software = unit.swversion;
        queued.web = unit.webversion;
        queued.plan = lists.rollout.plan.text();
        teller.tell(queued);
    }
    for (const QString &mac : macs) {
        if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac))
            teller.tell(UnitStep::Retried, *listed);
    }
    if (!edidOnly.isEmpty())
        lists.tableDirty = true;
}

void UpdatePipeline::prepareTableRedraw()
{
    lists.tableDirty = false;
    // Almost always in order already: records are large, and sorting moves them.
    if (!std::is_sorted(lists.vUnits.cbegin(), lists.vUnits.cend()))
        std::sort(lists.vUnits.begin(), lists.vUnits.end());
    for (MarluneUnit &unit : lists.vUnits) {
        const QString key = foreverKey(unit);
        if (!key.isEmpty() && !unit.name.contains(QLatin1Char('[')))
            unit.name += QStringLiteral(" [") + QString::number(lists.foreverCount.value(key, 0)) + QLatin1Char(']');
    }
}

// The unit's run begins a new attempt in the current batch: its last attempt is over, what the
// cell showed of it (a broken-off transfer) and the times of its steps. Until its command goes
// out again it is counted as queued, not as commanded or rebooting by the marks of that attempt.
UnitRun &UpdatePipeline::newAttempt(const MarluneUnit &unit)
{
    UnitRun &run = ledger.runFor(unit);
    run.removed = false;
    run.startAttempt();
    run.rolloutPlan = lists.rollout.plan.text();
    run.held = false;
    run.takenOut = false;
    return run;
}
