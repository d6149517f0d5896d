#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class MarluneUnit;
struct UnitEvent;

// Everything the update pipeline asks of the world around it: the units (through the endpoint
// and the reachability tests), the operator (status log, table, questions) and the operator's
// choices on the window. The main window implements it; tests implement it with a fake that
// records each call, so a tick runs without sockets, widgets or waiting.
class PipelinePort
{
public:
    virtual ~PipelinePort() = default;

    // Toward the units.
    virtual void getStatus(const MarluneUnit &unit, bool useTcp) = 0;
    virtual void discover() = 0;
    // Starts one command exchange and returns. Exchanges run side by side, a bounded number at
    // once: starting runs when this one begins, done once it is over, with the unit's first reply
    // ("" when none came). Either may run before this returns.
    using ExchangeStart = std::function<void()>;
    using ExchangeDone = std::function<void(const QByteArray &firstReply)>;
    virtual void sendConfig(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                            ExchangeDone done) = 0;
    // This workstation's IPv4 address on the unit's subnet, or "".
    virtual QString localAddressFor(const MarluneUnit &unit) = 0;
    virtual QString localAddressFor(const QString &ip, const QString &netmask) = 0;
    // Starts a reachability test of the unit's address; its result comes back through
    // UpdatePipeline::testFinished, possibly at once.
    virtual void startTcpTest(const MarluneUnit &unit) = 0;

    // Toward the operator and the record: one step of one unit, as it happened. The port shows it
    // in the status log (the steps that have a line there) and keeps it.
    virtual void unitEvent(const UnitEvent &event) = 0;

    // Toward the operator.
    virtual void toStatusLog(const QString &source, const QString &message) = 0;
    virtual void refreshUnitTable() = 0;
    // A redraw shortly, one for many calls: for changes that come between ticks.
    virtual void refreshUnitTableSoon() = 0;
    // The modal "Power Off Warning" box; returns when the operator has closed it.
    virtual void showPowerOffWarning() = 0;
    // The batch's rollout halted (text says why); the operator is told once, without holding up
    // the tick.
    virtual void rolloutHalted(const QString &text) = 0;
    // Makes the discover and update buttons clickable again.
    virtual void enableButtons() = 0;

    // The operator's choices.
    virtual bool statusOverTcp() const = 0;
    virtual bool resetEdidTicked() const = 0;
    // The "Discovering..." message of the discover button is showing.
    virtual bool discovering() const = 0;

    // Runs work in a later turn of the event loop, after what is waiting there (the window,
    // replies, transfers): a large fleet's tick is taken in parts.
    virtual void nextTurn(std::function<void()> work) = 0;
};
