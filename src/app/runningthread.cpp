#include "runningthread.h"

#include <QSemaphore>

void startRunning(QThread *thread, QThread::Priority priority)
{
    QSemaphore running;
    // Emitted in the new thread once its event dispatcher is made.
    const QMetaObject::Connection watch =
        QObject::connect(thread, &QThread::started, thread, [&running] { running.release(); }, Qt::DirectConnection);
    thread->start(priority);
    running.acquire();
    QObject::disconnect(watch);
}
