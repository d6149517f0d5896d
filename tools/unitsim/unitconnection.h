#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// One TCP connection to a unit: splits what arrives into the updater's messages and carries the
// unit's replies back. Deletes itself when the peer closes.
class UnitConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UnitConnection)

public:
    // Takes over the socket.
    explicit UnitConnection(QTcpSocket *socket, QObject *parent = nullptr);

    void send(const QByteArray &data);
    // Drops the connection at once, as a unit that goes down does.
    void drop();

Q_SIGNALS:
    void messageReceived(const QByteArray &message);

private:
    void onReadyRead();
    void deliver(bool flush);

    // Text that stops short of its carriage return is taken as complete after this long.
    static constexpr int kIncompleteMessageMs = 300;

    QTcpSocket *socket;
    QTimer incompleteTimer;
    QByteArray buffer;
};
