#include "fetchconnection.h"

#include "packages/updatepackage.h"
#include "update/filetransfer.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>

#ifdef Q_OS_LINUX
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

constexpr int kRequestWaitMs = 10000;

// Always this header, whatever the image: only the length varies. LF line ends.
QByteArray responseHeader(qint64 contentLength)
{
    return QByteArrayLiteral("HTTP/1.1 200 OK\n"
                             "Date: Mon, 17 Sep 2012 12:59:52 GMT\n"
                             "Server: Apache/2.2.21 (Win32) mod_ssl/2.2.21 OpenSSL/1.0.0e PHP/5.3.8 "
                             "mod_perl/2.0.4 Perl/v5.10.1\n"
                             "Last-Modified: Fri, 14 Sep 2012 14:52:37 GMT\n"
                             "ETag: \"800000010f742-3a1a1d-4c9aa9322d740\"\n"
                             "Accept-Ranges: bytes\n"
                             "Content-Length: ")
           + QByteArray::number(contentLength)
           + QByteArrayLiteral("\nKeep-Alive: timeout=5, max=100\n"
                               "Connection: Keep-Alive\n"
                               "Content-Type: application/octet-stream\n\n");
}

} // namespace

FetchConnection::FetchConnection(QTcpSocket *socket, const Resolver &resolver, const ImageCheck &imageCheck,
                                 ImageSender &budget, int stallTimeoutMs, QObject *parent)
    : QObject(parent), socket(socket), resolver(resolver), imageCheck(imageCheck), budget(budget),
      peerAddress(socket->peerAddress().toString().trimmed()), requestWait(new QTimer(this)),
      stallWait(new QTimer(this)), stallTimeoutMs(stallTimeoutMs)
{
    socket->setParent(this);
    socket->setReadBufferSize(kMaxFetchRequestSize);
    requestWait->setSingleShot(true);
    stallWait->setSingleShot(true);
}

FetchConnection::~FetchConnection()
{
    // Silence first: nothing of this connection may report anything while it is torn down.
    delete transfer;
    socket->disconnect();
    socket->abort();
}

void FetchConnection::start()
{
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        readRequest(true);
        // A unit that closed only its own side after its request still takes its image.
        if (transfer && transfer->goesOnWithoutTheSocket())
            return;
        deleteLater();
    });
    connect(socket, &QIODevice::readyRead, this, [this] { readRequest(false); });
    connect(requestWait, &QTimer::timeout, this, [this] { readRequest(true); });
    requestWait->start(kRequestWaitMs);
    if (socket->bytesAvailable() > 0)
        readRequest(false);
}

// Collects the request until it tells what the unit wants, the wait ends or the peer goes away.
void FetchConnection::readRequest(bool final)
{
    if (answered) {
        if (socket->isOpen())
            socket->skip(socket->bytesAvailable());
        return;
    }
    request += socket->read(kMaxFetchRequestSize - request.size());
    const FetchVerdict verdict = parseFetchRequest(request, final);
    if (verdict == FetchVerdict::Incomplete)
        return;
    answered = true;
    requestWait->stop();
    const QString fileName = verdict == FetchVerdict::Fetch ? resolver(peerAddress) : QString();
    if (fileName.isEmpty())
        close();
    else
        serve(fileName);
}

// The image is looked for where the package scan found it: in the working folder (unless a
// packages folder was named), then beside the program. Only a regular file is opened: a pipe or
// device put in its place is never read, and never waited on.
void FetchConnection::serve(const QString &fileName)
{
    const QString path = packageFilePath(fileName);
    if (!QFile::exists(path)) {
        Q_EMIT fileMissing(peerAddress, QFileInfo(fileName).absoluteFilePath());
        close();
        return;
    }
    auto *file = new QFile;
    if (!openRegularFile(file, path)) {
        const int reason = errno;
        delete file;
        // The process is out of descriptors: nothing is wrong with the image. The unit waits
        // and the image is opened again shortly, for as long as a stalled unit would be waited for.
        if ((reason == EMFILE || reason == ENFILE)
            && (!sinceOutOfDescriptors.isValid() || !sinceOutOfDescriptors.hasExpired(stallTimeoutMs))) {
            if (!sinceOutOfDescriptors.isValid())
                sinceOutOfDescriptors.start();
            Q_EMIT descriptorsRanOut();
            QTimer::singleShot(kOpenRetryMs, this, [this, fileName] { serve(fileName); });
            return;
        }
        Q_EMIT fileUnreadable(peerAddress, fileName);
        close();
        return;
    }
    // A unit is sent only the bytes the scan read and hashed. The open file is checked (a file
    // replaced after this point does not matter: the one checked is the one sent), by its whole
    // record: a copy tool that puts back the size and modification time cannot put back the
    // change time. The transfer looks again before the last bytes go.
    const FileIdentity scanned = imageCheck(fileName);
    if (FileIdentity::of(file->handle()) != scanned) {
        delete file;
        Q_EMIT fileChanged(peerAddress, fileName);
        close();
        return;
    }
    send(fileName, file, scanned);
}

// The header and the checked image go to the unit; the connection watches the transfer until it
// ends, breaks off, finds the file changed or stalls.
void FetchConnection::send(const QString &fileName, QFile *file, const FileIdentity &scanned)
{
    const QByteArray header = responseHeader(file->size());
    headerBytes = header.size();
    transfer = new FileTransfer(socket, file, header, scanned, budget, this);
    connect(transfer, &FileTransfer::finished, this, [this, fileName] {
        stallWait->stop();
        Q_EMIT fileSent(peerAddress, fileName, transfer->size());
        close();
    });
    connect(transfer, &FileTransfer::failed, this, [this, fileName] {
        stallWait->stop();
        Q_EMIT transferBrokeOff(peerAddress, fileName, transfer->bytesSent(), transfer->size());
        close();
    });
    connect(transfer, &FileTransfer::changedOnDisk, this, [this, fileName] {
        stallWait->stop();
        Q_EMIT fileChangedWhileSent(peerAddress, fileName, transfer->bytesSent(), transfer->size());
        close();
    });
    // Every byte the unit takes shows it is still there. That happens far more often than the
    // timer could be restarted cheaply, so only the time is noted; when the timer runs out it
    // waits out what is left since then, and gives up once the whole timeout went by untaken.
    // The kernel holds a bufferful of the image: a slow unit may take data for a long while
    // before its socket has room for more, so what it acknowledged since the last look counts too.
    connect(stallWait, &QTimer::timeout, this, [this, fileName] {
        const qint64 nowAcknowledged = acknowledged();
        if (nowAcknowledged > acknowledgedAtLastLook) {
            acknowledgedAtLastLook = nowAcknowledged;
            sinceTaken.start();
        }
        const qint64 quiet = sinceTaken.elapsed();
        if (quiet < stallTimeoutMs)
            stallWait->start(int(stallTimeoutMs - quiet));
        else
            giveUp(fileName);
    });
    connect(transfer, &FileTransfer::progressed, this, [this, fileName] {
        sinceTaken.start();
        // The last bytes are reported by fileSent, never as progress after it.
        if (transfer && transfer->bytesSent() < transfer->size() && sinceProgress.hasExpired(kProgressIntervalMs)) {
            sinceProgress.start();
            Q_EMIT transferProgress(peerAddress, fileName, transfer->bytesSent(), transfer->size());
        }
    });
    stallWait->start(stallTimeoutMs);
    sinceTaken.start();
    acknowledgedAtLastLook = acknowledged();
    sinceProgress.start();
    Q_EMIT transferProgress(peerAddress, fileName, 0, transfer->size());
    transfer->start();
}

// The unit stopped taking data: the socket, the file and the budget share go now, instead of
// whenever the unit's connection times out, if ever.
void FetchConnection::giveUp(const QString &fileName)
{
    // What the unit took: the image bytes it acknowledged, where the system tells; otherwise all
    // that was sent from the file, less what still waits in the socket's own buffer when the file
    // is copied through it.
    const qint64 handedOn = qMax<qint64>(0, transfer->bytesSent() - socket->bytesToWrite());
    const qint64 nowAcknowledged = acknowledged();
    const qint64 accepted =
        nowAcknowledged < 0 ? handedOn : qBound<qint64>(0, nowAcknowledged - headerBytes, handedOn);
    const qint64 size = transfer->size();
    // The transfer goes first so that the abort below is not reported as a broken transfer.
    delete transfer;
    transfer = nullptr;
    Q_EMIT transferStalled(peerAddress, fileName, accepted, size);
    Q_EMIT closed(peerAddress);
    socket->abort();
    deleteLater();
}

// Bytes of this connection the unit has acknowledged, header included; -1 where the system does
// not tell.
qint64 FetchConnection::acknowledged() const
{
#ifdef Q_OS_LINUX
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &length) == 0
        && length >= socklen_t(offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked))
        return qint64(info.tcpi_bytes_acked);
#endif
    return -1;
}

void FetchConnection::close()
{
    Q_EMIT closed(peerAddress);
    // Whatever is still queued for the peer is delivered before the socket closes. A socket
    // closed already (the unit closed its side while the image went on) is done with.
    if (socket->state() == QAbstractSocket::UnconnectedState)
        deleteLater();
    else
        socket->disconnectFromHost();
}
