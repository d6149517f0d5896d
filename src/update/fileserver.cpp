#include "fileserver.h"

#include <QTcpSocket>

FileServer::FileServer(FetchConnection::Resolver resolver, FetchConnection::ImageCheck imageCheck, QObject *parent)
    : QObject(parent), resolver(std::move(resolver)), imageCheck(std::move(imageCheck))
{
    connect(&listener, &QTcpServer::newConnection, this, &FileServer::newConnection);
}

FileServer::~FileServer()
{
    listener.close();
    // Before the budget goes: the transfers leave it as they end.
    qDeleteAll(findChildren<FetchConnection *>(Qt::FindDirectChildrenOnly));
}

bool FileServer::listen(const QHostAddress &address, quint16 port)
{
    return listener.listen(address, port);
}

void FileServer::newSession()
{
    while (QTcpSocket *socket = listener.nextPendingConnection()) {
        auto *connection = new FetchConnection(socket, resolver, imageCheck, transferBudget, stallTimeoutMs, this);
        connect(connection, &FetchConnection::fileMissing, this, &FileServer::fileMissing);
        connect(connection, &FetchConnection::fileUnreadable, this, &FileServer::fileUnreadable);
        connect(connection, &FetchConnection::fileChanged, this, &FileServer::fileChanged);
        connect(connection, &FetchConnection::fileSent, this, &FileServer::fileSent);
        connect(connection, &FetchConnection::transferProgress, this, &FileServer::transferProgress);
        connect(connection, &FetchConnection::transferBrokeOff, this, &FileServer::transferBrokeOff);
        connect(connection, &FetchConnection::transferStalled, this, &FileServer::transferStalled);
        connect(connection, &FetchConnection::closed, this, &FileServer::connectionClosed);
        Q_EMIT connectionOpened(connection->peer(), socket->peerPort());
        connection->start();
    }
}
