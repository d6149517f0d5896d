#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/pipelineport.h"
#include "update/pipelinesupport.h"
#include "update/unitevent.h"
#include "update/unitstatus.h"

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";

using namespace PipelineSupport;

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

// A unit judged was sent its confirm command, or had nothing to confirm: it reports no pending
// update from now on, and its status is the verdict's.
static bool judgedStep(UnitStep step)
{
    return step == UnitStep::Confirmed || step == UnitStep::ConfirmedElsewhere || step == UnitStep::NotApplied;
}

void UpdatePipeline::tell(UnitStep step, const MarluneUnit &unit)
{
    tell(eventFor(step, unit));
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
