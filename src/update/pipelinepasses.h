#pragma once

#include "units/marluneunit.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

class EventTeller;
class ExchangeSerialiser;
class PackageCatalogue;
class PipelineClock;
class PipelinePort;
class RolloutGlue;
class RunLedger;
struct PipelineState;
enum class UnitStep;

// The passes of a tick, each of which moves units one step along queued -> commanded ->
// rebooted -> confirmed (-> EDID reset) -> finished. The tick runner calls them in their order;
// commands go out through the exchange serialiser, steps are told through the teller. The
// passes that send commands (EDID reset, confirm, update command, out-of-sync) are in
// commandpasses.cpp, the others in pipelinepasses.cpp.
class PipelinePasses final
{
public:
    PipelinePasses(PipelinePort &port, PipelineState &lists, const PackageCatalogue &packages,
                   const PipelineClock &clock, EventTeller &teller, ExchangeSerialiser &exchanges, RunLedger &ledger,
                   RolloutGlue &rollout);
    PipelinePasses(const PipelinePasses &) = delete;
    PipelinePasses &operator=(const PipelinePasses &) = delete;

    void warnAboutPowerOff();
    void markOverdueUnits();
    // FOREVER mode; true when a unit was re-queued, which ends the tick.
    bool requeueForeverUnit();
    // polled is a copy: a status query over TCP lets events run, which may change the list.
    void pollUnits(QList<MarluneUnit> polled, const std::function<void()> &then, qsizetype from = 0,
                   bool someoneOffline = false);
    void mergeIncoming(const std::function<void()> &then);
    void resetEdids();
    void noteRebootedUnits();
    void retestUnitsFoundDown();
    // The confirm pass; then learns whether a confirm command was sent.
    void confirmRebootedUnits(const std::function<void(bool)> &then);
    // The command pass; true when the tick ends here.
    bool commandQueuedUnits();
    void confirmOutOfSyncUnits();

    // A reachability test found this address down: a commanded unit there has gone down to
    // reboot, and one whose update command is going out counts once its exchange is over.
    void unitFoundDown(const QString &ip);
    // The unit's update command's exchange is running.
    bool commandGoingOut(const QString &mac) const { return commandRunning.contains(mac); }
    // MAC of a unit named (by MAC or by upper-case name) in FOREVER.txt, else "".
    QString foreverKey(const MarluneUnit &unit) const;

private:
    bool edidResetDone(const MarluneUnit &unit, const QByteArray &reply);
    // The walk of one pass over its list (a member of lists, which must outlive the walk).
    void walkPass(const QList<MarluneUnit> &listed, QList<MarluneUnit> walked,
                  const std::function<void(const MarluneUnit &)> &step, const std::function<void()> &done,
                  qsizetype from = 0);
    void confirmUnit(const QString &commandedMac, const MarluneUnit &current, bool rebooted, bool *confirmSent);
    // resetEdid: "Reset Encoder EDID" as it was ticked when the unit was judged.
    void finishConfirmed(const MarluneUnit &unit, bool resetEdid, UnitStep step);
    // With a rollout plan: commands the queued units the plan lets go now. True when the tick ends.
    bool commandUnitsOfPlan();
    void commandUnit(const MarluneUnit &unit);
    // A commanded unit was seen going down: its entry in vUnitsRebooted is replaced.
    void markRebooted(const MarluneUnit &unit);

    PipelinePort &port;
    PipelineState &lists;
    const PackageCatalogue &packages;
    const PipelineClock &clock;
    EventTeller &teller;
    ExchangeSerialiser &exchanges;
    RunLedger &ledger;
    RolloutGlue &rollout;
    // Units whose update command's exchange is running (MAC to IP), and those of them that a
    // reachability test found down meanwhile: they are not in vUnitsConfirm yet, and the result
    // must not be lost (it counts once their exchange is over).
    QHash<QString, QString> commandRunning;
    QSet<QString> downWhileCommanded;
};
