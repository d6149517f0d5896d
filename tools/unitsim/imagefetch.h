#pragma once

#include "versionscanner.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Fetches a firmware image from the updater's file server the way a unit does: one GET request
// from the unit's own address, the body read as it streams in and counted, never kept.
class ImageFetch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ImageFetch)

public:
    static constexpr quint16 kServerPort = 50005;

    ImageFetch(const QHostAddress &localAddress, const QHostAddress &server, const QString &imageName,
               QObject *parent = nullptr);

    // Before start(): the fetch breaks off, as a failing link would, once this percentage of the
    // image has arrived.
    void breakOffAt(int percent);
    // Before start(): the MD5 of the image is worked out as it arrives.
    void keepDigest();
    // Before start(): the body is read at no more than this many KiB a second, through a small
    // receive window, as on a slow link.
    void limitRate(int kibPerSecond);
    void start();

Q_SIGNALS:
    // Exactly one of these, once. The digest is the image's MD5 in hex, or empty when not kept.
    void succeeded(qint64 bytes, qint64 milliseconds, const QString &swversion, const QString &webversion,
                   const QByteArray &digest);
    void failed(const QString &reason);
    void brokeOff(qint64 received, qint64 contentLength);

private:
    void onConnected();
    void onReadyRead();
    void onClosed();
    void onError();
    void onIdle();
    void judge();
    bool readHeader();
    void consumeBody();
    void finishFailed(const QString &reason);
    void breakOff();
    void paceTick();

    static constexpr int kMaxHeader = 8 * 1024;
    static constexpr int kChunkSize = 4 * 1024;
    // Generous: the updater serves every unit's fetch at the same time, each streaming on its own,
    // but all on one event loop and within one shared send budget. With a fleet fetching at once,
    // both the accept and the next piece of data can be a while coming.
    static constexpr int kConnectTimeoutMs = 20000;
    static constexpr int kIdleTimeoutMs = 60000;
    // A fetch that is to break off reads through a small window, as a unit's own network stack
    // does, so that the server still has the rest of the image to send when the link breaks.
    static constexpr int kBreakingReceiveBuffer = 64 * 1024;
    static constexpr int kPaceMs = 100;

    QTcpSocket *socket;
    QTimer idleTimer;
    QElapsedTimer clock;
    QHostAddress localAddress;
    QHostAddress server;
    QString imageName;
    QByteArray header;
    bool headerDone = false;
    qint64 contentLength = -1;
    qint64 received = 0;
    bool done = false;
    int breakPercent = 0;
    qint64 breakAt = -1; // body bytes after which the connection breaks; -1 for never
    bool digestKept = false;
    int rateKiB = 0;
    // Body bytes the rate still allows in this pacing step.
    qint64 allowance = 0;
    // The server closed while paced data still waited to be read.
    bool closedEarly = false;
    QTimer pace;
    QCryptographicHash hash{QCryptographicHash::Md5};
    VersionScanner scanner;
};
