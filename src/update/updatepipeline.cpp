#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/pipelineport.h"
#include "update/unitevent.h"
#include "update/unitstatus.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <memory>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";
static const char kTick[] = "MainWindow::refreshTimerTimeout";
static const char kUpdateButton[] = "MainWindow::on_updateButton_clicked";
static const char kFileSession[] = "MainWindow::newSession";

namespace {

constexpr int kFreshStatusSecs = 15;
constexpr int kOutOfSyncDelaySecs = 10;
constexpr int kEdidAttempts = 3;
// Fleets larger than this are ticked over several event-loop turns: kUnitsPerTurn units are
// polled or walked by a pass, or kRecordsPerTurn replies merged, per turn.
constexpr qsizetype kUnitsTickedAtOnce = 250;
constexpr qsizetype kUnitsPerTurn = 100;
constexpr qsizetype kRecordsPerTurn = 500;
// FOREVER.txt holds a few MACs or names; anything beyond this is not read.
constexpr qint64 kForeverFileLimit = 64 * 1024;

const QString kUpdater = QStringLiteral("Updater");

// Where the slice of a list walked from `from` ends: a short list is walked whole.
qsizetype sliceEnd(qsizetype size, qsizetype from)
{
    return size <= kUnitsTickedAtOnce ? size : qMin(size, from + kUnitsPerTurn);
}

QString nameAndIp(const MarluneUnit &unit)
{
    return unit.name + QStringLiteral(" (") + unit.ip + QStringLiteral(")");
}

// Removes the first entry with this MAC; false when there is none (the operator took the unit
// off the list, or retried it, while its exchange ran).
bool takeEntry(QList<MarluneUnit> &list, const QString &mac)
{
    const auto found = std::find_if(list.begin(), list.end(), [&mac](const MarluneUnit &unit) { return unit.mac == mac; });
    if (found == list.end())
        return false;
    list.erase(found);
    return true;
}

} // namespace

void removeUnitByMac(const QString &mac, QList<MarluneUnit> &list)
{
    // Matching entries are cleared, then every cleared (blank) entry goes, as after a walk.
    list.removeIf([&mac](const MarluneUnit &unit) { return unit.mac == mac || unit.mac.isEmpty(); });
}

UpdatePipeline::UpdatePipeline(PipelinePort &port) : port(port)
{
    sinceStart.start();
}

void UpdatePipeline::setClock(Clock newClock)
{
    clock = std::move(newClock);
}

QDateTime UpdatePipeline::now() const
{
    return clock ? clock() : QDateTime::currentDateTime();
}

void UpdatePipeline::setSteadyClock(SteadyClock newClock)
{
    steadyClock = std::move(newClock);
}

qint64 UpdatePipeline::steadyMs() const
{
    return steadyClock ? steadyClock() : sinceStart.elapsed();
}

// Ticks never overlap: a modal box opened during a tick lets events run, timer ticks among them,
// and a second tick started meanwhile would repeat the first one's once-only steps.
void UpdatePipeline::refreshTimerTimeout()
{
    if (tickRunning) {
        BLOG << "tick skipped: the previous tick is still under way";
        return;
    }
    tickRunning = true;
    ++tickNumber;
    port.enableButtons();
    if (!lists.lastConfirmTime.isValid())
        lists.lastConfirmTime = now();

    warnAboutPowerOff();
    markOverdueUnits();
    if (requeueForeverUnit()) {
        tickRunning = false;
        return;
    }
    pollUnits(lists.vUnits, [this] {
        continueTick([this] {
            mergeIncoming([this] {
                discoverOrRedraw();
                resetEdids();
                noteRebootedUnits();
                retestUnitsFoundDown();
                continueTick([this] {
                    confirmRebootedUnits([this](bool confirmSent) {
                        if (!confirmSent && !commandQueuedUnits())
                            confirmOutOfSyncUnits();
                        tickRunning = false;
                    });
                });
            });
        });
    });
}

// A tick over a large fleet goes on in the next event-loop turn: polling a thousand units,
// merging their replies and the passes over them each take a while, and the window must not
// wait for all three at once. A smaller fleet's tick runs in one go.
void UpdatePipeline::continueTick(std::function<void()> rest)
{
    if (lists.vUnits.size() > kUnitsTickedAtOnce)
        port.nextTurn(std::move(rest));
    else
        rest();
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

// While "Discovering..." shows, each tick repeats the broadcast and the table waits.
void UpdatePipeline::discoverOrRedraw()
{
    if (port.discovering())
        port.discover();
    else if (lists.tableDirty)
        port.refreshUnitTable();
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

void UpdatePipeline::exchange(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
                              PipelinePort::ExchangeDone then)
{
    const auto found = busy.find(unit.mac);
    if (found != busy.end()) {
        found->following.append([this, unit, command, starting = std::move(starting), then = std::move(then)] {
            send(unit, command, starting, then);
        });
        return;
    }
    busy.insert(unit.mac, UnitExchanges{tickNumber, {}});
    send(unit, command, std::move(starting), std::move(then));
}

void UpdatePipeline::send(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
                          PipelinePort::ExchangeDone then)
{
    // The note of the unit's last failed exchange stands until this one begins.
    const auto beginning = [this, mac = unit.mac, starting = std::move(starting)] {
        if (lists.exchangeFailures.remove(mac))
            port.refreshUnitTableSoon();
        if (starting)
            starting();
    };
    port.sendConfig(unit, command, beginning, [this, mac = unit.mac, then = std::move(then)](const QByteArray &reply) {
        if (then)
            then(reply);
        // The next message to the unit, if one waits; else the unit is free.
        const auto found = busy.find(mac);
        if (found == busy.end())
            return;
        if (found->following.isEmpty()) {
            busy.erase(found);
            return;
        }
        const std::function<void()> next = found->following.takeFirst();
        next();
    });
}

bool UpdatePipeline::leftAlone(const QString &mac) const
{
    const auto found = busy.constFind(mac);
    return found != busy.cend() && found->tick != tickNumber;
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

void UpdatePipeline::testFinished(const QString &ip, bool result)
{
    lists.tcpAlive[ip] = result;
    if (result)
        return;
    const QList<MarluneUnit> commanded = lists.vUnitsConfirm;
    for (const MarluneUnit &unit : commanded) {
        if (unit.ip == ip)
            markRebooted(unit);
    }
    for (auto running = commandRunning.cbegin(); running != commandRunning.cend(); ++running) {
        if (running.value() == ip) {
            BLOG << ip << "found down while its update command went out";
            downWhileCommanded.insert(running.key());
        }
    }
}

void UpdatePipeline::markRebooted(const MarluneUnit &unit)
{
    removeUnitByMac(unit.mac, lists.vUnitsRebooted);
    lists.vUnitsRebooted.append(unit);
    noteRebootSeen(unit.mac);
}

bool UpdatePipeline::queueForUpdate(const QStringList &macs)
{
    const Telling telling(*this);
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
            UnitRun &run = runFor(unit);
            run.removed = false;
            // What the cell showed of its last attempt (a broken-off transfer) is over.
            run.clearShown();
            run.rolloutPlan = lists.rollout.plan.text();
            run.held = false;
            run.takenOut = false;
            if (!inBatch.contains(mac)) {
                inBatch.insert(mac);
                lists.batch.append(mac);
            }
            lists.batchOfUnit.insert(mac, lists.batchNumber);
            // Its dates as it stands now, before this batch's update.
            UnitEvent queued = eventFor(UnitStep::Queued, unit);
            queued.software = unit.swversion;
            queued.web = unit.webversion;
            queued.plan = run.rolloutPlan;
            tell(queued);
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
    lists.batchStarted = now();
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
            tell(UnitStep::Removed, *listed);
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

// The image is chosen from what is known of the unit at that address, never from the path it
// asks for.
QString UpdatePipeline::fileNameForPeer(const QString &peer) const
{
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    const UpdatePackage *package = requester ? packages.packageForFetch(*requester) : nullptr;
    if (!package) {
        BLOG_AS(kLogSource, kFileSession) << "fileRequest" << QString();
        return QString();
    }
    return package->newFilename;
}

QString UpdatePipeline::noImageReason(const QString &peer) const
{
    const QString head = QStringLiteral("No image for ") + peer + QStringLiteral(": ");
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    if (!requester)
        return head + QStringLiteral("it is not a listed unit.");
    if (!packages.packageForFetch(*requester))
        return head + QStringLiteral("no package here is for this unit.");
    return head + QStringLiteral("its package has no image file.");
}

const MarluneUnit *UpdatePipeline::unitAtPeer(const QString &peer) const
{
    const auto byEitherAddress = [&peer](const MarluneUnit &unit) {
        return unit.ip == peer || unit.eth1_ipAddr == peer;
    };
    const auto found = std::find_if(lists.vUnits.cbegin(), lists.vUnits.cend(), byEitherAddress);
    return found == lists.vUnits.cend() ? nullptr : &*found;
}

QString UpdatePipeline::recordFetch(const QString &peer, qint64 size, const QString &file)
{
    const MarluneUnit *fetched = unitAtPeer(peer);
    if (!fetched) {
        BLOG_AS(kLogSource, kFileSession) << "did not recognize" << peer;
        tellTransfer(UnitStep::Fetched, nullptr, peer, file, size, size);
        return QString();
    }
    lists.vUnitsUpdateFetched.append(*fetched);
    lists.fetchTimeByMac[fetched->mac] = now();
    BLOG_AS(kLogSource, kFileSession) << "recognized " << fetched->name;
    const auto run = lists.runs.find(fetched->mac);
    if (run != lists.runs.end()) {
        run->fetching = false;
        run->brokeOffPercent = -1;
        if (size > 0)
            run->bytesServed = run->imageSize = size;
        run->fetched = now();
        run->fetchedMs = steadyMs();
    }
    const QString mac = fetched->mac;
    tellTransfer(UnitStep::Fetched, fetched, peer, file, size, size);
    return mac;
}

// A transfer step, told with the address the unit fetched from (a video server's second
// interface too). A peer that is no listed unit has its status-log line all the same.
void UpdatePipeline::tellTransfer(UnitStep step, const MarluneUnit *unit, const QString &peer, const QString &file,
                                  qint64 bytes, qint64 size, FetchCut cut, int stallSecs)
{
    UnitEvent event = unit ? eventFor(step, *unit) : UnitEvent();
    event.step = step;
    event.ip = peer;
    event.detail = file;
    event.bytes = bytes;
    event.size = size;
    event.cut = cut;
    event.stallSecs = stallSecs;
    tell(event);
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

QString UpdatePipeline::recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        const bool begun = !run->fetching;
        run->fetching = true;
        run->brokeOffPercent = -1;
        run->bytesServed = sent;
        run->imageSize = size;
        tellTransfer(begun ? UnitStep::FetchBegun : UnitStep::FetchProgress, unitAtPeer(peer), peer, file, sent, size);
    }
    return mac;
}

QString UpdatePipeline::recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file,
                                             FetchCut cut, int stallSecs)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        run->fetching = false;
        run->bytesServed = sent;
        run->imageSize = size;
        run->brokeOffPercent = run->percentServed();
    }
    tellTransfer(UnitStep::FetchCut, unitAtPeer(peer), peer, file, sent, size, cut, stallSecs);
    return mac;
}

void UpdatePipeline::exchangeFailed(const MarluneUnit &unit, const QString &note, const QString &message,
                                    bool reachedUnit)
{
    // A unit the operator took off the list meanwhile is not spoken of.
    if (!findUnit(lists.vUnits, &MarluneUnit::mac, unit.mac))
        return;
    if (commandRunning.contains(unit.mac)) {
        // Its update command: without a connection the unit never read it, and nothing it does
        // later (not answering a test) is a reboot of this update.
        const auto run = lists.runs.find(unit.mac);
        if (run != lists.runs.end())
            run->commandUnread = !reachedUnit;
        UnitEvent unanswered = eventFor(UnitStep::CommandUnanswered, unit);
        unanswered.detail = message;
        unanswered.reachedUnit = reachedUnit;
        tell(unanswered);
    } else {
        port.toStatusLog(unit.ip, message);
    }
    lists.exchangeFailures.insert(unit.mac, note);
    port.refreshUnitTableSoon();
}

// A unit that never read its update command and took no image is not rebooting for it when it
// stops answering: it is only unreachable.
void UpdatePipeline::noteRebootSeen(const QString &mac)
{
    const auto run = lists.runs.find(mac);
    if (run == lists.runs.end() || run->rebootSeen.isValid() || run->commandedMs < 0
        || (run->commandUnread && run->fetchedMs < 0))
        return;
    run->rebootSeen = now();
    run->rebootSeenMs = steadyMs();
    if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac))
        tell(UnitStep::WentDown, *listed);
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

QStringList UpdatePipeline::withdrawQueued()
{
    const Telling telling(*this);
    QStringList withdrawn;
    for (qsizetype i = 0; i < lists.vUnitsUpdate.size();) {
        const QString mac = lists.vUnitsUpdate.at(i).mac;
        if (commandRunning.contains(mac)) {
            ++i;
            continue;
        }
        if (!withdrawn.contains(mac))
            withdrawn.append(mac);
        const MarluneUnit unit = lists.vUnitsUpdate.takeAt(i);
        const auto run = lists.runs.find(mac);
        if (run != lists.runs.end() && !run->takenOut) {
            run->takenOut = true;
            tell(UnitStep::TakenOut, unit);
        }
    }
    // Nothing is held any longer; units queued later into this batch go by its plan again.
    if (lists.rollout.halted)
        ::resumeRollout(lists.rollout, rolloutUnits());
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
    const Telling telling(*this);
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
        UnitEvent queued = eventFor(UnitStep::Queued, unit);
        queued.software = unit.swversion;
        queued.web = unit.webversion;
        queued.plan = lists.rollout.plan.text();
        tell(queued);
    }
    for (const QString &mac : macs) {
        if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac))
            tell(UnitStep::Retried, *listed);
    }
    if (!edidOnly.isEmpty())
        lists.tableDirty = true;
}

UnitEvent UpdatePipeline::eventFor(UnitStep step, const MarluneUnit &unit) const
{
    UnitEvent event;
    event.step = step;
    event.mac = unit.mac;
    event.ip = unit.ip;
    event.name = unit.name;
    event.serial = unit.sn;
    event.type = typeCodeForUnit(unit);
    event.batch = lists.batchOfUnit.value(unit.mac, 0);
    event.time = now();
    event.steadyMs = steadyMs();
    return event;
}

void UpdatePipeline::tell(UnitStep step, const MarluneUnit &unit)
{
    tell(eventFor(step, unit));
}

// A unit judged was sent its confirm command, or had nothing to confirm: it reports no pending
// update from now on, and its status is the verdict's.
static bool judgedStep(UnitStep step)
{
    return step == UnitStep::Confirmed || step == UnitStep::ConfirmedElsewhere || step == UnitStep::NotApplied;
}

void UpdatePipeline::tell(const UnitEvent &event)
{
    if (gathering) {
        gathering->append(event);
        return;
    }
    UnitEvent told = event;
    if (told.step != UnitStep::FetchProgress && !told.mac.isEmpty())
        told.status = statusOf(told.mac, judgedStep(told.step), PipelineIndex(lists, QSet<QString>{told.mac}));
    port.unitEvent(told);
}

// The steps of many units in one pass are told once the pass is done, their statuses looked up
// through one index: a thousand units queued or marked overdue at once cost one walk of the lists.
UpdatePipeline::Telling::Telling(UpdatePipeline &pipeline) : pipeline(pipeline)
{
    if (!pipeline.gathering)
        pipeline.gathering = &events;
}

UpdatePipeline::Telling::~Telling()
{
    if (pipeline.gathering != &events)
        return;
    pipeline.gathering = nullptr;
    if (events.isEmpty())
        return;
    QSet<QString> macs;
    for (const UnitEvent &event : std::as_const(events))
        macs.insert(event.mac);
    const PipelineState &lists = pipeline.lists;
    const PipelineIndex index =
        macs.size() * 4 < lists.vUnits.size() ? PipelineIndex(lists, macs) : PipelineIndex(lists);
    for (UnitEvent &event : events) {
        if (event.step != UnitStep::FetchProgress)
            event.status = pipeline.statusOf(event.mac, judgedStep(event.step), index);
        pipeline.port.unitEvent(event);
    }
}

QString UpdatePipeline::statusOf(const QString &mac, bool updateCleared, const PipelineIndex &index) const
{
    const MarluneUnit *listed = index.firstListed(mac);
    if (!listed)
        return QString();
    if (!updateCleared || listed->updateStatus == 0)
        return unitStatus(*listed, lists, packages, index).text.trimmed();
    MarluneUnit confirmed = *listed;
    confirmed.updateStatus = 0;
    return unitStatus(confirmed, lists, packages, index).text.trimmed();
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
