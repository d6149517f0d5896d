#include "marluneconnectreduced.h"

#include "statusreply.h"
#include "app/debuglog.h"

#include <QMutex>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

// The endpoint's packets, its parsing of replies and its view of the local interfaces. The UDP
// sockets are in marluneconnectdatagrams.cpp, the TCP exchanges in marluneconnectexchanges.cpp.
static const char kLogSource[] = "marluneconnectreduced";

QByteArray queryPacket(quint8 code)
{
    static const char tail[] = {char(0xCA), char(0xFE), 0x12, 0x34, char(0xFF), char(0xFF), char(0xFF), char(0xFF)};
    QByteArray packet;
    packet.append(char(0x01));
    packet.append(char(code));
    packet.append(tail, sizeof tail);
    return packet;
}

QByteArray setupBuffer()
{
    static const char head[] = {0x01, char(0xA0), char(0xCA), char(0xFE), 0x12, 0x34,
                                char(0xFF), char(0xFF), char(0xFF), char(0xFF), 0x01};
    QByteArray buffer(int(kTcpReplyLimit), '\0');
    std::copy(std::begin(head), std::end(head), buffer.begin());
    return buffer;
}

int queryCodeForUnit(const MarluneUnit &unit)
{
    int code = -1;
    if (unit.isDecoder()) {
        if (unit.KSeries == 1) {
            if (unit.isGen3()) {
                code = 0xB6;
            } else {
                code = 0x19;
                if (unit.isGen2FourK())
                    code = 0xCB;
            }
        } else {
            code = 0x98;
        }
    }
    if (unit.isEncoder() || unit.isDvr() || unit.isWp()) {
        code = 0x96;
        if (unit.isEncoder() && unit.KSeries == 1) {
            if (unit.isGen3()) {
                code = 0xB5;
            } else {
                code = 0x14;
                if (unit.isGen2FourK())
                    code = 0xCA;
            }
        }
        if (unit.isDvr() && unit.fwversion != QLatin1String("0/0/0"))
            code = 0xB7;
    }
    if (unit.isAtr())
        code = unit.sn.contains(QLatin1String("K4")) ? 0xB8 : 0xB4;
    return code;
}

ConfigMessages configMessagesFor(const MarluneUnit &unit, const QByteArray &command)
{
    ConfigMessages messages{setupBuffer(), queryPacket(0x96)};
    if (unit.isAtr())
        messages.second = queryPacket(unit.sn.contains(QLatin1String("K4")) ? 0xB8 : 0xB4);
    if (unit.isDecoder() || unit.isDvr())
        messages.second = queryPacket(0x98);
    if (unit.isWp() || unit.isAtr() || unit.isKSeries() || unit.isDvr() || unit.isWpc() || unit.isVod()) {
        messages.first = command;
        messages.second = QByteArrayLiteral("getStatus\r");
    }
    return messages;
}

MarluneConnect::MarluneConnect(QObject *parent)
    : QObject(parent), dropReport(new QTimer(this)), readWatch(new QTimer(this))
{
    initPackets();
    dropReport->setObjectName(QStringLiteral("dropReport"));
    dropReport->setSingleShot(true);
    connect(dropReport, &QTimer::timeout, this, &MarluneConnect::reportDroppedDatagrams);
    readWatch->setInterval(250);
    connect(readWatch, &QTimer::timeout, this, [this] {
        if (udpSocket && !turnScheduled && (datagramsPending() || !receivedDatagrams.isEmpty()))
            readPendingDatagrams();
    });
}

void MarluneConnect::initPackets()
{
    for (size_t i = 0; i < kQueryCodes.size(); ++i) {
        packets[i].clear();
        packets[i] = queryPacket(kQueryCodes[i]);
    }
    setupPacket.clear();
    setupPacket = setupBuffer();
}

QByteArray MarluneConnect::packetFor(const MarluneUnit &unit) const
{
    const int code = queryCodeForUnit(unit);
    for (size_t i = 0; i < kQueryCodes.size(); ++i)
        if (kQueryCodes[i] == code)
            return packets[i];
    return QByteArray();
}

void MarluneConnect::discover()
{
    if (!udpSocket)
        return;
    for (const QByteArray &packet : packets)
        udpSocket->writeDatagram(packet, QHostAddress::Broadcast, kUnitPort);
}

void MarluneConnect::disconnected()
{
    BLOG << "Socket was disconnected.";
}

QList<QHostAddress> MarluneConnect::localAddresses()
{
    // Listing the interfaces takes a socket of its own. With no descriptor left the list comes
    // back empty (a machine has loopback at least): the last list read stands in for it, so that
    // a command is never sent with no address for the unit to fetch from.
    static QMutex lastReadLock;
    static QList<QNetworkInterface> lastRead;
    static bool readFailed = false;
    QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    {
        QMutexLocker locker(&lastReadLock);
        if (!interfaces.isEmpty()) {
            lastRead = interfaces;
            readFailed = false;
        } else {
            // Said once for each time the listing starts failing, not for every unit asked about.
            if (!readFailed)
                BLOG << "The network interfaces could not be listed; using those listed before.";
            readFailed = true;
            interfaces = lastRead;
        }
    }
    QList<QHostAddress> addresses;
    for (const QNetworkInterface &iface : interfaces) {
        if (!(iface.flags() & QNetworkInterface::IsUp))
            continue;
        const QString name = iface.humanReadableName();
        if (name.contains(QLatin1String("VMnet1")) || name.contains(QLatin1String("VMnet8")))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            addresses.append(entry.ip());
    }
    return addresses;
}

QString MarluneConnect::localAddressFor(const MarluneUnit &unit, const QList<QHostAddress> &candidates)
{
    const auto subnet = QHostAddress::parseSubnet(unit.ip + QLatin1Char('/') + unit.subnet);
    for (const QHostAddress &address : candidates)
        if (address.isInSubnet(subnet))
            return address.toString();
    return QString();
}

QString MarluneConnect::localAddressFor(const MarluneUnit &unit) const
{
    return localAddressFor(unit, localAddresses());
}

QString MarluneConnect::localAddressFor(const QString &ip, const QString &netmask) const
{
    MarluneUnit unit;
    unit.ip = ip;
    unit.subnet = netmask;
    return localAddressFor(unit);
}

MarluneUnit MarluneConnect::packetAnalyze(const QByteArray &reply)
{
    StatusReply parsed = parseStatusReply(reply);
    if (parsed.needsRecorderStatus) {
        getStatus(parsed.requestFor, false);
        return parsed.unit;
    }
    if (parsed.idButtonPressed) {
        BLOG << "Received ID button for" << parsed.unit.name << "at" << parsed.unit.ip;
        Q_EMIT unitIDPushedSignal(parsed.unit);
    }
    return parsed.unit;
}

MarluneUnit MarluneConnect::getStatus(const MarluneUnit &unit, bool useTcp)
{
    initPackets();
    const QByteArray packet = packetFor(unit);
    if (!useTcp) {
        if (udpSocket)
            udpSocket->writeDatagram(packet, QHostAddress(unit.ip), kUnitPort);
        return MarluneUnit();
    }
    const MarluneUnit parsed = packetAnalyze(tcpOneShot(unit.ip, packet));
    if (parsed.mac.size() > 5)
        Q_EMIT unitChangedSignal(parsed);
    return parsed;
}

QString MarluneConnect::hexDump(const QByteArray &data)
{
    bool printable = true;
    for (const char c : data) {
        const uchar byte = uchar(c);
        if (byte != '\r' && byte != '\n' && (byte < 0x20 || byte > 0x7E)) {
            printable = false;
            break;
        }
    }
    if (printable)
        return QStringLiteral("ASCII: \n") + QString::fromLatin1(data);

    QString dump;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const uchar byte = uchar(data.at(i));
        if (byte != 0)
            dump += QStringLiteral("\n%1, 0x%2").arg(i).arg(byte, 0, 16);
    }
    return dump;
}
