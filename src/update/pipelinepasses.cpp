#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/unitlookup.h"
#include "update/pipelinesupport.h"

#include <QDir>
#include <QFile>

#include <memory>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";
static const char kTick[] = "MainWindow::refreshTimerTimeout";

namespace {

constexpr int kFreshStatusSecs = 15;
constexpr int kOutOfSyncDelaySecs = 10;
// FOREVER.txt holds a few MACs or names; anything beyond this is not read.
constexpr qint64 kForeverFileLimit = 64 * 1024;

} // namespace

using namespace PipelineSupport;

// Once per run, as soon as there is something to update.
void UpdatePipeline::warnAboutPowerOff()
{
    if (lists.powerWarningShown || lists.vUnits.isEmpty())
        return;
    // Set first: ticks go on while the box is open and must not open another.
    lists.powerWarningShown = true;
    port.showPowerOffWarning();
}

// Each commanded unit is held to the deadline of the step it is in, counted from the step
// before; a change of its mark is logged once and redraws the table.
void UpdatePipeline::markOverdueUnits()
{
    const Telling telling(*this);
    // Measured on the steady clock: a step of the wall clock (a time server's correction, the
    // operator setting the clock) makes no unit late.
    const qint64 time = steadyMs();
    const auto pastDeadline = [time](qint64 since, int seconds) { return time - since > qint64(seconds) * 1000; };
    for (const MarluneUnit &unit : std::as_const(lists.vUnitsConfirm)) {
        const auto run = lists.runs.find(unit.mac);
        if (run == lists.runs.end() || run->commandedMs < 0)
            continue;
        Overdue due = Overdue::None;
        if (run->rebootSeenMs >= 0) {
            if (pastDeadline(run->rebootSeenMs, lists.deadlines.returnSecs))
                due = Overdue::NotBack;
        } else if (run->fetchedMs >= 0) {
            if (pastDeadline(run->fetchedMs, lists.deadlines.rebootSecs))
                due = Overdue::NoReboot;
        } else if (!run->fetching && pastDeadline(run->commandedMs, lists.deadlines.fetchSecs)) {
            due = run->commandUnread ? Overdue::NoAnswer : Overdue::NoFetch;
        }
        if (due == run->overdue)
            continue;
        run->overdue = due;
        lists.tableDirty = true;
        if (due == Overdue::None) {
            tell(UnitStep::NoLongerOverdue, unit);
            continue;
        }
        run->wasOverdue = true;
        UnitEvent late = eventFor(UnitStep::Overdue, unit);
        late.overdue = due;
        late.detail = overdueText(due, lists.deadlines);
        tell(late);
    }
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
    BLOG_AS(kLogSource, kTick) << "foreverMACList" << lists.foreverMACList;
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
// new address, so a discovery burst follows the queries. A thousand queries take a while, so a
// large fleet is polled kUnitsPerTurn units per event-loop turn, from the list as it stood when
// the poll began.
void UpdatePipeline::pollUnits(QList<MarluneUnit> polled, const std::function<void()> &then, qsizetype from,
                               bool someoneOffline)
{
    const qsizetype end = sliceEnd(polled.size(), from);
    const bool overTcp = port.statusOverTcp();
    const QDateTime time = now();
    for (qsizetype i = from; i < end; ++i) {
        const MarluneUnit &unit = polled.at(i);
        port.getStatus(unit, overTcp);
        if (!unit.isOnline(time))
            someoneOffline = true;
    }
    if (end < polled.size())
        return port.nextTurn([this, polled, then, end, someoneOffline] { pollUnits(polled, then, end, someoneOffline); });
    if (someoneOffline)
        port.discover();
    then();
}

// The records admitted since the last tick replace the listed ones with their MAC; new MACs
// are appended and count as reachable until a test says otherwise. A poll of a large fleet
// brings a record or two per unit, and replacing a record frees a large one: they are merged
// kRecordsPerTurn per event-loop turn, oldest first, with records admitted meanwhile after them.
void UpdatePipeline::mergeIncoming(const std::function<void()> &then)
{
    if (lists.vUnitsIncoming.isEmpty())
        return then();
    const qsizetype count = lists.vUnits.size() <= kUnitsTickedAtOnce
                                ? lists.vUnitsIncoming.size()
                                : qMin(lists.vUnitsIncoming.size(), kRecordsPerTurn);
    // Where each MAC is listed (every place, should one be listed twice).
    QHash<QString, QList<qsizetype>> places;
    for (qsizetype i = 0; i < lists.vUnits.size(); ++i)
        places[lists.vUnits.at(i).mac].append(i);
    // The records are large: they are moved, not copied.
    for (qsizetype r = 0; r < count; ++r) {
        MarluneUnit &record = lists.vUnitsIncoming[r];
        const auto found = places.constFind(record.mac);
        if (found != places.cend()) {
            for (qsizetype n = 0; n + 1 < found->size(); ++n)
                lists.vUnits[found->at(n)] = record;
            lists.vUnits[found->last()] = std::move(record);
        } else {
            places[record.mac].append(lists.vUnits.size());
            lists.tcpAlive[record.ip] = true;
            lists.vUnits.append(std::move(record));
        }
        lists.tableDirty = true;
    }
    if (count == lists.vUnitsIncoming.size()) {
        lists.vUnitsIncoming.clear();
        return then();
    }
    lists.vUnitsIncoming.remove(0, count);
    port.nextTurn([this, then] { mergeIncoming(then); });
}

// Every unit waiting for its EDID reset is sent the command, side by side; each leaves the list
// when its reply says it is done.
void UpdatePipeline::resetEdids()
{
    if (lists.vUnitsEDID.isEmpty())
        return;
    const QList<MarluneUnit> waiting = lists.vUnitsEDID;
    for (const MarluneUnit &unit : waiting) {
        if (unit.mac.isEmpty() || busy.contains(unit.mac))
            continue;
        QByteArray command = QByteArrayLiteral("setSettings:resetedid\r");
        if (unit.isGen2FourK())
            command += QByteArrayLiteral("setSettings:resetedidanalog\r");
        const auto starting = [this, unit] { tell(UnitStep::EdidResetting, unit); };
        exchange(unit, command, starting, [this, unit](const QByteArray &reply) {
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
bool UpdatePipeline::edidResetDone(const MarluneUnit &unit, const QByteArray &reply)
{
    bool done = false;
    if (reply.contains("Failed To Reset EDID")) {
        const int attempts = lists.edidAttempts.value(unit.ip, 0) + 1;
        UnitEvent failed = eventFor(UnitStep::EdidFailed, unit);
        failed.attempt = attempts;
        tell(failed);
        lists.edidAttempts[unit.ip] = attempts;
        if (attempts >= kEdidAttempts) {
            tell(UnitStep::EdidAbandoned, unit);
            done = true;
        }
    }
    if (reply.contains("Successfully Reset EDID")) {
        tell(UnitStep::EdidReset, unit);
        done = true;
    }
    return done;
}

// A unit that reports a pending update and answers on TCP has rebooted, whether or not a
// reachability test saw it go down.
void UpdatePipeline::noteRebootedUnits()
{
    const Telling telling(*this);
    if (!lists.vUnitsConfirm.isEmpty()) {
        BLOG_AS(kLogSource, kTick) << "vUnitsConfirm:" << lists.vUnitsConfirm.size() << lists.vUnitsRebooted.size();
        // Each such unit's entries go and its current record is appended, in listing order; when
        // a MAC is listed twice, its last record is the one that stays.
        const auto pending = [this](const MarluneUnit &unit) {
            return unit.updateStatus != 0 && lists.tcpAlive.value(unit.ip, false);
        };
        QHash<QString, qsizetype> lastPending;
        for (qsizetype i = 0; i < lists.vUnits.size(); ++i) {
            if (pending(lists.vUnits.at(i)))
                lastPending.insert(lists.vUnits.at(i).mac, i);
        }
        if (!lastPending.isEmpty()) {
            lists.vUnitsRebooted.removeIf(
                [&lastPending](const MarluneUnit &unit) { return unit.mac.isEmpty() || lastPending.contains(unit.mac); });
        }
        const QList<MarluneUnit> listed = lists.vUnits;
        for (qsizetype i = 0; i < listed.size(); ++i) {
            const MarluneUnit &unit = listed.at(i);
            if (!pending(unit))
                continue;
            if (lastPending.value(unit.mac) == i)
                lists.vUnitsRebooted.append(unit);
            noteRebootSeen(unit.mac);
            const auto run = lists.runs.find(unit.mac);
            if (run != lists.runs.end() && run->rebootSeenMs >= 0 && !run->backSeen) {
                run->backSeen = true;
                tell(UnitStep::Back, unit);
            }
            BLOG_AS(kLogSource, kTick) << "vUnitsRebooted force append:" << unit.name;
        }
    }
    if (lists.vUnitsRebooted.size() != lists.lastRebootedCount) {
        lists.lastRebootedCount = int(lists.vUnitsRebooted.size());
        port.refreshUnitTable();
    }
}

// A unit can fetch its image and go down to reboot before it is waited for, and a reachability
// test may find it down then (before its command went out, when no result counts as a reboot).
// Nothing else tests an address marked down, so each commanded unit that fetched, has not been
// seen rebooting and is marked down is tested again; the result tells that it is rebooting, or
// that it is back.
void UpdatePipeline::retestUnitsFoundDown()
{
    // An address tested a moment ago has its last result delivered at once, which may change
    // the lists.
    const QList<MarluneUnit> commanded = lists.vUnitsConfirm;
    for (const MarluneUnit &unit : commanded) {
        const auto run = lists.runs.constFind(unit.mac);
        if (run != lists.runs.cend() && run->fetched.isValid() && !run->rebootSeen.isValid()
            && !busy.contains(unit.mac) && !lists.tcpAlive.value(unit.ip, false)) {
            BLOG << "Testing" << unit.name << "again: it fetched and was found down before it was waited for";
            port.startTcpTest(unit);
        }
    }
}

// Commanded units that rebooted and answer with a fresh status are confirmed (or found already
// confirmed, or not updated) and leave the pipeline. then learns whether a confirm command was
// sent, which ends the tick.
void UpdatePipeline::confirmRebootedUnits(const std::function<void(bool)> &then)
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
void UpdatePipeline::walkPass(const QList<MarluneUnit> &listed, QList<MarluneUnit> walked,
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
        if (!entry.mac.isEmpty() && !busy.contains(entry.mac) && stillListed.contains(entry.mac))
            step(entry);
    }
    if (end < walked.size())
        port.nextTurn([this, &listed, walked, step, done, end] { walkPass(listed, walked, step, done, end); });
    else
        done();
}

// Judges one commanded unit by its current record. It leaves vUnitsConfirm when it is judged,
// or once its confirm command's exchange is over.
void UpdatePipeline::confirmUnit(const QString &commandedMac, const MarluneUnit &current, bool rebooted,
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
    if (current.lastSeen.addSecs(kFreshStatusSecs) < now()) {
        BLOG_AS(kLogSource, kTick) << "Data is stale with" << current.name;
        port.startTcpTest(current);
        return;
    }
    BLOG_AS(kLogSource, kTick) << "Checking Confirmation of" << current.name;
    // The operator's EDID choice as it stands now, when the unit is judged.
    const bool resetEdid = port.resetEdidTicked();
    if (current.updateStatus != 0) {
        *confirmSent = true;
        const auto starting = [this, current] { tell(UnitStep::Confirming, current); };
        const auto sent = [this, commandedMac, current, resetEdid](const QByteArray &) {
            // The out-of-sync pass waits 10 seconds from here: after the command, not before it.
            lists.lastConfirmTime = now();
            if (takeEntry(lists.vUnitsConfirm, commandedMac)) {
                finishConfirmed(current, resetEdid, UnitStep::Confirmed);
                port.refreshUnitTableSoon();
            }
        };
        exchange(current, QByteArrayLiteral("setSettings:confirmUpdate\r"), starting, sent);
        return;
    }
    BLOG_AS(kLogSource, kTick) << "Confirm update is " << 0 << " should I confirm anyway?";
    takeEntry(lists.vUnitsConfirm, commandedMac);
    finishConfirmed(current, resetEdid,
                    packages.unitMatchesPackage(current) ? UnitStep::ConfirmedElsewhere : UnitStep::NotApplied);
}

// The unit leaves vUnitsConfirm judged: step tells how (confirmed, found confirmed by another
// device, or not updated).
void UpdatePipeline::finishConfirmed(const MarluneUnit &unit, bool resetEdid, UnitStep step)
{
    if (lists.runs.contains(unit.mac)) {
        UnitRun &run = lists.runs[unit.mac];
        run.confirmed = now();
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
    UnitEvent judged = eventFor(step, unit);
    judged.software = unit.swversion;
    judged.web = unit.webversion;
    judged.edidFollows = edidFollows;
    judged.withPackageDates = packages.unitMatchesPackage(unit);
    tell(judged);
}

// Every queued unit is told to fetch its image from this workstation; the exchanges run side by
// side, and each unit moves on to vUnitsConfirm once its own is over. True when there were
// queued units, which ends the tick.
bool UpdatePipeline::commandQueuedUnits()
{
    if (lists.vUnitsUpdate.isEmpty())
        return false;
    if (!lists.rollout.plan.isDefault())
        return commandUnitsOfPlan();
    BLOG_AS(kLogSource, kTick) << "Checking vUnitsUpdate";
    const QList<MarluneUnit> queued = lists.vUnitsUpdate;
    for (const MarluneUnit &unit : queued) {
        if (unit.mac.isEmpty() || busy.contains(unit.mac))
            continue;
        commandUnit(unit);
    }
    port.refreshUnitTable();
    return true;
}

// The command names this workstation's address on the unit's subnet (or on a video server's
// second interface); without one the unit is warned about and commanded all the same. The log
// lines and the unit's command time are written when its exchange begins (a large fleet's
// exchanges wait their turn), so that the pass itself stays short.
void UpdatePipeline::commandUnit(const MarluneUnit &unit)
{
    QString address = port.localAddressFor(unit);
    if (address.isEmpty() && unit.isVod())
        address = port.localAddressFor(unit.eth1_ipAddr, unit.eth1_netMask);
    const QString command = QStringLiteral("setSettings:updateUnit:") + address + QLatin1Char('\r');
    const auto starting = [this, unit, command, inSubnet = !address.isEmpty()] {
        if (!inSubnet)
            port.toStatusLog(kUpdater, QStringLiteral("Warning! Not in subnet: ") + nameAndIp(unit));
        UnitRun &run = runFor(unit);
        run.startAttempt();
        run.commanded = now();
        run.commandedMs = steadyMs();
        const UpdatePackage *package = packages.packageForFetch(unit);
        run.packageFile = package ? package->newFilename : QString();
        UnitEvent commanding = eventFor(UnitStep::Commanding, unit);
        commanding.detail = command.trimmed().section(QLatin1Char(':'), 2);
        commanding.package = run.packageFile;
        commanding.packageSha256 = package ? package->imageSha256 : QString();
        commanding.canary = run.canary;
        tell(commanding);
        lists.updateCommanded = true;
        lists.lastUpdateCommandTime = now();
        BLOG_AS(kLogSource, kTick) << "command:" << command << unit.ip;
        lists.serverContacted = true;
        commandRunning.insert(unit.mac, unit.ip);
        downWhileCommanded.remove(unit.mac);
    };
    exchange(unit, command.toLatin1(), starting, [this, unit](const QByteArray &) {
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
            tell(UnitStep::Commanded, unit);
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
void UpdatePipeline::confirmOutOfSyncUnits()
{
    if (lists.vUnits.isEmpty() || !lists.vUnitsConfirm.isEmpty()
        || !(lists.lastConfirmTime.addSecs(kOutOfSyncDelaySecs) < now()))
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
            if (unit.*flag == 0 || leftAlone(unit.mac) || sentTo.contains(unit.mac))
                continue;
            sentTo.insert(unit.mac);
            exchange(unit, command, [this, what, unit] { port.toStatusLog(kUpdater, what + nameAndIp(unit)); }, nullptr);
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
