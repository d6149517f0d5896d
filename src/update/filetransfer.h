#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>

class QTcpSocket;

// Sends a header and then a file over a socket, a chunk at a time as the socket drains, so a
// large image never sits in memory whole and many units can fetch at once. All transfers share
// one memory budget: the more run at once, the less each keeps queued, so the server's memory
// does not grow with the number of units. Lives as a child of the socket.
class FileTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfer)

public:
    // Bytes a transfer reads from its file per step, and lets wait in its socket: its share of
    // the budget, within these bounds.
    static constexpr qint64 kMaxChunk = 256 * 1024;
    static constexpr qint64 kMinChunk = 16 * 1024;
    static constexpr qint64 kBudget = 16 * 1024 * 1024;

    // The file must be open for reading.
    FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header);
    ~FileTransfer() override;

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
    void end();
    static qint64 chunkSize();

    QTcpSocket *socket;
    QFile *file;
    QByteArray header;
    qint64 fileSize = 0;
    qint64 sent = 0;
    bool done = false;
    bool counted = false;
    static int running;
};
