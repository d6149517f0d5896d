#include "marluneconnectreduced.h"

#include "statusreply.h"
#include "app/debuglog.h"
#include "app/folders.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <optional>

// The endpoint's UDP side: binding its sockets, and taking datagrams off them in bounded turns.
// Its debug lines carry the endpoint's source name, as those of the rest of it do.
static const char kLogSource[] = "marluneconnectreduced";

namespace {

constexpr quint16 kFirstRandomPort = 51146;
constexpr quint32 kRandomPortSpan = 501;
constexpr quint16 kLastWildcardPort = 52000;
// Replies of a whole fleet arrive at once after a discovery burst; the kernel's default
// receive buffer holds only a few hundred of them.
constexpr int kUdpReceiveBuffer = 4 * 1024 * 1024;

#ifdef Q_OS_LINUX
// Opens a UDP socket on address:port that joins the port's group of shared sockets. The kernel
// hands each reply to one socket of the group, chosen by the sender's address, so each socket's
// receive queue takes its own share of a burst; a broadcast, though, reaches every socket of the
// group. Each datagram carries its destination address, so that such copies can be told apart.
// Returns -1 when the port cannot be shared.
int openSharedSocket(const QHostAddress &address, quint16 port, bool reuseAddress, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address.toIPv4Address());
    const bool ready = ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0
                       && (!reuseAddress || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0)
                       && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0
                       && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) == 0
                       && ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0
                       && ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
    if (!ready) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

} // namespace

void MarluneConnect::init()
{
    udpSocket = new QUdpSocket(this);
    BLOG << "Initalize MarluneConnect " << QThread::currentThreadId();
    bool connected =
        bool(connect(udpSocket, &QUdpSocket::readyRead, this, &MarluneConnect::readPendingDatagrams));
    BLOG << "signal/slot datagram connect: " << connected;
    connected = bool(connect(udpSocket, &QUdpSocket::disconnected, this, &MarluneConnect::disconnected));
    BLOG << "signal/slot datagram connect: " << connected;
    reBind();
    readWatch->start();
}

void MarluneConnect::reBind()
{
    if (!udpSocket)
        return;
    const quint32 r = QRandomGenerator::global()->generate();

    QSettings settings(Folders::settingsPath(), QSettings::IniFormat);
    const QString bindAddress = settings.value(QStringLiteral("bindAddress"), QString()).toString();
    const int forceUDPPortBind = settings.value(QStringLiteral("forceUDPPortBind"), 0).toInt();
    const int udpPortBind = settings.value(QStringLiteral("UDPPortBind"), 50005).toInt();

    int port = kFirstRandomPort + int(r % kRandomPortSpan);
    if (forceUDPPortBind >= 1 && udpPortBind >= 1)
        port = udpPortBind;

    bool bound = false;
    const auto subnet = QHostAddress::parseSubnet(bindAddress + QStringLiteral("/255.255.0.0"));
    if (!subnet.first.isNull() && !bindAddress.isEmpty() && port <= 65535)
        bound = udpSocket->bind(QHostAddress(bindAddress), quint16(port));
    // A fixed or chosen port may be taken: move up until one is free.
    for (int candidate = port; !bound && candidate <= kLastWildcardPort; ++candidate)
        bound = udpSocket->bind(QHostAddress::AnyIPv4, quint16(candidate));

    if (!bound) {
        BLOG << "Could not bind to anything!";
        return;
    }
    shareBoundPort();
    udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                               kUdpReceiveBuffer / int(1 + sharingSockets.size()));
    // The kernel may grant less than asked (net.core.rmem_max); Linux reports twice the size set.
    BLOG << "UDP receive buffer asked" << kUdpReceiveBuffer << "granted"
         << udpSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() * (1 + sharingSockets.size())
         << "in" << 1 + sharingSockets.size() << "sockets";
    BLOG << "udpSocket->localPort()" << udpSocket->localPort();
}

// Replaces the socket just bound by a group of sockets sharing its address and port, so that a
// whole fleet's replies to one discovery burst fit in the kernel's queues even where the cap on
// one socket's receive buffer is small. Sending still goes through udpSocket alone. The port was
// found by a plain bind, so a port another program holds unshared is still passed over. Where
// the group cannot be formed, the plain socket stays.
void MarluneConnect::shareBoundPort()
{
#ifdef Q_OS_LINUX
    const QHostAddress address = udpSocket->localAddress();
    const quint16 port = udpSocket->localPort();
    int reuseAddress = 0;
    socklen_t length = sizeof reuseAddress;
    ::getsockopt(int(udpSocket->socketDescriptor()), SOL_SOCKET, SO_REUSEADDR, &reuseAddress, &length);
    const int share = kUdpReceiveBuffer / kSharingSockets;

    {
        const QSignalBlocker quiet(udpSocket);
        udpSocket->close();
    }
    const int first = openSharedSocket(address, port, reuseAddress != 0, share);
    if (first < 0 || !udpSocket->setSocketDescriptor(first, QAbstractSocket::BoundState)) {
        if (first >= 0)
            ::close(first);
        udpSocket->bind(address, port);
        return;
    }
    for (int i = 1; i < kSharingSockets; ++i) {
        const int fd = openSharedSocket(address, port, reuseAddress != 0, share);
        if (fd < 0)
            break;
        auto *socket = new QUdpSocket(this);
        if (!socket->setSocketDescriptor(fd, QAbstractSocket::BoundState)) {
            ::close(fd);
            delete socket;
            break;
        }
        connect(socket, &QUdpSocket::readyRead, this, &MarluneConnect::readPendingDatagrams);
        sharingSockets.append(socket);
    }
#endif
}

bool MarluneConnect::datagramsPending() const
{
    if (udpSocket->hasPendingDatagrams())
        return true;
    for (const QUdpSocket *socket : sharingSockets)
        if (socket->hasPendingDatagrams())
            return true;
    return false;
}

// Replies parsed between two looks at the sockets: a few milliseconds of parsing, far less than
// the kernel's queue of a socket holds.
constexpr int kParsesBetweenDrains = 16;

void MarluneConnect::readPendingDatagrams()
{
    if (!udpSocket)
        return;
    takeDatagrams();

    QElapsedTimer parsing;
    parsing.start();
    for (int parsed = 0; !receivedDatagrams.isEmpty() && parsed < datagramLimits.parsePerTurn
                         && parsing.elapsed() < datagramLimits.parseBudgetMs;
         ++parsed) {
        const QByteArray datagram = receivedDatagrams.dequeue();
        receivedBytes -= datagram.size();
        const MarluneUnit unit = packetAnalyze(datagram);
        if (unit.mac.size() > 5)
            Q_EMIT unitChangedSignal(unit);
        // The sockets are drained every few parses, so a burst does not overflow the kernel's
        // queues. (Looking at each of the sockets costs a system call even when it is empty: after
        // every parse, that was the greater part of a large fleet's tick.)
        if ((parsed + 1) % kParsesBetweenDrains == 0)
            takeDatagrams();
    }

    if (droppedOversized + droppedOldest + droppedUnreadable > 0 && !dropReport->isActive())
        dropReport->start(datagramLimits.dropReportMs);
    const bool moreToDo = !receivedDatagrams.isEmpty() || datagramsPending();
    if (moreToDo && !turnScheduled) {
        // Let the event loop run (timers, the window, the file server) before the next turn.
        turnScheduled = true;
        QTimer::singleShot(0, this, [this] {
            turnScheduled = false;
            readPendingDatagrams();
        });
    }
}

// Moves what the sockets hold into the queue, a bounded number per call. The sockets are taken
// in turns of a few datagrams each, so no queue waits long behind another.
void MarluneConnect::takeDatagrams()
{
    constexpr int kTakenAtOnce = 16;
    int taken = 0;
    bool tookAny = true;
    while (tookAny && taken < datagramLimits.readPerTurn) {
        tookAny = false;
        for (qsizetype i = -1; i < sharingSockets.size() && taken < datagramLimits.readPerTurn; ++i) {
            QUdpSocket *socket = i < 0 ? udpSocket : sharingSockets.at(i);
            for (int fromThis = 0; fromThis < kTakenAtOnce && taken < datagramLimits.readPerTurn
                                   && socket->hasPendingDatagrams();
                 ++fromThis, ++taken) {
                tookAny = true;
                takeDatagram(socket);
            }
        }
    }
}

void MarluneConnect::takeDatagram(QUdpSocket *socket)
{
    const qint64 size = socket->pendingDatagramSize();
    if (size < 0 || size > datagramLimits.maxSize) {
        // Nothing readable after all (an ICMP error report), or far larger than any reply:
        // read it away without keeping it.
        QHostAddress sender;
        socket->readDatagram(nullptr, 0, &sender);
        if (size > datagramLimits.maxSize)
            refuseOversized(sender, size);
        return;
    }
    QByteArray datagram;
    if (socket == udpSocket) {
        datagram.resize(size);
        const qint64 read = socket->readDatagram(datagram.data(), datagram.size());
        if (read < 0) {
            ++droppedUnreadable;
            lastReadError = socket->errorString();
            return;
        }
        datagram.truncate(read);
    } else {
        // A broadcast lands in every socket sharing the port: only udpSocket's copy is kept, so
        // that each datagram is handled once.
        const QNetworkDatagram received = socket->receiveDatagram(size);
        if (!received.isValid()) {
            ++droppedUnreadable;
            lastReadError = socket->errorString();
            return;
        }
        if (reachesEverySocket(received.destinationAddress()))
            return;
        datagram = received.data();
    }
    const qint64 read = datagram.size();
    while (!receivedDatagrams.isEmpty()
           && (receivedDatagrams.size() >= datagramLimits.queueLimit
               || receivedBytes + read > datagramLimits.queueBytesLimit)) {
        receivedBytes -= receivedDatagrams.dequeue().size();
        ++droppedOldest;
    }
    receivedBytes += read;
    receivedDatagrams.enqueue(datagram);
}

// A unit whose reply is too large (a name of tens of thousands of characters) would be left out
// of the list without a word: the log says so for every burst, the operator once per sender.
void MarluneConnect::refuseOversized(const QHostAddress &sender, qint64 size)
{
    ++droppedOversized;
    lastOversizedSender = sender.toString();
    const quint32 address = sender.toIPv4Address();
    if (refusedSenders.contains(address) || refusedSenders.size() >= kRefusedSendersNamed)
        return;
    refusedSenders.insert(address);
    Q_EMIT replyRefused(lastOversizedSender, size);
}

bool MarluneConnect::reachesEverySocket(const QHostAddress &destination)
{
    if (destination.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    if (destination.isBroadcast() || destination.isMulticast())
        return true;
    const quint32 address = destination.toIPv4Address();
    const auto classify = [this, address]() -> std::optional<bool> {
        if (localBroadcasts.contains(address))
            return true;
        if (localUnicasts.contains(address))
            return false;
        return std::nullopt;
    };
    std::optional<bool> everySocket = classify();
    // An address not seen yet: the interfaces are listed again, at most once a second.
    if (!everySocket && (!interfacesListed.isValid() || interfacesListed.hasExpired(1000))) {
        interfacesListed.start();
        localBroadcasts.clear();
        localUnicasts.clear();
        for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
                if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                    continue;
                localUnicasts.insert(entry.ip().toIPv4Address());
                if (!entry.broadcast().isNull())
                    localBroadcasts.insert(entry.broadcast().toIPv4Address());
            }
        }
        everySocket = classify();
    }
    // Unknown still: taken as meant for this host alone.
    return everySocket.value_or(false);
}

void MarluneConnect::reportDroppedDatagrams()
{
    if (droppedOversized > 0)
        BLOG << "Dropped" << droppedOversized << "datagrams larger than" << datagramLimits.maxSize
             << "bytes, the last from" << lastOversizedSender;
    if (droppedOldest > 0)
        BLOG << "Dropped" << droppedOldest << "replies unparsed: more were waiting than the queue holds"
             << QStringLiteral("(%1 replies, %2 bytes)")
                    .arg(datagramLimits.queueLimit)
                    .arg(datagramLimits.queueBytesLimit);
    if (droppedUnreadable > 0)
        BLOG << "Dropped" << droppedUnreadable << "datagrams that could not be read:" << lastReadError;
    droppedOversized = droppedOldest = droppedUnreadable = 0;
}
