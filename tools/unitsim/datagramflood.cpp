#include "datagramflood.h"

#include <QRandomGenerator>
#include <QUdpSocket>

namespace {

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(QRandomGenerator::global()->bounded(256));
    return data;
}

} // namespace

DatagramFlood::DatagramFlood(const QHostAddress &target, quint16 port, int perSecond, int seconds, QObject *parent)
    : QObject(parent), target(target), port(port), perSecond(perSecond), seconds(seconds),
      socket(new QUdpSocket(this))
{
    // Made once: producing random bytes costs more than sending them.
    for (int i = 0; i < kShortPayloads; ++i)
        shortPayloads.append(randomBytes(1 + int(QRandomGenerator::global()->bounded(64))));
    for (int i = 0; i < kLargePayloads; ++i)
        largePayloads.append(randomBytes(kLargest));
    timer.setInterval(kIntervalMs);
    connect(&timer, &QTimer::timeout, this, &DatagramFlood::sendDue);
}

bool DatagramFlood::start(QString *error)
{
    if (!socket->bind(QHostAddress::AnyIPv4, 0)) {
        *error = QStringLiteral("cannot open a UDP socket: %1").arg(socket->errorString());
        return false;
    }
    clock.start();
    timer.start();
    Q_EMIT event(QStringLiteral("FLOOD-START %1:%2 %3/s").arg(target.toString()).arg(port).arg(perSecond));
    return true;
}

void DatagramFlood::stop()
{
    if (stopped)
        return;
    stopped = true;
    timer.stop();
    const double elapsed = qMax<qint64>(1, clock.elapsed()) / 1000.0;
    Q_EMIT event(QStringLiteral("FLOOD-DONE %1 datagrams %2 bytes %3/s %4 refused")
                     .arg(sent)
                     .arg(bytes)
                     .arg(qRound64(double(sent) / elapsed))
                     .arg(refused));
    Q_EMIT finished();
}

// Catches up with the rate since the start: a late timer sends more at once.
void DatagramFlood::sendDue()
{
    const qint64 elapsed = clock.elapsed();
    if (elapsed >= qint64(seconds) * 1000) {
        stop();
        return;
    }
    const qint64 due = elapsed * perSecond / 1000;
    while (sent + refused < due) {
        const qint64 n = sent + refused;
        const QByteArray &payload = n % kLargeEvery == 0 ? largePayloads.at(int(n / kLargeEvery) % kLargePayloads)
                                                         : shortPayloads.at(int(n % kShortPayloads));
        if (socket->writeDatagram(payload, target, port) == payload.size()) {
            ++sent;
            bytes += payload.size();
        } else {
            // The local queue is full: counted, not retried, as a flood would not.
            ++refused;
        }
    }
}
