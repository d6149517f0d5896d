#pragma once

#include "fleetfile.h"

#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QTimer>

class QUdpSocket;
class SimulatedUnit;

// A fleet of simulated units. One shared socket on 0.0.0.0:50001 hears the updater's broadcasts
// for all of them; each unit's own socket hears requests sent to its address. Every answer leaves
// from the answering unit's own socket, so it carries the unit's address.
class UnitFleet final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UnitFleet)

public:
    explicit UnitFleet(const FleetDescription &description, QObject *parent = nullptr);

    // Binds every socket; false with the reason in *error as soon as one fails.
    bool start(QString *error);
    int size() const { return int(units.size()); }

Q_SIGNALS:
    // One line "<id> <EVENT> [args]".
    void event(const QString &line);
    // Diagnostics that are not events (verbose datagram logs).
    void log(const QString &line);

private:
    struct Reply
    {
        QPointer<QUdpSocket> socket;
        QByteArray data;
        QHostAddress address;
        quint16 port;
    };

    void readBroadcasts();
    void readUnicasts(SimulatedUnit *unit);
    void answer(SimulatedUnit *unit, const QNetworkDatagram &datagram, unsigned char code);
    void startSending();
    void sendQueued();

    // With pacing, `pacing` replies leave each millisecond; without, all of them at once.
    static constexpr int kBurstIntervalMs = 1;

    bool verbose;
    int pacing;
    QUdpSocket *broadcast;
    QList<SimulatedUnit *> units;
    QQueue<Reply> queue;
    QTimer sendTimer;
};
