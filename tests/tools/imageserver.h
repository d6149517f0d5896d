#pragma once

#include "updaterpeer.h"

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

namespace UpdaterPeer {

// The updater's file server: answers one GET per connection with a fixed response and closes.
class ImageServer
{
public:
    ImageServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                    m_requests.remove(socket);
                    socket->deleteLater();
                });
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
            }
        });
    }

    bool listen() { return m_server.listen(updaterAddress, fileServerPort); }

    // The response: a header with the given Content-Length and line ending, then the body.
    void setResponse(qint64 declaredLength, const QByteArray &body, const QByteArray &lineEnd = "\n")
    {
        m_response = "HTTP/1.1 200 OK" + lineEnd + "Date: Mon, 17 Sep 2012 12:59:52 GMT" + lineEnd +
                     "Content-Length: " + QByteArray::number(declaredLength) + lineEnd +
                     "Connection: Keep-Alive" + lineEnd + "Content-Type: application/octet-stream" + lineEnd +
                     lineEnd + body;
    }
    // Close every connection without an answer.
    void setSilent() { m_response.clear(); }

    QList<QByteArray> requestLines;
    QList<QHostAddress> peers;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &request = m_requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        requestLines.append(request.left(request.indexOf("\r\n")));
        peers.append(socket->peerAddress());
        m_requests.remove(socket);
        socket->write(m_response);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_response;
    QHash<QTcpSocket *, QByteArray> m_requests;
};

// An image of the given size that names its versions in its first lines, as the update packages do.
inline QByteArray imageWithVersions(const QByteArray &swversion, const QByteArray &webversion, int size)
{
    QByteArray image = "BRYXIMG\nSWVER:" + swversion + "\nWEBVER:" + webversion + "\n";
    image.reserve(size);
    for (int i = image.size(); i < size; ++i)
        image.append(char((i * 7) & 0xFF));
    return image.left(size);
}

} // namespace UpdaterPeer
