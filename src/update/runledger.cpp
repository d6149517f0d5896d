#include "runledger.h"

#include "app/debuglog.h"
#include "packages/packagecatalogue.h"
#include "units/unitlookup.h"
#include "update/eventteller.h"
#include "update/pipelineclock.h"
#include "update/pipelinestate.h"

#include <algorithm>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's file session keep that function's name as well.
static const char kLogSource[] = "mainwindow";
static const char kFileSession[] = "MainWindow::newSession";

RunLedger::RunLedger(PipelineState &lists, const PackageCatalogue &packages, const PipelineClock &clock,
                     EventTeller &teller)
    : lists(lists), packages(packages), clock(clock), teller(teller)
{
}

// The image is chosen from what is known of the unit at that address, never from the path it
// asks for.
QString RunLedger::fileNameForPeer(const QString &peer) const
{
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    const UpdatePackage *package = requester ? packages.packageForFetch(*requester) : nullptr;
    if (!package) {
        BLOG_AS(kLogSource, kFileSession) << "fileRequest" << QString();
        return QString();
    }
    return package->newFilename;
}

QString RunLedger::noImageReason(const QString &peer) const
{
    const QString head = QStringLiteral("No image for ") + peer + QStringLiteral(": ");
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    if (!requester)
        return head + QStringLiteral("it is not a listed unit.");
    if (!packages.packageForFetch(*requester))
        return head + QStringLiteral("no package here is for this unit.");
    return head + QStringLiteral("its package has no image file.");
}

const MarluneUnit *RunLedger::unitAtPeer(const QString &peer) const
{
    const auto byEitherAddress = [&peer](const MarluneUnit &unit) {
        return unit.ip == peer || unit.eth1_ipAddr == peer;
    };
    const auto found = std::find_if(lists.vUnits.cbegin(), lists.vUnits.cend(), byEitherAddress);
    return found == lists.vUnits.cend() ? nullptr : &*found;
}

QString RunLedger::recordFetch(const QString &peer, qint64 size, const QString &file)
{
    const MarluneUnit *fetched = unitAtPeer(peer);
    if (!fetched) {
        BLOG_AS(kLogSource, kFileSession) << "did not recognize" << peer;
        tellTransfer(UnitStep::Fetched, nullptr, peer, file, size, size);
        return QString();
    }
    lists.vUnitsUpdateFetched.append(*fetched);
    lists.fetchTimeByMac[fetched->mac] = clock.now();
    BLOG_AS(kLogSource, kFileSession) << "recognized " << fetched->name;
    const auto run = lists.runs.find(fetched->mac);
    if (run != lists.runs.end()) {
        run->fetching = false;
        run->brokeOffPercent = -1;
        if (size > 0)
            run->bytesServed = run->imageSize = size;
        run->fetched = clock.now();
        run->fetchedMs = clock.steadyMs();
    }
    const QString mac = fetched->mac;
    tellTransfer(UnitStep::Fetched, fetched, peer, file, size, size);
    return mac;
}

// A transfer step, told with the address the unit fetched from (a video server's second
// interface too). A peer that is no listed unit has its status-log line all the same.
void RunLedger::tellTransfer(UnitStep step, const MarluneUnit *unit, const QString &peer, const QString &file,
                             qint64 bytes, qint64 size, FetchCut cut, int stallSecs)
{
    UnitEvent event = unit ? teller.eventFor(step, *unit) : UnitEvent();
    event.step = step;
    event.ip = peer;
    event.detail = file;
    event.bytes = bytes;
    event.size = size;
    event.cut = cut;
    event.stallSecs = stallSecs;
    teller.tell(event);
}

UnitRun &RunLedger::runFor(const MarluneUnit &unit)
{
    if (!lists.runs.contains(unit.mac)) {
        lists.runs[unit.mac].before = unit;
        lists.runOrder.append(unit.mac);
    }
    return lists.runs[unit.mac];
}

// A unit that never read its update command and took no image is not rebooting for it when it
// stops answering: it is only unreachable.
void RunLedger::noteRebootSeen(const QString &mac)
{
    const auto run = lists.runs.find(mac);
    if (run == lists.runs.end() || run->rebootSeen.isValid() || run->commandedMs < 0
        || (run->commandUnread && run->fetchedMs < 0))
        return;
    run->rebootSeen = clock.now();
    run->rebootSeenMs = clock.steadyMs();
    if (const MarluneUnit *listed = findUnit(lists.vUnits, &MarluneUnit::mac, mac))
        teller.tell(UnitStep::WentDown, *listed);
}

UnitRun *RunLedger::runAtPeer(const QString &peer, QString *mac)
{
    const MarluneUnit *unit = unitAtPeer(peer);
    const auto run = unit ? lists.runs.find(unit->mac) : lists.runs.end();
    if (run == lists.runs.end())
        return nullptr;
    *mac = unit->mac;
    return &*run;
}

QString RunLedger::recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        const bool begun = !run->fetching;
        run->fetching = true;
        run->brokeOffPercent = -1;
        run->bytesServed = sent;
        run->imageSize = size;
        tellTransfer(begun ? UnitStep::FetchBegun : UnitStep::FetchProgress, unitAtPeer(peer), peer, file, sent, size);
    }
    return mac;
}

QString RunLedger::recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file,
                                        FetchCut cut, int stallSecs)
{
    QString mac;
    if (UnitRun *run = runAtPeer(peer, &mac)) {
        run->fetching = false;
        run->bytesServed = sent;
        run->imageSize = size;
        run->brokeOffPercent = run->percentServed();
    }
    tellTransfer(UnitStep::FetchCut, unitAtPeer(peer), peer, file, sent, size, cut, stallSecs);
    return mac;
}
