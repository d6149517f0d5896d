#include "filetransfer.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

// sendfile(2) has no MSG_NOSIGNAL: writing to a connection the peer has reset raises SIGPIPE,
// whose default action ends the program. While one of these lives, SIGPIPE is held back for
// this thread; one the sends raised is taken off again before the old mask comes back, so a
// unit that goes away is only an EPIPE to the transfer.
class PipeSignalHeld
{
public:
    PipeSignalHeld()
    {
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
        // Only while the thread already held it back can one be waiting from before; it is left
        // for whoever held it back.
        if (sigismember(&previous, SIGPIPE) == 1) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            pendingBefore = sigismember(&pending, SIGPIPE) == 1;
        }
    }
    ~PipeSignalHeld()
    {
        if (raised && !pendingBefore) {
            const timespec noWait{0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &noWait) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    Q_DISABLE_COPY_MOVE(PipeSignalHeld)

    void sendFailedWithBrokenPipe() { raised = true; }

private:
    sigset_t pipeSignal;
    sigset_t previous;
    bool pendingBefore = false;
    bool raised = false;
};

} // namespace
#endif

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

// Stops the transfer for good. The notifier goes before anything else may close the socket, so
// it never watches a descriptor that is closed or already handed to another connection.
void FileTransfer::end()
{
    done = true;
    delete writable;
    writable = nullptr;
    if (counted) {
        counted = false;
        budget.leave();
    }
    if (sendCounted) {
        sendCounted = false;
        budget.leaveSending();
    }
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

void FileTransfer::start()
{
    connect(socket, &QIODevice::bytesWritten, this, &FileTransfer::written);
    connect(socket, &QAbstractSocket::disconnected, this, [this] {
        if (!done)
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
    while (sent < fileSize && socket->bytesToWrite() < chunk) {
        const QByteArray data = file->read(qMin(chunk, fileSize - sent));
        if (data.isEmpty()) {
            fail();
            return;
        }
        socket->write(data);
        sent += data.size();
    }
    if (sent == fileSize && socket->bytesToWrite() == 0)
        complete();
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

// The header is out and the socket's buffer is empty: from here on the file goes to the
// descriptor directly, and nothing is written through the socket any more.
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
    sendCounted = true;
    budget.joinSending();
    writable = new QSocketNotifier(socket->socketDescriptor(), QSocketNotifier::Write, this);
    connect(writable, &QSocketNotifier::activated, this, &FileTransfer::sendBody);
    sendBody();
}

// The socket can take more: the transfer's share of the budget goes, or as much as the socket's
// send buffer has room for. The notifier brings the rest once there is room again.
void FileTransfer::sendBody()
{
    if (done)
        return;
    const int out = int(socket->socketDescriptor());
    const int in = file->handle();
    const qint64 share = budget.sendSize();
    qint64 taken = 0;
    int error = 0;
    {
        PipeSignalHeld held;
        while (sent < fileSize && taken < share) {
            const qint64 wanted = qMin(share - taken, fileSize - sent);
            off_t offset = off_t(sent);
            const ssize_t n = ::sendfile(out, in, &offset, size_t(wanted));
            if (n > 0) {
                sent += n;
                taken += n;
                // Less than asked for: the send buffer is full, and the notifier says when not.
                if (n < wanted)
                    break;
            } else if (n == 0) {
                // The file ended early: it was cut short since it was opened.
                error = EIO;
                break;
            } else if (errno != EINTR) {
                error = errno;
                if (error == EPIPE)
                    held.sendFailedWithBrokenPipe();
                break;
            }
        }
    }
    if (taken > 0)
        Q_EMIT progressed();
    if (done)
        return;
    if (sent == fileSize) {
        complete();
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == 0) {
        // The send buffer is full, or this socket had its share for now: the notifier calls again.
    } else if ((error == EINVAL || error == ENOSYS) && sent == 0) {
        // This file or this system cannot send from the file: the socket's buffer carries it.
        delete writable;
        writable = nullptr;
        sendCounted = false;
        budget.leaveSending();
        useChunks();
    } else {
        fail();
    }
}

#else

bool FileTransfer::sendHeaderWithBody()
{
    return false;
}
void FileTransfer::startBody() {}
void FileTransfer::sendBody() {}

#endif
