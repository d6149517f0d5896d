#include "updatepipeline.h"

#include "app/debuglog.h"
#include "units/unitlookup.h"
#include "update/pipelinesupport.h"

#include <algorithm>

// The pipeline's debug lines belong with the window's: it is the window's engine. The lines of
// the window's tick, update button and file session keep those functions' names as well.
static const char kLogSource[] = "mainwindow";
static const char kFileSession[] = "MainWindow::newSession";

using namespace PipelineSupport;

// The image is chosen from what is known of the unit at that address, never from the path it
// asks for.
QString UpdatePipeline::fileNameForPeer(const QString &peer) const
{
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    const UpdatePackage *package = requester ? packages.packageForFetch(*requester) : nullptr;
    if (!package) {
        BLOG_AS(kLogSource, kFileSession) << "fileRequest" << QString();
        return QString();
    }
    return package->newFilename;
}

QString UpdatePipeline::noImageReason(const QString &peer) const
{
    const QString head = QStringLiteral("No image for ") + peer + QStringLiteral(": ");
    const MarluneUnit *requester = findUnit(lists.vUnits, &MarluneUnit::ip, peer);
    if (!requester)
        return head + QStringLiteral("it is not a listed unit.");
    if (!packages.packageForFetch(*requester))
        return head + QStringLiteral("no package here is for this unit.");
    return head + QStringLiteral("its package has no image file.");
}

const MarluneUnit *UpdatePipeline::unitAtPeer(const QString &peer) const
{
    const auto byEitherAddress = [&peer](const MarluneUnit &unit) {
        return unit.ip == peer || unit.eth1_ipAddr == peer;
    };
    const auto found = std::find_if(lists.vUnits.cbegin(), lists.vUnits.cend(), byEitherAddress);
    return found == lists.vUnits.cend() ? nullptr : &*found;
}

QString UpdatePipeline::recordFetch(const QString &peer, qint64 size, const QString &file)
{
    const MarluneUnit *fetched = unitAtPeer(peer);
    if (!fetched) {
        BLOG_AS(kLogSource, kFileSession) << "did not recognize" << peer;
        tellTransfer(UnitStep::Fetched, nullptr, peer, file, size, size);
        return QString();
    }
    lists.vUnitsUpdateFetched.append(*fetched);
    lists.fetchTimeByMac[fetched->mac] = now();
    BLOG_AS(kLogSource, kFileSession) << "recognized " << fetched->name;
    const auto run = lists.runs.find(fetched->mac);
    if (run != lists.runs.end()) {
        run->fetching = false;
        run->brokeOffPercent = -1;
        if (size > 0)
            run->bytesServed = run->imageSize = size;
        run->fetched = now();
        run->fetchedMs = steadyMs();
    }
    const QString mac = fetched->mac;
    tellTransfer(UnitStep::Fetched, fetched, peer, file, size, size);
    return mac;
}

// A transfer step, told with the address the unit fetched from (a video server's second
// interface too). A peer that is no listed unit has its status-log line all the same.
void UpdatePipeline::tellTransfer(UnitStep step, const MarluneUnit *unit, const QString &peer, const QString &file,
                                  qint64 bytes, qint64 size, FetchCut cut, int stallSecs)
{
    UnitEvent event = unit ? eventFor(step, *unit) : UnitEvent();
    event.step = step;
    event.ip = peer;
    event.detail = file;
    event.bytes = bytes;
    event.size = size;
    event.cut = cut;
    event.stallSecs = stallSecs;
    tell(event);
}

UnitRun &UpdatePipeline::runFor(const MarluneUnit &unit)
{
    if (!lists.runs.contains(unit.mac)) {
        lists.runs[unit.mac].before = unit;
        lists.runOrder.append(unit.mac);
    }
    return lists.runs[unit.mac];
}

UnitRun *UpdatePipeline::runAtPeer(const QString &peer, QString *mac)
{
    const MarluneUnit *unit = unitAtPeer(peer);
    const auto run = unit ? lists.runs.find(unit->mac) : lists.runs.end();
    if (run == lists.runs.end())
        return nullptr;
    *mac = unit->mac;
    return &*run;
}

QString UpdatePipeline::recordProgress(const QString &peer, qint64 sent, qint64 size, const QString &file)
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

QString UpdatePipeline::recordBrokenTransfer(const QString &peer, qint64 sent, qint64 size, const QString &file,
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
