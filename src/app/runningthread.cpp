#include "runningthread.h"

#include <QSemaphore>

#include <memory>

bool startRunning(QThread *thread, QString *error, QThread::Priority priority, int timeoutMs)
{
    // Shared with the slot: after a wait that timed out, the thread may still start later.
    const auto running = std::make_shared<QSemaphore>();
    // Emitted in the new thread once its event dispatcher is made.
    const QMetaObject::Connection watch = QObject::connect(
        thread, &QThread::started, thread, [running] { running->release(); }, Qt::DirectConnection);
    thread->start(priority);
    // A thread the system would not make is neither running nor finished once start() returns
    // (the toolkit's own warning says why); there is nothing to wait for.
    bool started = thread->isRunning() || thread->isFinished();
    started = started && running->tryAcquire(1, timeoutMs);
    QObject::disconnect(watch);
    if (!started) {
        const QString name = thread->objectName().isEmpty() ? QStringLiteral("worker") : thread->objectName();
        *error = thread->isRunning()
                     ? QStringLiteral("the %1 thread did not start within %2 s").arg(name).arg(timeoutMs / 1000.0)
                     : QStringLiteral("the system would not make the %1 thread (too many threads, or too little "
                                      "memory)")
                           .arg(name);
    }
    return started;
}
