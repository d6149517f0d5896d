#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class QUdpSocket;

// Sends garbage datagrams at a steady rate toward one address and port, as a broken or hostile
// device on the units' network might: mostly short random ones, and every eighth of the largest
// size UDP over IPv4 allows. Stops by itself after a set time.
class DatagramFlood final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DatagramFlood)

public:
    static constexpr int kLargest = 65507;

    DatagramFlood(const QHostAddress &target, quint16 port, int perSecond, int seconds, QObject *parent = nullptr);

    // False with the reason in *error when the socket cannot be opened.
    bool start(QString *error);
    // Stops sending and reports the totals.
    void stop();

Q_SIGNALS:
    void event(const QString &line);
    void finished();

private:
    void sendDue();

    static constexpr int kIntervalMs = 5;
    static constexpr int kLargeEvery = 8;
    static constexpr int kShortPayloads = 256;
    static constexpr int kLargePayloads = 4;

    QHostAddress target;
    quint16 port;
    int perSecond;
    int seconds;
    QUdpSocket *socket;
    QTimer timer;
    QElapsedTimer clock;
    QList<QByteArray> shortPayloads;
    QList<QByteArray> largePayloads;
    qint64 sent = 0;
    qint64 refused = 0;
    qint64 bytes = 0;
    bool stopped = false;
};
