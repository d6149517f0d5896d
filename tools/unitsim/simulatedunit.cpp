#include "simulatedunit.h"

#include "hungport.h"
#include "imagefetch.h"
#include "statusreply.h"
#include "unitconnection.h"
#include "wiremessage.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

namespace {

const QByteArray kUpdateCommand("setSettings:updateUnit:");
const QByteArray kConfirmCommand("setSettings:confirmUpdate");
const QByteArray kEdidCommand("setSettings:resetedid");
const QByteArray kEdidAnalogCommand("setSettings:resetedidanalog");
const QByteArray kIpSaveCommand("setSettings:ipsave");

constexpr int kUnitReceiveBuffer = 256 * 1024;

} // namespace

SimulatedUnit::SimulatedUnit(const UnitConfig &config, QObject *parent)
    : QObject(parent), unitConfig(config), udp(new QUdpSocket(this)), edidFailuresLeft(config.edidFailures)
{
    answerTimer.setSingleShot(true);
    answerTimer.setTimerType(Qt::PreciseTimer);
    connect(&answerTimer, &QTimer::timeout, this, &SimulatedUnit::answerDueMessages);
}

SimulatedUnit::~SimulatedUnit() = default;

bool SimulatedUnit::start(QString *error)
{
    // The fleet's broadcast socket holds 0.0.0.0:50001 as well, hence the shared binding.
    if (!udp->bind(QHostAddress(unitConfig.ip), kUnitPort,
                   QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        *error = QStringLiteral("[%1] cannot bind UDP %2:%3: %4")
                     .arg(unitConfig.id, unitConfig.ip)
                     .arg(kUnitPort)
                     .arg(udp->errorString());
        return false;
    }
    udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kUnitReceiveBuffer);
    if (unitConfig.vanishAfterSeconds > 0)
        QTimer::singleShot(unitConfig.vanishAfterSeconds * 1000, this, &SimulatedUnit::vanish);
    return listen(error);
}

QByteArray SimulatedUnit::udpReplyFor(unsigned char code) const
{
    if (rebooting || gone || unitConfig.behaviour == Behaviour::Silent || unitConfig.behaviour == Behaviour::Dead)
        return {};
    return StatusReply::forCode(unitConfig, code);
}

bool SimulatedUnit::listen(QString *error)
{
    if (unitConfig.behaviour == Behaviour::Dead)
        return true;
    if (unitConfig.tcp == TcpSide::Hangs) {
        // A hung network stack takes no connection on any port: the updater's reachability test,
        // which tries 50002 after 50001, waits out its timeout on both.
        for (const quint16 port : {kUnitPort, kAlternatePort}) {
            auto hung = std::make_unique<HungPort>();
            QString why;
            if (!hung->open(QHostAddress(unitConfig.ip), port, &why)) {
                *error = QStringLiteral("[%1] cannot hang TCP %2:%3: %4")
                             .arg(unitConfig.id, unitConfig.ip)
                             .arg(port)
                             .arg(why);
                hungPorts.clear();
                return false;
            }
            hungPorts.push_back(std::move(hung));
        }
        return true;
    }
    const quint16 port = unitConfig.behaviour == Behaviour::Port50002 ? kAlternatePort : kUnitPort;
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress(unitConfig.ip), port)) {
        *error = QStringLiteral("[%1] cannot listen on TCP %2:%3: %4")
                     .arg(unitConfig.id, unitConfig.ip)
                     .arg(port)
                     .arg(server->errorString());
        delete server;
        return false;
    }
    connect(server, &QTcpServer::newConnection, this, &SimulatedUnit::onNewConnection);
    servers.append(server);
    return true;
}

// A unit going down closes its port and every open connection with it.
void SimulatedUnit::stopListening()
{
    qDeleteAll(servers);
    servers.clear();
    hungPorts.clear();
    pending.clear(); // what it took in and had not answered yet is lost with it
    answerTimer.stop();
    for (const QPointer<UnitConnection> &connection : std::as_const(connections)) {
        if (connection)
            connection->drop();
    }
    connections.clear();
}

void SimulatedUnit::onNewConnection()
{
    auto *server = qobject_cast<QTcpServer *>(sender());
    connections.removeAll(nullptr);
    while (server && server->hasPendingConnections()) {
        auto *connection = new UnitConnection(server->nextPendingConnection(), this);
        connections.append(connection);
        connect(connection, &UnitConnection::messageReceived, this,
                [this, connection](const QByteArray &message) { onMessage(connection, message); });
    }
}

void SimulatedUnit::onMessage(UnitConnection *connection, const QByteArray &message)
{
    if (rebooting || gone)
        return;
    Q_EMIT event(QStringLiteral("TCP ") + WireMessage::describe(message));
    if (unitConfig.behaviour == Behaviour::Silent || unitConfig.tcp == TcpSide::Mute)
        return;
    if (unitConfig.messageDelayMs > 0) {
        pending.enqueue({connection, message, QDeadlineTimer(unitConfig.messageDelayMs, Qt::PreciseTimer)});
        if (!answerTimer.isActive())
            answerTimer.start(unitConfig.messageDelayMs);
        return;
    }
    answer(connection, message);
}

// The messages whose delay is over, in the order they arrived. A message whose connection closed
// meanwhile still takes effect (the unit had taken it in), and its answer goes nowhere.
void SimulatedUnit::answerDueMessages()
{
    while (!pending.isEmpty() && pending.head().due.hasExpired()) {
        const PendingMessage next = pending.dequeue();
        answer(next.connection, next.message);
    }
    if (!pending.isEmpty())
        answerTimer.start(int(qMax<qint64>(0, pending.head().due.remainingTime())));
}

// Acts on a message and sends the answer back on the connection, if it is still open.
void SimulatedUnit::answer(UnitConnection *connection, const QByteArray &message)
{
    QByteArray reply;
    unsigned char code = 0;
    if (WireMessage::isQuery(message, &code))
        reply = StatusReply::forCode(unitConfig, code);
    else if (!WireMessage::isSetupBuffer(message) && !unitConfig.isFixedLayoutOnly())
        reply = answerText(message);
    // Anything else, and a query for a code the unit does not know, gets the plain status.
    if (reply.isEmpty())
        reply = StatusReply::current(unitConfig);
    if (connection)
        connection->send(reply);
}

QByteArray SimulatedUnit::answerText(const QByteArray &message)
{
    if (message.startsWith(kEdidCommand))
        return resetEdid(message);
    if (message.startsWith(kUpdateCommand)) {
        // The unit acknowledges with its status first and then goes to fetch its image.
        const QByteArray status = StatusReply::current(unitConfig);
        if (unitConfig.behaviour == Behaviour::NeverFetches)
            Q_EMIT event(QStringLiteral("NO-FETCH"));
        else
            QTimer::singleShot(0, this, [this, message] { startFetch(message); });
        return status;
    }
    if (message.startsWith(kConfirmCommand)) {
        unitConfig.updateStatus = false;
        Q_EMIT event(QStringLiteral("CONFIRMED"));
    } else if (message.startsWith(kIpSaveCommand)) {
        unitConfig.ipTrial = false;
        Q_EMIT event(QStringLiteral("IPSAVED"));
    }
    return StatusReply::current(unitConfig);
}

QByteArray SimulatedUnit::resetEdid(const QByteArray &message)
{
    if (edidFailuresLeft > 0) {
        --edidFailuresLeft;
        ++edidFailuresGiven;
        Q_EMIT event(QStringLiteral("EDID-FAILED %1").arg(edidFailuresGiven));
        return QByteArrayLiteral("Failed To Reset EDID\r");
    }
    const bool analog = message.contains(kEdidAnalogCommand);
    Q_EMIT event(QStringLiteral("EDID-OK analog=%1").arg(analog ? 1 : 0));
    return QByteArrayLiteral("Successfully Reset EDID\r");
}

void SimulatedUnit::startFetch(const QByteArray &command)
{
    if (fetch || rebooting || gone)
        return; // one update at a time, as the units do
    QByteArray argument = command.mid(kUpdateCommand.size());
    const qsizetype end = argument.indexOf('\r');
    if (end >= 0)
        argument.truncate(end);
    const QString address = QString::fromLatin1(argument).trimmed();
    Q_EMIT event(QStringLiteral("FETCH-START %1").arg(address).trimmed());

    QHostAddress server;
    if (!server.setAddress(address) || server.protocol() != QAbstractSocket::IPv4Protocol) {
        Q_EMIT event(QStringLiteral("FETCH-FAILED no server address '%1'").arg(address));
        return;
    }
    fetchFrom(server, unitConfig.dropAtPercent > 0);
}

void SimulatedUnit::fetchFrom(const QHostAddress &server, bool breakOff)
{
    const QString image = QLatin1String(Families::traits(unitConfig.family).name);
    fetch = new ImageFetch(QHostAddress(unitConfig.ip), server, image, this);
    if (breakOff)
        fetch->breakOffAt(unitConfig.dropAtPercent);
    if (unitConfig.digest)
        fetch->keepDigest();
    if (unitConfig.fetchKiBps > 0)
        fetch->limitRate(unitConfig.fetchKiBps);
    connect(fetch, &ImageFetch::succeeded, this, &SimulatedUnit::onFetched);
    connect(fetch, &ImageFetch::failed, this, [this](const QString &reason) {
        fetch->deleteLater();
        Q_EMIT event(QStringLiteral("FETCH-FAILED %1").arg(reason));
    });
    // Once only: the unit fetches again on its own, and that fetch takes the whole image.
    connect(fetch, &ImageFetch::brokeOff, this, [this, server](qint64 received, qint64 contentLength) {
        fetch->deleteLater();
        Q_EMIT event(QStringLiteral("FETCH-DROPPED %1 %2").arg(received).arg(contentLength));
        QTimer::singleShot(kRetryMs, this, [this, server] {
            if (fetch || rebooting || gone)
                return;
            Q_EMIT event(QStringLiteral("FETCH-RETRY %1").arg(server.toString()));
            fetchFrom(server, false);
        });
    });
    fetch->start();
}

void SimulatedUnit::onFetched(qint64 bytes, qint64 milliseconds, const QString &swversion,
                              const QString &webversion, const QByteArray &digest)
{
    fetch->deleteLater();
    Q_EMIT event(QStringLiteral("FETCH-OK %1 %2 %3").arg(bytes).arg(milliseconds).arg(QString::fromLatin1(digest))
                     .trimmed());
    if (unitConfig.behaviour == Behaviour::NeverReboots) {
        // The image is thrown away: old software, nothing pending.
        unitConfig.updateStatus = false;
        Q_EMIT event(QStringLiteral("NO-REBOOT"));
        return;
    }
    if (unitConfig.behaviour == Behaviour::NeverReturns) {
        // Down for good: the port closes and nothing is ever answered again.
        gone = true;
        stopListening();
        Q_EMIT event(QStringLiteral("GONE"));
        return;
    }
    pendingSwversion = swversion;
    pendingWebversion = webversion;
    rebootsLeft = unitConfig.reboots - 1;
    goDown();
}

void SimulatedUnit::goDown()
{
    rebooting = true;
    Q_EMIT event(QStringLiteral("REBOOTING %1").arg(unitConfig.rebootSeconds));
    stopListening();
    QTimer::singleShot(unitConfig.rebootSeconds * 1000, this, &SimulatedUnit::comeBackUp);
}

void SimulatedUnit::comeBackUp()
{
    if (gone)
        return;
    const bool interim = rebootsLeft > 0;
    if (!pendingSwversion.isEmpty())
        unitConfig.swversion = pendingSwversion;
    if (!pendingWebversion.isEmpty() && !interim)
        unitConfig.webversion = pendingWebversion;
    // The new software waits for the updater's confirmation once the whole image is in.
    unitConfig.updateStatus = !interim;
    rebooting = false;
    QString error;
    if (!listen(&error)) {
        Q_EMIT event(QStringLiteral("LISTEN-FAILED %1").arg(error));
        return;
    }
    Q_EMIT event(QStringLiteral("%1 %2 %3")
                     .arg(interim ? QStringLiteral("UP-INTERIM") : QStringLiteral("UP"), unitConfig.swversion,
                          unitConfig.webversion));
    if (interim) {
        --rebootsLeft;
        QTimer::singleShot(unitConfig.rebootSeconds * 1000, this, [this] {
            if (!gone)
                goDown();
        });
    }
}

// Unplugged: no datagram is answered and no connection completes (nor is refused) from now on;
// a fetch under way stops where it is.
void SimulatedUnit::vanish()
{
    if (gone)
        return;
    gone = true;
    rebooting = false;
    delete fetch.data();
    stopListening();
    for (const quint16 port : {kUnitPort, kAlternatePort}) {
        auto hung = std::make_unique<HungPort>();
        QString why;
        if (hung->open(QHostAddress(unitConfig.ip), port, &why))
            hungPorts.push_back(std::move(hung));
    }
    Q_EMIT event(QStringLiteral("VANISHED"));
}
