#include "rangeprobe.h"

#include "adding/addressrange.h"
#include "app/debuglog.h"
#include "net/marluneconnectreduced.h"
#include "units/marluneunit.h"

#include <QHostAddress>

static const char kLogSource[] = "rangeprobe";

void sendStatusQueries(MarluneConnect &connection, const QString &ip)
{
    // The queries are chosen from the record's kind, serial and firmware; the MAC is never seen.
    MarluneUnit probe;
    probe.setMac(QStringLiteral("02:5E:71:C0:00:04"));
    probe.ip = ip;
    probe.setWp();
    connection.getStatus(probe, false);
    probe.setAtr();
    connection.getStatus(probe, false);
    probe.sn = QStringLiteral("K440");
    connection.getStatus(probe, false);

    probe.reset();
    probe.ip = ip;
    probe.setEncoder();
    connection.getStatus(probe, false);
    probe.setDecoder();
    connection.getStatus(probe, false);

    probe.reset();
    probe.ip = ip;
    probe.setDvr();
    connection.getStatus(probe, false);
    probe.fwversion = QStringLiteral("1");
    connection.getStatus(probe, false);

    probe.reset();
    probe.ip = ip;
    probe.setVod();
    connection.getStatus(probe, false);
    probe.setWpc();
    connection.getStatus(probe, false);
}

RangeProbe::RangeProbe(MarluneConnect &connection, QObject *parent) : QObject(parent), connection(&connection)
{
    turnTimer.setTimerType(Qt::PreciseTimer);
    turnTimer.setInterval(kTurnMs);
    connect(&turnTimer, &QTimer::timeout, this, &RangeProbe::turn);
    connect(&connection, &MarluneConnect::unitChangedSignal, this, [this](const MarluneUnit &unit) {
        quint32 address = 0;
        if (running && parseDottedQuad(unit.ip, &address))
            answered.insert(address);
    });
}

quint64 RangeProbe::addressCount(const QList<Range> &ranges)
{
    quint64 count = 0;
    for (const Range &range : ranges)
        count += quint64(range.second) - range.first + 1;
    return count;
}

void RangeProbe::start(const QList<Range> &probed, int withinMs)
{
    ranges = probed;
    secondPassWithinMs = withinMs;
    answered.clear();
    secondPass = false;
    rangeIndex = 0;
    next = ranges.isEmpty() ? 0 : ranges.first().first;
    running = true;
    started.start();
    BLOG << "probing" << addressCount(ranges) << "addresses in" << ranges.size() << "ranges";
    turnTimer.start();
    turn();
}

void RangeProbe::stop()
{
    running = false;
    turnTimer.stop();
}

void RangeProbe::turn()
{
    if (!running)
        return;
    if (!connection) {
        stop();
        return;
    }
    int asked = 0;
    while (asked < kAddressesPerTurn && rangeIndex < ranges.size()) {
        const Range &range = ranges.at(rangeIndex);
        if (next > range.second) {
            if (++rangeIndex < ranges.size())
                next = ranges.at(rangeIndex).first;
            continue;
        }
        const quint32 address = quint32(next++);
        if (secondPass && answered.contains(address))
            continue;
        sendStatusQueries(*connection, QHostAddress(address).toString());
        ++asked;
    }
    if (rangeIndex >= ranges.size())
        passOver();
}

void RangeProbe::passOver()
{
    turnTimer.stop();
    if (!secondPass && started.elapsed() + kSecondPassPauseMs < secondPassWithinMs) {
        secondPass = true;
        rangeIndex = 0;
        next = ranges.isEmpty() ? 0 : ranges.first().first;
        QTimer::singleShot(kSecondPassPauseMs, this, [this] {
            if (running)
                turnTimer.start();
        });
        return;
    }
    BLOG << "probe over;" << answered.size() << "addresses answered";
    running = false;
    Q_EMIT finished();
}
