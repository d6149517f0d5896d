#pragma once

#include "update/unitevent.h"

#include <QList>
#include <QString>

class MarluneUnit;
class PackageCatalogue;
class PipelineClock;
class PipelineIndex;
class PipelinePort;
struct PipelineState;

// Tells the steps of units through the port, each stamped with the unit's batch, the pipeline's
// clocks and the status the unit has right after the step.
class EventTeller final
{
public:
    EventTeller(PipelinePort &port, const PipelineState &lists, const PackageCatalogue &packages,
                const PipelineClock &clock);
    EventTeller(const EventTeller &) = delete;
    EventTeller &operator=(const EventTeller &) = delete;

    // While one lives, the steps told are gathered and told when the outermost one ends.
    class Telling
    {
    public:
        explicit Telling(EventTeller &teller);
        ~Telling();
        Telling(const Telling &) = delete;
        Telling &operator=(const Telling &) = delete;

    private:
        EventTeller &teller;
        QList<UnitEvent> events;
    };

    // An event of this step of the unit, stamped with its batch and the pipeline's clocks.
    UnitEvent eventFor(UnitStep step, const MarluneUnit &unit) const;
    void tell(UnitStep step, const MarluneUnit &unit);
    void tell(const UnitEvent &event);

private:
    // The listed unit's status text as the table shows it now (updateCleared: once its pending
    // update is confirmed); "" for a unit not listed.
    QString statusOf(const QString &mac, bool updateCleared, const PipelineIndex &index) const;

    PipelinePort &port;
    const PipelineState &lists;
    const PackageCatalogue &packages;
    const PipelineClock &clock;
    // The steps a Telling gathers, while one lives.
    QList<UnitEvent> *gathering = nullptr;
};
