#include "reachability.h"

#include "marluneconnectreduced.h"
#include "tcptest.h"

#include <QThread>

namespace {
constexpr int kTestIntervalSecs = 5;
} // namespace

Reachability::Reachability(QObject *parent) : QObject(parent) {}

Reachability::~Reachability()
{
    for (const QPointer<QThread> &thread : std::as_const(testThreads)) {
        if (thread) {
            thread->quit();
            thread->wait();
        }
    }
}

bool Reachability::start(const QString &ip)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime lastStart = lastTestStart.value(ip);
    if (lastStart.isValid() && now < lastStart.addSecs(kTestIntervalSecs))
        return false;
    lastTestStart[ip] = now;
    waiting.enqueue(ip);
    startWaiting();
    return true;
}

void Reachability::startWaiting()
{
    while (running < kTestsAtOnce && !waiting.isEmpty())
        launch(waiting.dequeue());
}

void Reachability::launch(const QString &ip)
{
    ++running;
    auto *thread = new QThread;
    auto *test = new TCPTest;
    test->ip = ip;
    test->port = kUnitPort;
    test->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    connect(test, &TCPTest::testFinished, this, &Reachability::testFinished);
    connect(test, &TCPTest::testFinished, this, [this] {
        --running;
        startWaiting();
    });
    // Once the result is out, the worker's event loop ends and both objects go.
    connect(test, &TCPTest::testFinished, thread, &QThread::quit);
    connect(thread, &QThread::finished, test, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    testThreads.removeAll(QPointer<QThread>());
    testThreads.append(thread);
    QMetaObject::invokeMethod(test, &TCPTest::tcpPortCheck, Qt::QueuedConnection);
}
