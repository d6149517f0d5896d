#pragma once

#include <QByteArray>
#include <QObject>

class QFile;
class QSocketNotifier;
class QTcpSocket;

// What one file server lets its transfers hold, shared among those running.
//
// Transfers that copy the file through the socket's buffer share the memory they keep queued:
// the more run at once, the less each keeps, so the server's memory does not grow with the
// number of units fetching.
//
// Transfers the kernel sends straight from the file keep nothing queued; they share how much
// may go out in one pass of the event loop instead. With few units each is sent much at a time,
// so the loop wakes seldom; with many each is sent less, so no pass holds the loop up for long.
class TransferBudget
{
public:
    // Bytes a copying transfer reads from its file per step, and lets wait in its socket: its
    // share of the budget, within these bounds.
    static constexpr qint64 kMaxChunk = 256 * 1024;
    static constexpr qint64 kMinChunk = 16 * 1024;
    static constexpr qint64 kBudget = 16 * 1024 * 1024;

    // Bytes a sending transfer hands the kernel, at most, each time its socket has room: its
    // share of one pass, within these bounds.
    static constexpr qint64 kMaxSend = 2 * 1024 * 1024;
    static constexpr qint64 kMinSend = 256 * 1024;
    static constexpr qint64 kSendBudget = 64 * 1024 * 1024;

    qint64 chunkSize() const { return qBound(kMinChunk, kBudget / qMax(running, 1), kMaxChunk); }
    void join() { ++running; }
    void leave() { --running; }
    int transfers() const { return running; }

    qint64 sendSize() const { return qBound(kMinSend, kSendBudget / qMax(sending, 1), kMaxSend); }
    void joinSending() { ++sending; }
    void leaveSending() { --sending; }

private:
    int running = 0;
    int sending = 0;
};

// Sends a header and then a file over a socket, so a large image never sits in memory whole
// and many units can fetch at once. On Linux the header goes to the socket's descriptor and the
// file follows it at once with sendfile(2), straight from the page cache, the transfer's share of
// the budget each time the socket can take more; elsewhere the header goes through the socket.
// Where sendfile is not available (another system, or a file sendfile refuses) the file is read a
// chunk at a time as the socket drains.
class FileTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfer)

public:
    // The file must be open for reading; the transfer takes it over. The socket and the budget
    // must outlive the transfer, and nothing else may write to the socket while it runs.
    FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header, TransferBudget &budget,
                 QObject *parent = nullptr);
    ~FileTransfer() override;

    void start();
    qint64 size() const { return fileSize; }
    // Bytes of the file handed on: to the kernel when sent from the file, to the socket's own
    // buffer when copied through it.
    qint64 bytesSent() const { return sent; }

Q_SIGNALS:
    // Every byte has been handed to the socket and written out.
    void finished();
    // The peer went away, or the file could not be read, before the end.
    void failed();
    // Some bytes, of the header or of the file, went out to the peer.
    void progressed();

private:
    // Header: the header is not sent yet, or on its way through the socket's buffer. Kernel: the
    // file goes with sendfile. Chunks: the file is read and written through the socket's buffer.
    enum class Mode { Header, Kernel, Chunks };

    void written();
    bool sendHeaderWithBody();
    void startBody();
    void sendBody();
    void useChunks();
    void pump();
    void complete();
    void fail();
    void end();

    QTcpSocket *socket;
    QFile *file;
    QByteArray header;
    TransferBudget &budget;
    QSocketNotifier *writable = nullptr;
    Mode mode = Mode::Header;
    qint64 fileSize = 0;
    qint64 sent = 0;
    bool done = false;
    // Which share of the budget the transfer holds.
    bool counted = false;
    bool sendCounted = false;
};
