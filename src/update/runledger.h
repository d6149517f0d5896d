#pragma once

#include "update/unitevent.h"

#include <QString>

class EventTeller;
class MarluneUnit;
class PackageCatalogue;
class PipelineClock;
struct PipelineState;
struct UnitRun;

// The run record of every unit queued in this run, and what the file server does for the units:
// which image a peer is sent, and each transfer's progress, end or break, kept in the unit's run
// and told as its steps.
class RunLedger final
{
public:
    RunLedger(PipelineState &lists, const PackageCatalogue &packages, const PipelineClock &clock, EventTeller &teller);
    RunLedger(const RunLedger &) = delete;
    RunLedger &operator=(const RunLedger &) = delete;

    // The unit's run record, begun with its current record when it has none yet.
    UnitRun &runFor(const MarluneUnit &unit);
    // The unit went down: the first time since it was commanded, its run notes when and its step
    // is told. A unit that never read its command and took no image is only unreachable.
    void noteRebootSeen(const QString &mac);

    // The image file name the unit at this address is sent, "" for none.
    QString fileNameForPeer(const QString &peer) const;
    // Why the unit at this address is sent no image, for the status log.
    QString noImageReason(const QString &peer) const;
    // A unit at this address (or on its second interface) was sent its whole image (of this
    // size, when known). The unit's MAC, "" for none.
    // Each tells the transfer step (file: the image's name), of a peer that is no unit too.
    QString recordFetch(const QString &peer, qint64 size, const QString &file);
    // The file server handed this much of its image to the unit at this address so far, or its
    // transfer broke off there. The MAC of the unit whose run changed, "" for none.
    QString recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file);
    QString recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file, FetchCut cut,
                                 int stallSecs);

private:
    const MarluneUnit *unitAtPeer(const QString &peer) const;
    // The run record of the unit at this address, and its MAC; nullptr when it has none.
    UnitRun *runAtPeer(const QString &peer, QString *mac);
    void tellTransfer(UnitStep step, const MarluneUnit *unit, const QString &peer, const QString &file, qint64 bytes,
                      qint64 size, FetchCut cut = FetchCut(0), int stallSecs = 0);

    PipelineState &lists;
    const PackageCatalogue &packages;
    const PipelineClock &clock;
    EventTeller &teller;
};
