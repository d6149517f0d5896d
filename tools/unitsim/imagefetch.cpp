#include "imagefetch.h"

#include <QTcpSocket>

ImageFetch::ImageFetch(const QHostAddress &localAddress, const QHostAddress &server, const QString &imageName,
                       QObject *parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_local(localAddress), m_server(server),
      m_imageName(imageName)
{
    // Fifty units may fetch 64 MiB each at once: keep only a few KiB of each in memory.
    m_socket->setReadBufferSize(4 * ChunkSize);
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, &ImageFetch::onIdle);
    connect(m_socket, &QTcpSocket::connected, this, &ImageFetch::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &ImageFetch::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ImageFetch::onClosed);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ImageFetch::onError);
}

void ImageFetch::start()
{
    m_clock.start();
    // The file server tells units apart by their address, so the request leaves from the unit's own.
    if (!m_socket->bind(m_local, 0)) {
        finishFailed(QStringLiteral("cannot bind %1: %2").arg(m_local.toString(), m_socket->errorString()));
        return;
    }
    m_idle.start(ConnectTimeoutMs);
    m_socket->connectToHost(m_server, ServerPort);
}

void ImageFetch::onConnected()
{
    const QByteArray host = m_server.toString().toLatin1();
    m_socket->write("GET /" + m_imageName.toLatin1() + ".bin HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    m_idle.start(IdleTimeoutMs);
}

void ImageFetch::onReadyRead()
{
    if (m_done)
        return;
    m_idle.start(IdleTimeoutMs);
    if (!m_headerDone && !readHeader())
        return;
    consumeBody();
}

// Collects the response header; true once it is complete. The updater's server ends header lines
// with "\n" alone; "\r\n" is accepted as well.
bool ImageFetch::readHeader()
{
    while (m_socket->bytesAvailable() > 0) {
        char c;
        if (m_socket->getChar(&c) == false)
            return false;
        m_header.append(c);
        if (m_header.endsWith("\n\n") || m_header.endsWith("\r\n\r\n")) {
            m_headerDone = true;
            break;
        }
        if (m_header.size() > MaxHeader) {
            finishFailed(QStringLiteral("response header too long"));
            return false;
        }
    }
    if (!m_headerDone)
        return false;
    const QList<QByteArray> lines = m_header.split('\n');
    if (!lines.first().startsWith("HTTP/1.") || !lines.first().contains(" 200")) {
        finishFailed(QStringLiteral("server said '%1'").arg(QString::fromLatin1(lines.first().trimmed())));
        return false;
    }
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length") {
            bool ok = false;
            m_contentLength = line.mid(colon + 1).trimmed().toLongLong(&ok);
            if (!ok || m_contentLength < 0)
                m_contentLength = -1;
        }
    }
    return true;
}

void ImageFetch::consumeBody()
{
    char chunk[ChunkSize];
    while (!m_done && m_socket->bytesAvailable() > 0) {
        const qint64 n = m_socket->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        m_scanner.feed(chunk, n);
        m_received += n;
    }
    // A unit has its image once Content-Length bytes are in, whether or not the server closes
    // the connection then (an HTTP/1.1 server may keep it open for more requests).
    if (!m_done && m_contentLength > 0 && m_received >= m_contentLength) {
        judge();
        m_socket->disconnectFromHost();
    }
}

void ImageFetch::onClosed()
{
    if (m_done)
        return;
    // Whatever is still buffered belongs to the response.
    onReadyRead();
    judge();
}

// The server has finished sending: the body must be exactly as long as the header said.
void ImageFetch::judge()
{
    if (m_done)
        return;
    m_idle.stop();
    if (!m_headerDone) {
        finishFailed(m_header.isEmpty() ? QStringLiteral("server closed without an answer")
                                        : QStringLiteral("server closed inside the header"));
        return;
    }
    if (m_contentLength < 0) {
        finishFailed(QStringLiteral("no Content-Length"));
        return;
    }
    if (m_received == 0) {
        finishFailed(QStringLiteral("empty body"));
        return;
    }
    if (m_received != m_contentLength) {
        finishFailed(QStringLiteral("length mismatch %1 of %2").arg(m_received).arg(m_contentLength));
        return;
    }
    m_scanner.finish();
    m_done = true;
    Q_EMIT succeeded(m_received, m_clock.elapsed(), m_scanner.swversion(), m_scanner.webversion());
}

void ImageFetch::onError()
{
    // A server closing after the body is the normal end; disconnected() judges that.
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_socket->error() == QAbstractSocket::ConnectionRefusedError)
        finishFailed(QStringLiteral("no server at %1:%2").arg(m_server.toString()).arg(ServerPort));
    else
        finishFailed(m_socket->errorString());
}

void ImageFetch::onIdle()
{
    if (m_headerDone && m_contentLength > 0 && m_received == m_contentLength) {
        // The server kept the connection open after a complete body; that is as good as a close.
        judge();
        m_socket->abort();
        return;
    }
    finishFailed(m_socket->state() == QAbstractSocket::ConnectedState
                     ? QStringLiteral("timed out reading")
                     : QStringLiteral("timed out connecting"));
}

void ImageFetch::finishFailed(const QString &reason)
{
    if (m_done)
        return;
    m_done = true;
    m_idle.stop();
    m_socket->abort();
    Q_EMIT failed(reason);
}
