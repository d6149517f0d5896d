#pragma once

#include <QByteArray>
#include <QObject>

class QFile;
class QTcpSocket;

// The memory one file server lets its transfers keep queued, shared among those running: the
// more run at once, the less each keeps, so the server's memory does not grow with the number
// of units fetching.
class TransferBudget
{
public:
    // Bytes a transfer reads from its file per step, and lets wait in its socket: its share of
    // the budget, within these bounds.
    static constexpr qint64 kMaxChunk = 256 * 1024;
    static constexpr qint64 kMinChunk = 16 * 1024;
    static constexpr qint64 kBudget = 16 * 1024 * 1024;

    qint64 chunkSize() const { return qBound(kMinChunk, kBudget / qMax(running, 1), kMaxChunk); }
    void join() { ++running; }
    void leave() { --running; }
    int transfers() const { return running; }

private:
    int running = 0;
};

// Sends a header and then a file over a socket, a chunk at a time as the socket drains, so a
// large image never sits in memory whole and many units can fetch at once.
class FileTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfer)

public:
    // The file must be open for reading; the transfer takes it over. The socket and the budget
    // must outlive the transfer.
    FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header, TransferBudget &budget,
                 QObject *parent = nullptr);
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

    QTcpSocket *socket;
    QFile *file;
    QByteArray header;
    TransferBudget &budget;
    qint64 fileSize = 0;
    qint64 sent = 0;
    bool done = false;
    bool counted = false;
};
