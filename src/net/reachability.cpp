#include "reachability.h"

#include "marluneconnectreduced.h"
#include "tcptest.h"
#include "app/debuglog.h"
#include "app/runningthread.h"

#include <QThread>
#include <QTimer>

static const char kLogSource[] = "tcptest";

namespace {
constexpr int kTestIntervalSecs = 5;
} // namespace

Reachability::Reachability(QObject *parent) : QObject(parent), retryLater(new QTimer(this))
{
    retryLater->setSingleShot(true);
    connect(retryLater, &QTimer::timeout, this, [this] {
        for (const QString &ip : std::as_const(retry))
            waiting.enqueue(ip);
        retry.clear();
        startWaiting();
    });
    for (int i = 0; i < kTestsAtOnce; ++i) {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("reachability"));
        QString error;
        // The tests go on with the threads that could be made; with none, none can run.
        if (!startRunning(thread, &error)) {
            delete thread;
            BLOG << "Reachability tests run on" << i << "threads:" << error;
            if (i == 0)
                failure = error;
            break;
        }
        auto *test = new TCPTest;
        test->port = kUnitPort;
        test->moveToThread(thread);
        connect(thread, &QThread::finished, test, &QObject::deleteLater);
        connect(test, &TCPTest::testFinished, this, [this, i](const QString &ip, int port, bool result) {
            tested(i);
            Q_EMIT testFinished(ip, port, result);
        });
        connect(test, &TCPTest::testNotRun, this, [this, i](const QString &ip) { notRun(i, ip); });
        threads.append(thread);
        testers.append(test);
        busy.append(false);
    }
}

Reachability::~Reachability()
{
    for (QThread *thread : std::as_const(threads)) {
        thread->quit();
        thread->wait();
        delete thread;
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
    for (int i = 0; i < testers.size() && !waiting.isEmpty(); ++i) {
        if (busy.at(i))
            continue;
        busy[i] = true;
        QMetaObject::invokeMethod(testers.at(i), [test = testers.at(i), ip = waiting.dequeue()] {
            test->ip = ip;
            test->tcpPortCheck();
        });
    }
}

void Reachability::tested(int worker)
{
    busy[worker] = false;
    descriptorsReported = false;
    startWaiting();
}

void Reachability::notRun(int worker, const QString &ip)
{
    busy[worker] = false;
    if (!descriptorsReported) {
        descriptorsReported = true;
        BLOG << "Reachability tests wait: the updater has no file descriptor left for their sockets";
    }
    if (!retry.contains(ip))
        retry.append(ip);
    if (!retryLater->isActive())
        retryLater->start(kRetryMs);
    startWaiting();
}
