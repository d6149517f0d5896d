#include "unitconnection.h"

#include "wiremessage.h"

#include <QPointer>
#include <QTcpSocket>

UnitConnection::UnitConnection(QTcpSocket *socket, QObject *parent) : QObject(parent), m_socket(socket)
{
    m_socket->setParent(this);
    m_incomplete.setSingleShot(true);
    connect(&m_incomplete, &QTimer::timeout, this, [this] { deliver(true); });
    connect(m_socket, &QTcpSocket::readyRead, this, &UnitConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        // A message cut short by the close still shows in the unit's log.
        deliver(true);
        deleteLater();
    });
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &UnitConnection::onReadyRead);
}

void UnitConnection::send(const QByteArray &data)
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(data);
}

void UnitConnection::drop()
{
    m_incomplete.stop();
    m_socket->abort();
    deleteLater();
}

void UnitConnection::onReadyRead()
{
    m_buffer.append(m_socket->readAll());
    deliver(false);
}

void UnitConnection::deliver(bool flush)
{
    // A handler may delete the connection; stop handing out messages once it has.
    QPointer<UnitConnection> self(this);
    for (;;) {
        const QByteArray message = WireMessage::takeMessage(m_buffer, flush);
        if (message.isEmpty())
            break;
        Q_EMIT messageReceived(message);
        if (!self)
            return;
    }
    if (m_buffer.isEmpty())
        m_incomplete.stop();
    else
        m_incomplete.start(IncompleteMessageMs);
}
