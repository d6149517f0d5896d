#include "updatercore.h"

#include "app/debuglog.h"
#include "app/folders.h"
#include "app/outputtext.h"
#include "history/historykeeper.h"
#include "net/marluneconnectreduced.h"
#include "net/reachability.h"
#include "units/unitlistfile.h"
#include "units/unitlookup.h"
#include "update/fileserver.h"
#include "update/rollout.h"

#include <QTime>
#include <QTimer>

#include <algorithm>

static const char kLogSource[] = "updatercore";
// The window's own lines, which the core writes for it, keep the window's source and functions.
static const char kWindowSource[] = "mainwindow";
static const char kWindowConstructor[] = "MainWindow::MainWindow";

UpdaterCore::UpdaterCore(QObject *parent)
    : QObject(parent), unitList(std::make_unique<UnitListWriter>()), connection(std::make_unique<MarluneConnect>()),
      updatePipeline(*this), reachability(std::make_unique<Reachability>()),
      history(std::make_unique<HistoryKeeper>(updatePipeline, batchAccount)),
      fleetModel(new FleetModel(updatePipeline.state(), updatePipeline.catalogue(), this)),
      refreshTimer(new QTimer(this)), fleetDelay(new QTimer(this))
{
    fleetDelay->setObjectName(QStringLiteral("fleetDelay"));
    fleetDelay->setSingleShot(true);
    connect(fleetDelay, &QTimer::timeout, this, &UpdaterCore::refreshFleet);
    connect(fleetModel, &FleetModel::refreshed, this, &UpdaterCore::fleetRefreshed);
    connect(this, &UpdaterCore::unitRunChanged, fleetModel, [this](const QString &mac) { fleetModel->unitNamed(mac); });
    const auto tellOfHistory = [this](const QString &text) {
        toStatusLog(QStringLiteral("Updater"), text);
        Q_EMIT historyNotice(text);
    };
    connect(history.get(), &HistoryKeeper::notKept, this, [this, tellOfHistory](const QString &reason) {
        tellOfHistory(QStringLiteral("Update history is not being kept: ") + reason);
        lastBatchIsKnown = true;
        Q_EMIT resumableChanged();
    });
    connect(history.get(), &HistoryKeeper::resumableFound, this, [this](const HistoryStore::Resumable &resumable) {
        // A batch begun meanwhile is the last one now.
        if (updatePipeline.state().batchNumber == 0)
            lastBatch = resumable;
        lastBatchIsKnown = true;
        Q_EMIT resumableChanged();
    });
    connect(history.get(), &HistoryKeeper::batchEndFound, this, tellOfHistory);
    updatePipeline.state().knownUnitsOnly = true;
    startFileServer();
    connection->init();

    PackageCatalogue &packages = updatePipeline.catalogue();
    packages.resetAll();
    packages.scan(Folders::applicationFolder());
    // Each image's SHA-256, for the operator to hold against the one it was published with.
    for (const UpdatePackage *image : packages.images())
        BLOG << "image" << image->newFilename << image->imageSize << "bytes SHA-256" << image->imageSha256;
}

UpdaterCore::~UpdaterCore()
{
    shutdown();
}

QString UpdaterCore::startFailure() const
{
    return reachability ? reachability->startFailure() : QString();
}

void UpdaterCore::start()
{
    if (started || !connection)
        return;
    started = true;
    const bool unitsConnected = bool(
        connect(connection.get(), &MarluneConnect::unitChangedSignal, this, &UpdaterCore::unitChanged));
    BLOG_AS(kWindowSource, kWindowConstructor) << ": marlune connection attempt" << unitsConnected;
    connect(reachability.get(), &Reachability::testFinished, this, &UpdaterCore::testFinished);
    connect(connection.get(), &MarluneConnect::exchangeFailed, this,
            [this](const MarluneUnit &unit, const QString &note, const QString &message, bool reachedUnit) {
                updatePipeline.exchangeFailed(unit, note, message, reachedUnit);
            });
    connect(connection.get(), &MarluneConnect::replyRefused, this, [this](const QString &sender, qint64 size) {
        toStatusLog(sender, QStringLiteral("A reply of %1 bytes from %2 was ignored: a unit's reply is at most %3 "
                                           "bytes.")
                                .arg(size)
                                .arg(sender)
                                .arg(connection->datagramLimits.maxSize));
    });

    refreshUnitTable();

    refreshTimer->setObjectName(QStringLiteral("refreshTimer"));
    refreshTimer->setInterval(kRefreshIntervalMs);
    const bool timerConnected = bool(connect(refreshTimer, &QTimer::timeout, this, &UpdaterCore::tick));
    BLOG_AS(kWindowSource, kWindowConstructor) << ": refreshTimer Connection attempt" << timerConnected;
    refreshTimer->start();

    for (const UpdatePackage *package : std::as_const(updatePipeline.catalogue().packages))
        BLOG_AS(kWindowSource, kWindowConstructor) << package->name << package->newFilename << package->includes;

    PipelineState &state = updatePipeline.state();
    state.lastUpdateCommandTime = QDateTime::currentDateTime();
    tick();
    discoverUnits();
    state.tableDirty = true;
}

void UpdaterCore::shutdown()
{
    if (!connection)
        return;
    // No unit's exchange or connection may report to front-ends that are being taken apart.
    connection->cancelExchanges();
    refreshTimer->stop();
    server.reset();
    reachability.reset();
    connection.reset();
    unitList.reset();
    // Last: the batch's rows are written with what the pipeline knows at the end.
    history->finish();
}

// A reply waits in vUnitsIncoming until the next tick merges it: its row changes with the refresh
// after that tick, so the reply itself names no row (at 10,000 units, every row would be worked out
// twice a tick).
void UpdaterCore::unitChanged(const MarluneUnit &unit)
{
    updatePipeline.unitChanged(unit);
}

void UpdaterCore::unitChangedForced(const MarluneUnit &unit)
{
    updatePipeline.unitChangedForced(unit);
}

void UpdaterCore::keepHistory(const QString &path)
{
    history->open(path);
}

// The file server's events become status-log lines with the peer's address as their source.
void UpdaterCore::startFileServer()
{
    // A unit asking for an image it is not given learns nothing; the operator is told why.
    const auto imageFor = [this](const QString &peer) {
        const QString fileName = updatePipeline.fileNameForPeer(peer);
        if (fileName.isEmpty()) {
            const MarluneUnit *unit = findUnit(updatePipeline.state().vUnits, &MarluneUnit::ip, peer);
            UnitEvent refused = unit ? updatePipeline.eventFor(UnitStep::Refused, *unit) : UnitEvent();
            refused.step = UnitStep::Refused;
            refused.ip = peer;
            refused.detail = updatePipeline.noImageReason(peer);
            unitEvent(refused);
        }
        return fileName;
    };
    server = std::make_unique<FileServer>(
        imageFor, [this](const QString &fileName) { return updatePipeline.catalogue().scannedImage(fileName); },
        this);
    FileServer *fileServer = server.get();
    listening = fileServer->listen(QHostAddress::AnyIPv4, kFileServerPort);
    const bool connected = bool(connect(fileServer, &FileServer::newConnection, this, &UpdaterCore::newSession));
    BLOG_AS(kWindowSource, kWindowConstructor) << "signal/slot TCP connect:" << connected;

    PipelineState &state = updatePipeline.state();
    connect(fileServer, &FileServer::connectionOpened, this, [this, &state](const QString &peer, quint16 port) {
        toStatusLog(peer, QStringLiteral("New connection from ") + peer + QStringLiteral(": ") + QString::number(port));
        state.serverContacted = true;
    });
    reportImageTrouble();
    connect(fileServer, &FileServer::fileSent, this,
            [this, &state](const QString &peer, const QString &name, qint64 size) {
                state.fileServed = true;
                Q_EMIT unitRunChanged(updatePipeline.recordFetch(peer, size, name));
            });
    connect(fileServer, &FileServer::transferProgress, this,
            [this](const QString &peer, const QString &name, qint64 sent, qint64 size) {
                Q_EMIT unitRunChanged(updatePipeline.recordProgress(peer, sent, size, name));
            });
    connect(fileServer, &FileServer::transferBrokeOff, this,
            [this](const QString &peer, const QString &name, qint64 sent, qint64 size) {
                Q_EMIT unitRunChanged(updatePipeline.recordBrokenTransfer(peer, sent, size, name));
            });
    connect(fileServer, &FileServer::transferStalled, this,
            [this, fileServer](const QString &peer, const QString &name, qint64 accepted, qint64 size) {
                const int stallSecs = fileServer->stallTimeout() / 1000;
                const QString mac =
                    updatePipeline.recordBrokenTransfer(peer, accepted, size, name, FetchCut::Stalled, stallSecs);
                Q_EMIT unitRunChanged(mac);
            });
    connect(fileServer, &FileServer::connectionClosed, this,
            [this](const QString &peer) { toStatusLog(peer, QStringLiteral("Connection closed.")); });
}

// What keeps a unit from its image: a missing, unreadable or changed file, or no descriptor
// left to serve it with. Each goes to the status log.
void UpdaterCore::reportImageTrouble()
{
    FileServer *fileServer = server.get();
    connect(fileServer, &FileServer::fileMissing, this, [this](const QString &peer, const QString &path) {
        toStatusLog(peer, path + QStringLiteral(" DOES NOT EXIST."));
    });
    connect(fileServer, &FileServer::fileUnreadable, this, [this](const QString &peer, const QString &name) {
        toStatusLog(peer, name + QStringLiteral(" could NOT be opened."));
    });
    connect(fileServer, &FileServer::descriptorsRanOut, this, [this](qint64 limit) {
        toStatusLog(QStringLiteral("Updater"),
                    QStringLiteral("The updater ran out of file descriptors (it may have %1 open): units that "
                                   "fetch their image wait until some are free.")
                        .arg(limit));
    });
    // Every unit that asks for a changed image is refused; the operator is told once per file.
    connect(fileServer, &FileServer::fileChanged, this, [this](const QString &peer, const QString &name) {
        if (changedImagesReported.contains(name)) {
            BLOG << name << "changed on disk; refused again for" << peer;
            return;
        }
        changedImagesReported.insert(name);
        toStatusLog(peer, name
                              + QStringLiteral(" changed on disk after the updater started; it is not served. "
                                               "Restart the updater to serve it."));
    });
    // An image rewritten while a unit took it: the unit got a short image, which it rejects.
    connect(fileServer, &FileServer::fileChangedWhileSent, this,
            [this](const QString &peer, const QString &name, qint64 sent, qint64 size) {
                changedImagesReported.insert(name);
                const QString mac = updatePipeline.recordBrokenTransfer(peer, sent, size, name, FetchCut::FileChanged);
                Q_EMIT unitRunChanged(mac);
            });
}

QString statusLogLine(const QString &time, const QString &name, const QString &source, const QString &message)
{
    const QString line = name.isEmpty() ? time + QStringLiteral(" From Updater ") + QStringLiteral(": ") + message
                                        : time + QLatin1Char(' ') + name + QStringLiteral(" (") + source
                                              + QStringLiteral(")") + QStringLiteral(": ") + message;
    return escapedControls(line);
}

void UpdaterCore::toStatusLog(const QString &source, const QString &message)
{
    const QString line = writeStatusLine(source, message);
    history->logged(source, line);
}

QString UpdaterCore::writeStatusLine(const QString &source, const QString &message)
{
    // Only an address can name a unit; "Updater" and the like are not looked for among a
    // thousand units for every line of a pass.
    const bool maybeAddress = !source.isEmpty() && source.front().isDigit();
    const MarluneUnit *listed = maybeAddress ? findUnit(updatePipeline.state().vUnits, &MarluneUnit::ip, source) : nullptr;
    const QString line = statusLogLine(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                                       listed ? listed->name : QString(), source, message);
    BLOG_AS(kWindowSource, "MainWindow::toStatusLog") << "Status bar message:" << line;
    Q_EMIT statusLine(line);
    return line;
}

void UpdaterCore::unitEvent(const UnitEvent &event)
{
    const UnitEvent &told = event;
    QString line;
    if (const std::optional<StatusLogText> text = statusLogText(told))
        line = writeStatusLine(text->source, text->message);
    fleetModel->unitNamed(told.mac);
    if (told.mac.isEmpty() || told.batch <= 0)
        return;
    // Once another batch begins, the last one is no longer the one to pick up.
    if (lastBatch.batch.id != 0) {
        lastBatch = {};
        Q_EMIT resumableChanged();
    }
    batchAccount.apply(told);
    history->unitEvent(told, line);
    Q_EMIT unitStepped(told);
}

void UpdaterCore::rolloutHalted(const QString &text)
{
    history->batchHalted();
    Q_EMIT batchHalted(text);
}

int UpdaterCore::unitsTakingImage() const
{
    const PipelineState &state = updatePipeline.state();
    QSet<QString> counted;
    for (const QList<MarluneUnit> *list : {&state.vUnitsUpdate, &state.vUnitsConfirm}) {
        for (const MarluneUnit &unit : *list) {
            const auto run = state.runs.constFind(unit.mac);
            if (run != state.runs.cend() && run->commandedMs >= 0 && run->fetchedMs < 0 && !run->commandUnread
                && run->overdue == Overdue::None)
                counted.insert(unit.mac);
        }
    }
    return int(counted.size());
}

void UpdaterCore::newSession()
{
    if (server)
        server->newSession();
}

void UpdaterCore::tick()
{
    runTickPart([this] { updatePipeline.refreshTimerTimeout(); });
    // Statuses that follow the clock (a unit no longer heard from) are shown once a tick; while
    // "Discovering..." shows, the table waits.
    if (connection && !discovering())
        refreshFleet();
}

void UpdaterCore::refreshUnitTable()
{
    Q_EMIT tableChanged();
    refreshFleet();
}

// Many changes told one by one (command exchanges ending) are shown together, and a large
// fleet's later: each refresh of it costs more.
void UpdaterCore::refreshUnitTableSoon()
{
    Q_EMIT tableChangedSoon();
    constexpr int kSoonMs = 100;
    if (!fleetDelay->isActive())
        fleetDelay->start(kSoonMs * int(qMax<qsizetype>(1, updatePipeline.state().vUnits.size() / FleetModel::kRowsAtOnce)));
}

void UpdaterCore::refreshFleet()
{
    // The refreshes a tick asks for (one per pass) are made once, just after it, in an
    // event-loop turn of their own.
    if (tickPart) {
        fleetDelay->start(0);
        return;
    }
    fleetDelay->stop();
    if (!connection)
        return;
    updatePipeline.prepareTableRedraw();
    fleetModel->refresh();
}

// After each refresh, the same for both front-ends: each unit the status rules want tested (while
// units wait for confirmation, every unit whose status passes the package comparison) is tested
// for reachability, and the one-time warnings due are marked, then told.
void UpdaterCore::fleetRefreshed(const QStringList &reachabilityWanted)
{
    if (!connection)
        return;
    for (const QString &ip : reachabilityWanted) {
        MarluneUnit unit;
        unit.ip = ip;
        startTcpTest(unit);
    }
    PipelineState &state = updatePipeline.state();
    const TableWarnings due = ::warningsDue(state, MarluneConnect::localAddresses(), QDateTime::currentDateTime());
    state.firewallWarned = state.firewallWarned || due.firewall;
    state.subnetWarned = state.subnetWarned || due.outsideSubnet.has_value();
    state.manualUpdateWarned = state.manualUpdateWarned || due.tooOld.has_value();
    Q_EMIT fleetShown();
    if (due.firewall || due.outsideSubnet || due.tooOld)
        Q_EMIT warningsDue(due);
}

bool UpdaterCore::reachableNow(const MarluneUnit &unit)
{
    startTcpTest(unit);
    return updatePipeline.state().tcpAlive.value(unit.ip);
}

void UpdaterCore::nextTurn(std::function<void()> work)
{
    QTimer::singleShot(0, this, [this, work = std::move(work)] { runTickPart(work); });
}

void UpdaterCore::runTickPart(const std::function<void()> &work)
{
    // A turn asked for before shutdown finds nothing left to talk to.
    if (!connection)
        return;
    tickPart = true;
    work();
    tickPart = false;
    tickSubnets.reset();
}

void UpdaterCore::testFinished(const QString &ip, int port, bool result)
{
    if (updatePipeline.state().tcpAlive[ip] != result)
        BLOG_AS(kWindowSource, "MainWindow::testFinished") << QStringLiteral("\"%1\"").arg(ip) << port << result;
    updatePipeline.testFinished(ip, result);
}

void UpdaterCore::discoverUnits()
{
    if (!connection)
        return;
    updatePipeline.state().knownUnitsOnly = false;
    showMessage(QStringLiteral("Discovering..."), kRefreshIntervalMs);
    connection->discover();
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Sent Discover Packet."));
    refreshTimer->start();
}

bool UpdaterCore::queueForUpdate(const QStringList &macs)
{
    return updatePipeline.queueForUpdate(macs);
}

void UpdaterCore::clearEdidAttempts()
{
    updatePipeline.state().edidAttempts.clear();
}

void UpdaterCore::announceUpdate()
{
    showMessage(QStringLiteral("Updating ") + QString::number(updatePipeline.state().vUnitsUpdate.size())
                    + QStringLiteral(" units."),
                5000);
}

// How the plan paces the batch: "5 first, then at most 50 in flight", "all at once".
static QString paceText(const RolloutPlan &plan)
{
    QString pace = plan.maxInFlight > 0 ? QStringLiteral("at most %1 in flight").arg(plan.maxInFlight)
                                        : QStringLiteral("all at once");
    if (plan.canary > 0)
        pace = QStringLiteral("%1 first, then ").arg(plan.canary) + pace;
    if (plan.stopAfterFailures > 0)
        pace += QStringLiteral(", stop after ") + failedUnitsText(plan.stopAfterFailures);
    return pace;
}

void UpdaterCore::tellUpdating(int upToDateSkipped)
{
    const PipelineState &state = updatePipeline.state();
    QString text = QStringLiteral("Updating %1 units").arg(state.vUnitsUpdate.size());
    if (upToDateSkipped > 0)
        text += QStringLiteral(" (%1 up to date skipped)").arg(upToDateSkipped);
    toStatusLog(QStringLiteral("Updater"), text + QStringLiteral(" \u00b7 ") + paceText(state.rollout.plan));
}

void UpdaterCore::tellEdidReset()
{
    QSet<QString> encoders;
    for (const MarluneUnit &unit : updatePipeline.state().vUnitsUpdate)
        if (unit.isEncoder())
            encoders.insert(unit.mac);
    toStatusLog(QStringLiteral("Updater"),
                QStringLiteral("Resetting EDID on %1 encoders after their update").arg(encoders.size()));
}

QStringList UpdaterCore::stopCommanding()
{
    history->batchStopped();
    const QStringList withdrawn = updatePipeline.withdrawQueued();
    if (connection && !withdrawn.isEmpty()) {
        connection->dropWaitingExchanges(QSet<QString>(withdrawn.cbegin(), withdrawn.cend()));
        // The units of the batch still on their way: commanded, resetting EDID, or queued with
        // their command already going out.
        const PipelineState &state = updatePipeline.state();
        const PipelineIndex index(state);
        const auto goOn = std::count_if(state.batch.cbegin(), state.batch.cend(), [&index](const QString &mac) {
            return index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac);
        });
        toStatusLog(QStringLiteral("Updater"),
                    QStringLiteral("%1 queued units taken out of the queue; %2 commanded units go on.")
                        .arg(withdrawn.size())
                        .arg(goOn));
    }
    return withdrawn;
}

QStringList UpdaterCore::stopBatch()
{
    const QStringList withdrawn = stopCommanding();
    if (withdrawn.isEmpty())
        toStatusLog(QStringLiteral("Updater"), QStringLiteral("Batch stopped; no unit was waiting to be commanded."));
    return withdrawn;
}

void UpdaterCore::retryUnits(const QStringList &macs)
{
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Retrying %1 units").arg(macs.size()));
    updatePipeline.retryUnits(macs);
}

void UpdaterCore::batchOver()
{
    history->batchOver();
}

bool UpdaterCore::resumeRollout()
{
    const bool resumed = updatePipeline.resumeRollout();
    if (resumed)
        history->batchResumed();
    return resumed;
}

void UpdaterCore::removeUnits(const QStringList &macs)
{
    updatePipeline.removeUnits(macs);
    refreshFleet();
}

void UpdaterCore::setKnownUnitsOnly(bool only)
{
    updatePipeline.state().knownUnitsOnly = only;
}

void UpdaterCore::setDeadlines(const StepDeadlines &deadlines)
{
    updatePipeline.state().deadlines = deadlines;
}

void UpdaterCore::showMessage(const QString &text, int timeoutMs)
{
    message = text;
    messageShown.setRemainingTime(timeoutMs);
    Q_EMIT statusMessage(text, timeoutMs);
}

bool UpdaterCore::discovering() const
{
    return !messageShown.hasExpired() && message.contains(QLatin1String("Discover"));
}

// PipelinePort: the units.

void UpdaterCore::getStatus(const MarluneUnit &unit, bool useTcp)
{
    connection->getStatus(unit, useTcp);
}

void UpdaterCore::discover()
{
    connection->discover();
}

void UpdaterCore::sendConfig(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                             ExchangeDone done)
{
    connection->startConfigExchange(unit, command, std::move(starting), std::move(done));
}

QString UpdaterCore::localAddressFor(const MarluneUnit &unit)
{
    if (!tickPart)
        return connection->localAddressFor(unit);
    // The interfaces are listed once for the tick's part that asks, not once for every unit it
    // commands.
    if (!tickSubnets)
        tickSubnets.emplace(MarluneConnect::localAddresses());
    return tickSubnets->addressFor(unit);
}

QString UpdaterCore::localAddressFor(const QString &ip, const QString &netmask)
{
    MarluneUnit unit;
    unit.ip = ip;
    unit.subnet = netmask;
    return localAddressFor(unit);
}

void UpdaterCore::startTcpTest(const MarluneUnit &unit)
{
    // Tested a moment ago: the last known result is delivered again.
    if (!reachability->start(unit.ip))
        testFinished(unit.ip, kUnitPort, updatePipeline.state().tcpAlive[unit.ip]);
}
