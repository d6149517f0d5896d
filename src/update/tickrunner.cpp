#include "tickrunner.h"

#include "app/debuglog.h"
#include "update/exchangeserialiser.h"
#include "update/pipelineclock.h"
#include "update/pipelinepasses.h"
#include "update/pipelineport.h"
#include "update/pipelinestate.h"
#include "update/pipelinesupport.h"

// The pipeline's debug lines belong with the window's: it is the window's engine.
static const char kLogSource[] = "mainwindow";

using namespace PipelineSupport;

TickRunner::TickRunner(PipelinePort &port, PipelineState &lists, const PipelineClock &clock, PipelinePasses &passes,
                       ExchangeSerialiser &exchanges)
    : port(port), lists(lists), clock(clock), passes(passes), exchanges(exchanges)
{
}

// Ticks never overlap: a modal box opened during a tick lets events run, timer ticks among them,
// and a second tick started meanwhile would repeat the first one's once-only steps.
void TickRunner::tick()
{
    if (tickRunning) {
        BLOG << "tick skipped: the previous tick is still under way";
        return;
    }
    tickRunning = true;
    exchanges.tickBegan();
    port.enableButtons();
    if (!lists.lastConfirmTime.isValid())
        lists.lastConfirmTime = clock.now();

    passes.warnAboutPowerOff();
    passes.markOverdueUnits();
    if (passes.requeueForeverUnit()) {
        tickRunning = false;
        return;
    }
    passes.pollUnits(lists.vUnits, [this] {
        continueTick([this] {
            passes.mergeIncoming([this] {
                discoverOrRedraw();
                passes.resetEdids();
                passes.noteRebootedUnits();
                passes.retestUnitsFoundDown();
                continueTick([this] {
                    passes.confirmRebootedUnits([this](bool confirmSent) {
                        if (!confirmSent && !passes.commandQueuedUnits())
                            passes.confirmOutOfSyncUnits();
                        tickRunning = false;
                    });
                });
            });
        });
    });
}

// A tick over a large fleet goes on in the next event-loop turn: polling a thousand units,
// merging their replies and the passes over them each take a while, and the window must not
// wait for all three at once. A smaller fleet's tick runs in one go.
void TickRunner::continueTick(std::function<void()> rest)
{
    if (lists.vUnits.size() > kUnitsTickedAtOnce)
        port.nextTurn(std::move(rest));
    else
        rest();
}

// While "Discovering..." shows, each tick repeats the broadcast and the table waits.
void TickRunner::discoverOrRedraw()
{
    if (port.discovering())
        port.discover();
    else if (lists.tableDirty)
        port.refreshUnitTable();
}
