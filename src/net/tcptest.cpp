#include "tcptest.h"

#include "app/debuglog.h"

#include <QNetworkProxy>
#include <QTcpSocket>

static const char kLogSource[] = "tcptest";

namespace {
constexpr int kConnectTimeoutMs = 2000;
constexpr int kDisconnectTimeoutMs = 500;
} // namespace

void TCPTest::tcpPortCheck()
{
    // Created here, so it belongs to the worker thread that runs the test.
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    bool result = false;

    socket.connectToHost(ip, quint16(port), QIODevice::ReadWrite);
    const bool connected = socket.waitForConnected(kConnectTimeoutMs);
    // No socket could be made: that says nothing of the unit, which must not be taken for dead.
    if (!connected && socket.error() == QAbstractSocket::SocketResourceError) {
        Q_EMIT testNotRun(ip);
        return;
    }
    if (connected) {
        result = true;
        socket.disconnectFromHost();
    } else {
        socket.abort();
        socket.connectToHost(ip, quint16(port + 1), QIODevice::ReadWrite);
        if (socket.waitForConnected(kConnectTimeoutMs)) {
            BLOG << "2nd attempt to" << ip << "success.";
            result = true;
            socket.disconnectFromHost();
        }
    }
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(kDisconnectTimeoutMs);
    if (!result)
        BLOG << ip << "is dead";
    Q_EMIT testFinished(ip, port, result);
}
