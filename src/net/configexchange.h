#pragma once

#include "units/marluneunit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QTcpSocket;

// How an exchange that brought no reply at all failed, for the operator: a few words for the
// unit's row and the status-log line that says why. Both empty when a reply came.
struct ExchangeFailure
{
    QString note;
    QString message;
};

// One command exchange with a unit over TCP, run on the event loop without waiting in it:
// connect (up to 5 seconds), the first message, its reply (up to 10 seconds), the second message
// on the same connection, its reply (up to 10 seconds), close. A reply is what arrives first,
// together with whatever follows it at once, up to kTcpReplyLimit bytes; nothing at all when
// time runs out or the unit goes away. finished() gives both replies, once.
//
// When this process has no descriptor left for the socket, the exchange waits for one (trying
// again every kSocketRetryMs, for up to kSocketWaitMs) rather than give the message up: the unit
// has not been asked anything yet, and the descriptors usually come back within moments.
class ConfigExchange final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConfigExchange)

public:
    ConfigExchange(const MarluneUnit &unit, const QByteArray &first, const QByteArray &second,
                   QObject *parent = nullptr);

    static constexpr int kSocketRetryMs = 250;
    static constexpr int kSocketWaitMs = 60000;

    void start();
    // The connection was made, so the first message went out.
    bool wasConnected() const { return step >= 0; }
    // Once finished: how it failed, if no reply came.
    ExchangeFailure failure() const;

Q_SIGNALS:
    void finished(QByteArray firstReply, QByteArray secondReply);

private:
    void connected();
    void takeData();
    void settle();
    bool readMore();
    void replyComplete();
    void finish();
    void connectToUnit();
    void noSocket();
    void noteTrouble(const QString &what);

    MarluneUnit target;
    QByteArray messages[2];
    QByteArray replies[2];
    // The reply being read: 0 or 1; -1 before the connection, 2 once both are in.
    int step = -1;
    QTcpSocket *socket;
    QTimer deadline;
    // Since the first try that found no descriptor for the socket; invalid until then.
    QElapsedTimer waitingForSocket;
    bool settling = false;
    bool done = false;
    // What first went wrong, for failure(): "no connection: Connection refused",
    // "connected, no reply in 10 s"; empty until then.
    QString trouble;
    bool noDescriptor = false;
};
