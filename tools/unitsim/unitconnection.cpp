#include "unitconnection.h"

#include "wiremessage.h"

#include <QPointer>
#include <QTcpSocket>

UnitConnection::UnitConnection(QTcpSocket *socket, QObject *parent) : QObject(parent), socket(socket)
{
    socket->setParent(this);
    incompleteTimer.setSingleShot(true);
    connect(&incompleteTimer, &QTimer::timeout, this, [this] { deliver(true); });
    connect(socket, &QTcpSocket::readyRead, this, &UnitConnection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        // A message cut short by the close still shows in the unit's log.
        deliver(true);
        deleteLater();
    });
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &UnitConnection::onReadyRead);
}

void UnitConnection::send(const QByteArray &data)
{
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->write(data);
}

void UnitConnection::drop()
{
    incompleteTimer.stop();
    socket->abort();
    deleteLater();
}

void UnitConnection::onReadyRead()
{
    buffer.append(socket->readAll());
    deliver(false);
}

void UnitConnection::deliver(bool flush)
{
    // A handler may delete the connection; stop handing out messages once it has.
    QPointer<UnitConnection> self(this);
    for (;;) {
        const QByteArray message = WireMessage::takeMessage(buffer, flush);
        if (message.isEmpty())
            break;
        Q_EMIT messageReceived(message);
        if (!self)
            return;
    }
    if (buffer.isEmpty())
        incompleteTimer.stop();
    else
        incompleteTimer.start(kIncompleteMessageMs);
}
