#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/unitlookup.h"
#include "update/pipelineport.h"
#include "update/unitstatus.h"

#include <QDir>
#include <QFile>

#include <algorithm>

// The pipeline's debug lines belong with the window's: it is the window's engine.
static const char kLogSource[] = "mainwindow";

namespace {

constexpr int kFreshStatusSecs = 15;
constexpr int kOutOfSyncDelaySecs = 10;
constexpr int kEdidAttempts = 3;
// FOREVER.txt holds a few MACs or names; anything beyond this is not read.
constexpr qint64 kForeverFileLimit = 64 * 1024;

const QString kUpdater = QStringLiteral("Updater");

QString nameAndIp(const MarluneUnit &unit)
{
    return unit.name + QStringLiteral(" (") + unit.ip + QStringLiteral(")");
}

// Clears the first entry with this MAC in place, so that a walk by index stays valid; cleared
// entries are erased when the walk is over.
void clearEntry(QList<MarluneUnit> &list, const QString &mac)
{
    for (MarluneUnit &entry : list) {
        if (entry.mac == mac) {
            entry.reset();
            return;
        }
    }
}

void eraseCleared(QList<MarluneUnit> &list)
{
    list.removeIf([](const MarluneUnit &unit) { return unit.mac.isEmpty(); });
}

// Ticks never overlap: sendConfig lets events run while it waits for a unit, and a second
// tick started in that wait would command the same queued units again.
class TickGuard
{
public:
    explicit TickGuard(bool &running) : running(running), entered(!running) { running = true; }
    ~TickGuard()
    {
        if (entered)
            running = false;
    }
    TickGuard(const TickGuard &) = delete;
    TickGuard &operator=(const TickGuard &) = delete;
    bool alreadyRunning() const { return !entered; }

private:
    bool &running;
    bool entered;
};

} // namespace

void removeUnitByMac(const QString &mac, QList<MarluneUnit> &list)
{
    // Matching entries are cleared, then every cleared (blank) entry goes, as after a walk.
    list.removeIf([&mac](const MarluneUnit &unit) { return unit.mac == mac || unit.mac.isEmpty(); });
}

UpdatePipeline::UpdatePipeline(PipelinePort &port) : port(port) {}

void UpdatePipeline::setClock(Clock newClock)
{
    clock = std::move(newClock);
}

QDateTime UpdatePipeline::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

void UpdatePipeline::refreshTimerTimeout()
{
    const TickGuard guard(tickRunning);
    if (guard.alreadyRunning()) {
        BLOG << "tick skipped: the previous tick is still waiting for a unit";
        return;
    }
    port.enableButtons();
    if (!lists.lastConfirmTime.isValid())
        lists.lastConfirmTime = now();

    warnAboutPowerOff();
    markOverdueUnits();
    if (requeueForeverUnit())
        return;
    pollUnits();
    mergeIncoming();
    discoverOrRedraw();
    resetEdids();
    noteRebootedUnits();
    if (confirmRebootedUnits())
        return;
    if (commandQueuedUnits())
        return;
    confirmOutOfSyncUnits();
}

// Once per run, as soon as there is something to update.
void UpdatePipeline::warnAboutPowerOff()
{
    if (lists.powerWarningShown || lists.vUnits.isEmpty())
        return;
    // Set first: ticks go on while the box is open and must not open another.
    lists.powerWarningShown = true;
    port.showPowerOffWarning();
}

// FOREVER mode: units named in FOREVER.txt are updated again and again, one per tick. True when
// a unit was re-queued, which ends the tick.
bool UpdatePipeline::requeueForeverUnit()
{
    QFile foreverFile(QDir::currentPath() + QDir::separator() + QStringLiteral("FOREVER.txt"));
    if (!foreverFile.exists())
        return false;
    const QString text = foreverFile.open(QIODevice::ReadOnly)
                             ? QString::fromLatin1(foreverFile.read(kForeverFileLimit)).simplified().toUpper()
                             : QString();
    lists.foreverMACList = text.isEmpty() ? QStringList() : text.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    BLOG << "foreverMACList" << lists.foreverMACList;
    for (int i = 0; i < lists.vUnitsFinished.size(); ++i) {
        const QString key = foreverKey(lists.vUnitsFinished.at(i));
        if (key.isEmpty())
            continue;
        lists.vUnitsUpdate.append(lists.vUnitsFinished.at(i));
        lists.foreverCount[key] += 1;
        lists.vUnitsFinished.removeAt(i);
        return true;
    }
    return false;
}

QString UpdatePipeline::foreverKey(const MarluneUnit &unit) const
{
    if (lists.foreverMACList.contains(unit.mac) || lists.foreverMACList.contains(unit.name))
        return unit.mac;
    return QString();
}

// Every listed unit is asked for its status; one that has not answered for a while may have a
// new address, so discovery runs again.
void UpdatePipeline::pollUnits()
{
    const QList<MarluneUnit> polled = lists.vUnits;
    const bool overTcp = port.statusOverTcp();
    const QDateTime time = now();
    bool someoneOffline = false;
    for (const MarluneUnit &unit : polled) {
        port.getStatus(unit, overTcp);
        if (!unit.isOnline(time))
            someoneOffline = true;
    }
    if (someoneOffline)
        port.discover();
}

// The records admitted since the last tick replace the listed ones with their MAC; new MACs
// are appended and count as reachable until a test says otherwise.
void UpdatePipeline::mergeIncoming()
{
    for (const MarluneUnit &record : std::as_const(lists.vUnitsIncoming)) {
        bool matched = false;
        for (MarluneUnit &listed : lists.vUnits) {
            if (listed.mac == record.mac) {
                listed = record;
                matched = true;
                lists.tableDirty = true;
            }
        }
        if (!matched) {
            lists.vUnits.append(record);
            lists.tcpAlive[record.ip] = true;
            lists.tableDirty = true;
        }
    }
    lists.vUnitsIncoming.clear();
}

// While "Discovering..." shows, each tick repeats the broadcast and the table waits.
void UpdatePipeline::discoverOrRedraw()
{
    if (port.discovering())
        port.discover();
    else if (lists.tableDirty)
        port.refreshUnitTable();
}

void UpdatePipeline::resetEdids()
{
    if (lists.vUnitsEDID.isEmpty())
        return;
    // By index, re-reading the size: the exchanges let events run, and they may add entries.
    for (int i = 0; i < lists.vUnitsEDID.size(); ++i) {
        const MarluneUnit unit = lists.vUnitsEDID.at(i);
        if (unit.mac.isEmpty())
            continue;
        if (resetEdid(unit)) {
            lists.vUnitsFinished.append(unit);
            clearEntry(lists.vUnitsEDID, unit.mac);
        }
    }
    eraseCleared(lists.vUnitsEDID);
    port.refreshUnitTable();
}

// One EDID reset; true when the unit is done with it (success, or the last failure). A reply
// with neither verdict repeats the command at the next tick without counting an attempt.
bool UpdatePipeline::resetEdid(const MarluneUnit &unit)
{
    QByteArray command = QByteArrayLiteral("setSettings:resetedid\r");
    if (unit.isGen2FourK())
        command += QByteArrayLiteral("setSettings:resetedidanalog\r");
    port.toStatusLog(kUpdater, QStringLiteral("Resetting EDID ") + nameAndIp(unit));
    QByteArray reply = QByteArrayLiteral("Need response");
    port.sendConfig(unit, command, &reply);

    bool done = false;
    if (reply.contains("Failed To Reset EDID")) {
        const int attempts = lists.edidAttempts.value(unit.ip, 0) + 1;
        port.toStatusLog(unit.ip, QStringLiteral("Failed To Reset EDID (") + unit.ip
                                      + QStringLiteral(") ... Updater will try again (") + QString::number(attempts)
                                      + QStringLiteral(" / 3)"));
        lists.edidAttempts[unit.ip] = attempts;
        if (attempts >= kEdidAttempts) {
            port.toStatusLog(kUpdater, QStringLiteral("Updater has abandoned Reset EDID for ") + nameAndIp(unit));
            done = true;
        }
    }
    if (reply.contains("Successfully Reset EDID")) {
        port.toStatusLog(unit.ip, QStringLiteral("Successfully Reset EDID (") + unit.ip + QLatin1Char(')'));
        done = true;
    }
    return done;
}

// A unit that reports a pending update and answers on TCP has rebooted, whether or not a
// reachability test saw it go down.
void UpdatePipeline::noteRebootedUnits()
{
    if (!lists.vUnitsConfirm.isEmpty()) {
        BLOG << "vUnitsConfirm:" << lists.vUnitsConfirm.size() << lists.vUnitsRebooted.size();
        const QList<MarluneUnit> listed = lists.vUnits;
        for (const MarluneUnit &unit : listed) {
            if (unit.updateStatus != 0 && lists.tcpAlive.value(unit.ip, false)) {
                removeUnitByMac(unit.mac, lists.vUnitsRebooted);
                lists.vUnitsRebooted.append(unit);
                noteRebootSeen(unit.mac);
                BLOG << "vUnitsRebooted force append:" << unit.name;
            }
        }
    }
    if (lists.vUnitsRebooted.size() != lists.lastRebootedCount) {
        lists.lastRebootedCount = int(lists.vUnitsRebooted.size());
        port.refreshUnitTable();
    }
}

// Commanded units that rebooted and answer with a fresh status are confirmed (or found already
// confirmed, or not updated) and leave the pipeline. True when a confirm command was sent,
// which ends the tick.
bool UpdatePipeline::confirmRebootedUnits()
{
    if (lists.vUnitsConfirm.isEmpty() || lists.vUnitsRebooted.isEmpty())
        return false;
    bool confirmSent = false;
    for (int i = 0; i < lists.vUnitsConfirm.size(); ++i) {
        const MarluneUnit commanded = lists.vUnitsConfirm.at(i);
        if (commanded.mac.isEmpty())
            continue;
        if (confirmUnit(commanded, &confirmSent))
            clearEntry(lists.vUnitsConfirm, commanded.mac);
    }
    eraseCleared(lists.vUnitsConfirm);
    port.refreshUnitTable();
    return confirmSent;
}

// Judges one commanded unit by its current record; true when it leaves vUnitsConfirm.
bool UpdatePipeline::confirmUnit(const MarluneUnit &commanded, bool *confirmSent)
{
    const MarluneUnit *listed = findLastUnit(lists.vUnits, &MarluneUnit::mac, commanded.mac);
    const MarluneUnit current = listed ? *listed : MarluneUnit();
    port.getStatus(current, false);

    if (!containsMac(lists.vUnitsRebooted, current.mac)) {
        BLOG << current.name << "has not rebooted yet";
        return false;
    }
    if (!lists.tcpAlive.value(current.ip, false)) {
        BLOG << "Cannot confirm yet. Cannot access TCP on" << current.name;
        port.startTcpTest(current);
        return false;
    }
    if (current.lastSeen.addSecs(kFreshStatusSecs) < now()) {
        BLOG << "Data is stale with" << current.name;
        port.startTcpTest(current);
        return false;
    }
    BLOG << "Checking Confirmation of" << current.name;
    if (current.updateStatus != 0) {
        port.toStatusLog(kUpdater, QStringLiteral("Confirming ") + nameAndIp(current));
        QByteArray noReply;
        port.sendConfig(current, QByteArrayLiteral("setSettings:confirmUpdate\r"), &noReply);
        lists.lastConfirmTime = now();
        *confirmSent = true;
    } else {
        BLOG << "Confirm update is " << 0 << " should I confirm anyway?";
        if (packages.unitMatchesPackage(current))
            port.toStatusLog(kUpdater,
                             QStringLiteral("Another device (perhaps K-Director or K-Relay) confirmed the update for ")
                                 + nameAndIp(current));
        else
            port.toStatusLog(kUpdater, QStringLiteral("Update was not applied for ") + nameAndIp(current));
    }
    finishConfirmed(current);
    return true;
}

void UpdatePipeline::finishConfirmed(const MarluneUnit &unit)
{
    if (lists.runs.contains(unit.mac)) {
        UnitRun &run = lists.runs[unit.mac];
        run.confirmed = now();
        run.overdue = Overdue::None;
    }
    if (unit.isEncoder() && port.resetEdidTicked())
        lists.vUnitsEDID.append(unit);
    else
        lists.vUnitsFinished.append(unit);
}

// Every queued unit is told to fetch its image from this workstation. True when there were
// queued units, which ends the tick.
bool UpdatePipeline::commandQueuedUnits()
{
    if (lists.vUnitsUpdate.isEmpty())
        return false;
    BLOG << "Checking vUnitsUpdate";
    for (int i = 0; i < lists.vUnitsUpdate.size(); ++i) {
        const MarluneUnit unit = lists.vUnitsUpdate.at(i);
        if (unit.mac.isEmpty())
            continue;
        commandUnit(unit);
        lists.vUnitsConfirm.append(unit);
        clearEntry(lists.vUnitsUpdate, unit.mac);
    }
    eraseCleared(lists.vUnitsUpdate);
    port.refreshUnitTable();
    return true;
}

// The command names this workstation's address on the unit's subnet (or on a video server's
// second interface); without one the unit is warned about and commanded all the same.
void UpdatePipeline::commandUnit(const MarluneUnit &unit)
{
    QString address = port.localAddressFor(unit);
    if (address.isEmpty() && unit.isVod())
        address = port.localAddressFor(unit.eth1_ipAddr, unit.eth1_netMask);
    if (address.isEmpty())
        port.toStatusLog(kUpdater, QStringLiteral("Warning! Not in subnet: ") + nameAndIp(unit));

    const QString command = QStringLiteral("setSettings:updateUnit:") + address + QLatin1Char('\r');
    port.toStatusLog(kUpdater, QStringLiteral("Commanding ") + nameAndIp(unit));
    UnitRun &run = runFor(unit);
    run.startAttempt();
    run.commanded = now();
    const UpdatePackage *package = packages.packageForFetch(unit);
    run.packageFile = package ? package->newFilename : QString();
    lists.updateCommanded = true;
    lists.lastUpdateCommandTime = now();
    BLOG << "command:" << command << unit.ip;
    QByteArray noReply;
    port.sendConfig(unit, command.toLatin1(), &noReply);
    lists.serverContacted = true;
}

// Confirms units that report a pending update nobody is waiting for (updated by an earlier run,
// or whose pipeline entry was lost), and saves trial IP settings. Waits 10 seconds after the
// first tick and after the latest confirm command.
void UpdatePipeline::confirmOutOfSyncUnits()
{
    if (lists.vUnits.isEmpty() || !lists.vUnitsConfirm.isEmpty()
        || !(lists.lastConfirmTime.addSecs(kOutOfSyncDelaySecs) < now()))
        return;
    const QList<MarluneUnit> listed = lists.vUnits;
    // Sends the command to every listed unit whose flag is set; true when it went to any.
    const auto sendToFlagged = [&](quint32 MarluneUnit::*flag, const QString &what, const QByteArray &command) {
        bool sent = false;
        for (const MarluneUnit &unit : listed) {
            if (unit.*flag == 0)
                continue;
            port.toStatusLog(kUpdater, what + nameAndIp(unit));
            QByteArray noReply;
            port.sendConfig(unit, command, &noReply);
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

void UpdatePipeline::unitChanged(const MarluneUnit &unit)
{
    if (lists.knownUnitsOnly && !containsMac(lists.vUnits, unit.mac))
        return;
    const int admissions = packages.admissions(unit);
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

void UpdatePipeline::testFinished(const QString &ip, bool result)
{
    lists.tcpAlive[ip] = result;
    if (result)
        return;
    const QList<MarluneUnit> commanded = lists.vUnitsConfirm;
    for (const MarluneUnit &unit : commanded) {
        if (unit.ip != ip)
            continue;
        removeUnitByMac(unit.mac, lists.vUnitsRebooted);
        lists.vUnitsRebooted.append(unit);
        noteRebootSeen(unit.mac);
    }
}

bool UpdatePipeline::queueForUpdate(const QStringList &macs)
{
    // A new batch begins when none of the last one is still on its way.
    const bool batchActive = std::any_of(lists.batch.cbegin(), lists.batch.cend(), [this](const QString &mac) {
        return containsMac(lists.vUnitsUpdate, mac) || containsMac(lists.vUnitsConfirm, mac)
               || containsMac(lists.vUnitsEDID, mac);
    });
    if (!batchActive)
        lists.batch.clear();
    QStringList handled;
    bool encoderQueued = false;
    for (const QString &mac : macs) {
        if (handled.contains(mac))
            continue;
        handled.append(mac);
        BLOG << "appending" << mac;
        // A unit anywhere in the active pipeline (queued, commanded, EDID reset) is not queued
        // again: it would be commanded and confirmed twice. A finished unit may be.
        if (containsMac(lists.vUnitsUpdate, mac) || containsMac(lists.vUnitsConfirm, mac)
            || containsMac(lists.vUnitsEDID, mac))
            continue;
        for (const MarluneUnit &unit : std::as_const(lists.vUnits)) {
            if (unit.mac != mac)
                continue;
            lists.vUnitsUpdate.append(unit);
            encoderQueued = encoderQueued || unit.isEncoder();
            runFor(unit).removed = false;
            if (!lists.batch.contains(mac))
                lists.batch.append(mac);
        }
        lists.fetchTimeByMac.remove(mac);
    }
    return encoderQueued;
}

void UpdatePipeline::removeUnits(const QStringList &macs)
{
    for (const QString &mac : macs) {
        removeUnitByMac(mac, lists.vUnits);
        removeUnitByMac(mac, lists.vUnitsUpdateFetched);
        removeUnitByMac(mac, lists.vUnitsIncoming);
        removeUnitByMac(mac, lists.vUnitsConfirm);
        removeUnitByMac(mac, lists.vUnitsFinished);
        removeUnitByMac(mac, lists.vUnitsEDID);
        // A unit the operator took off the list is never commanded.
        removeUnitByMac(mac, lists.vUnitsUpdate);
        lists.fetchTimeByMac.remove(mac);
        lists.edidAttempts.clear();
        lists.batch.removeAll(mac);
        if (lists.runs.contains(mac))
            lists.runs[mac].removed = true;
    }
}

// The image is chosen from what is known of the unit at that address, never from the path it
// asks for.
QString UpdatePipeline::fileNameForPeer(const QString &peer) const
{
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    const UpdatePackage *package = requester ? packages.packageForFetch(*requester) : nullptr;
    if (!package) {
        BLOG << "fileRequest" << QString();
        return QString();
    }
    return package->newFilename;
}

const MarluneUnit *UpdatePipeline::unitAtPeer(const QString &peer) const
{
    const auto byEitherAddress = [&peer](const MarluneUnit &unit) {
        return unit.ip == peer || unit.eth1_ipAddr == peer;
    };
    const auto found = std::find_if(lists.vUnits.cbegin(), lists.vUnits.cend(), byEitherAddress);
    return found == lists.vUnits.cend() ? nullptr : &*found;
}

QString UpdatePipeline::recordFetch(const QString &peer, qint64 size)
{
    const MarluneUnit *fetched = unitAtPeer(peer);
    if (!fetched) {
        BLOG << "did not recognize" << peer;
        return QString();
    }
    lists.vUnitsUpdateFetched.append(*fetched);
    lists.fetchTimeByMac[fetched->mac] = now();
    BLOG << "recognized " << fetched->name;
    const auto run = lists.runs.find(fetched->mac);
    if (run == lists.runs.end())
        return fetched->mac;
    run->fetching = false;
    run->brokeOffPercent = -1;
    if (size > 0)
        run->bytesServed = run->imageSize = size;
    run->fetched = now();
    return fetched->mac;
}

UnitRun &UpdatePipeline::runFor(const MarluneUnit &unit)
{
    if (!lists.runs.contains(unit.mac)) {
        lists.runs[unit.mac].before = unit;
        lists.runOrder.append(unit.mac);
    }
    return lists.runs[unit.mac];
}

UnitRun *UpdatePipeline::runAtPeer(const QString &peer, QString *mac)
{
    const MarluneUnit *unit = unitAtPeer(peer);
    const auto run = unit ? lists.runs.find(unit->mac) : lists.runs.end();
    if (run == lists.runs.end())
        return nullptr;
    *mac = unit->mac;
    return &*run;
}

QString UpdatePipeline::recordProgress(const QString &peer, qint64 sent, qint64 size)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        run->fetching = true;
        run->brokeOffPercent = -1;
        run->bytesServed = sent;
        run->imageSize = size;
    }
    return mac;
}

QString UpdatePipeline::recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        run->fetching = false;
        run->bytesServed = sent;
        run->imageSize = size;
        run->brokeOffPercent = run->percentServed();
    }
    return mac;
}

void UpdatePipeline::noteRebootSeen(const QString &mac)
{
    const auto run = lists.runs.find(mac);
    if (run != lists.runs.end() && !run->rebootSeen.isValid())
        run->rebootSeen = now();
}

// Each commanded unit is held to the deadline of the step it is in, counted from the step
// before; a change of its mark is logged once and redraws the table.
void UpdatePipeline::markOverdueUnits()
{
    const QDateTime time = now();
    for (const MarluneUnit &unit : std::as_const(lists.vUnitsConfirm)) {
        const auto run = lists.runs.find(unit.mac);
        if (run == lists.runs.end() || !run->commanded.isValid())
            continue;
        Overdue due = Overdue::None;
        if (run->rebootSeen.isValid()) {
            if (run->rebootSeen.addSecs(StepDeadlines::kReturnSecs) < time)
                due = Overdue::NotBack;
        } else if (run->fetched.isValid()) {
            if (run->fetched.addSecs(StepDeadlines::kRebootSecs) < time)
                due = Overdue::NoReboot;
        } else if (!run->fetching && run->commanded.addSecs(StepDeadlines::kFetchSecs) < time) {
            due = Overdue::NoFetch;
        }
        if (due == run->overdue)
            continue;
        run->overdue = due;
        lists.tableDirty = true;
        if (due == Overdue::None) {
            port.toStatusLog(unit.ip, QStringLiteral("No longer overdue."));
            continue;
        }
        run->wasOverdue = true;
        port.toStatusLog(unit.ip, overdueText(due) + QLatin1Char('.'));
    }
}

QStringList UpdatePipeline::retryCandidates() const
{
    QStringList macs;
    for (const MarluneUnit &unit : lists.vUnitsConfirm) {
        const auto run = lists.runs.constFind(unit.mac);
        if (run != lists.runs.cend() && run->overdue != Overdue::None && !macs.contains(unit.mac))
            macs.append(unit.mac);
    }
    for (const MarluneUnit &unit : lists.vUnitsFinished) {
        if (!finishedWell(unit, lists, packages) && containsMac(lists.vUnits, unit.mac) && !macs.contains(unit.mac))
            macs.append(unit.mac);
    }
    return macs;
}

void UpdatePipeline::retryUnits(const QStringList &macs)
{
    for (const QString &mac : macs) {
        const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac);
        if (!listed)
            continue;
        port.toStatusLog(kUpdater, QStringLiteral("Retrying the update of ") + nameAndIp(*listed));
        lists.edidAttempts.remove(listed->ip);
        removeUnitByMac(mac, lists.vUnitsConfirm);
        removeUnitByMac(mac, lists.vUnitsRebooted);
        removeUnitByMac(mac, lists.vUnitsEDID);
        removeUnitByMac(mac, lists.vUnitsFinished);
        UnitRun &run = lists.runs[mac];
        run.startAttempt();
        run.retried = true;
    }
    queueForUpdate(macs);
}

void UpdatePipeline::prepareTableRedraw()
{
    lists.tableDirty = false;
    std::sort(lists.vUnits.begin(), lists.vUnits.end());
    for (MarluneUnit &unit : lists.vUnits) {
        const QString key = foreverKey(unit);
        if (!key.isEmpty() && !unit.name.contains(QLatin1Char('[')))
            unit.name += QStringLiteral(" [") + QString::number(lists.foreverCount.value(key, 0)) + QLatin1Char(']');
    }
}
