#include "exchangeserialiser.h"

#include "units/marluneunit.h"
#include "update/pipelinestate.h"

ExchangeSerialiser::ExchangeSerialiser(PipelinePort &port, PipelineState &lists) : port(port), lists(lists) {}

void ExchangeSerialiser::exchange(const MarluneUnit &unit, const QByteArray &command,
                                  PipelinePort::ExchangeStart starting, PipelinePort::ExchangeDone then)
{
    const auto found = units.find(unit.mac);
    if (found != units.end()) {
        found->following.append([this, unit, command, starting = std::move(starting), then = std::move(then)] {
            send(unit, command, starting, then);
        });
        return;
    }
    units.insert(unit.mac, UnitExchanges{tickNumber, {}});
    send(unit, command, std::move(starting), std::move(then));
}

void ExchangeSerialiser::send(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
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
        const auto found = units.find(mac);
        if (found == units.end())
            return;
        if (found->following.isEmpty()) {
            units.erase(found);
            return;
        }
        const std::function<void()> next = found->following.takeFirst();
        next();
    });
}

bool ExchangeSerialiser::leftAlone(const QString &mac) const
{
    const auto found = units.constFind(mac);
    return found != units.cend() && found->tick != tickNumber;
}
