#pragma once

#include "update/fetchconnection.h"
#include "update/filetransfer.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QList>
#include <QTimer>

class QSocketNotifier;
class QTcpSocket;

// The firmware file server: units that were told to update connect and ask for their image,
// which is chosen by the resolver from what is known of the peer, never from the path it asks
// for, and sent only while the image check finds it unchanged since the package scan. One
// FetchConnection per client; transfers share one memory budget. Its owner routes
// newConnection() to newSession(). Destroying the server closes every connection silently.
class FileServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileServer)

public:
    FileServer(FetchConnection::Resolver resolver, FetchConnection::ImageCheck imageCheck, QObject *parent = nullptr);
    ~FileServer() override;

    bool listen(const QHostAddress &address, quint16 port);

    // A unit that takes no data of its image for this long is given up.
    static constexpr int kStallTimeoutMs = 60000;
    // Out of descriptors, the server stops accepting connections for this long.
    static constexpr int kAcceptPauseMs = 250;
    // Connections the kernel keeps waiting for the server to take, and those taken in one turn of
    // the event loop.
    static constexpr int kListenQueue = 128;
    static constexpr int kAcceptedPerTurn = 16;
    void setStallTimeout(int ms) { stallTimeoutMs = ms; }
    int stallTimeout() const { return stallTimeoutMs; }

public Q_SLOTS:
    // Takes every pending connection; each waits for its request and is answered on its own,
    // so neither a slow unit nor a large image holds up the others.
    void newSession();

Q_SIGNALS:
    void newConnection();
    void connectionOpened(QString peer, quint16 port);
    void fileMissing(QString peer, QString absolutePath);
    void fileUnreadable(QString peer, QString fileName);
    // The image changed on disk since the package scan and was not sent; once per refused fetch.
    void fileChanged(QString peer, QString fileName);
    // The image changed on disk while it was sent, and the transfer was cut short.
    void fileChangedWhileSent(QString peer, QString fileName, qint64 sent, qint64 size);
    void fileSent(QString peer, QString fileName, qint64 size);
    void transferProgress(QString peer, QString fileName, qint64 sent, qint64 size);
    void transferBrokeOff(QString peer, QString fileName, qint64 sent, qint64 size);
    void transferStalled(QString peer, QString fileName, qint64 accepted, qint64 size);
    void connectionClosed(QString peer);
    // The process ran out of file descriptors: units wait (the server stops accepting for a
    // moment, an image is opened again shortly). Once, until a unit is served again.
    void descriptorsRanOut(qint64 limit);

private:
    void acceptPending();
    void noteDescriptorsRanOut();

    // The listening socket. Its connections are taken here rather than by a QTcpServer, which
    // spins on a failed accept while the process is out of descriptors.
    int listening = -1;
    QSocketNotifier *incoming = nullptr;
    QList<QTcpSocket *> pending;
    // Accepting again after running out of descriptors.
    QTimer *resumeAccepting;
    bool descriptorsShort = false;
    ImageSender imageSender;
    FetchConnection::Resolver resolver;
    FetchConnection::ImageCheck imageCheck;
    int stallTimeoutMs = kStallTimeoutMs;
};
