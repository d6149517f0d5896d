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
        m_socket.bind(updaterAddress, 0);
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(4 * 1024 * 1024));
    }

    bool isBound() const { return m_socket.state() == QAbstractSocket::BoundState; }

    // Broadcasts the payloads, then the barrier query; returns every answer, barrier answers included.
    QList<QNetworkDatagram> broadcast(const QList<QByteArray> &payloads)
    {
        int barriers = 1;
        for (const QByteArray &payload : payloads) {
            m_socket.writeDatagram(payload, QHostAddress::Broadcast, unitPort);
            if (payload == queryPacket(m_barrierCode))
                ++barriers;
        }
        m_socket.writeDatagram(queryPacket(m_barrierCode), QHostAddress::Broadcast, unitPort);
        return collect(barriers);
    }

    // Sends the payloads to one unit's address, then the barrier query to the barrier unit.
    QList<QNetworkDatagram> unicast(const QHostAddress &unit, const QList<QByteArray> &payloads)
    {
        for (const QByteArray &payload : payloads)
            m_socket.writeDatagram(payload, unit, unitPort);
        m_socket.writeDatagram(queryPacket(m_barrierCode), m_barrierUnit, unitPort);
        return collect(1 + (unit == m_barrierUnit ? int(payloads.count(queryPacket(m_barrierCode))) : 0));
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
        receiveUntil(received, barrierAnswers);
        m_socket.writeDatagram(queryPacket(m_barrierCode), m_barrierUnit, unitPort);
        receiveUntil(received, barrierAnswers + 1);
        return received;
    }

    void receiveUntil(QList<QNetworkDatagram> &received, int barrierAnswers)
    {
        QDeadlineTimer deadline(15000);
        while (from(received, m_barrierUnit).size() < barrierAnswers && !deadline.hasExpired()) {
            if (!m_socket.hasPendingDatagrams())
                m_socket.waitForReadyRead(100);
            while (m_socket.hasPendingDatagrams())
                received.append(m_socket.receiveDatagram());
        }
    }

    QUdpSocket m_socket;
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
