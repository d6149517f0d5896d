#pragma once

#include "app/fileidentity.h"
#include "update/fetchrequest.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

class FileTransfer;
class QFile;
class QTcpSocket;
class QTimer;
class ImageSender;

// One unit's connection to the file server, from its request to its teardown: waits up to 10
// seconds for the request, sends the image the resolver names behind the fixed header, then
// closes. An image that is no longer the file the package scan read is not sent at all. A unit
// that takes no data for the stall timeout is given up. What a unit sends after its request is
// read away, so it cannot grow the socket's buffer. Deletes itself once the socket is closed.
// Going away early (the server shutting down) is silent: no signal is emitted from its destructor.
class FetchConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FetchConnection)

public:
    // Which image file a peer is sent; "" for none.
    using Resolver = std::function<QString(const QString &peer)>;
    // The file system's record of an image file as the package scan read it (not existing for
    // none): a file with another record is not the one that was hashed, and is not sent.
    using ImageCheck = std::function<FileIdentity(const QString &fileName)>;

    // Takes over the socket. The resolver, the check and the budget must outlive the connection.
    FetchConnection(QTcpSocket *socket, const Resolver &resolver, const ImageCheck &imageCheck, ImageSender &budget,
                    int stallTimeoutMs, QObject *parent);
    ~FetchConnection() override;

    void start();
    QString peer() const { return peerAddress; }

    static constexpr int kProgressIntervalMs = 250;
    // Out of descriptors, the image is opened again after this long, for up to the stall timeout.
    static constexpr int kOpenRetryMs = 250;

Q_SIGNALS:
    void fileMissing(QString peer, QString absolutePath);
    void fileUnreadable(QString peer, QString fileName);
    // The image changed on disk since the package scan; nothing was sent.
    void fileChanged(QString peer, QString fileName);
    // The image changed on disk while it was sent: the transfer was cut short before its end.
    void fileChangedWhileSent(QString peer, QString fileName, qint64 sent, qint64 size);
    void fileSent(QString peer, QString fileName, qint64 size);
    // How much of the image has been handed to the unit's socket: once as the transfer starts,
    // then at most every kProgressIntervalMs while it runs.
    void transferProgress(QString peer, QString fileName, qint64 sent, qint64 size);
    void transferBrokeOff(QString peer, QString fileName, qint64 sent, qint64 size);
    // The unit took no data for the stall timeout; it had accepted this much of the image.
    void transferStalled(QString peer, QString fileName, qint64 accepted, qint64 size);
    void closed(QString peer);
    // The image could not be opened for want of file descriptors; it is tried again shortly.
    void descriptorsRanOut();

private:
    void readRequest(bool final);
    void serve(const QString &fileName);
    void send(const QString &fileName, QFile *file, const FileIdentity &scanned);
    void giveUp(const QString &fileName);
    void close();

    QTcpSocket *socket;
    const Resolver &resolver;
    const ImageCheck &imageCheck;
    ImageSender &budget;
    QString peerAddress;
    QTimer *requestWait;
    QTimer *stallWait;
    const int stallTimeoutMs;
    QElapsedTimer sinceTaken;
    QByteArray request;
    bool answered = false;
    // Since the image first could not be opened for want of descriptors.
    QElapsedTimer sinceOutOfDescriptors;
    FileTransfer *transfer = nullptr;
    QElapsedTimer sinceProgress;
    // The header's length, and what the unit had acknowledged of header and image when the stall
    // timer last looked (-1: the system does not tell).
    qint64 headerBytes = 0;
    qint64 acknowledgedAtLastLook = -1;
    qint64 acknowledged() const;
};
