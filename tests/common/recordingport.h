#pragma once

#include "units/marluneunit.h"
#include "update/pipelineport.h"

#include <QMap>
#include <QRegularExpression>
#include <QStringList>

#include <functional>

// The pipeline's outside world for tests: records every call as one line of text and answers
// from a script. Lines: "getStatus IP udp|tcp", "discover", "sendConfig IP COMMAND" (CRs shown
// as "\r"), "startTcpTest IP", "redraw", "powerOffWarning", "enableButtons"; status-log lines
// go to `log` as "SOURCE: MESSAGE".
class RecordingPort final : public PipelinePort
{
public:
    void getStatus(const MarluneUnit &unit, bool useTcp) override
    {
        calls << QStringLiteral("getStatus ") + unit.ip + (useTcp ? QStringLiteral(" tcp") : QStringLiteral(" udp"));
    }
    void discover() override { calls << QStringLiteral("discover"); }
    void sendConfig(const MarluneUnit &unit, const QByteArray &command, QByteArray *firstReply) override
    {
        calls << QStringLiteral("sendConfig ") + unit.ip + QLatin1Char(' ')
                     + QString::fromLatin1(command).replace(QLatin1Char('\r'), QLatin1String("\\r"));
        // The reply buffer is only filled when the caller asked for the reply.
        if (firstReply && !firstReply->isEmpty() && replies.contains(unit.ip))
            *firstReply = replies.value(unit.ip);
        if (duringExchange)
            duringExchange();
    }
    QString localAddressFor(const MarluneUnit &unit) override { return localAddresses.value(unit.ip); }
    QString localAddressFor(const QString &ip, const QString &) override { return localAddresses.value(ip); }
    void startTcpTest(const MarluneUnit &unit) override { calls << QStringLiteral("startTcpTest ") + unit.ip; }
    void toStatusLog(const QString &source, const QString &message) override
    {
        log << source + QStringLiteral(": ") + message;
    }
    void refreshUnitTable() override { calls << QStringLiteral("redraw"); }
    void showPowerOffWarning() override { calls << QStringLiteral("powerOffWarning"); }
    void enableButtons() override { calls << QStringLiteral("enableButtons"); }
    bool statusOverTcp() const override { return overTcp; }
    bool resetEdidTicked() const override { return resetEdid; }
    bool discovering() const override { return discoveringNow; }

    // The calls that start with prefix.
    QStringList callsOf(const QString &prefix) const
    {
        return calls.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
    }

    QStringList calls;
    QStringList log;
    // The first reply of a command exchange, by unit IP.
    QMap<QString, QByteArray> replies;
    // The workstation's address on a unit's subnet, by unit IP ("" when none).
    QMap<QString, QString> localAddresses;
    bool overTcp = false;
    bool resetEdid = false;
    bool discoveringNow = false;
    // Runs inside every command exchange, as events do while a real one waits for its unit.
    std::function<void()> duringExchange;
};
