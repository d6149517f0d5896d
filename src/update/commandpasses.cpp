#include "pipelinepasses.h"

#include "app/debuglog.h"
#include "packages/packagecatalogue.h"
#include "update/eventteller.h"
#include "update/exchangeserialiser.h"
#include "update/pipelineclock.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/pipelinesupport.h"
#include "update/rolloutglue.h"
#include "update/runledger.h"

#include <memory>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick keep that function's name as well.
static const char kLogSource[] = "mainwindow";
static const char kTick[] = "MainWindow::refreshTimerTimeout";

namespace {

constexpr int kFreshStatusSecs = 15;
constexpr int kOutOfSyncDelaySecs = 10;

} // namespace

using namespace PipelineSupport;

// Every unit waiting for its EDID reset is sent the command, side by side; each leaves the list
// when its reply says it is done.
void PipelinePasses::resetEdids()
{
    if (lists.vUnitsEDID.isEmpty())
        return;
    const QList<MarluneUnit> waiting = lists.vUnitsEDID;
    for (const MarluneUnit &unit : waiting) {
        if (unit.mac.isEmpty() || exchanges.busy(unit.mac))
            continue;
        QByteArray command = QByteArrayLiteral("setSettings:resetedid\r");
        if (unit.isGen2FourK())
            command += QByteArrayLiteral("setSettings:resetedidanalog\r");
        const auto starting = [this, unit] { teller.tell(UnitStep::EdidResetting, unit); };
        exchanges.exchange(unit, command, starting, [this, unit](const QByteArray &reply) {
            if (edidResetDone(unit, reply) && takeEntry(lists.vUnitsEDID, unit.mac)) {
                lists.vUnitsFinished.append(unit);
                port.refreshUnitTableSoon();
            }
        });
    }
    port.refreshUnitTable();
}

// Judges one EDID reset by the unit's first reply; true when the unit is done with it (success,
// or the last failure). A reply with neither verdict repeats the command at the next tick
// without counting an attempt.
bool PipelinePasses::edidResetDone(const MarluneUnit &unit, const QByteArray &reply)
{
    bool done = false;
    if (reply.contains("Failed To Reset EDID")) {
        const int attempts = lists.edidAttempts.value(unit.ip, 0) + 1;
        UnitEvent failed = teller.eventFor(UnitStep::EdidFailed, unit);
        failed.attempt = attempts;
        teller.tell(failed);
        lists.edidAttempts[unit.ip] = attempts;
        if (attempts >= kEdidAttempts) {
            teller.tell(UnitStep::EdidAbandoned, unit);
            done = true;
        }
    }
    if (reply.contains("Successfully Reset EDID")) {
        teller.tell(UnitStep::EdidReset, unit);
        done = true;
    }
    return done;
}

// Commanded units that rebooted and answer with a fresh status are confirmed (or found already
// confirmed, or not updated) and leave the pipeline. then learns whether a confirm command was
// sent, which ends the tick.
void PipelinePasses::confirmRebootedUnits(const std::function<void(bool)> &then)
{
    if (lists.vUnitsConfirm.isEmpty() || lists.vUnitsRebooted.isEmpty())
        return then(false);
    // Looked up once per pass, so that the pass costs the same per unit however large the fleet.
    auto current = std::make_shared<QHash<QString, MarluneUnit>>();
    for (const MarluneUnit &unit : std::as_const(lists.vUnits))
        current->insert(unit.mac, unit); // the last record of a MAC listed twice
    auto rebooted = std::make_shared<QSet<QString>>();
    for (const MarluneUnit &unit : std::as_const(lists.vUnitsRebooted))
        rebooted->insert(unit.mac);

    auto confirmSent = std::make_shared<bool>(false);
    walkPass(
        lists.vUnitsConfirm, lists.vUnitsConfirm,
        [this, current, rebooted, confirmSent](const MarluneUnit &entry) {
            const MarluneUnit unit = current->value(entry.mac);
            confirmUnit(entry.mac, unit, rebooted->contains(unit.mac), confirmSent.get());
        },
        [this, then, confirmSent] {
            port.refreshUnitTable();
            then(*confirmSent);
        });
}

// Walks a copy of a pass's list: each entry not in an exchange, and still in the list, is
// handed to step. A long list is walked kUnitsPerTurn entries per event-loop turn, so that a
// pass over a thousand units leaves the window room between its slices; an exchange that ends
// meanwhile may have taken its unit off the list, and the unit is then not handled again.
void PipelinePasses::walkPass(const QList<MarluneUnit> &listed, QList<MarluneUnit> walked,
                              const std::function<void(const MarluneUnit &)> &step, const std::function<void()> &done,
                              qsizetype from)
{
    // walked is a copy: a step may take entries off the list being walked.
    const qsizetype end = sliceEnd(walked.size(), from);
    QSet<QString> stillListed;
    for (const MarluneUnit &unit : listed)
        stillListed.insert(unit.mac);
    for (qsizetype i = from; i < end; ++i) {
        const MarluneUnit &entry = walked.at(i);
        if (!entry.mac.isEmpty() && !exchanges.busy(entry.mac) && stillListed.contains(entry.mac))
            step(entry);
    }
    if (end < walked.size())
        port.nextTurn([this, &listed, walked, step, done, end] { walkPass(listed, walked, step, done, end); });
    else
        done();
}

// Judges one commanded unit by its current record. It leaves vUnitsConfirm when it is judged,
// or once its confirm command's exchange is over.
void PipelinePasses::confirmUnit(const QString &commandedMac, const MarluneUnit &current, bool rebooted,
                                 bool *confirmSent)
{
    port.getStatus(current, false);

    if (!rebooted) {
        BLOG_AS(kLogSource, kTick) << current.name << "has not rebooted yet";
        return;
    }
    if (!lists.tcpAlive.value(current.ip, false)) {
        BLOG_AS(kLogSource, kTick) << "Cannot confirm yet. Cannot access TCP on" << current.name;
        port.startTcpTest(current);
        return;
    }
    if (current.lastSeen.addSecs(kFreshStatusSecs) < clock.now()) {
        BLOG_AS(kLogSource, kTick) << "Data is stale with" << current.name;
        port.startTcpTest(current);
        return;
    }
    BLOG_AS(kLogSource, kTick) << "Checking Confirmation of" << current.name;
    // The operator's EDID choice as it stands now, when the unit is judged.
    const bool resetEdid = port.resetEdidTicked();
    if (current.updateStatus != 0) {
        *confirmSent = true;
        const auto starting = [this, current] { teller.tell(UnitStep::Confirming, current); };
        const auto sent = [this, commandedMac, current, resetEdid](const QByteArray &) {
            // The out-of-sync pass waits 10 seconds from here: after the command, not before it.
            lists.lastConfirmTime = clock.now();
            if (takeEntry(lists.vUnitsConfirm, commandedMac)) {
                finishConfirmed(current, resetEdid, UnitStep::Confirmed);
                port.refreshUnitTableSoon();
            }
        };
        exchanges.exchange(current, QByteArrayLiteral("setSettings:confirmUpdate\r"), starting, sent);
        return;
    }
    BLOG_AS(kLogSource, kTick) << "Confirm update is " << 0 << " should I confirm anyway?";
    takeEntry(lists.vUnitsConfirm, commandedMac);
    finishConfirmed(current, resetEdid,
                    packages.unitMatchesPackage(current) ? UnitStep::ConfirmedElsewhere : UnitStep::NotApplied);
}

// The unit leaves vUnitsConfirm judged: step tells how (confirmed, found confirmed by another
// device, or not updated).
void PipelinePasses::finishConfirmed(const MarluneUnit &unit, bool resetEdid, UnitStep step)
{
    if (lists.runs.contains(unit.mac)) {
        UnitRun &run = lists.runs[unit.mac];
        run.confirmed = clock.now();
        run.overdue = Overdue::None;
        // A unit queued again after an update is still in vUnitsRebooted from that one, and is
        // judged as soon as its status is fresh: then no reboot of this attempt was seen.
        run.judgedOnEarlierReboot = run.rebootSeenMs < 0;
    }
    const bool edidFollows = unit.isEncoder() && resetEdid;
    if (edidFollows)
        lists.vUnitsEDID.append(unit);
    else
        lists.vUnitsFinished.append(unit);
    UnitEvent judged = teller.eventFor(step, unit);
    judged.software = unit.swversion;
    judged.web = unit.webversion;
    judged.edidFollows = edidFollows;
    judged.withPackageDates = packages.unitMatchesPackage(unit);
    teller.tell(judged);
}

// Every queued unit is told to fetch its image from this workstation; the exchanges run side by
// side, and each unit moves on to vUnitsConfirm once its own is over. True when there were
// queued units, which ends the tick.
bool PipelinePasses::commandQueuedUnits()
{
    if (lists.vUnitsUpdate.isEmpty())
        return false;
    if (!lists.rollout.plan.isDefault())
        return commandUnitsOfPlan();
    BLOG_AS(kLogSource, kTick) << "Checking vUnitsUpdate";
    const QList<MarluneUnit> queued = lists.vUnitsUpdate;
    for (const MarluneUnit &unit : queued) {
        if (unit.mac.isEmpty() || exchanges.busy(unit.mac))
            continue;
        commandUnit(unit);
    }
    port.refreshUnitTable();
    return true;
}

// The plan decides which of the batch's queued units go now; the others wait, and a queued unit
// outside the batch (FOREVER mode) goes as usual. The tick ends here as it would without a plan,
// unless the batch is halted and nothing went: held units do not hold up the out-of-sync pass.
bool PipelinePasses::commandUnitsOfPlan()
{
    BLOG_AS(kLogSource, kTick) << "Checking vUnitsUpdate" << lists.rollout.plan.text();
    const RolloutGlue::Turn turn = rollout.takeTurn();
    const QList<MarluneUnit> queued = lists.vUnitsUpdate;
    bool commanded = false;
    for (const MarluneUnit &unit : queued) {
        if (unit.mac.isEmpty() || exchanges.busy(unit.mac)
            || (turn.inBatch.contains(unit.mac) && !turn.allowed.contains(unit.mac)))
            continue;
        commandUnit(unit);
        commanded = true;
    }
    if (commanded || turn.waitingChanged)
        port.refreshUnitTable();
    return commanded || !turn.halted;
}

// The command names this workstation's address on the unit's subnet (or on a video server's
// second interface); without one the unit is warned about and commanded all the same. The log
// lines and the unit's command time are written when its exchange begins (a large fleet's
// exchanges wait their turn), so that the pass itself stays short.
void PipelinePasses::commandUnit(const MarluneUnit &unit)
{
    QString address = port.localAddressFor(unit);
    if (address.isEmpty() && unit.isVod())
        address = port.localAddressFor(unit.eth1_ipAddr, unit.eth1_netMask);
    const QString command = QStringLiteral("setSettings:updateUnit:") + address + QLatin1Char('\r');
    const auto starting = [this, unit, command, inSubnet = !address.isEmpty()] {
        if (!inSubnet)
            port.toStatusLog(kUpdater, QStringLiteral("Warning! Not in subnet: ") + nameAndIp(unit));
        UnitRun &run = ledger.runFor(unit);
        run.startAttempt();
        run.commanded = clock.now();
        run.commandedMs = clock.steadyMs();
        const UpdatePackage *package = packages.packageForFetch(unit);
        run.packageFile = package ? package->newFilename : QString();
        UnitEvent commanding = teller.eventFor(UnitStep::Commanding, unit);
        commanding.detail = command.trimmed().section(QLatin1Char(':'), 2);
        commanding.package = run.packageFile;
        commanding.packageSha256 = package ? package->imageSha256 : QString();
        commanding.canary = run.canary;
        teller.tell(commanding);
        lists.updateCommanded = true;
        lists.lastUpdateCommandTime = clock.now();
        BLOG_AS(kLogSource, kTick) << "command:" << command << unit.ip;
        lists.serverContacted = true;
        commandRunning.insert(unit.mac, unit.ip);
        downWhileCommanded.remove(unit.mac);
    };
    exchanges.exchange(unit, command.toLatin1(), starting, [this, unit](const QByteArray &) {
        commandRunning.remove(unit.mac);
        const bool foundDown = downWhileCommanded.remove(unit.mac);
        // A unit the operator took off the list meanwhile is not waited for.
        if (!takeEntry(lists.vUnitsUpdate, unit.mac))
            return;
        lists.vUnitsConfirm.append(unit);
        // The command went out: unless no connection could be made (told by exchangeFailed,
        // before this), the unit had it to read.
        const auto run = lists.runs.constFind(unit.mac);
        if (run == lists.runs.cend() || !run->commandUnread)
            teller.tell(UnitStep::Commanded, unit);
        // A test that found it down while the command went out counts now, as it would have
        // had the unit been waited for already.
        if (foundDown)
            markRebooted(unit);
        port.refreshUnitTableSoon();
    });
}

// Confirms units that report a pending update nobody is waiting for (updated by an earlier run,
// or whose pipeline entry was lost), and saves trial IP settings. Waits 10 seconds after the
// first tick and after the latest confirm command.
void PipelinePasses::confirmOutOfSyncUnits()
{
    if (lists.vUnits.isEmpty() || !lists.vUnitsConfirm.isEmpty()
        || !(lists.lastConfirmTime.addSecs(kOutOfSyncDelaySecs) < clock.now()))
        return;
    const QList<MarluneUnit> listed = lists.vUnits;
    // Sends the command to every listed unit whose flag is set, each MAC once; true when it went
    // to any. A unit that reports both flags gets the confirm, then the ipsave, in that order:
    // the second waits for the first exchange, as does a message to a unit whose EDID reset
    // went out earlier in this tick.
    const auto sendToFlagged = [&](quint32 MarluneUnit::*flag, const QString &what, const QByteArray &command) {
        bool sent = false;
        QSet<QString> sentTo;
        for (const MarluneUnit &unit : listed) {
            if (unit.*flag == 0 || exchanges.leftAlone(unit.mac) || sentTo.contains(unit.mac))
                continue;
            sentTo.insert(unit.mac);
            exchanges.exchange(
                unit, command, [this, what, unit] { port.toStatusLog(kUpdater, what + nameAndIp(unit)); }, nullptr);
            sent = true;
        }
        return sent;
    };
    const bool confirmed = sendToFlagged(&MarluneUnit::updateStatus, QStringLiteral("Confirming update (out-of-sync) "),
                                         QByteArrayLiteral("setSettings:confirmUpdate\r"));
    const bool saved = sendToFlagged(&MarluneUnit::ipTrial, QStringLiteral("Confirming IP "),
                                     QByteArrayLiteral("setSettings:ipsave\r"));
    if (confirmed || saved)
        port.refreshUnitTable();
}
