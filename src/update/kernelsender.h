#pragma once

#include "app/fileidentity.h"

#include <QObject>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// Sends files to sockets straight from the page cache with sendfile(2), on a thread of its own.
// The window's thread has the whole fleet to look after; a unit's image goes on while it is busy.
//
// Each time a socket has room, the thread fills it: the kernel's send buffer holds the next
// megabytes of the file, and the kernel sends on from it as the unit acknowledges, without the
// thread. The thread wakes once per bufferful, not once per few tens of KiB, and hands the kernel
// a bufferful per call; sending is zero-copy, so one socket's pass is short however full.
//
// Linux only; elsewhere files go through the socket's buffer.
class KernelSender final
{
    Q_DISABLE_COPY_MOVE(KernelSender)

public:
    // How often, at most, a send reports that more went; its end is reported at once.
    static constexpr int kReportIntervalMs = 50;

    // What one send shares between the thread that asked for it and the sending thread.
    struct Send
    {
        // Sending: under way. Sent: every byte is with the kernel. Failed: the peer went away or
        // the file could not be read. NotFromFile: this file or system cannot be sent from, and
        // nothing was. Changed: the file is no longer the one it was to be (its last bytes were
        // not sent).
        enum class State { Sending, Sent, Failed, NotFromFile, Changed };
        std::atomic<qint64> sent{0};
        std::atomic<State> state{State::Sending};
        // A report is on its way to the asking thread and has not been taken yet.
        std::atomic<bool> reportPending{false};
        // Called in the asking thread with news; touched only there.
        std::function<void()> report;
    };

    // Starts the sending thread. Reports go to the thread this is made in. When the thread cannot
    // be started, add() always returns null: the files go through the sockets' buffers.
    KernelSender();
    ~KernelSender();

    // Starts sending the file `in` from `offset` up to `size` to the socket `out`. The thread
    // works on copies of both descriptors, so whatever the asking thread does with its own, they
    // stay valid until the send ends. `report` is called in this thread when there is news: more
    // sent (at most every kReportIntervalMs), or the end. News that comes while a report waits
    // is merged into it; the shared state always holds the latest. Null when the descriptors
    // could not be copied.
    //
    // The bytes from `checkFrom` on are read first and sent from memory only once the file is
    // found to be still `expected`: everything sent before them, and they, were read from the
    // file before that look, so a file changed at any time before it is never sent whole.
    std::shared_ptr<Send> add(int out, int in, qint64 offset, qint64 size, qint64 checkFrom,
                              const FileIdentity &expected, std::function<void()> report);
    // Stops a send, ended or not, without waiting for the thread: `report` is not called again,
    // and the thread closes its copies of the descriptors as it comes to it.
    void remove(const std::shared_ptr<Send> &send);

private:
    class Worker;
    QThread *thread;
    Worker *worker;
    bool running = false;
    // Takes the thread's reports in the asking thread.
    QObject *reports;
};
