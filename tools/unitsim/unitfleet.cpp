#include "unitfleet.h"

#include "family.h"
#include "simulatedunit.h"
#include "wiremessage.h"

#include <QUdpSocket>
#include <QVariant>

namespace {

// 250 units hear a 13-datagram burst; ample room for that and for whatever else is in flight.
constexpr int kBroadcastReceiveBuffer = 4 * 1024 * 1024;

QString datagramText(const QNetworkDatagram &datagram)
{
    return QStringLiteral("%1 bytes from %2:%3: %4")
        .arg(datagram.data().size())
        .arg(datagram.senderAddress().toString())
        .arg(datagram.senderPort())
        .arg(QString::fromLatin1(datagram.data().left(32).toHex(' ')));
}

bool answersEmptyRequest(Family family)
{
    return family == Family::KPanel || family == Family::Vod || family == Family::Conductor;
}

} // namespace

UnitFleet::UnitFleet(const FleetDescription &description, QObject *parent)
    : QObject(parent), verbose(description.verbose), pacing(description.replyPacing),
      broadcast(new QUdpSocket(this))
{
    for (const UnitConfig &config : description.units) {
        auto *unit = new SimulatedUnit(config, this);
        const QString id = config.id;
        connect(unit, &SimulatedUnit::event, this,
                [this, id](const QString &text) { Q_EMIT event(id + u' ' + text); });
        units.append(unit);
    }
    sendTimer.setInterval(kBurstIntervalMs);
    connect(&sendTimer, &QTimer::timeout, this, &UnitFleet::sendQueued);
}

bool UnitFleet::start(QString *error)
{
    if (!broadcast->bind(QHostAddress::AnyIPv4, SimulatedUnit::kUnitPort,
                         QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        *error = QStringLiteral("cannot bind the broadcast socket 0.0.0.0:%1: %2")
                     .arg(SimulatedUnit::kUnitPort)
                     .arg(broadcast->errorString());
        return false;
    }
    broadcast->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kBroadcastReceiveBuffer);
    connect(broadcast, &QUdpSocket::readyRead, this, &UnitFleet::readBroadcasts);

    for (SimulatedUnit *unit : std::as_const(units)) {
        if (!unit->start(error))
            return false;
        connect(unit->udpSocket(), &QUdpSocket::readyRead, this, [this, unit] { readUnicasts(unit); });
    }
    return true;
}

void UnitFleet::readBroadcasts()
{
    while (broadcast->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = broadcast->receiveDatagram();
        unsigned char code = 0;
        if (!WireMessage::isQuery(datagram.data(), &code)) {
            if (verbose)
                Q_EMIT log(QStringLiteral("fleet: dropped %1").arg(datagramText(datagram)));
            continue;
        }
        if (verbose)
            Q_EMIT log(QStringLiteral("fleet: query 0x%1 %2")
                           .arg(code, 2, 16, QLatin1Char('0'))
                           .arg(datagramText(datagram)));
        for (SimulatedUnit *unit : std::as_const(units))
            if (!unit->config().ignoresBroadcast)
                answer(unit, datagram, code);
    }
    startSending();
}

void UnitFleet::readUnicasts(SimulatedUnit *unit)
{
    QUdpSocket *socket = unit->udpSocket();
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        unsigned char code = 0;
        // Panels, video servers and controllers have no status query of their own: the updater
        // asks them with an empty datagram sent to them, which they answer like their discovery
        // query. (A unit's own socket also hears broadcasts; those ask nothing.)
        if (datagram.data().isEmpty() && answersEmptyRequest(unit->config().family)
            && datagram.destinationAddress() == QHostAddress(unit->config().ip)) {
            answer(unit, datagram, Families::traits(unit->config().family).codes[0]);
            continue;
        }
        if (!WireMessage::isQuery(datagram.data(), &code)) {
            if (unit->config().verbose)
                Q_EMIT log(QStringLiteral("%1: dropped %2").arg(unit->config().id, datagramText(datagram)));
            continue;
        }
        answer(unit, datagram, code);
    }
    startSending();
}

void UnitFleet::answer(SimulatedUnit *unit, const QNetworkDatagram &datagram, unsigned char code)
{
    const QByteArray reply = unit->udpReplyFor(code);
    if (unit->config().verbose) {
        Q_EMIT log(QStringLiteral("%1: query 0x%2 %3 -> %4")
                       .arg(unit->config().id)
                       .arg(code, 2, 16, QLatin1Char('0'))
                       .arg(datagramText(datagram))
                       .arg(reply.isEmpty() ? QStringLiteral("no answer")
                                            : QStringLiteral("%1-byte reply").arg(reply.size())));
    }
    if (reply.isEmpty())
        return;
    queue.enqueue({unit->udpSocket(), reply, datagram.senderAddress(), quint16(datagram.senderPort())});
}

void UnitFleet::startSending()
{
    if (sendTimer.isActive() || queue.isEmpty())
        return;
    sendQueued();
    if (!queue.isEmpty())
        sendTimer.start();
}

void UnitFleet::sendQueued()
{
    for (int i = 0; (pacing == 0 || i < pacing) && !queue.isEmpty(); ++i) {
        const Reply reply = queue.dequeue();
        if (reply.socket)
            reply.socket->writeDatagram(reply.data, reply.address, reply.port);
    }
    if (queue.isEmpty())
        sendTimer.stop();
}
