#include "eventteller.h"

#include "packages/packagecatalogue.h"
#include "units/devicecatalogue.h"
#include "update/pipelineclock.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/unitstatus.h"

#include <QSet>

EventTeller::EventTeller(PipelinePort &port, const PipelineState &lists, const PackageCatalogue &packages,
                         const PipelineClock &clock)
    : port(port), lists(lists), packages(packages), clock(clock)
{
}

UnitEvent EventTeller::eventFor(UnitStep step, const MarluneUnit &unit) const
{
    UnitEvent event;
    event.step = step;
    event.mac = unit.mac;
    event.ip = unit.ip;
    event.name = unit.name;
    event.serial = unit.sn;
    event.type = typeCodeForUnit(unit);
    event.batch = lists.batchOfUnit.value(unit.mac, 0);
    event.time = clock.now();
    event.steadyMs = clock.steadyMs();
    return event;
}

// A unit judged was sent its confirm command, or had nothing to confirm: it reports no pending
// update from now on, and its status is the verdict's.
static bool judgedStep(UnitStep step)
{
    return step == UnitStep::Confirmed || step == UnitStep::ConfirmedElsewhere || step == UnitStep::NotApplied;
}

void EventTeller::tell(UnitStep step, const MarluneUnit &unit)
{
    tell(eventFor(step, unit));
}

void EventTeller::tell(const UnitEvent &event)
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
EventTeller::Telling::Telling(EventTeller &teller) : teller(teller)
{
    if (!teller.gathering)
        teller.gathering = &events;
}

EventTeller::Telling::~Telling()
{
    if (teller.gathering != &events)
        return;
    teller.gathering = nullptr;
    if (events.isEmpty())
        return;
    QSet<QString> macs;
    for (const UnitEvent &event : std::as_const(events))
        macs.insert(event.mac);
    const PipelineState &lists = teller.lists;
    const PipelineIndex index =
        macs.size() * 4 < lists.vUnits.size() ? PipelineIndex(lists, macs) : PipelineIndex(lists);
    for (UnitEvent &event : events) {
        if (event.step != UnitStep::FetchProgress)
            event.status = teller.statusOf(event.mac, judgedStep(event.step), index);
        teller.port.unitEvent(event);
    }
}

QString EventTeller::statusOf(const QString &mac, bool updateCleared, const PipelineIndex &index) const
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
