#pragma once

#include "packages/packagecatalogue.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/unitevent.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class PipelineIndex;

// The update engine: the unit lists of the pipeline, the package catalogue that decides which
// units are listed and which image each fetches, and the refresh tick that moves units one step
// along queued -> commanded -> rebooted -> confirmed (-> EDID reset) -> finished. It runs on the
// GUI thread and reaches the units and the operator only through its PipelinePort.
class UpdatePipeline final
{
public:
    using Clock = std::function<QDateTime()>;
    // Milliseconds on a clock that only moves forward, whatever the wall clock does.
    using SteadyClock = std::function<qint64()>;

    explicit UpdatePipeline(PipelinePort &port);
    UpdatePipeline(const UpdatePipeline &) = delete;
    UpdatePipeline &operator=(const UpdatePipeline &) = delete;

    PipelineState &state() { return lists; }
    const PipelineState &state() const { return lists; }
    PackageCatalogue &catalogue() { return packages; }
    const PackageCatalogue &catalogue() const { return packages; }

    // The time every pipeline decision is taken against; the wall clock unless replaced.
    void setClock(Clock clock);
    QDateTime now() const;
    // The clock the step deadlines are measured on; the process's monotonic clock unless replaced.
    void setSteadyClock(SteadyClock clock);
    qint64 steadyMs() const;

    // One tick: the passes in their order. Command exchanges run side by side and outlive the
    // tick; a unit whose exchange is not over yet is left alone by the passes. A tick that starts
    // while another is still running (a modal box lets events run) is skipped.
    void refreshTimerTimeout();

    // A status record arrived; the package rule decides whether (and how often) it joins
    // vUnitsIncoming. While knownUnitsOnly is set, only listed units are taken.
    void unitChanged(const MarluneUnit &unit);
    // A record offered by the CSV import: an unlisted unit empties the pipeline lists.
    void unitChangedForced(const MarluneUnit &unit);
    // A reachability result: a commanded unit that stopped answering has gone down to reboot.
    void testFinished(const QString &ip, bool result);

    // Queues every listed unit with one of these MACs, each MAC once, unless it is queued
    // already. True when an encoder was queued.
    bool queueForUpdate(const QStringList &macs);
    // Takes every queued unit whose update command has not begun out of the queue; the units stay
    // listed, and their runs stay for the report. Their MACs.
    QStringList withdrawQueued();
    // Takes the units with these MACs off the list and out of the pipeline.
    void removeUnits(const QStringList &macs);

    // The rollout plan the next batch starts with; a batch under way keeps its own.
    void setRolloutPlan(const RolloutPlan &plan) { lists.plan = plan; }
    // Continues a halted batch: its units failed so far no longer count toward a halt. False
    // when it was not halted.
    bool resumeRollout();
    // The units of the current batch in table order, and where each stands for the rollout.
    QList<RolloutUnit> rolloutUnits() const;

    // The image file name the unit at this address is sent, "" for none.
    QString fileNameForPeer(const QString &peer) const;
    // Why the unit at this address is sent no image, for the status log.
    QString noImageReason(const QString &peer) const;
    // A unit at this address (or on its second interface) was sent its whole image (of this
    // size, when known). The unit's MAC, "" for none.
    // Each tells the transfer step (file: the image's name), of a peer that is no unit too.
    QString recordFetch(const QString &peer, qint64 size = 0, const QString &file = QString());
    // The file server handed this much of its image to the unit at this address so far, or its
    // transfer broke off there. The MAC of the unit whose run changed, "" for none.
    QString recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file = QString());
    QString recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file = QString(),
                                 FetchCut cut = FetchCut(0), int stallSecs = 0);

    // A command exchange with the unit brought no reply (note and message from the endpoint):
    // the status log says why, and the unit's row shows the note.
    // reachedUnit: the connection was made, so the unit may have read the message.
    void exchangeFailed(const MarluneUnit &unit, const QString &note, const QString &message, bool reachedUnit = false);

    // The units the operator may retry: overdue ones, and those that finished without their
    // package's dates or gave up their EDID reset.
    QStringList retryCandidates() const;
    // Takes these units out of the pipeline lists and queues them again; the next tick commands
    // them as usual. A unit whose only failure was its EDID reset has its EDID reset again.
    void retryUnits(const QStringList &macs);
    // Some unit of the current batch is queued, commanded or resetting its EDID.
    bool batchOnItsWay() const;
    // Some unit of the current batch is still to be commanded (not held by a halted rollout), is
    // commanded (overdue too: it may still come back), or is resetting its EDID: quitting now
    // leaves it mid-update.
    bool batchInFlight() const;
    // An event of this step of the unit, stamped with its batch and the pipeline's clocks.
    UnitEvent eventFor(UnitStep step, const MarluneUnit &unit) const;

    // Before a table redraw: vUnits in listing order, FOREVER units' names marked with their
    // re-queue count.
    void prepareTableRedraw();
    // MAC of a unit named (by MAC or by upper-case name) in FOREVER.txt, else "".
    QString foreverKey(const MarluneUnit &unit) const;

private:
    // While one lives, the steps told are gathered and told when the outermost one ends.
    class Telling
    {
    public:
        explicit Telling(UpdatePipeline &pipeline);
        ~Telling();
        Telling(const Telling &) = delete;
        Telling &operator=(const Telling &) = delete;

    private:
        UpdatePipeline &pipeline;
        QList<UnitEvent> events;
    };

    void warnAboutPowerOff();
    void markOverdueUnits();
    void noteRebootSeen(const QString &mac);
    // A commanded unit was seen going down: its entry in vUnitsRebooted is replaced.
    void markRebooted(const MarluneUnit &unit);
    const MarluneUnit *unitAtPeer(const QString &peer) const;
    // The unit's run record, begun with its current record when it has none yet.
    UnitRun &runFor(const MarluneUnit &unit);
    // The run record of the unit at this address, and its MAC; nullptr when it has none.
    UnitRun *runAtPeer(const QString &peer, QString *mac);
    bool requeueForeverUnit();
    void continueTick(std::function<void()> rest);
    // polled is a copy: a status query over TCP lets events run, which may change the list.
    void pollUnits(QList<MarluneUnit> polled, const std::function<void()> &then, qsizetype from = 0,
                   bool someoneOffline = false);
    void mergeIncoming(const std::function<void()> &then);
    void discoverOrRedraw();
    void resetEdids();
    bool edidResetDone(const MarluneUnit &unit, const QByteArray &reply);
    // Starts a command exchange with the unit, which is busy until it is over: starting runs when
    // it begins (it may wait its turn), then once it is over. A second message to a unit that is
    // busy goes out once the first exchange is over, as it would in a serial pass.
    void exchange(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
                  PipelinePort::ExchangeDone then);
    void send(const MarluneUnit &unit, const QByteArray &command, PipelinePort::ExchangeStart starting,
              PipelinePort::ExchangeDone then);
    // The unit is in an exchange that an earlier tick began: the passes leave it alone until it
    // is over. A message of this tick to a unit busy since this tick is queued behind instead.
    bool leftAlone(const QString &mac) const;
    void noteRebootedUnits();
    void retestUnitsFoundDown();
    // The confirm pass; then learns whether a confirm command was sent.
    void confirmRebootedUnits(const std::function<void(bool)> &then);
    // The walk of one pass over its list (a member of lists, which must outlive the walk).
    void walkPass(const QList<MarluneUnit> &listed, QList<MarluneUnit> walked,
                  const std::function<void(const MarluneUnit &)> &step, const std::function<void()> &done,
                  qsizetype from = 0);
    void confirmUnit(const QString &commandedMac, const MarluneUnit &current, bool rebooted, bool *confirmSent);
    // resetEdid: "Reset Encoder EDID" as it was ticked when the unit was judged.
    void finishConfirmed(const MarluneUnit &unit, bool resetEdid, UnitStep step);
    void beginBatchIfIdle(const PipelineIndex &index);
    void tell(UnitStep step, const MarluneUnit &unit);
    void tell(const UnitEvent &event);
    // The listed unit's status text as the table shows it now (updateCleared: once its pending
    // update is confirmed); "" for a unit not listed.
    QString statusOf(const QString &mac, bool updateCleared, const PipelineIndex &index) const;
    void tellTransfer(UnitStep step, const MarluneUnit *unit, const QString &peer, const QString &file, qint64 bytes,
                      qint64 size, FetchCut cut = FetchCut(0), int stallSecs = 0);
    bool commandQueuedUnits();
    // With a rollout plan: commands the queued units the plan lets go now. True when the tick ends.
    bool commandUnitsOfPlan();
    void haltRollout(const RolloutDecision &decision);
    void commandUnit(const MarluneUnit &unit);
    void confirmOutOfSyncUnits();

    PipelinePort &port;
    PipelineState lists;
    PackageCatalogue packages;
    Clock clock;
    SteadyClock steadyClock;
    QElapsedTimer sinceStart;
    bool tickRunning = false;
    // Counts the ticks, so that an exchange knows the tick that began it.
    quint64 tickNumber = 0;
    // Units with a command exchange waiting or running, by MAC: the tick that began it, and the
    // messages of that tick that follow it to the same unit.
    struct UnitExchanges
    {
        quint64 tick = 0;
        QList<std::function<void()>> following;
    };
    QHash<QString, UnitExchanges> busy;
    // Units whose update command's exchange is running (MAC to IP), and those of them that a
    // reachability test found down meanwhile: they are not in vUnitsConfirm yet, and the result
    // must not be lost (it counts once their exchange is over).
    QHash<QString, QString> commandRunning;
    QSet<QString> downWhileCommanded;
    // The steps a Telling gathers, while one lives.
    QList<UnitEvent> *gathering = nullptr;
};
