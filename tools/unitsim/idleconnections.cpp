#include "idleconnections.h"

#include <QNetworkProxy>
#include <QTcpSocket>

IdleConnections::IdleConnections(const QHostAddress &target, quint16 port, int count, int seconds, QObject *parent)
    : QObject(parent), target(target), port(port), count(count), seconds(seconds)
{
    reportTimer.setInterval(kReportMs);
    connect(&reportTimer, &QTimer::timeout, this, &IdleConnections::report);
    endTimer.setSingleShot(true);
    connect(&endTimer, &QTimer::timeout, this, &IdleConnections::stop);
    openTimer.setInterval(kOpenIntervalMs);
    connect(&openTimer, &QTimer::timeout, this, &IdleConnections::openNext);
}

bool IdleConnections::start(QString *)
{
    openNext();
    openTimer.start();
    reportTimer.start();
    endTimer.start(seconds * 1000);
    return true;
}

void IdleConnections::openNext()
{
    if (sockets.size() >= count) {
        openTimer.stop();
        return;
    }
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { onConnected(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onClosed(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        // A refused or reset connection never reaches disconnected().
        if (socket->state() == QAbstractSocket::UnconnectedState)
            onClosed(socket);
    });
    sockets.append(socket);
    open(socket);
}

void IdleConnections::stop()
{
    if (stopped)
        return;
    stopped = true;
    reportTimer.stop();
    endTimer.stop();
    openTimer.stop();
    report();
    for (QTcpSocket *socket : std::as_const(sockets)) {
        socket->disconnect(this);
        socket->abort();
    }
    Q_EMIT event(QStringLiteral("IDLE-DONE %1 reopened").arg(reopened));
    Q_EMIT finished();
}

void IdleConnections::open(QTcpSocket *socket)
{
    if (!stopped)
        socket->connectToHost(target, port);
}

// Reported once, when every connection has been open at least once.
void IdleConnections::onConnected(QTcpSocket *socket)
{
    if (openedOnce.contains(socket))
        return;
    openedOnce.insert(socket);
    if (openedOnce.size() == count)
        Q_EMIT event(QStringLiteral("IDLE-OPEN %1").arg(count));
}

// A close can be told twice (an error, then the disconnection): one reopening for both.
void IdleConnections::onClosed(QTcpSocket *socket)
{
    if (stopped || reopening.contains(socket))
        return;
    reopening.insert(socket);
    ++reopened;
    QTimer::singleShot(kReopenMs, socket, [this, socket] {
        reopening.remove(socket);
        if (socket->state() == QAbstractSocket::UnconnectedState)
            open(socket);
    });
}

int IdleConnections::openCount() const
{
    int open = 0;
    for (const QTcpSocket *socket : sockets)
        open += socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    return open;
}

void IdleConnections::report()
{
    Q_EMIT event(QStringLiteral("IDLE %1 open %2 reopened").arg(openCount()).arg(reopened));
}
