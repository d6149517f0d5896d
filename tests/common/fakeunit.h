#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

// A unit's TCP side for tests: records what arrives on each connection and answers every chunk
// with the next scripted reply (nothing when the script is empty).
class FakeUnit : public QObject
{
public:
    explicit FakeUnit(const QString &address, quint16 port = 50001)
    {
        if (!server.listen(QHostAddress(address), port))
            qFatal("cannot listen on %s:%u", qPrintable(address), port);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    received += socket->readAll();
                    if (!replies.isEmpty())
                        socket->write(replies.takeFirst());
                });
            }
        });
    }

    QTcpServer server;
    QByteArray received;
    QList<QByteArray> replies;
    int connections = 0;
};
