#include "updatepipeline.h"

#include "update/pipelinesupport.h"


using namespace PipelineSupport;

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
