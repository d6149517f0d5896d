#include "imagefetch.h"

#include <QNetworkProxy>
#include <QTcpSocket>

ImageFetch::ImageFetch(const QHostAddress &localAddress, const QHostAddress &server, const QString &imageName,
                       QObject *parent)
    : QObject(parent), socket(new QTcpSocket(this)), localAddress(localAddress), server(server),
      imageName(imageName)
{
    // Fifty units may fetch 64 MiB each at once: keep only a few KiB of each in memory.
    socket->setReadBufferSize(4 * kChunkSize);
    socket->setProxy(QNetworkProxy::NoProxy);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &ImageFetch::onIdle);
    connect(socket, &QTcpSocket::connected, this, &ImageFetch::onConnected);
    connect(socket, &QTcpSocket::readyRead, this, &ImageFetch::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &ImageFetch::onClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, &ImageFetch::onError);
}

void ImageFetch::breakOffAt(int percent)
{
    breakPercent = percent;
}

void ImageFetch::keepDigest()
{
    digestKept = true;
}

void ImageFetch::limitRate(int kibPerSecond)
{
    rateKiB = kibPerSecond;
}

// A new step's allowance; the rest of a close that came early is judged once all is read.
void ImageFetch::paceTick()
{
    if (done)
        return;
    allowance = qint64(rateKiB) * 1024 * kPaceMs / 1000;
    if (socket->bytesAvailable() > 0)
        idleTimer.start(kIdleTimeoutMs);
    consumeBody();
    if (closedEarly && !done && socket->bytesAvailable() == 0)
        judge();
}

void ImageFetch::start()
{
    clock.start();
    // The file server tells units apart by their address, so the request leaves from the unit's own.
    if (!socket->bind(localAddress, 0)) {
        finishFailed(
            QStringLiteral("cannot bind %1: %2").arg(localAddress.toString(), socket->errorString()));
        return;
    }
    if (breakPercent > 0 || rateKiB > 0)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kBreakingReceiveBuffer);
    if (rateKiB > 0) {
        connect(&pace, &QTimer::timeout, this, &ImageFetch::paceTick);
        pace.start(kPaceMs);
        allowance = qint64(rateKiB) * 1024 * kPaceMs / 1000;
    }
    idleTimer.start(kConnectTimeoutMs);
    socket->connectToHost(server, kServerPort);
}

void ImageFetch::onConnected()
{
    const QByteArray host = server.toString().toLatin1();
    socket->write("GET /" + imageName.toLatin1() + ".bin HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    idleTimer.start(kIdleTimeoutMs);
}

void ImageFetch::onReadyRead()
{
    if (done)
        return;
    idleTimer.start(kIdleTimeoutMs);
    if (!headerDone && !readHeader())
        return;
    consumeBody();
}

// Collects the response header; true once it is complete. The updater's server ends header lines
// with "\n" alone; "\r\n" is accepted as well.
bool ImageFetch::readHeader()
{
    while (socket->bytesAvailable() > 0) {
        char c;
        if (socket->getChar(&c) == false)
            return false;
        header.append(c);
        if (header.endsWith("\n\n") || header.endsWith("\r\n\r\n")) {
            headerDone = true;
            break;
        }
        if (header.size() > kMaxHeader) {
            finishFailed(QStringLiteral("response header too long"));
            return false;
        }
    }
    if (!headerDone)
        return false;
    const QList<QByteArray> lines = header.split('\n');
    if (!lines.first().startsWith("HTTP/1.") || !lines.first().contains(" 200")) {
        finishFailed(QStringLiteral("server said '%1'").arg(QString::fromLatin1(lines.first().trimmed())));
        return false;
    }
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length") {
            bool ok = false;
            contentLength = line.mid(colon + 1).trimmed().toLongLong(&ok);
            if (!ok || contentLength < 0)
                contentLength = -1;
        }
    }
    if (breakPercent > 0 && contentLength > 0)
        breakAt = qMax<qint64>(1, contentLength * breakPercent / 100);
    return true;
}

void ImageFetch::consumeBody()
{
    char chunk[kChunkSize];
    while (!done && socket->bytesAvailable() > 0) {
        qint64 wanted = breakAt < 0 ? qint64(sizeof chunk) : qMin(qint64(sizeof chunk), breakAt - received);
        if (rateKiB > 0)
            wanted = qMin(wanted, allowance);
        if (wanted <= 0)
            break;
        const qint64 n = socket->read(chunk, wanted);
        if (n <= 0)
            break;
        scanner.feed(chunk, n);
        if (digestKept)
            hash.addData(QByteArrayView(chunk, n));
        received += n;
        allowance -= n;
        if (breakAt >= 0 && received >= breakAt) {
            breakOff();
            return;
        }
    }
    // A unit has its image once Content-Length bytes are in, whether or not the server closes
    // the connection then (an HTTP/1.1 server may keep it open for more requests).
    if (!done && contentLength > 0 && received >= contentLength) {
        judge();
        socket->disconnectFromHost();
    }
}

void ImageFetch::onClosed()
{
    if (done)
        return;
    // Whatever is still buffered belongs to the response; a paced fetch reads it at its pace.
    onReadyRead();
    if (rateKiB > 0 && !done && socket->bytesAvailable() > 0) {
        closedEarly = true;
        return;
    }
    judge();
}

// The server has finished sending: the body must be exactly as long as the header said.
void ImageFetch::judge()
{
    if (done)
        return;
    idleTimer.stop();
    pace.stop();
    if (!headerDone) {
        finishFailed(header.isEmpty() ? QStringLiteral("server closed without an answer")
                                      : QStringLiteral("server closed inside the header"));
        return;
    }
    if (contentLength < 0) {
        finishFailed(QStringLiteral("no Content-Length"));
        return;
    }
    if (received == 0) {
        finishFailed(QStringLiteral("empty body"));
        return;
    }
    if (received != contentLength) {
        finishFailed(QStringLiteral("length mismatch %1 of %2").arg(received).arg(contentLength));
        return;
    }
    scanner.finish();
    done = true;
    Q_EMIT succeeded(received, clock.elapsed(), scanner.swversion(), scanner.webversion(),
                     digestKept ? hash.result().toHex() : QByteArray());
}

void ImageFetch::onError()
{
    // A server closing after the body is the normal end; disconnected() judges that.
    if (socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (socket->error() == QAbstractSocket::ConnectionRefusedError)
        finishFailed(QStringLiteral("no server at %1:%2").arg(server.toString()).arg(kServerPort));
    else
        finishFailed(socket->errorString());
}

void ImageFetch::onIdle()
{
    if (headerDone && contentLength > 0 && received == contentLength) {
        // The server kept the connection open after a complete body; that is as good as a close.
        judge();
        socket->abort();
        return;
    }
    finishFailed(socket->state() == QAbstractSocket::ConnectedState ? QStringLiteral("timed out reading")
                                                                    : QStringLiteral("timed out connecting"));
}

void ImageFetch::finishFailed(const QString &reason)
{
    if (done)
        return;
    done = true;
    idleTimer.stop();
    pace.stop();
    socket->abort();
    Q_EMIT failed(reason);
}

// The link breaks: the connection is reset, nothing more arrives.
void ImageFetch::breakOff()
{
    done = true;
    idleTimer.stop();
    socket->abort();
    Q_EMIT brokeOff(received, contentLength);
}
