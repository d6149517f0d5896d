#include "pipelinepasses.h"

#include "app/debuglog.h"
#include "update/eventteller.h"
#include "update/exchangeserialiser.h"
#include "update/pipelineclock.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/pipelinesupport.h"
#include "update/runledger.h"

#include <QDir>
#include <QFile>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick keep that function's name as well.
static const char kLogSource[] = "mainwindow";
static const char kTick[] = "MainWindow::refreshTimerTimeout";

namespace {

// FOREVER.txt holds a few MACs or names; anything beyond this is not read.
constexpr qint64 kForeverFileLimit = 64 * 1024;

} // namespace

using namespace PipelineSupport;

PipelinePasses::PipelinePasses(PipelinePort &port, PipelineState &lists, const PackageCatalogue &packages,
                               const PipelineClock &clock, EventTeller &teller, ExchangeSerialiser &exchanges,
                               RunLedger &ledger, RolloutGlue &rollout)
    : port(port), lists(lists), packages(packages), clock(clock), teller(teller), exchanges(exchanges), ledger(ledger),
      rollout(rollout)
{
}

// Once per run, as soon as there is something to update.
void PipelinePasses::warnAboutPowerOff()
{
    if (lists.powerWarningShown || lists.vUnits.isEmpty())
        return;
    // Set first: ticks go on while the box is open and must not open another.
    lists.powerWarningShown = true;
    port.showPowerOffWarning();
}

// Each commanded unit is held to the deadline of the step it is in, counted from the step
// before; a change of its mark is logged once and redraws the table.
void PipelinePasses::markOverdueUnits()
{
    const EventTeller::Telling telling(teller);
    // Measured on the steady clock: a step of the wall clock (a time server's correction, the
    // operator setting the clock) makes no unit late.
    const qint64 time = clock.steadyMs();
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
            teller.tell(UnitStep::NoLongerOverdue, unit);
            continue;
        }
        run->wasOverdue = true;
        UnitEvent late = teller.eventFor(UnitStep::Overdue, unit);
        late.overdue = due;
        late.detail = overdueText(due, lists.deadlines);
        teller.tell(late);
    }
}

// FOREVER mode: units named in FOREVER.txt are updated again and again, one per tick. True when
// a unit was re-queued, which ends the tick.
bool PipelinePasses::requeueForeverUnit()
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

QString PipelinePasses::foreverKey(const MarluneUnit &unit) const
{
    if (lists.foreverMACList.contains(unit.mac) || lists.foreverMACList.contains(unit.name))
        return unit.mac;
    return QString();
}

// Every listed unit is asked for its status; one that has not answered for a while may have a
// new address, so a discovery burst follows the queries. A thousand queries take a while, so a
// large fleet is polled kUnitsPerTurn units per event-loop turn, from the list as it stood when
// the poll began.
void PipelinePasses::pollUnits(QList<MarluneUnit> polled, const std::function<void()> &then, qsizetype from,
                               bool someoneOffline)
{
    const qsizetype end = sliceEnd(polled.size(), from);
    const bool overTcp = port.statusOverTcp();
    const QDateTime time = clock.now();
    for (qsizetype i = from; i < end; ++i) {
        const MarluneUnit &unit = polled.at(i);
        port.getStatus(unit, overTcp);
        if (!unit.isOnline(time))
            someoneOffline = true;
    }
    if (end < polled.size())
        return port.nextTurn(
            [this, polled, then, end, someoneOffline] { pollUnits(polled, then, end, someoneOffline); });
    if (someoneOffline)
        port.discover();
    then();
}

// The records admitted since the last tick replace the listed ones with their MAC; new MACs
// are appended and count as reachable until a test says otherwise. A poll of a large fleet
// brings a record or two per unit, and replacing a record frees a large one: they are merged
// kRecordsPerTurn per event-loop turn, oldest first, with records admitted meanwhile after them.
void PipelinePasses::mergeIncoming(const std::function<void()> &then)
{
    if (lists.vUnitsIncoming.isEmpty())
        return then();
    const qsizetype count = lists.vUnits.size() <= kUnitsTickedAtOnce
                                ? lists.vUnitsIncoming.size()
                                : qMin(lists.vUnitsIncoming.size(), kRecordsPerTurn);
    // Where each MAC of this turn's records is listed (every place, should one be listed twice):
    // one walk of the listing that looks each entry up among this turn's MACs. (A map of the whole
    // listing, made again each turn, cost more than the rest of a 10,000-unit tick's merge.)
    QHash<QString, QList<qsizetype>> places;
    places.reserve(count);
    for (qsizetype r = 0; r < count; ++r)
        places.insert(lists.vUnitsIncoming.at(r).mac, {});
    for (qsizetype i = 0; i < lists.vUnits.size(); ++i) {
        const auto found = places.find(lists.vUnits.at(i).mac);
        if (found != places.end())
            found->append(i);
    }
    // The records are large: they are moved, not copied.
    for (qsizetype r = 0; r < count; ++r) {
        MarluneUnit &record = lists.vUnitsIncoming[r];
        QList<qsizetype> &place = places[record.mac];
        if (!place.isEmpty()) {
            for (qsizetype n = 0; n + 1 < place.size(); ++n)
                lists.vUnits[place.at(n)] = record;
            lists.vUnits[place.last()] = std::move(record);
        } else {
            place.append(lists.vUnits.size());
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

// A unit that reports a pending update and answers on TCP has rebooted, whether or not a
// reachability test saw it go down.
void PipelinePasses::noteRebootedUnits()
{
    const EventTeller::Telling telling(teller);
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
            lists.vUnitsRebooted.removeIf([&lastPending](const MarluneUnit &unit) {
                return unit.mac.isEmpty() || lastPending.contains(unit.mac);
            });
        }
        const QList<MarluneUnit> listed = lists.vUnits;
        for (qsizetype i = 0; i < listed.size(); ++i) {
            const MarluneUnit &unit = listed.at(i);
            if (!pending(unit))
                continue;
            if (lastPending.value(unit.mac) == i)
                lists.vUnitsRebooted.append(unit);
            ledger.noteRebootSeen(unit.mac);
            const auto run = lists.runs.find(unit.mac);
            if (run != lists.runs.end() && run->rebootSeenMs >= 0 && !run->backSeen) {
                run->backSeen = true;
                teller.tell(UnitStep::Back, unit);
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
void PipelinePasses::retestUnitsFoundDown()
{
    // An address tested a moment ago has its last result delivered at once, which may change
    // the lists.
    const QList<MarluneUnit> commanded = lists.vUnitsConfirm;
    for (const MarluneUnit &unit : commanded) {
        const auto run = lists.runs.constFind(unit.mac);
        if (run != lists.runs.cend() && run->fetched.isValid() && !run->rebootSeen.isValid()
            && !exchanges.busy(unit.mac) && !lists.tcpAlive.value(unit.ip, false)) {
            BLOG << "Testing" << unit.name << "again: it fetched and was found down before it was waited for";
            port.startTcpTest(unit);
        }
    }
}

// A reachability test found the address down: a commanded unit there went down to reboot; one
// whose update command is still going out counts once its exchange is over.
void PipelinePasses::unitFoundDown(const QString &ip)
{
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

void PipelinePasses::markRebooted(const MarluneUnit &unit)
{
    removeUnitByMac(unit.mac, lists.vUnitsRebooted);
    lists.vUnitsRebooted.append(unit);
    ledger.noteRebootSeen(unit.mac);
}
