#include "updatepipeline.h"

#include "app/debuglog.h"
#include "update/pipelinesupport.h"

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";

using namespace PipelineSupport;

// Ticks never overlap: a modal box opened during a tick lets events run, timer ticks among them,
// and a second tick started meanwhile would repeat the first one's once-only steps.
void UpdatePipeline::refreshTimerTimeout()
{
    if (tickRunning) {
        BLOG << "tick skipped: the previous tick is still under way";
        return;
    }
    tickRunning = true;
    ++tickNumber;
    port.enableButtons();
    if (!lists.lastConfirmTime.isValid())
        lists.lastConfirmTime = now();

    warnAboutPowerOff();
    markOverdueUnits();
    if (requeueForeverUnit()) {
        tickRunning = false;
        return;
    }
    pollUnits(lists.vUnits, [this] {
        continueTick([this] {
            mergeIncoming([this] {
                discoverOrRedraw();
                resetEdids();
                noteRebootedUnits();
                retestUnitsFoundDown();
                continueTick([this] {
                    confirmRebootedUnits([this](bool confirmSent) {
                        if (!confirmSent && !commandQueuedUnits())
                            confirmOutOfSyncUnits();
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
void UpdatePipeline::continueTick(std::function<void()> rest)
{
    if (lists.vUnits.size() > kUnitsTickedAtOnce)
        port.nextTurn(std::move(rest));
    else
        rest();
}

// While "Discovering..." shows, each tick repeats the broadcast and the table waits.
void UpdatePipeline::discoverOrRedraw()
{
    if (port.discovering())
        port.discover();
    else if (lists.tableDirty)
        port.refreshUnitTable();
}
