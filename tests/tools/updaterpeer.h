#pragma once

// The updater's side of the unit protocol, written with plain sockets for the simulator's tests:
// query datagrams and TCP exchanges.

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QVariant>

#include <functional>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace UpdaterPeer {

inline const QHostAddress updaterAddress(QStringLiteral("10.77.0.1"));
constexpr quint16 unitPort = 50001;
constexpr quint16 fileServerPort = 50005;

inline QByteArray queryPacket(quint8 code)
{
    QByteArray packet = QByteArray::fromHex("01") + char(code) + QByteArray::fromHex("cafe1234ffffffff");
    return packet;
}

inline QByteArray setupBuffer()
{
    QByteArray buffer(1034, '\0');
    buffer.replace(0, 11, QByteArray::fromHex("01a0cafe1234ffffffff01"));
    return buffer;
}

// Sends query datagrams from the updater's address and collects the answers. Every batch ends
// with a barrier: a query that one known unit answers. The simulator handles queries and sends
// answers in order, so once the barrier's answer is in, every earlier answer is in too.
class UdpPeer
{
public:
    UdpPeer(const QHostAddress &barrierUnit, quint8 barrierCode)
        : m_barrierUnit(barrierUnit), m_barrierCode(barrierCode)
    {
        // Sixteen sockets share one port: the kernel spreads the answers over their queues by
        // sender, so a large fleet's answers fit even under the stock receive-buffer cap.
        quint16 port = 0;
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int one = 1;
            const int buffer = 4 * 1024 * 1024;
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(port);
            local.sin_addr.s_addr = htonl(updaterAddress.toIPv4Address());
            socklen_t length = sizeof local;
            auto socket = std::make_unique<QUdpSocket>();
            if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0
                || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0
                || ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0
                || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
                || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0
                || !socket->setSocketDescriptor(fd, QAbstractSocket::BoundState)) {
                if (fd >= 0)
                    ::close(fd);
                break;
            }
            port = ntohs(local.sin_port);
            m_sockets.push_back(std::move(socket));
        }
    }

    bool isBound() const { return !m_sockets.empty(); }

    // Broadcasts the payloads, then the barrier query; returns every answer, barrier answers included.
    QList<QNetworkDatagram> broadcast(const QList<QByteArray> &payloads)
    {
        if (!isBound())
            return {};
        int barriers = 1;
        for (const QByteArray &payload : payloads) {
            sender().writeDatagram(payload, QHostAddress::Broadcast, unitPort);
            if (payload == queryPacket(m_barrierCode))
                ++barriers;
        }
        sender().writeDatagram(queryPacket(m_barrierCode), QHostAddress::Broadcast, unitPort);
        return collect(barriers);
    }

    // Sends the payloads to one unit's address, then the barrier query to the barrier unit.
    QList<QNetworkDatagram> unicast(const QHostAddress &unit, const QList<QByteArray> &payloads)
    {
        if (!isBound())
            return {};
        for (const QByteArray &payload : payloads)
            sender().writeDatagram(payload, unit, unitPort);
        sender().writeDatagram(queryPacket(m_barrierCode), m_barrierUnit, unitPort);
        return collect(1 + (unit == m_barrierUnit ? int(payloads.count(queryPacket(m_barrierCode))) : 0));
    }

    // Sends the payload to one unit and waits for its answer (a bounded wait): the answers from
    // that unit. For an answer that must come, where a barrier's answer may overtake it (the
    // simulator's units answer from sockets of their own).
    QList<QNetworkDatagram> ask(const QHostAddress &unit, const QByteArray &payload)
    {
        if (!isBound())
            return {};
        sender().writeDatagram(payload, unit, unitPort);
        QList<QNetworkDatagram> received;
        receiveUntil(received, unit, 1);
        return from(received, unit);
    }

    static QList<QNetworkDatagram> from(const QList<QNetworkDatagram> &datagrams, const QHostAddress &unit)
    {
        QList<QNetworkDatagram> result;
        for (const QNetworkDatagram &d : datagrams) {
            if (d.senderAddress().isEqual(unit, QHostAddress::ConvertV4MappedToIPv4))
                result.append(d);
        }
        return result;
    }

private:
    // Waits for the barrier answers, then for one more: a query sent to the barrier unit only after
    // the first ones came back. Answers the simulator gave in the same turn as the barrier, or
    // queued before it, have then arrived as well.
    QList<QNetworkDatagram> collect(int barrierAnswers)
    {
        QList<QNetworkDatagram> received;
        receiveUntil(received, m_barrierUnit, barrierAnswers);
        sender().writeDatagram(queryPacket(m_barrierCode), m_barrierUnit, unitPort);
        receiveUntil(received, m_barrierUnit, barrierAnswers + 1);
        return received;
    }

    void receiveUntil(QList<QNetworkDatagram> &received, const QHostAddress &unit, int answers)
    {
        QDeadlineTimer deadline(15000);
        while (from(received, unit).size() < answers && !deadline.hasExpired()) {
            bool tookAny = false;
            for (const auto &socket : m_sockets) {
                while (socket->hasPendingDatagrams()) {
                    received.append(socket->receiveDatagram());
                    tookAny = true;
                }
            }
            if (!tookAny) {
                std::vector<pollfd> fds;
                for (const auto &socket : m_sockets)
                    fds.push_back({int(socket->socketDescriptor()), POLLIN, 0});
                ::poll(fds.data(), fds.size(), 100);
            }
        }
    }

    QUdpSocket &sender() { return *m_sockets.front(); }

    std::vector<std::unique_ptr<QUdpSocket>> m_sockets;
    QHostAddress m_barrierUnit;
    quint8 m_barrierCode;
};

// Reads one reply: waits for the first bytes, then takes whatever follows right behind them.
inline QByteArray readReply(QTcpSocket &socket, int firstDataMs = 10000)
{
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(firstDataMs))
        return {};
    QByteArray reply = socket.readAll();
    while (socket.waitForReadyRead(20))
        reply += socket.readAll();
    return reply;
}

// One exchange the way the updater runs it: connect, then for each message write it and read the
// reply. Returns the replies; an empty list when the connection was not accepted.
inline QList<QByteArray> exchange(const QHostAddress &unit, const QList<QByteArray> &messages,
                                  quint16 port = unitPort,
                                  QAbstractSocket::SocketError *connectError = nullptr)
{
    QTcpSocket socket;
    socket.connectToHost(unit, port);
    if (!socket.waitForConnected(5000)) {
        if (connectError)
            *connectError = socket.error();
        return {};
    }
    QList<QByteArray> replies;
    for (const QByteArray &message : messages) {
        socket.write(message);
        socket.waitForBytesWritten(5000);
        replies.append(readReply(socket));
    }
    socket.disconnectFromHost();
    return replies;
}

} // namespace UpdaterPeer
