#include "preflight.h"

#include "app/debuglog.h"
#include "app/fileidentity.h"
#include "app/updatersettings.h"
#include "net/localsubnets.h"
#include "net/marluneconnectreduced.h"
#include "packages/packagecatalogue.h"
#include "units/devicecatalogue.h"
#include "update/fleetmodel.h"
#include "update/unitstatus.h"
#include "update/updatercore.h"
#include "update/updatereport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTcpSocket>
#include <QTimer>

#include <sys/resource.h>

static const char kLogSource[] = "preflight";

namespace {

constexpr quint16 kCommandPort = 50001;
constexpr qint64 kHashChunk = 1 << 20;

PreflightReason reason(PreflightReason::Code code, PreflightVerdict severity, const QString &text)
{
    return {code, severity, text};
}

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
}

// The image as it is on disk now, against the scan's record and hash of it.
PreflightFacts::Image imageNow(const UpdatePackage &package)
{
    if (package.imageSha256.isEmpty() || !package.imageIdentity.exists)
        return PreflightFacts::Image::Unreadable;
    const QString path = packageFilePath(package.newFilename);
    QFile file;
    if (!openRegularFile(&file, path))
        return PreflightFacts::Image::Unreadable;
    if (FileIdentity::of(int(file.handle())) != package.imageIdentity)
        return PreflightFacts::Image::Changed;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(kHashChunk);
        if (chunk.isEmpty() && file.error() != QFileDevice::NoError)
            return PreflightFacts::Image::Unreadable;
        hash.addData(chunk);
    }
    if (QString::fromLatin1(hash.result().toHex()) != package.imageSha256)
        return PreflightFacts::Image::Changed;
    return PreflightFacts::Image::Same;
}

// The descriptors this process may still open: its soft limit less those open now.
qint64 descriptorsFree()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    const QDir open(QStringLiteral("/proc/self/fd"));
    if (!open.exists())
        return -1;
    const qint64 used = open.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
    return qMax<qint64>(0, qint64(limit.rlim_cur) - used);
}

// The folder a file would be written in: the nearest existing one on its path.
QString existingFolder(const QString &filePath)
{
    QDir folder = QFileInfo(filePath).absoluteDir();
    while (!folder.exists() && !folder.isRoot())
        if (!folder.cdUp())
            break;
    return folder.absolutePath();
}

} // namespace

QString verdictKey(PreflightVerdict verdict)
{
    switch (verdict) {
    case PreflightVerdict::Ok:
        return QStringLiteral("ok");
    case PreflightVerdict::Warn:
        return QStringLiteral("warn");
    case PreflightVerdict::Fail:
        return QStringLiteral("fail");
    }
    return QString();
}

QString reasonKey(PreflightReason::Code code)
{
    switch (code) {
    case PreflightReason::NoPackage:
        return QStringLiteral("no-package");
    case PreflightReason::TooOld:
        return QStringLiteral("too-old");
    case PreflightReason::CannotUpdate:
        return QStringLiteral("cannot-update");
    case PreflightReason::UpToDate:
        return QStringLiteral("up-to-date");
    case PreflightReason::ImageChanged:
        return QStringLiteral("image-changed");
    case PreflightReason::ImageUnreadable:
        return QStringLiteral("image-unreadable");
    case PreflightReason::NotHeardFrom:
        return QStringLiteral("not-heard-from");
    case PreflightReason::PortClosed:
        return QStringLiteral("port-closed");
    case PreflightReason::NotInSubnet:
        return QStringLiteral("not-in-subnet");
    case PreflightReason::ServerNotListening:
        return QStringLiteral("server-not-listening");
    case PreflightReason::FewDescriptors:
        return QStringLiteral("few-descriptors");
    case PreflightReason::LowDisk:
        return QStringLiteral("low-disk");
    case PreflightReason::Canary:
        return QStringLiteral("canary");
    case PreflightReason::WaitsForCanaries:
        return QStringLiteral("waits-for-canaries");
    case PreflightReason::WaitsForSlot:
        return QStringLiteral("waits-for-slot");
    }
    return QString();
}

UnitPreflight judgePreflight(const PreflightFacts &facts)
{
    using R = PreflightReason;
    const PreflightVerdict ok = PreflightVerdict::Ok;
    const PreflightVerdict warn = PreflightVerdict::Warn;
    const PreflightVerdict fail = PreflightVerdict::Fail;
    QList<PreflightReason> reasons;

    // The package.
    if (!facts.hasPackage)
        reasons << reason(R::NoPackage, fail, QStringLiteral("No package with an image for its family."));
    switch (facts.selection.kind) {
    case SelectionVerdict::TooOld:
        reasons << reason(R::TooOld, fail, facts.selection.text);
        break;
    case SelectionVerdict::CannotUpdate:
        reasons << reason(R::CannotUpdate, fail, facts.selection.text);
        break;
    case SelectionVerdict::NotHeardFrom:
    case SelectionVerdict::Admit:
        break;
    }
    if (facts.upToDate)
        reasons << reason(R::UpToDate, warn,
                          QStringLiteral("Already up to date: updating it would only re-flash the same image."));

    // The image.
    if (facts.image == PreflightFacts::Image::Changed)
        reasons << reason(R::ImageChanged, fail,
                          QStringLiteral("Image %1 changed on disk since it was scanned.").arg(facts.imageName));
    else if (facts.image == PreflightFacts::Image::Unreadable)
        reasons << reason(R::ImageUnreadable, fail, QStringLiteral("Image %1 cannot be read.").arg(facts.imageName));

    // The unit.
    if (facts.selection.kind == SelectionVerdict::NotHeardFrom)
        reasons << reason(R::NotHeardFrom, warn, QStringLiteral("Not heard from lately."));
    if (facts.port == PreflightFacts::Port::Refused)
        reasons << reason(R::PortClosed, fail, QStringLiteral("TCP port %1 refused the connection.").arg(kCommandPort));
    else if (facts.port == PreflightFacts::Port::TimedOut)
        reasons << reason(R::PortClosed, fail,
                          QStringLiteral("TCP port %1 did not answer within %2 s.")
                              .arg(kCommandPort)
                              .arg(kPreflightConnectMs / 1000));
    if (facts.localAddress.isEmpty())
        reasons << reason(R::NotInSubnet, fail,
                          QStringLiteral("No address of this computer is in its subnet: it would not know where to "
                                         "fetch its image."));
    else if (!facts.serverListening)
        reasons << reason(R::ServerNotListening, fail,
                          QStringLiteral("The file server is not listening on %1:%2.")
                              .arg(facts.localAddress)
                              .arg(UpdaterCore::kFileServerPort));

    // This computer.
    if (facts.descriptorsFree >= 0 && facts.descriptorsFree < facts.descriptorsNeeded)
        reasons << reason(R::FewDescriptors, facts.descriptorsFree < kDescriptorsPerTransfer ? fail : warn,
                          QStringLiteral("%1 file descriptors free, the batch needs about %2: units would wait "
                                         "their turn.")
                              .arg(facts.descriptorsFree)
                              .arg(facts.descriptorsNeeded));
    if (facts.diskFree >= 0 && facts.diskFree < kPreflightDiskFloorBytes)
        reasons << reason(R::LowDisk, warn,
                          QStringLiteral("Only %1 free on the disk of %2 (the history and the report).")
                              .arg(megabytes(facts.diskFree), facts.diskPath));

    // The plan.
    if (facts.canary)
        reasons << reason(R::Canary, ok, QStringLiteral("Canary: updated first, before the others."));
    if (facts.waitsForCanaries)
        reasons << reason(R::WaitsForCanaries, ok, QStringLiteral("Waits until the canaries are confirmed."));
    if (facts.waitsForSlot)
        reasons << reason(R::WaitsForSlot, ok,
                          QStringLiteral("Waits for a slot: at most %1 units in flight.").arg(facts.inFlightCap));

    UnitPreflight judged{facts.mac, facts.name, facts.ip, facts.type, ok, reasons};
    for (const PreflightReason &each : std::as_const(reasons))
        judged.verdict = qMax(judged.verdict, each.severity);
    return judged;
}

QString preflightCsv(const QList<UnitPreflight> &results)
{
    QByteArray csv = csvRow({QStringLiteral("Name"), QStringLiteral("IP"), QStringLiteral("MAC"),
                             QStringLiteral("Type"), QStringLiteral("Verdict"), QStringLiteral("Reasons")});
    for (const UnitPreflight &unit : results) {
        QStringList texts;
        for (const PreflightReason &each : unit.reasons)
            texts << each.text;
        csv += csvRow(
            {unit.name, unit.ip, unit.mac, unit.type, verdictKey(unit.verdict), texts.join(QStringLiteral("; "))});
    }
    return QString::fromUtf8(csv);
}

QString preflightSummary(const QList<UnitPreflight> &results)
{
    int counts[3] = {0, 0, 0};
    for (const UnitPreflight &unit : results)
        ++counts[int(unit.verdict)];
    return QStringLiteral("%1 units checked: %2 ok, %3 warn, %4 fail")
        .arg(results.size())
        .arg(counts[int(PreflightVerdict::Ok)])
        .arg(counts[int(PreflightVerdict::Warn)])
        .arg(counts[int(PreflightVerdict::Fail)]);
}

PreflightRun::PreflightRun(UpdaterCore &core, const QStringList &macs, const RolloutPlan &plan, QObject *parent)
    : QObject(parent), core(core), macs(macs), plan(plan)
{
}

PreflightRun::~PreflightRun() = default;

void PreflightRun::start()
{
    if (std::exchange(started, true))
        return;
    gatherLocal();
    startConnects();
}

// Everything that needs no answer from the network: the package rules, the images, the local
// addresses and this computer. (The plan waits for the ports: a unit the check fails is not
// queued.)
void PreflightRun::gatherLocal()
{
    const PipelineState &state = core.state();
    const PipelineIndex index(state);
    const FleetModel &fleet = core.fleet();
    const PackageCatalogue &packages = core.catalogue();
    const QDateTime now = QDateTime::currentDateTime();
    LocalSubnets local(MarluneConnect::localAddresses());

    QHash<const UpdatePackage *, PreflightFacts::Image> images;
    const qint64 freeDescriptors = descriptorsFree();
    const int transfers = plan.maxInFlight > 0 ? qMin<int>(plan.maxInFlight, int(macs.size())) : int(macs.size());
    const QString historyFolder = existingFolder(UpdaterSettings::historyPath());
    QString diskPath = historyFolder;
    qint64 diskFree = QStorageInfo(historyFolder).bytesAvailable();
    if (!reportPath.isEmpty()) {
        const QString reportFolder = existingFolder(reportPath);
        const qint64 reportFree = QStorageInfo(reportFolder).bytesAvailable();
        if (reportFree >= 0 && (diskFree < 0 || reportFree < diskFree)) {
            diskFree = reportFree;
            diskPath = reportFolder;
        }
    }

    for (const QString &mac : macs) {
        const MarluneUnit *unit = index.firstListed(mac);
        if (!unit)
            continue;
        PreflightFacts each;
        each.mac = mac;
        each.name = unit->name;
        each.ip = unit->ip;
        each.type = typeCodeForUnit(*unit);
        const int row = fleet.rowOf(mac);
        each.selection = row >= 0 ? fleet.selectionVerdict(row, now) : selectionVerdict(*unit, StatusCell(), now);
        each.upToDate = isUpToDate(*unit, packages);
        const UpdatePackage *package = packages.packageForFetch(*unit);
        each.hasPackage = package && !package->newFilename.isEmpty();
        if (each.hasPackage) {
            each.imageName = package->newFilename;
            // Each image is read once, however many units fetch it.
            auto image = images.constFind(package);
            if (image == images.cend())
                image = images.insert(package, imageNow(*package));
            each.image = *image;
        }
        each.localAddress = local.addressFor(*unit);
        if (each.localAddress.isEmpty() && unit->isVod()) {
            MarluneUnit second;
            second.ip = unit->eth1_ipAddr;
            second.subnet = unit->eth1_netMask;
            each.localAddress = local.addressFor(second);
        }
        // The server listens on every address of this computer, or on none.
        each.serverListening = core.fileServerListening();
        each.descriptorsFree = freeDescriptors;
        each.descriptorsNeeded = qint64(transfers) * kDescriptorsPerTransfer;
        each.diskPath = diskPath;
        each.diskFree = diskFree;
        each.inFlightCap = plan.maxInFlight;
        facts.append(each);
    }

    BLOG << "Preflight of" << facts.size() << "units;" << images.size() << "images read;" << freeDescriptors
         << "descriptors free";
}

void PreflightRun::startConnects()
{
    QSet<QString> seen;
    for (const PreflightFacts &each : std::as_const(facts))
        if (!seen.contains(each.ip) && !QHostAddress(each.ip).isNull()) {
            seen.insert(each.ip);
            toConnect.append(each.ip);
        }
    if (toConnect.isEmpty()) {
        judgeAll();
        return;
    }
    while (connecting < kPreflightConcurrentConnects && !toConnect.isEmpty())
        connectNext();
}

// One connect to the unit's command port: nothing is written, and the socket is closed as soon
// as the connection is made or refused, or the time is up.
void PreflightRun::connectNext()
{
    const QString ip = toConnect.takeFirst();
    ++connecting;
    auto *socket = new QTcpSocket(this);
    auto *timer = new QTimer(socket);
    timer->setSingleShot(true);
    const auto end = [this, socket, ip](PreflightFacts::Port result) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        connectEnded(ip, result);
    };
    connect(socket, &QTcpSocket::connected, this, [end] { end(PreflightFacts::Port::Open); });
    connect(socket, &QTcpSocket::errorOccurred, this, [end](QAbstractSocket::SocketError error) {
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            end(PreflightFacts::Port::Refused);
            break;
        // No socket could be made (no descriptor left): nothing is known of the unit.
        case QAbstractSocket::SocketResourceError:
            end(PreflightFacts::Port::NotTried);
            break;
        default:
            end(PreflightFacts::Port::TimedOut);
            break;
        }
    });
    connect(timer, &QTimer::timeout, this, [end] { end(PreflightFacts::Port::TimedOut); });
    timer->start(kPreflightConnectMs);
    socket->connectToHost(QHostAddress(ip), kCommandPort);
}

void PreflightRun::connectEnded(const QString &key, PreflightFacts::Port result)
{
    connectResults.insert(key, result);
    --connecting;
    if (!toConnect.isEmpty())
        connectNext();
    else if (connecting == 0)
        judgeAll();
}

void PreflightRun::judgeAll()
{
    // The plan's first decision on the batch as it would be queued: without the units the check
    // fails, which an update refuses.
    QList<RolloutUnit> order;
    for (PreflightFacts &each : facts) {
        each.port = connectResults.value(each.ip, PreflightFacts::Port::NotTried);
        if (judgePreflight(each).verdict != PreflightVerdict::Fail)
            order.append({each.mac, RolloutStep::Waiting});
    }
    RolloutProgress progress;
    progress.plan = plan;
    const RolloutDecision decision = decideRollout(progress, order);
    judged.clear();
    for (PreflightFacts &each : facts) {
        each.canary = plan.canary > 0 && decision.canaries.contains(each.mac);
        const auto waiting = decision.waiting.constFind(each.mac);
        each.waitsForCanaries = waiting != decision.waiting.cend() && *waiting == WaitReason::Canary;
        each.waitsForSlot = waiting != decision.waiting.cend() && *waiting == WaitReason::Cap;
        judged.append(judgePreflight(each));
    }
    done = true;
    Q_EMIT finished();
}
