#include "filetransfer.h"

#include <QTcpSocket>

FileTransfer::FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header)
    : QObject(socket), socket(socket), file(file), header(header), fileSize(file->size())
{
    file->setParent(this);
}

void FileTransfer::start()
{
    connect(socket, &QIODevice::bytesWritten, this, &FileTransfer::pump);
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (!done) {
            done = true;
            Q_EMIT failed();
        }
    });
    socket->write(header);
    pump();
}

void FileTransfer::pump()
{
    if (done)
        return;
    while (sent < fileSize && socket->bytesToWrite() < kChunkSize) {
        const QByteArray chunk = file->read(qMin(kChunkSize, fileSize - sent));
        if (chunk.isEmpty()) {
            done = true;
            Q_EMIT failed();
            return;
        }
        socket->write(chunk);
        sent += chunk.size();
    }
    if (sent == fileSize && socket->bytesToWrite() == 0) {
        done = true;
        file->close();
        Q_EMIT finished();
    }
}
