#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>

class QTcpSocket;

// Sends a header and then a file over a socket, a chunk at a time as the socket drains, so a
// large image never sits in memory whole and many units can fetch at once. Lives as a child of
// the socket.
class FileTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfer)

public:
    // Bytes read from the file per step; also the most the transfer lets wait in the socket.
    static constexpr qint64 kChunkSize = 256 * 1024;

    // The file must be open for reading.
    FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header);

    void start();
    qint64 size() const { return fileSize; }
    qint64 bytesSent() const { return sent; }

Q_SIGNALS:
    // Every byte has been handed to the socket and written out.
    void finished();
    // The peer went away, or the file could not be read, before the end.
    void failed();

private:
    void pump();

    QTcpSocket *socket;
    QFile *file;
    QByteArray header;
    qint64 fileSize = 0;
    qint64 sent = 0;
    bool done = false;
};
