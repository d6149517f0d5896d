#include "configexchange.h"

#include "marluneconnectreduced.h"
#include "app/debuglog.h"

#include <QNetworkProxy>
#include <QTcpSocket>

static const char kLogSource[] = "marluneconnectreduced";
static const char kClosedWithoutReply[] = "connected, closed without a reply";

ConfigExchange::ConfigExchange(const MarluneUnit &unit, const QByteArray &first, const QByteArray &second,
                               QObject *parent)
    : QObject(parent), target(unit), messages{first, second}, socket(new QTcpSocket(this))
{
    // Units are reached straight by address on the local network, never through a proxy; asking
    // the system for one costs a lookup on a thread of its own, which the connect waits for.
    socket->setProxy(QNetworkProxy::NoProxy);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        if (step < 0) {
            BLOG << "failed to connect";
            noteTrouble(QStringLiteral("no connection in %1 s").arg(kConnectTimeoutMs / 1000));
            finish();
        } else {
            noteTrouble(QStringLiteral("connected, no reply in %1 s").arg(kReadTimeoutMs / 1000));
            replyComplete();
        }
    });
    connect(socket, &QAbstractSocket::connected, this, &ConfigExchange::connected);
    connect(socket, &QIODevice::readyRead, this, &ConfigExchange::takeData);
    // A unit that goes away ends the reply being read (and the one after it) with what came.
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (step < 0) {
            finish();
        } else if (!settling) {
            noteTrouble(QLatin1String(kClosedWithoutReply));
            replyComplete();
        }
    });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (step < 0 && error == QAbstractSocket::SocketResourceError
            && socket->state() == QAbstractSocket::UnconnectedState) {
            noSocket();
        } else if (step < 0) {
            noteTrouble(QStringLiteral("no connection: ") + socket->errorString());
            finish();
        } else if (socket->state() != QAbstractSocket::ConnectedState && !settling) {
            noteTrouble(QLatin1String(kClosedWithoutReply));
            replyComplete();
        }
    });
}

void ConfigExchange::start()
{
    BLOG << "unit.name" << QStringLiteral("\"%1\"").arg(target.name);
    connectToUnit();
}

void ConfigExchange::connectToUnit()
{
    deadline.start(kConnectTimeoutMs);
    socket->connectToHost(target.ip, kUnitPort, QIODevice::ReadWrite);
}

// The socket could not be made: this process has no descriptor left. Nothing has gone to the
// unit, so the exchange tries again shortly, for a while, before it gives up.
void ConfigExchange::noSocket()
{
    deadline.stop();
    if (!waitingForSocket.isValid()) {
        BLOG << "No socket available." << target.ip << socket->errorString();
        waitingForSocket.start();
    }
    if (waitingForSocket.hasExpired(kSocketWaitMs)) {
        BLOG << "No socket available. Quit job.";
        noDescriptor = true;
        finish();
        return;
    }
    QTimer::singleShot(kSocketRetryMs, this, [this] {
        if (!done)
            connectToUnit();
    });
}

void ConfigExchange::connected()
{
    step = 0;
    BLOG << "):datagram write:" << MarluneConnect::hexDump(messages[0]);
    socket->write(messages[0]);
    deadline.start(kReadTimeoutMs);
}

// Data of the reply being read. It is complete once a turn of the event loop brings no more.
void ConfigExchange::takeData()
{
    if (readMore() && !settling) {
        settling = true;
        QTimer::singleShot(0, this, &ConfigExchange::settle);
    }
}

void ConfigExchange::settle()
{
    settling = false;
    if (readMore()) {
        settling = true;
        QTimer::singleShot(0, this, &ConfigExchange::settle);
    } else if (step >= 0 && step <= 1 && !replies[step].isEmpty()) {
        replyComplete();
    }
}

// Takes what the socket holds into the reply being read; true when that brought something and
// the reply is not complete yet.
bool ConfigExchange::readMore()
{
    if (step < 0 || step > 1 || done)
        return false;
    QByteArray &reply = replies[step];
    const QByteArray data = socket->read(kTcpReplyLimit - reply.size());
    reply += data;
    if (reply.size() >= kTcpReplyLimit) {
        replyComplete();
        return false;
    }
    return !data.isEmpty();
}

void ConfigExchange::replyComplete()
{
    if (step < 0 || step > 1 || done)
        return;
    settling = false;
    ++step;
    if (step == 1 && socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(messages[1]);
        deadline.start(kReadTimeoutMs);
        // The second reply may already be waiting.
        if (socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, &ConfigExchange::takeData);
        return;
    }
    if (step == 1) {
        // The unit went away after the first reply: there is no second one.
        ++step;
    }
    socket->disconnectFromHost();
    finish();
}

void ConfigExchange::finish()
{
    if (done)
        return;
    done = true;
    deadline.stop();
    socket->disconnect(this);
    if (socket->state() != QAbstractSocket::UnconnectedState && step < 0)
        socket->abort();
    Q_EMIT finished(replies[0], replies[1]);
}

void ConfigExchange::noteTrouble(const QString &what)
{
    if (trouble.isEmpty())
        trouble = what;
}

ExchangeFailure ConfigExchange::failure() const
{
    if (!done || !replies[0].isEmpty() || !replies[1].isEmpty())
        return {};
    const QString port = QString::number(kUnitPort);
    // This computer's shortage, not the unit's silence: nothing was asked of the unit.
    if (noDescriptor)
        return {QStringLiteral("nothing sent on TCP ") + port,
                QStringLiteral("Nothing sent on TCP %1 (no free socket on this computer for %2 s).")
                    .arg(port)
                    .arg(kSocketWaitMs / 1000)};
    QString why = trouble;
    if (why.isEmpty())
        why = step < 0 ? QStringLiteral("no connection") : QStringLiteral("connected, no reply");
    return {QStringLiteral("did not answer on TCP ") + port,
            QStringLiteral("Did not answer on TCP %1 (%2).").arg(port, why)};
}
