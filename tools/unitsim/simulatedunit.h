#pragma once

#include "unitconfig.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QTimer>

#include <memory>
#include <vector>

class HungPort;
class ImageFetch;
class QHostAddress;
class QTcpServer;
class QUdpSocket;
class UnitConnection;

// One simulated unit: its own UDP socket on ip:50001 (the fleet reads it and asks the unit what to
// answer), its TCP listener, its command handling, and the fetch-and-reboot cycle of an update.
class SimulatedUnit final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimulatedUnit)

public:
    static constexpr quint16 kUnitPort = 50001;
    static constexpr quint16 kAlternatePort = 50002;

    explicit SimulatedUnit(const UnitConfig &config, QObject *parent = nullptr);
    ~SimulatedUnit() override;

    // Binds the UDP socket and starts listening; false with the reason in *error.
    bool start(QString *error);

    const UnitConfig &config() const { return unitConfig; }
    QUdpSocket *udpSocket() const { return udp; }
    bool isRebooting() const { return rebooting; }

    // What the unit answers to a query datagram with this code right now; empty for no answer.
    QByteArray udpReplyFor(unsigned char code) const;

Q_SIGNALS:
    // One event line without the unit id, e.g. "FETCH-OK 1024 12".
    void event(const QString &text);

private:
    bool listen(QString *error);
    void stopListening();
    void onNewConnection();
    void onMessage(UnitConnection *connection, const QByteArray &message);
    void answer(UnitConnection *connection, const QByteArray &message);
    void answerDueMessages();
    QByteArray answerText(const QByteArray &message);
    QByteArray resetEdid(const QByteArray &message);
    void startFetch(const QByteArray &command);
    void fetchFrom(const QHostAddress &server, bool breakOff);
    void onFetched(qint64 bytes, qint64 milliseconds, const QString &swversion, const QString &webversion,
                   const QByteArray &digest);
    void goDown();
    void comeBackUp();
    void vanish();

    // A unit whose fetch broke off tries again after this long.
    static constexpr int kRetryMs = 1000;

    UnitConfig unitConfig;
    QUdpSocket *udp;
    QList<QTcpServer *> servers;
    QList<QPointer<UnitConnection>> connections;
    // tcp=hangs: the ports on which no connection completes.
    std::vector<std::unique_ptr<HungPort>> hungPorts;

    // Messages taken in and not yet answered (messageDelayMs); every one waits as long, so they
    // come due in the order they arrived, and those of one connection are answered in order.
    struct PendingMessage
    {
        QPointer<UnitConnection> connection; // gone when the peer closed meanwhile
        QByteArray message;
        QDeadlineTimer due;
    };
    QQueue<PendingMessage> pending;
    QTimer answerTimer;
    QPointer<ImageFetch> fetch;
    bool rebooting = false;
    bool gone = false; // went down for good
    int rebootsLeft = 0; // reboots of the current update still to come after this one
    int edidFailuresLeft;
    int edidFailuresGiven = 0;
    QString pendingSwversion;
    QString pendingWebversion;
};
