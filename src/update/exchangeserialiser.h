#pragma once

#include "update/pipelineport.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

class MarluneUnit;
struct PipelineState;

// Keeps each unit to one command exchange at a time. Exchanges with different units run side by
// side and outlive the tick that began them; a second message to a busy unit waits for the first
// to be over, as it would in a serial pass.
class ExchangeSerialiser final
{
public:
    ExchangeSerialiser(PipelinePort &port, PipelineState &lists);
    ExchangeSerialiser(const ExchangeSerialiser &) = delete;
    ExchangeSerialiser &operator=(const ExchangeSerialiser &) = delete;

    // A tick begins: exchanges begun from now on are this tick's.
    void tickBegan() { ++tickNumber; }
    // Starts a command exchange with the unit, which is busy until it is over: starting runs when
    // it begins (it may wait its turn), then once it is over. A second message to a unit that is
    // busy goes out once the first exchange is over, as it would in a serial pass.
    void exchange(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
                  PipelinePort::ExchangeDone then);
    // The unit has a command exchange waiting or running.
    bool busy(const QString &mac) const { return units.contains(mac); }
    // The unit is in an exchange that an earlier tick began: the passes leave it alone until it
    // is over. A message of this tick to a unit busy since this tick is queued behind instead.
    bool leftAlone(const QString &mac) const;

private:
    void send(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
              PipelinePort::ExchangeDone then);

    PipelinePort &port;
    PipelineState &lists;
    // Counts the ticks, so that an exchange knows the tick that began it.
    quint64 tickNumber = 0;
    // Units with a command exchange waiting or running, by MAC: the tick that began it, and the
    // messages of that tick that follow it to the same unit.
    struct UnitExchanges
    {
        quint64 tick = 0;
        QList<std::function<void()>> following;
    };
    QHash<QString, UnitExchanges> units;
};
