#pragma once

#include "units/marluneunit.h"
#include "update/pipelineport.h"
#include "update/unitevent.h"

#include <QMap>
#include <QRegularExpression>
#include <QStringList>

#include <functional>
#include <utility>

// The pipeline's outside world for tests: records every call as one line of text and answers
// from a script. Lines: "getStatus IP udp|tcp", "discover", "sendConfig IP COMMAND" (CRs shown
// as "\r"), "startTcpTest IP", "redraw", "redrawSoon", "powerOffWarning", "enableButtons", "rolloutHalted TEXT";
// status-log lines go to `log` as "SOURCE: MESSAGE". A command exchange ends at once with the
// scripted reply, unless exchanges are held.
class RecordingPort final : public PipelinePort
{
public:
    void getStatus(const MarluneUnit &unit, bool useTcp) override
    {
        calls << QStringLiteral("getStatus ") + unit.ip + (useTcp ? QStringLiteral(" tcp") : QStringLiteral(" udp"));
    }
    void discover() override { calls << QStringLiteral("discover"); }
    void sendConfig(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                    ExchangeDone done) override
    {
        if (starting)
            starting();
        calls << QStringLiteral("sendConfig ") + unit.ip + QLatin1Char(' ')
                     + QString::fromLatin1(command).replace(QLatin1Char('\r'), QLatin1String("\\r"));
        const QByteArray reply = replies.value(unit.ip);
        if (holdExchanges)
            held.append([done, reply] { if (done) done(reply); });
        else if (done)
            done(reply);
    }
    // Ends the exchanges held so far, in the order they began.
    void releaseExchanges()
    {
        const QList<std::function<void()>> ending = std::exchange(held, {});
        for (const auto &end : ending)
            end();
    }
    QString localAddressFor(const MarluneUnit &unit) override { return localAddresses.value(unit.ip); }
    QString localAddressFor(const QString &ip, const QString &) override { return localAddresses.value(ip); }
    void startTcpTest(const MarluneUnit &unit) override { calls << QStringLiteral("startTcpTest ") + unit.ip; }
    void toStatusLog(const QString &source, const QString &message) override
    {
        log << source + QStringLiteral(": ") + message;
    }
    // As the core does: the step's status-log line, and the step kept.
    void unitEvent(const UnitEvent &event) override
    {
        if (const auto line = statusLogText(event))
            toStatusLog(line->source, line->message);
        events << event;
    }
    void refreshUnitTable() override { calls << QStringLiteral("redraw"); }
    void refreshUnitTableSoon() override { calls << QStringLiteral("redrawSoon"); }
    void showPowerOffWarning() override { calls << QStringLiteral("powerOffWarning"); }
    void enableButtons() override { calls << QStringLiteral("enableButtons"); }
    void rolloutHalted(const QString &text) override { calls << QStringLiteral("rolloutHalted ") + text; }
    bool statusOverTcp() const override { return overTcp; }
    bool resetEdidTicked() const override { return resetEdid; }
    bool discovering() const override { return discoveringNow; }
    void nextTurn(std::function<void()> work) override { work(); }

    // The calls that start with prefix.
    QStringList callsOf(const QString &prefix) const
    {
        return calls.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
    }

    QStringList calls;
    QStringList log;
    QList<UnitEvent> events;
    // The first reply of a command exchange, by unit IP.
    QMap<QString, QByteArray> replies;
    // The workstation's address on a unit's subnet, by unit IP ("" when none).
    QMap<QString, QString> localAddresses;
    bool overTcp = false;
    bool resetEdid = false;
    bool discoveringNow = false;
    // While set, command exchanges stay under way until releaseExchanges(), as real ones do
    // while their unit answers.
    bool holdExchanges = false;
    QList<std::function<void()>> held;
};
