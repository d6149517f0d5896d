#include "filetransfer.h"

#include <QFile>
#include <QTcpSocket>

FileTransfer::FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header, TransferBudget &budget,
                           QObject *parent)
    : QObject(parent), socket(socket), file(file), header(header), budget(budget), fileSize(file->size())
{
    file->setParent(this);
}

FileTransfer::~FileTransfer()
{
    end();
}

void FileTransfer::end()
{
    done = true;
    if (counted) {
        counted = false;
        budget.leave();
    }
}

void FileTransfer::start()
{
    counted = true;
    budget.join();
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
    const qint64 chunk = budget.chunkSize();
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
