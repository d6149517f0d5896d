#include "filetransfer.h"

#include <QTcpSocket>

int FileTransfer::running = 0;

FileTransfer::FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header)
    : QObject(socket), socket(socket), file(file), header(header), fileSize(file->size())
{
    file->setParent(this);
}

FileTransfer::~FileTransfer()
{
    end();
}

qint64 FileTransfer::chunkSize()
{
    return qBound(kMinChunk, kBudget / qMax(running, 1), kMaxChunk);
}

void FileTransfer::end()
{
    done = true;
    if (counted) {
        counted = false;
        --running;
    }
}

void FileTransfer::start()
{
    counted = true;
    ++running;
    connect(socket, &QIODevice::bytesWritten, this, &FileTransfer::pump);
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (!done) {
            end();
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
    const qint64 chunk = chunkSize();
    while (sent < fileSize && socket->bytesToWrite() < chunk) {
        const QByteArray data = file->read(qMin(chunk, fileSize - sent));
        if (data.isEmpty()) {
            end();
            Q_EMIT failed();
            return;
        }
        socket->write(data);
        sent += data.size();
    }
    if (sent == fileSize && socket->bytesToWrite() == 0) {
        end();
        file->close();
        Q_EMIT finished();
    }
}
