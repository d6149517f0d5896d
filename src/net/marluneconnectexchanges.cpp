#include "marluneconnectreduced.h"

#include "configexchange.h"
#include "app/debuglog.h"
#include "units/unitlistfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

// The endpoint's TCP side: one-shot requests and the command exchanges, at most
// kExchangesInFlight at once. Its debug lines carry the endpoint's source name.
static const char kLogSource[] = "marluneconnectreduced";

QByteArray MarluneConnect::tcpOneShot(const QString &ip, const QByteArray &message)
{
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->connectToHost(ip, kUnitPort, QIODevice::ReadWrite);
    if (socket->waitForConnected(kConnectTimeoutMs))
        socket->write(message);
    else
        BLOG << "failed to connect";

    char buffer[kTcpReplyLimit];
    const qint64 count = readWithTimeout(socket, buffer, 0);
    socket->disconnectFromHost();
    socket->deleteLater();
    return QByteArray(buffer, int(count));
}

void MarluneConnect::sendConfig(const MarluneUnit &unit, const QByteArray &command, QByteArray *firstReply)
{
    QEventLoop wait;
    bool over = false;
    runExchange(unit, command, [&](bool connected, const QByteArray &reply) {
        if (connected && firstReply && !firstReply->isEmpty())
            *firstReply = reply;
        over = true;
        wait.quit();
    });
    if (!over)
        wait.exec();
}

void MarluneConnect::startConfigExchange(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                                         ExchangeDone done)
{
    waitingExchanges.enqueue({unit, command, std::move(starting), std::move(done)});
    startWaitingExchanges();
}

void MarluneConnect::dropWaitingExchanges(const QSet<QString> &macs)
{
    QList<ExchangeDone> dropped;
    for (auto it = waitingExchanges.begin(); it != waitingExchanges.end();) {
        if (macs.contains(it->unit.mac)) {
            dropped.append(std::move(it->done));
            it = waitingExchanges.erase(it);
        } else {
            ++it;
        }
    }
    for (const ExchangeDone &done : std::as_const(dropped)) {
        if (done)
            done(QByteArray());
    }
}

void MarluneConnect::startWaitingExchanges()
{
    while (runningExchanges.size() < kExchangesInFlight && !waitingExchanges.isEmpty()) {
        PendingExchange next = waitingExchanges.dequeue();
        if (next.starting)
            next.starting();
        runExchange(next.unit, next.command, [this, done = std::move(next.done)](bool, const QByteArray &reply) {
            if (done)
                done(reply);
            startWaitingExchanges();
        });
    }
}

void MarluneConnect::runExchange(const MarluneUnit &unit, const QByteArray &command, ExchangeOver over)
{
    initPackets();
    const ConfigMessages messages = configMessagesFor(unit, command);
    auto *exchange = new ConfigExchange(unit, messages.first, messages.second, this);
    runningExchanges.append(exchange);
    connect(exchange, &ConfigExchange::finished, this,
            [this, exchange, unit, over = std::move(over)](const QByteArray &first, const QByteArray &second) {
                runningExchanges.removeOne(exchange);
                exchange->deleteLater();
                announceReplies(first, second);
                // Before the caller's callback, which may begin the next exchange with the unit.
                const ExchangeFailure failure = exchange->failure();
                if (!failure.message.isEmpty())
                    Q_EMIT exchangeFailed(unit, failure.note, failure.message, exchange->wasConnected());
                over(exchange->wasConnected(), first);
            });
    exchange->start();
}

void MarluneConnect::cancelExchanges()
{
    waitingExchanges.clear();
    const QList<ConfigExchange *> running = std::exchange(runningExchanges, {});
    for (ConfigExchange *exchange : running) {
        exchange->disconnect(this);
        delete exchange;
    }
}

void MarluneConnect::announceReplies(const QByteArray &first, const QByteArray &second)
{
    for (const QByteArray &reply : {first, second}) {
        if (reply.isEmpty())
            continue;
        const MarluneUnit parsed = packetAnalyze(reply);
        if (parsed.mac.size() > 5) {
            storeUnit(parsed);
            Q_EMIT unitChangedSignal(parsed);
        }
    }
}

qint64 MarluneConnect::readWithTimeout(QTcpSocket *socket, char *buffer, qint64 maxLen)
{
    QElapsedTimer clock;
    clock.start();
    bool firstDataMode = false;
    if (maxLen == 0) {
        maxLen = kTcpReplyLimit;
        firstDataMode = true;
    }
    maxLen = qMin(maxLen, kTcpReplyLimit);

    // A socket that is not connected and holds nothing more can never deliver: a failed read.
    const auto readInto = [socket, buffer, maxLen](qint64 offset) -> qint64 {
        if (!socket->isOpen())
            return -1;
        if (socket->state() != QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return -1;
        return socket->read(buffer + offset, maxLen - offset);
    };

    qint64 total = readInto(0);
    if (total < 0)
        return 0;
    if (firstDataMode && total > 0)
        return total;

    for (;;) {
        const qint64 elapsed = clock.elapsed();
        if (elapsed >= kReadTimeoutMs)
            return total;
        if (total == 0) {
            // Nothing yet: let the event loop run until the socket has news or time is up,
            // rather than spinning a processor core.
            QEventLoop wait;
            connect(socket, &QIODevice::readyRead, &wait, &QEventLoop::quit);
            connect(socket, &QAbstractSocket::disconnected, &wait, &QEventLoop::quit);
            connect(socket, &QAbstractSocket::errorOccurred, &wait, &QEventLoop::quit);
            QTimer::singleShot(int(kReadTimeoutMs - elapsed), &wait, &QEventLoop::quit);
            wait.exec();
        } else {
            QCoreApplication::processEvents();
        }
        const qint64 count = readInto(total);
        if (count < 0)
            return total;
        if (count > 0)
            total += count;
        else if (total > 0)
            return total;
    }
}
