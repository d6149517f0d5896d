#include "filetransfer.h"

#include <QFile>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <sys/socket.h>
#include <sys/types.h>
#endif

// The sending thread is made with the server, while descriptors are there for its event loop:
// made at the first transfer, it could find none left, and a thread without one ends the process.
ImageSender::ImageSender() : sender(std::make_unique<KernelSender>()) {}
ImageSender::~ImageSender() = default;

KernelSender &ImageSender::kernelSender()
{
    return *sender;
}

FileTransfer::FileTransfer(QTcpSocket *socket, QFile *file, const QByteArray &header, const FileIdentity &expected,
                           ImageSender &budget, QObject *parent)
    : QObject(parent), socket(socket), file(file), header(header), expected(expected), budget(budget),
      fileSize(file->size())
{
    file->setParent(this);
    checkFrom = expected.exists ? qMax<qint64>(0, fileSize - kCheckedTail) : fileSize;
}

FileTransfer::~FileTransfer()
{
    end();
}

// Stops the transfer for good. The sending thread has its own copies of the file's and the
// socket's descriptors, so the transfer's owner may close its own at once; the connection itself
// closes once the thread has let go of its copy too.
void FileTransfer::end()
{
    done = true;
    stopKernelSend();
    if (counted) {
        counted = false;
        budget.leave();
    }
}

void FileTransfer::stopKernelSend()
{
    if (!kernelSend)
        return;
    budget.kernelSender().remove(kernelSend);
    sent = kernelSend->sent.load();
    kernelSend.reset();
}

void FileTransfer::complete()
{
    end();
    file->close();
    Q_EMIT finished();
}

void FileTransfer::fail()
{
    end();
    Q_EMIT failed();
}

void FileTransfer::stopChanged()
{
    end();
    Q_EMIT changedOnDisk();
}

void FileTransfer::start()
{
    connect(socket, &QIODevice::bytesWritten, this, &FileTransfer::written);
    // The socket closes as soon as the unit closes its own side (Qt reads that as the end), but a
    // unit may do so right after its request and still read its image. Once the sending thread
    // sends the file, on its own copy of the descriptor, it goes on: a unit that is really gone
    // is an error to that send.
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (!done && mode != Mode::Kernel)
            fail();
    });
    // A peer that left before its answer began is sent nothing.
    if (socket->state() != QAbstractSocket::ConnectedState) {
        fail();
        return;
    }
    if (sendHeaderWithBody())
        return;
    socket->write(header);
#ifndef Q_OS_LINUX
    useChunks();
#endif
}

// The socket wrote some of its buffer out.
void FileTransfer::written()
{
    if (done)
        return;
    Q_EMIT progressed();
    if (mode == Mode::Chunks) {
        pump();
    } else if (mode == Mode::Header && socket->bytesToWrite() == 0) {
        // The file follows once the socket is done with its buffer and has let go of the
        // descriptor's write notification: from the event loop, not from inside its own write.
        QMetaObject::invokeMethod(this, &FileTransfer::startBody, Qt::QueuedConnection);
    }
}

void FileTransfer::useChunks()
{
    mode = Mode::Chunks;
    counted = true;
    budget.join();
    pump();
}

void FileTransfer::pump()
{
    if (done)
        return;
    const qint64 chunk = budget.chunkSize();
    while (sent < checkFrom && socket->bytesToWrite() < chunk) {
        const QByteArray data = file->read(qMin(chunk, checkFrom - sent));
        if (data.isEmpty()) {
            fail();
            return;
        }
        socket->write(data);
        sent += data.size();
    }
    if (sent == checkFrom && sent < fileSize && !sendTail())
        return;
    if (sent == fileSize && socket->bytesToWrite() == 0)
        complete();
}

// The last bytes: read, then the file looked at, then written. False when the transfer ended.
bool FileTransfer::sendTail()
{
    const QByteArray tail = file->read(fileSize - sent);
    if (tail.size() != fileSize - sent) {
        fail();
        return false;
    }
    if (FileIdentity::of(file->handle()) != expected) {
        stopChanged();
        return false;
    }
    socket->write(tail);
    sent += tail.size();
    return true;
}

#ifdef Q_OS_LINUX

// The header goes to the descriptor itself, marked as having more to follow, and the file comes
// right after it in the same pass: the kernel sends both in one full segment, as a web server
// does. A header that went out alone through the socket's buffer, with the file starting only on
// a later pass, left the units' connections offering no more than their first window: the
// kernel then cut this side's segments to half of that and the connections spent the whole
// transfer swinging between a full and a zero receive window, about two segments each swing.
// False when the header could not all go this way; what is left of it goes through the socket.
bool FileTransfer::sendHeaderWithBody()
{
    const int out = int(socket->socketDescriptor());
    if (out == -1 || file->handle() == -1 || socket->bytesToWrite() > 0)
        return false;
    // An empty file has nothing to follow: its header goes out at once.
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (fileSize > 0 ? MSG_MORE : 0);
    ssize_t n;
    do {
        n = ::send(out, header.constData(), size_t(header.size()), flags);
    } while (n == -1 && errno == EINTR);
    if (n < header.size()) {
        if (n > 0)
            header.remove(0, qsizetype(n));
        return false;
    }
    Q_EMIT progressed();
    if (!done)
        startBody();
    return true;
}

// The header is out and the socket's buffer is empty: from here on the sending thread sends the
// file to the descriptor directly, and nothing is written through the socket any more.
void FileTransfer::startBody()
{
    if (done || mode != Mode::Header || socket->bytesToWrite() > 0)
        return;
    if (socket->socketDescriptor() == -1) {
        fail();
        return;
    }
    mode = Mode::Kernel;
    if (sent == fileSize) {
        complete();
        return;
    }
    kernelSend = budget.kernelSender().add(int(socket->socketDescriptor()), file->handle(), sent, fileSize,
                                           checkFrom, expected, [this] { kernelNews(); });
    // Out of descriptors for the sending thread: the socket's buffer carries the file.
    if (!kernelSend)
        useChunks();
}

// The sending thread sent more, or came to the end.
void FileTransfer::kernelNews()
{
    if (done || !kernelSend)
        return;
    kernelSend->reportPending.store(false);
    const qint64 nowSent = kernelSend->sent.load();
    const KernelSender::Send::State state = kernelSend->state.load();
    if (nowSent > sent) {
        sent = nowSent;
        Q_EMIT progressed();
        if (done)
            return;
    }
    switch (state) {
    case KernelSender::Send::State::Sending:
        break;
    case KernelSender::Send::State::Sent:
        complete();
        break;
    case KernelSender::Send::State::Failed:
        fail();
        break;
    case KernelSender::Send::State::Changed:
        stopChanged();
        break;
    case KernelSender::Send::State::NotFromFile:
        // This file or this system cannot send from the file: the socket's buffer carries it.
        stopKernelSend();
        useChunks();
        break;
    }
}

#else

bool FileTransfer::sendHeaderWithBody()
{
    return false;
}
void FileTransfer::startBody() {}
void FileTransfer::kernelNews() {}

#endif
