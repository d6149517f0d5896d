#include "simulatedunit.h"

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
    : QObject(parent), m_config(config), m_udp(new QUdpSocket(this)), m_edidFailuresLeft(config.edidFailures)
{
}

bool SimulatedUnit::start(QString *error)
{
    // The fleet's broadcast socket holds 0.0.0.0:50001 as well, hence the shared binding.
    if (!m_udp->bind(QHostAddress(m_config.ip), UnitPort,
                     QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        *error = QStringLiteral("[%1] cannot bind UDP %2:%3: %4")
                     .arg(m_config.id, m_config.ip)
                     .arg(UnitPort)
                     .arg(m_udp->errorString());
        return false;
    }
    m_udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kUnitReceiveBuffer);
    return listen(error);
}

QByteArray SimulatedUnit::udpReplyFor(unsigned char code) const
{
    if (m_rebooting || m_config.behaviour == Behaviour::Silent || m_config.behaviour == Behaviour::Dead)
        return {};
    return StatusReply::forCode(m_config, code);
}

bool SimulatedUnit::listen(QString *error)
{
    if (m_config.behaviour == Behaviour::Dead)
        return true;
    const quint16 port = m_config.behaviour == Behaviour::Port50002 ? AlternatePort : UnitPort;
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress(m_config.ip), port)) {
        *error = QStringLiteral("[%1] cannot listen on TCP %2:%3: %4")
                     .arg(m_config.id, m_config.ip)
                     .arg(port)
                     .arg(server->errorString());
        delete server;
        return false;
    }
    connect(server, &QTcpServer::newConnection, this, &SimulatedUnit::onNewConnection);
    m_servers.append(server);
    return true;
}

// A unit going down closes its port and every open connection with it.
void SimulatedUnit::stopListening()
{
    qDeleteAll(m_servers);
    m_servers.clear();
    for (const QPointer<UnitConnection> &connection : std::as_const(m_connections)) {
        if (connection)
            connection->drop();
    }
    m_connections.clear();
}

void SimulatedUnit::onNewConnection()
{
    auto *server = qobject_cast<QTcpServer *>(sender());
    m_connections.removeAll(nullptr);
    while (server && server->hasPendingConnections()) {
        auto *connection = new UnitConnection(server->nextPendingConnection(), this);
        m_connections.append(connection);
        connect(connection, &UnitConnection::messageReceived, this,
                [this, connection](const QByteArray &message) { onMessage(connection, message); });
    }
}

void SimulatedUnit::onMessage(UnitConnection *connection, const QByteArray &message)
{
    if (m_rebooting)
        return;
    Q_EMIT event(QStringLiteral("TCP ") + WireMessage::describe(message));
    if (m_config.behaviour == Behaviour::Silent)
        return;

    QByteArray reply;
    unsigned char code = 0;
    if (WireMessage::isQuery(message, &code))
        reply = StatusReply::forCode(m_config, code);
    else if (!WireMessage::isSetupBuffer(message) && !m_config.isFixedLayoutOnly())
        reply = answerText(message);
    // Anything else, and a query for a code the unit does not know, gets the plain status.
    if (reply.isEmpty())
        reply = StatusReply::current(m_config);
    connection->send(reply);
}

QByteArray SimulatedUnit::answerText(const QByteArray &message)
{
    if (message.startsWith(kEdidCommand))
        return resetEdid(message);
    if (message.startsWith(kUpdateCommand)) {
        // The unit acknowledges with its status first and then goes to fetch its image.
        const QByteArray status = StatusReply::current(m_config);
        QTimer::singleShot(0, this, [this, message] { startFetch(message); });
        return status;
    }
    if (message.startsWith(kConfirmCommand)) {
        m_config.updateStatus = false;
        Q_EMIT event(QStringLiteral("CONFIRMED"));
    } else if (message.startsWith(kIpSaveCommand)) {
        m_config.ipTrial = false;
        Q_EMIT event(QStringLiteral("IPSAVED"));
    }
    return StatusReply::current(m_config);
}

QByteArray SimulatedUnit::resetEdid(const QByteArray &message)
{
    if (m_edidFailuresLeft > 0) {
        --m_edidFailuresLeft;
        ++m_edidFailuresGiven;
        Q_EMIT event(QStringLiteral("EDID-FAILED %1").arg(m_edidFailuresGiven));
        return QByteArrayLiteral("Failed To Reset EDID\r");
    }
    const bool analog = message.contains(kEdidAnalogCommand);
    Q_EMIT event(QStringLiteral("EDID-OK analog=%1").arg(analog ? 1 : 0));
    return QByteArrayLiteral("Successfully Reset EDID\r");
}

void SimulatedUnit::startFetch(const QByteArray &command)
{
    if (m_fetch || m_rebooting)
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
    const QString image = QLatin1String(Families::traits(m_config.family).name);
    m_fetch = new ImageFetch(QHostAddress(m_config.ip), server, image, this);
    connect(m_fetch, &ImageFetch::succeeded, this, &SimulatedUnit::onFetched);
    connect(m_fetch, &ImageFetch::failed, this, [this](const QString &reason) {
        m_fetch->deleteLater();
        Q_EMIT event(QStringLiteral("FETCH-FAILED %1").arg(reason));
    });
    m_fetch->start();
}

void SimulatedUnit::onFetched(qint64 bytes, qint64 milliseconds, const QString &swversion,
                              const QString &webversion)
{
    m_fetch->deleteLater();
    Q_EMIT event(QStringLiteral("FETCH-OK %1 %2").arg(bytes).arg(milliseconds));
    if (m_config.behaviour == Behaviour::NeverReboots) {
        // The image is thrown away: old software, nothing pending.
        m_config.updateStatus = false;
        Q_EMIT event(QStringLiteral("NO-REBOOT"));
        return;
    }
    m_pendingSwversion = swversion;
    m_pendingWebversion = webversion;
    m_rebooting = true;
    Q_EMIT event(QStringLiteral("REBOOTING %1").arg(m_config.rebootSeconds));
    stopListening();
    QTimer::singleShot(m_config.rebootSeconds * 1000, this, &SimulatedUnit::comeBackUp);
}

void SimulatedUnit::comeBackUp()
{
    if (!m_pendingSwversion.isEmpty())
        m_config.swversion = m_pendingSwversion;
    if (!m_pendingWebversion.isEmpty())
        m_config.webversion = m_pendingWebversion;
    m_config.updateStatus = true; // the new software waits for the updater's confirmation
    m_rebooting = false;
    QString error;
    if (!listen(&error)) {
        Q_EMIT event(QStringLiteral("LISTEN-FAILED %1").arg(error));
        return;
    }
    Q_EMIT event(QStringLiteral("UP"));
}
