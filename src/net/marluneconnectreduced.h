#pragma once

#include "units/marluneunit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>

#include <array>
#include <functional>

class ConfigExchange;
class QTcpSocket;
class QTimer;
class QUdpSocket;

// Status-request packet codes, in the order discovery sends them.
inline constexpr std::array<quint8, 13> kQueryCodes = {0x96, 0x98, 0xB4, 0x14, 0x19, 0xB5, 0xB6,
                                                       0xB7, 0xB8, 0xB9, 0xBA, 0xCA, 0xCB};
// Units listen on this port for UDP datagrams and TCP connections alike.
inline constexpr quint16 kUnitPort = 50001;
// A TCP reply longer than this is cut.
inline constexpr qint64 kTcpReplyLimit = 1034;
// How long a TCP exchange waits for its connection, and then for each reply.
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kReadTimeoutMs = 10000;

// The 10-byte status request: 0x01, the code, magic 0xCA 0xFE 0x12 0x34, 0xFF x 4.
QByteArray queryPacket(quint8 code);
// The 1034-byte set-up buffer older fixed-layout units take instead of a text command.
QByteArray setupBuffer();
// The status-request code for a unit, or -1 when its kind has none.
int queryCodeForUnit(const MarluneUnit &unit);

// Bounds on the work the UDP socket may cause. Replies are read off the socket before they are
// parsed (a fleet answers a discovery burst at once and parsing is slower than reading), and the
// event loop regains control after every turn, so a flood of datagrams cannot freeze the window.
struct DatagramLimits
{
    // Larger datagrams are read away unqueued: the largest unit reply is under 1 KiB.
    qint64 maxSize = 8 * 1024;
    // Datagrams taken off the socket per turn.
    int readPerTurn = 1024;
    // Replies parsed per turn, and the time a turn may spend parsing.
    int parsePerTurn = 128;
    int parseBudgetMs = 20;
    // Replies waiting to be parsed, in number and in bytes; when more arrive the oldest are
    // dropped. A fleet of a thousand units answering one burst fits with room to spare.
    qsizetype queueLimit = 8192;
    qint64 queueBytesLimit = 4 * 1024 * 1024;
    // Drops are logged this long after the first of a burst, then at this pace while they last.
    int dropReportMs = 5000;
};

struct ConfigMessages
{
    QByteArray first;
    QByteArray second;
};
// The two messages of a command exchange: the command and "getStatus\r" for units that take
// text commands; the set-up buffer and a status query for older fixed-layout units.
ConfigMessages configMessagesFor(const MarluneUnit &unit, const QByteArray &command);

// The updater's one endpoint toward the units: the UDP socket for discovery, status requests
// and replies, and the short-lived TCP exchanges that carry commands.
class MarluneConnect final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MarluneConnect)

public:
    explicit MarluneConnect(QObject *parent = nullptr);

    // Creates and binds the UDP socket. Called once.
    void init();
    // Binds the UDP socket as "quilletsettings.ini" says (address, port), or to any address on
    // a port from 51146 up, moving up while ports are taken.
    void reBind();
    void initPackets();
    // Broadcasts the 13 status queries to 255.255.255.255:50001.
    void discover();

    // The first local IPv4 address inside the unit's subnet (interfaces that are up, virtual
    // machines' host-only adapters "VMnet1" and "VMnet8" skipped), or "".
    QString localAddressFor(const MarluneUnit &unit) const;
    QString localAddressFor(const QString &ip, const QString &netmask) const;
    // The same, choosing among addresses listed beforehand by localAddresses(): for asking about
    // many units at once without enumerating the interfaces for each.
    static QString localAddressFor(const MarluneUnit &unit, const QList<QHostAddress> &candidates);
    // Every address of every interface that is up, the virtual machines' host-only adapters
    // skipped, in the order the system lists them.
    static QList<QHostAddress> localAddresses();

    // Parses one reply; announces a pressed ID button and asks recorders for their full
    // status. Never fails: an unrecognised reply gives a record with an empty mac.
    MarluneUnit packetAnalyze(const QByteArray &reply);

    // Sends the unit's status query. Over TCP the reply is parsed, announced and returned;
    // over UDP an empty record is returned and the reply arrives as a datagram.
    MarluneUnit getStatus(const MarluneUnit &unit, bool useTcp);
    // One TCP exchange: the command (or the set-up buffer), then a status query. Valid replies
    // are stored in "units.ini" and announced. A non-empty *firstReply receives reply 1. Returns
    // when the exchange is over; events keep being processed meanwhile.
    void sendConfig(const MarluneUnit &unit, const QByteArray &command, QByteArray *firstReply);

    // The same exchange without waiting for it: starting runs as it begins, done gets reply 1
    // ("" when there was none) once it is over and its replies are stored and announced. At most
    // kExchangesInFlight run at once; the others wait their turn in the order they came.
    using ExchangeStart = std::function<void()>;
    using ExchangeDone = std::function<void(const QByteArray &firstReply)>;
    static constexpr int kExchangesInFlight = 32;
    void startConfigExchange(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                             ExchangeDone done);
    // Drops the exchanges still waiting and ends the running ones, without calling anyone back.
    void cancelExchanges();
    // Takes the exchanges with these units that are still waiting their turn out of the queue;
    // each ends at once with no reply, and nothing was sent.
    void dropWaitingExchanges(const QSet<QString> &macs);
    // Connects, sends one message and returns what comes back first (possibly nothing).
    QByteArray tcpOneShot(const QString &ip, const QByteArray &message);
    // Reads into buffer (kTcpReplyLimit bytes) what arrives within 10 seconds; maxLen 0 means
    // "return with the first data". Events keep being processed while it waits.
    qint64 readWithTimeout(QTcpSocket *socket, char *buffer, qint64 maxLen);
    static QString hexDump(const QByteArray &data);

    QUdpSocket *udpSocket = nullptr;
    // Further sockets sharing udpSocket's port (where the system allows), each with a receive
    // queue of its own; only read from.
    QList<QUdpSocket *> sharingSockets;
    static constexpr int kSharingSockets = 16;
    DatagramLimits datagramLimits;

public Q_SLOTS:
    void readPendingDatagrams();
    void disconnected();

Q_SIGNALS:
    void unitChangedSignal(MarluneUnit vUnit);
    void unitIDPushedSignal(MarluneUnit vUnit);
    // A command exchange with the unit brought no reply at all (see ExchangeFailure): said once
    // per exchange, before its caller hears that it is over.
    void exchangeFailed(MarluneUnit unit, QString note, QString message, bool reachedUnit);
    // A datagram larger than datagramLimits.maxSize was read away unparsed: said once for each
    // sender (of the first kRefusedSendersNamed).
    void replyRefused(QString sender, qint64 size);
    void toStatusBar(QString message, int timeout, bool override);
    void toStatusBar(QString message, int timeout);
    void toStatusBar(QString message);
    void toSerialResponse(QByteArray responseText);

private:
    struct PendingExchange
    {
        MarluneUnit unit;
        QByteArray command;
        ExchangeStart starting;
        ExchangeDone done;
    };
    using ExchangeOver = std::function<void(bool connected, const QByteArray &firstReply)>;
    void runExchange(const MarluneUnit &unit, const QByteArray &command, ExchangeOver over);
    void startWaitingExchanges();
    void announceReplies(const QByteArray &first, const QByteArray &second);
    QByteArray packetFor(const MarluneUnit &unit) const;
    void shareBoundPort();
    bool datagramsPending() const;
    void takeDatagrams();
    void takeDatagram(QUdpSocket *socket);
    // The datagram went to an address every socket sharing the port receives (a broadcast).
    bool reachesEverySocket(const QHostAddress &destination);
    void reportDroppedDatagrams();
    void refuseOversized(const QHostAddress &sender, qint64 size);


    std::array<QByteArray, kQueryCodes.size()> packets;
    QByteArray setupPacket;

    QQueue<PendingExchange> waitingExchanges;
    QList<ConfigExchange *> runningExchanges;

    QQueue<QByteArray> receivedDatagrams;
    qint64 receivedBytes = 0;
    bool turnScheduled = false;
    // Datagrams dropped since the last report. A report is due a while after the first drop, so
    // a burst gives one line and a lasting flood one line every few seconds.
    qint64 droppedOversized = 0;
    qint64 droppedOldest = 0;
    qint64 droppedUnreadable = 0;
    QString lastReadError;
    QString lastOversizedSender;
    // The senders of oversized datagrams named so far; a flood from forged addresses names only
    // the first few.
    static constexpr qsizetype kRefusedSendersNamed = 64;
    QSet<quint32> refusedSenders;
    QTimer *dropReport;
    // Looks for datagrams left unread now and then. Qt switches a UDP socket's read notifier
    // off when it fires while an earlier readyRead() went unanswered (as when it came during a
    // nested event loop) and on again only when a datagram is read: without this look the
    // socket could stay unread for good under a flood.
    QTimer *readWatch;
    // This workstation's IPv4 addresses and their subnets' broadcast addresses, as last listed.
    QSet<quint32> localUnicasts;
    QSet<quint32> localBroadcasts;
    QElapsedTimer interfacesListed;
};
