#pragma once

#include "packages/packagecatalogue.h"
#include "update/batchresume.h"
#include "update/eventteller.h"
#include "update/exchangeserialiser.h"
#include "update/pipelineclock.h"
#include "update/pipelinepasses.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/rolloutglue.h"
#include "update/runledger.h"
#include "update/tickrunner.h"
#include "update/unitevent.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

class PipelineIndex;

// The update engine: the unit lists of the pipeline, the package catalogue that decides which
// units are listed and which image each fetches, and the refresh tick that moves units one step
// along queued -> commanded -> rebooted -> confirmed (-> EDID reset) -> finished. It runs on the
// GUI thread and reaches the units and the operator only through its PipelinePort.
//
// It owns the parts that do the work (each holds references to the parts made before it): the
// clocks, the event teller, the exchange serialiser, the run ledger, the rollout glue, the
// passes and the tick runner. The operator's requests are its own.
class UpdatePipeline final
{
public:
    using Clock = PipelineClock::Clock;
    // Milliseconds on a clock that only moves forward, whatever the wall clock does.
    using SteadyClock = PipelineClock::SteadyClock;

    explicit UpdatePipeline(PipelinePort &port);
    UpdatePipeline(const UpdatePipeline &) = delete;
    UpdatePipeline &operator=(const UpdatePipeline &) = delete;

    // Only the core that owns the pipeline, and tests that arrange a state, write through this;
    // the front-ends read through the core's const state().
    PipelineState &state() { return lists; }
    const PipelineState &state() const { return lists; }
    PackageCatalogue &catalogue() { return packages; }
    const PackageCatalogue &catalogue() const { return packages; }

    // The time every pipeline decision is taken against; the wall clock unless replaced.
    void setClock(Clock newClock) { clock.setClock(std::move(newClock)); }
    QDateTime now() const { return clock.now(); }
    // The clock the step deadlines are measured on; the process's monotonic clock unless replaced.
    void setSteadyClock(SteadyClock newClock) { clock.setSteadyClock(std::move(newClock)); }
    qint64 steadyMs() const { return clock.steadyMs(); }

    // One tick: the passes in their order. Command exchanges run side by side and outlive the
    // tick; a unit whose exchange is not over yet is left alone by the passes. A tick that starts
    // while another is still running (a modal box lets events run) is skipped.
    void refreshTimerTimeout() { ticks.tick(); }

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
    bool resumeRollout() { return rollout.resume(); }
    // The units of the current batch in table order, and where each stands for the rollout.
    QList<RolloutUnit> rolloutUnits() const { return rollout.units(); }

    // The image file name the unit at this address is sent, "" for none.
    QString fileNameForPeer(const QString &peer) const { return ledger.fileNameForPeer(peer); }
    // Why the unit at this address is sent no image, for the status log.
    QString noImageReason(const QString &peer) const { return ledger.noImageReason(peer); }
    // A unit at this address (or on its second interface) was sent its whole image (of this
    // size, when known). The unit's MAC, "" for none.
    // Each tells the transfer step (file: the image's name), of a peer that is no unit too.
    QString recordFetch(const QString &peer, qint64 size = 0, const QString &file = QString())
    {
        return ledger.recordFetch(peer, size, file);
    }
    // The file server handed this much of its image to the unit at this address so far, or its
    // transfer broke off there. The MAC of the unit whose run changed, "" for none.
    QString recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file = QString())
    {
        return ledger.recordProgress(peer, sent, size, file);
    }
    QString recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file = QString(),
                                 FetchCut cut = FetchCut(0), int stallSecs = 0)
    {
        return ledger.recordBrokenTransfer(peer, sent, size, file, cut, stallSecs);
    }

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
    // How each unit of a cut batch (its runs there) would be picked up again now.
    QList<ResumedUnit> resumeVerdicts(const QList<RunRecord> &runs) const;
    // Begins a batch that picks up the history's batch resumes with its plan: each of its units
    // queued, taken in as commanded or told as not resumed, as resumeVerdicts says (outcome). The
    // new batch's number; 0, doing nothing, while a batch is on its way.
    int resumeBatch(qint64 resumes, const QString &plan, const QList<RunRecord> &runs, QList<ResumedUnit> *outcome);
    // Some unit of the current batch is queued, commanded or resetting its EDID.
    bool batchOnItsWay() const;
    // Some unit of the current batch is still to be commanded (not held by a halted rollout), is
    // commanded (overdue too: it may still come back), or is resetting its EDID: quitting now
    // leaves it mid-update.
    bool batchInFlight() const;
    // An event of this step of the unit, stamped with its batch and the pipeline's clocks.
    UnitEvent eventFor(UnitStep step, const MarluneUnit &unit) const { return teller.eventFor(step, unit); }

    // Before a table redraw: vUnits in listing order, FOREVER units' names marked with their
    // re-queue count.
    void prepareTableRedraw();
    // MAC of a unit named (by MAC or by upper-case name) in FOREVER.txt, else "".
    QString foreverKey(const MarluneUnit &unit) const { return passes.foreverKey(unit); }

private:
    // A new batch begins when none of the last one is still on its way.
    void beginBatchIfIdle(const PipelineIndex &index);
    // Takes the unit in as commanded without a command: lastStep is where the cut batch left it;
    // pending: it reports its pending update.
    void adoptCommanded(const MarluneUnit &unit, const QString &lastStep, bool pending);
    // The unit's run starts a new attempt in the current batch (queued again, retried, adopted).
    UnitRun &newAttempt(const MarluneUnit &unit);

    PipelinePort &port;
    PipelineState lists;
    PackageCatalogue packages;
    PipelineClock clock;
    EventTeller teller{port, lists, packages, clock};
    ExchangeSerialiser exchanges{port, lists};
    RunLedger ledger{lists, packages, clock, teller};
    RolloutGlue rollout{port, lists, packages, exchanges, teller};
    PipelinePasses passes{port, lists, packages, clock, teller, exchanges, ledger, rollout};
    TickRunner ticks{port, lists, clock, passes, exchanges};
};
