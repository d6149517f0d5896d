#pragma once

#include "update/kernelsender.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QFile;
class QTcpSocket;

// The sending side of one file server: it owns the thread the kernel sends images from, and the
// memory budget its transfers share.
//
// Transfers the kernel sends straight from the file share the one sending thread, started with
// this object. Transfers that copy the file through the socket's buffer share the memory they keep
// queued: the more run at once, the less each keeps, so the server's memory does not grow with the
// number of units fetching.
class ImageSender
{
public:
    // Bytes a copying transfer reads from its file per step, and lets wait in its socket: its
    // share of the budget, within these bounds.
    static constexpr qint64 kMaxChunk = 256 * 1024;
    static constexpr qint64 kMinChunk = 16 * 1024;
    static constexpr qint64 kBudget = 16 * 1024 * 1024;

    ImageSender();
    ~ImageSender();
    Q_DISABLE_COPY_MOVE(ImageSender)

    qint64 chunkSize() const { return qBound(kMinChunk, kBudget / qMax(running, 1), kMaxChunk); }
    void join() { ++running; }
    void leave() { --running; }
    int transfers() const { return running; }

    KernelSender &kernelSender();

private:
    int running = 0;
    std::unique_ptr<KernelSender> sender;
};

// Sends a header and then a file over a socket, so a large image never sits in memory whole
// and many units can fetch at once. On Linux the header goes to the socket's descriptor and the
// file follows it with sendfile(2), straight from the page cache, from the budget's sending
// thread; elsewhere the header goes through the socket.
// Where sendfile is not available (another system, or a file sendfile refuses) the file is read a
// chunk at a time as the socket drains.
//
// The last kCheckedTail bytes are read before they go, and the file is looked at then: when it is
// no longer the file expected (rewritten in place, even with its size and time put back), they
// are not sent and the transfer ends with changedOnDisk(). Everything sent, and the last bytes,
// were read before that look, so a unit never receives whole an image that changed.
class FileTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileTransfer)

public:
    // The file must be open for reading; the transfer takes it over. The socket and the budget
    // must outlive the transfer, and nothing else may write to the socket while it runs.
    // expected: the file as it must still be when its last bytes go; not existing for no look.
    FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header, const FileIdentity &expected,
                 ImageSender &budget, QObject *parent = nullptr);

    static constexpr qint64 kCheckedTail = 64 * 1024;
    ~FileTransfer() override;

    void start();
    qint64 size() const { return fileSize; }
    // Bytes of the file handed on: to the kernel when sent from the file, to the socket's own
    // buffer when copied through it. While the sending thread sends, its latest count, which
    // may be ahead of what progressed() has told.
    qint64 bytesSent() const { return kernelSend ? kernelSend->sent.load() : sent; }
    // The file goes on to the unit without the socket: the socket closing ends nothing.
    bool goesOnWithoutTheSocket() const { return !done && mode == Mode::Kernel; }

Q_SIGNALS:
    // Every byte has been handed to the socket and written out.
    void finished();
    // The peer went away, or the file could not be read, before the end.
    void failed();
    // The file changed on disk: its last bytes were not sent.
    void changedOnDisk();
    // Some bytes, of the header or of the file, went out to the peer.
    void progressed();

private:
    // Header: the header is not sent yet, or on its way through the socket's buffer. Kernel: the
    // sending thread sends the file. Chunks: the file is read and written through the socket's
    // buffer.
    enum class Mode { Header, Kernel, Chunks };

    void written();
    bool sendHeaderWithBody();
    void startBody();
    void kernelNews();
    void stopKernelSend();
    void useChunks();
    void pump();
    bool sendTail();
    void complete();
    void fail();
    void stopChanged();
    void end();

    QTcpSocket *socket;
    QFile *file;
    QByteArray header;
    FileIdentity expected;
    // Where the last bytes, sent only after the look at the file, begin.
    qint64 checkFrom = 0;
    ImageSender &budget;
    std::shared_ptr<KernelSender::Send> kernelSend;
    Mode mode = Mode::Header;
    qint64 fileSize = 0;
    qint64 sent = 0;
    bool done = false;
    // The transfer holds a share of the copying budget.
    bool counted = false;
};
