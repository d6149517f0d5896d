#include "kernelsender.h"

#include "app/debuglog.h"
#include "app/runningthread.h"

#ifdef Q_OS_LINUX

#include <QElapsedTimer>
#include <QHash>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

static const char kLogSource[] = "mainwindow";

namespace {

// sendfile(2) has no MSG_NOSIGNAL: writing to a connection the peer has reset raises SIGPIPE,
// whose default action ends the program. This thread does nothing but send, so it holds SIGPIPE
// back for good: a unit that went away is only an EPIPE to its send.
class SendingThread final : public QThread
{
protected:
    void run() override
    {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        exec();
    }
};

} // namespace

// Lives in the sending thread; everything it holds is touched only there.
class KernelSender::Worker final : public QObject
{
public:
    struct Entry
    {
        std::shared_ptr<Send> send;
        int out = -1;
        int in = -1;
        qint64 sent = 0;
        qint64 size = 0;
        // The last bytes: read, then the file looked at, then sent from memory.
        qint64 checkFrom = 0;
        FileIdentity expected;
        QByteArray tail;
        QObject *reports = nullptr;
        QSocketNotifier *writable = nullptr;
        // When the last report was queued.
        QElapsedTimer sinceReport;
    };

    ~Worker() override;
    void add(Entry entry);
    void remove(Send *key);

private:
    static void drop(Entry &entry);
    // Reads the last bytes and looks at the file: 0, EIO when they could not all be read, or
    // ESTALE when the file is not the one expected any more.
    static int takeTail(Entry &entry);
    // Sends what the socket takes: the file up to checkFrom from the kernel, then the tail from
    // memory. Adds what went to *taken; returns 0 or the error that stopped it.
    static int sendSome(Entry &entry, qint64 *taken);
    // Where the send stands after a pass that ended with error.
    static Send::State stateAfter(const Entry &entry, int error);
    void pass(QHash<Send *, Entry>::iterator found);

    QHash<Send *, Entry> entries;
};

KernelSender::Worker::~Worker()
{
    for (Entry &entry : entries)
        drop(entry);
}

void KernelSender::Worker::add(Entry entry)
{
    Send *key = entry.send.get();
    entry.sinceReport.start();
    entry.writable = new QSocketNotifier(entry.out, QSocketNotifier::Write, this);
    connect(entry.writable, &QSocketNotifier::activated, this, [this, key] {
        const auto found = entries.find(key);
        if (found != entries.end())
            pass(found);
    });
    pass(entries.insert(key, std::move(entry)));
}

void KernelSender::Worker::remove(Send *key)
{
    const auto found = entries.find(key);
    if (found == entries.end())
        return;
    drop(*found);
    entries.erase(found);
}

void KernelSender::Worker::drop(Entry &entry)
{
    delete entry.writable;
    entry.writable = nullptr;
    ::close(entry.out);
    ::close(entry.in);
}

int KernelSender::Worker::sendSome(Entry &entry, qint64 *taken)
{
    int error = 0;
    bool full = false;
    while (entry.sent < entry.checkFrom) {
        const qint64 wanted = entry.checkFrom - entry.sent;
        off_t offset = off_t(entry.sent);
        const ssize_t n = ::sendfile(entry.out, entry.in, &offset, size_t(wanted));
        if (n > 0) {
            entry.sent += n;
            *taken += n;
            // Less than asked for: the socket is full, and the notifier says when not.
            if (n < wanted) {
                full = true;
                break;
            }
        } else if (n == 0) {
            // The file ended early: it was cut short since it was opened.
            error = EIO;
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    if (error == 0 && !full && entry.sent >= entry.checkFrom && entry.sent < entry.size) {
        if (entry.tail.isNull())
            error = takeTail(entry);
        while (error == 0 && entry.sent < entry.size) {
            const qint64 at = entry.sent - entry.checkFrom;
            const ssize_t n = ::send(entry.out, entry.tail.constData() + at, size_t(entry.tail.size() - at),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                entry.sent += n;
                *taken += n;
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                error = errno;
            }
        }
    }
    return error;
}

KernelSender::Send::State KernelSender::Worker::stateAfter(const Entry &entry, int error)
{
    using State = Send::State;
    if (entry.sent == entry.size)
        return State::Sent;
    if (error == ESTALE)
        return State::Changed;
    if ((error == EINVAL || error == ENOSYS) && entry.sent == 0)
        return State::NotFromFile;
    if (error != 0 && error != EAGAIN && error != EWOULDBLOCK)
        return State::Failed;
    return State::Sending;
}

// The socket can take more: as much goes as it has room for.
void KernelSender::Worker::pass(QHash<Send *, Entry>::iterator found)
{
    Entry &entry = *found;
    qint64 taken = 0;
    const int error = sendSome(entry, &taken);
    // Kept here: once the end is told, the asking thread may let go of its own.
    const std::shared_ptr<Send> kept = entry.send;
    Send &send = *kept;
    send.sent.store(entry.sent);
    const Send::State state = stateAfter(entry, error);
    if (state == Send::State::Sending && (taken == 0 || !entry.sinceReport.hasExpired(kReportIntervalMs)))
        return;
    entry.sinceReport.start();
    QObject *reports = entry.reports;
    if (state != Send::State::Sending) {
        // The descriptors go before the end is told: once the asking thread closes its own,
        // the connection closes.
        drop(entry);
        entries.erase(found);
        send.state.store(state);
    }
    // The report holds the send, so it stays valid for as long as the report is on its way.
    if (!send.reportPending.exchange(true))
        QMetaObject::invokeMethod(
            reports,
            [kept] {
                // A copy: the report may remove the send, which lets go of kept->report.
                if (const std::function<void()> report = kept->report)
                    report();
            },
            Qt::QueuedConnection);
}

int KernelSender::Worker::takeTail(Entry &entry)
{
    QByteArray tail(entry.size - entry.checkFrom, Qt::Uninitialized);
    qint64 read = 0;
    while (read < tail.size()) {
        const ssize_t n = ::pread(entry.in, tail.data() + read, size_t(tail.size() - read), off_t(entry.checkFrom + read));
        if (n > 0)
            read += n;
        else if (n == 0 || errno != EINTR)
            return EIO;
    }
    entry.tail = tail;
    return FileIdentity::of(entry.in) == entry.expected ? 0 : ESTALE;
}

KernelSender::KernelSender() : thread(new SendingThread), worker(new Worker), reports(new QObject)
{
    thread->setObjectName(QStringLiteral("file sender"));
    QString error;
    // Without the thread every transfer copies its file through the socket's buffer.
    running = startRunning(thread, &error);
    if (running)
        worker->moveToThread(thread);
    else
        BLOG << "Images go through the sockets' buffers:" << error;
}

KernelSender::~KernelSender()
{
    if (running)
        QMetaObject::invokeMethod(
            worker, [this] { delete worker; }, Qt::BlockingQueuedConnection);
    else
        delete worker;
    thread->quit();
    thread->wait();
    delete thread;
    // Reports still on their way go with it.
    delete reports;
}

std::shared_ptr<KernelSender::Send> KernelSender::add(int out, int in, qint64 offset, qint64 size, qint64 checkFrom,
                                                      const FileIdentity &expected, std::function<void()> report)
{
    if (!running)
        return nullptr;
    Worker::Entry entry;
    entry.out = ::fcntl(out, F_DUPFD_CLOEXEC, 0);
    entry.in = ::fcntl(in, F_DUPFD_CLOEXEC, 0);
    if (entry.out == -1 || entry.in == -1) {
        if (entry.out != -1)
            ::close(entry.out);
        if (entry.in != -1)
            ::close(entry.in);
        return nullptr;
    }
    auto send = std::make_shared<Send>();
    send->sent.store(offset);
    send->report = std::move(report);
    entry.send = send;
    entry.sent = offset;
    entry.size = size;
    entry.checkFrom = qBound(offset, checkFrom, size);
    entry.expected = expected;
    entry.reports = reports;
    QMetaObject::invokeMethod(
        worker, [this, entry = std::move(entry)]() mutable { worker->add(std::move(entry)); }, Qt::QueuedConnection);
    return send;
}

// The removal holds the send, so its address is not reused by another before the thread has
// let go of this one.
void KernelSender::remove(const std::shared_ptr<Send> &send)
{
    send->report = nullptr;
    if (!running)
        return;
    QMetaObject::invokeMethod(
        worker, [this, send] { worker->remove(send.get()); }, Qt::QueuedConnection);
}

#else

KernelSender::KernelSender() : thread(nullptr), worker(nullptr), reports(nullptr) {}
KernelSender::~KernelSender() = default;
std::shared_ptr<KernelSender::Send> KernelSender::add(int, int, qint64, qint64, qint64, const FileIdentity &,
                                                      std::function<void()>)
{
    return nullptr;
}
void KernelSender::remove(const std::shared_ptr<Send> &) {}

#endif
