#include "updatepipeline.h"

#include "units/unitlookup.h"

void removeUnitByMac(const QString &mac, QList<MarluneUnit> &list)
{
    // Matching entries are cleared, then every cleared (blank) entry goes, as after a walk.
    list.removeIf([&mac](const MarluneUnit &unit) { return unit.mac == mac || unit.mac.isEmpty(); });
}

UpdatePipeline::UpdatePipeline(PipelinePort &port) : port(port) {}

void UpdatePipeline::testFinished(const QString &ip, bool result)
{
    lists.tcpAlive[ip] = result;
    if (result)
        return;
    passes.unitFoundDown(ip);
}

void UpdatePipeline::exchangeFailed(const MarluneUnit &unit, const QString &note, const QString &message,
                                    bool reachedUnit)
{
    // A unit the operator took off the list meanwhile is not spoken of.
    if (!findUnit(lists.vUnits, &MarluneUnit::mac, unit.mac))
        return;
    if (passes.commandGoingOut(unit.mac)) {
        // Its update command: without a connection the unit never read it, and nothing it does
        // later (not answering a test) is a reboot of this update.
        const auto run = lists.runs.find(unit.mac);
        if (run != lists.runs.end())
            run->commandUnread = !reachedUnit;
        UnitEvent unanswered = teller.eventFor(UnitStep::CommandUnanswered, unit);
        unanswered.detail = message;
        unanswered.reachedUnit = reachedUnit;
        teller.tell(unanswered);
    } else {
        port.toStatusLog(unit.ip, message);
    }
    lists.exchangeFailures.insert(unit.mac, note);
    port.refreshUnitTableSoon();
}
