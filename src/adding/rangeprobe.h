#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <utility>

class MarluneConnect;

// Sends the status queries of every kind of unit over UDP to one address, in one fixed order:
// panel, audio transceiver, K440, encoder, decoder, recorder (current and original firmware),
// video server, panel controller. The nine queries together cover every device class; the
// replies come back through the endpoint like those to the discovery, and nobody waits for them.
void sendStatusQueries(MarluneConnect &connection, const QString &ip);

// Asks every address of some inclusive ranges for its status (sendStatusQueries), a few addresses
// per turn so that a large range does not flood the network: about 1,000 addresses a second. When
// the first pass is over and the time given for a second one has not run out, the addresses no
// unit has answered from are asked once more, for the units that missed their queries.
class RangeProbe final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RangeProbe)

public:
    using Range = std::pair<quint32, quint32>;

    static constexpr int kAddressesPerTurn = 10;
    static constexpr int kTurnMs = 10;
    // The answers to the first pass come in before the second begins.
    static constexpr int kSecondPassPauseMs = 1000;

    explicit RangeProbe(MarluneConnect &connection, QObject *parent = nullptr);

    // Begins the first pass; a second one begins only within secondPassWithinMs of now.
    void start(const QList<Range> &ranges, int secondPassWithinMs);
    void stop();
    bool isRunning() const { return running; }

    // How many addresses the ranges hold, each range counted in full.
    static quint64 addressCount(const QList<Range> &ranges);

Q_SIGNALS:
    void finished();

private:
    void turn();
    void passOver();

    QPointer<MarluneConnect> connection;
    QList<Range> ranges;
    QTimer turnTimer;
    QElapsedTimer started;
    int secondPassWithinMs = 0;
    bool running = false;
    bool secondPass = false;
    // Where the pass is: a range and the next address in it (64 bits: a range may end at the
    // last address).
    qsizetype rangeIndex = 0;
    quint64 next = 0;
    // The addresses units have answered from.
    QSet<quint32> answered;
};
