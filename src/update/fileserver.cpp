// MainWindow: the firmware file server on TCP port 50005. A commanded unit connects and asks
// for its image; the image is chosen from what the window knows of the unit (never from the
// requested path) and sent behind a fixed header. Each connection waits for its request and
// streams its file on its own, so neither a slow unit nor a large image holds up the window.

#include "mainwindow.h"

#include "app/debuglog.h"
#include "app/folders.h"
#include "update/filetransfer.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

static const char kLogSource[] = "mainwindow";

namespace {

constexpr int kRequestWaitMs = 10000;
// A request is a few short lines; anything beyond this is not read.
constexpr qint64 kMaxRequestSize = 64 * 1024;

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

void MainWindow::newSession()
{
    while (QTcpSocket *socket = fileServer->nextPendingConnection()) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        const QString peer = socket->peerAddress().toString().trimmed();
        toStatusLog(peer, QStringLiteral("New connection from ") + peer + QStringLiteral(": ")
                              + QString::number(socket->peerPort()));
        serverContacted = true;

        // The request is read once: when its first bytes arrive, when the peer goes away, or
        // after 10 seconds, whichever comes first.
        auto *wait = new QTimer(socket);
        wait->setSingleShot(true);
        const auto handle = [this, socket, wait, peer] {
            if (socket->property("requestHandled").toBool())
                return;
            socket->setProperty("requestHandled", true);
            wait->stop();
            serveRequest(socket, peer);
        };
        connect(socket, &QIODevice::readyRead, socket, handle);
        connect(socket, &QAbstractSocket::disconnected, socket, handle);
        connect(wait, &QTimer::timeout, socket, handle);
        wait->start(kRequestWaitMs);
        if (socket->bytesAvailable() > 0)
            handle();
    }
}

void MainWindow::serveRequest(QTcpSocket *socket, const QString &peer)
{
    const QStringList lines = QString::fromLatin1(socket->read(kMaxRequestSize)).split(QLatin1Char('\n'));
    QString fileName;
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("GET")) || !line.contains(QLatin1String("bin")))
            continue;
        const MarluneUnit *requester = nullptr;
        for (const MarluneUnit &unit : std::as_const(vUnits)) {
            if (unit.ip == peer) {
                requester = &unit;
                break;
            }
        }
        const UpdatePackage *package = requester ? catalogue.packageForFetch(*requester) : nullptr;
        if (!package) {
            BLOG << "fileRequest" << fileName;
            continue;
        }
        fileName = package->newFilename;
    }
    if (fileName.isEmpty()) {
        closeSession(socket, peer);
        return;
    }

    QString path = fileName;
    if (!QFile::exists(path))
        path = Folders::applicationFolder() + QLatin1Char('/') + fileName;
    if (!QFile::exists(path)) {
        toStatusLog(peer, QFileInfo(fileName).absoluteFilePath() + QStringLiteral(" DOES NOT EXIST."));
        closeSession(socket, peer);
        return;
    }
    auto *file = new QFile(path);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        toStatusLog(peer, fileName + QStringLiteral(" could NOT be opened."));
        closeSession(socket, peer);
        return;
    }

    auto *transfer = new FileTransfer(socket, file, responseHeader(file->size()));
    connect(transfer, &FileTransfer::finished, this, [this, socket, transfer, peer, fileName] {
        toStatusLog(peer, fileName + QStringLiteral(" (") + QString::number(transfer->size())
                              + QStringLiteral(" bytes) sent"));
        fileServed = true;
        recordFetch(peer);
        closeSession(socket, peer);
    });
    connect(transfer, &FileTransfer::failed, this, [this, socket, transfer, peer, fileName] {
        toStatusLog(peer, fileName + QStringLiteral(" was not sent completely (") + QString::number(transfer->bytesSent())
                              + QStringLiteral(" of ") + QString::number(transfer->size())
                              + QStringLiteral(" bytes): the connection broke off."));
        closeSession(socket, peer);
    });
    transfer->start();
}

void MainWindow::recordFetch(const QString &peer)
{
    for (const MarluneUnit &unit : std::as_const(vUnits)) {
        if (unit.ip == peer || unit.eth1_ipAddr == peer) {
            vUnitsUpdateFetched.append(unit);
            fetchTimeByMac[unit.mac] = QDateTime::currentDateTime();
            BLOG << "recognized " << unit.name;
            return;
        }
    }
    BLOG << "did not recognize" << peer;
}

void MainWindow::closeSession(QTcpSocket *socket, const QString &peer)
{
    toStatusLog(peer, QStringLiteral("Connection closed."));
    // Whatever is still queued for the peer is delivered before the socket closes.
    socket->disconnectFromHost();
}
