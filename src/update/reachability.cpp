// MainWindow: TCP reachability of units. A failed test of a commanded unit is how the pipeline
// sees it go down to reboot.

#include "mainwindow.h"

#include "app/debuglog.h"
#include "net/tcptest.h"

#include <QThread>

static const char kLogSource[] = "mainwindow";

namespace {
constexpr int kTestIntervalSecs = 5;
} // namespace

void MainWindow::startTcpTest(const MarluneUnit &unit)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime lastStart = lastTestStart.value(unit.ip);
    if (lastStart.isValid() && now < lastStart.addSecs(kTestIntervalSecs)) {
        // Tested a moment ago: deliver the last known result again.
        testFinished(unit.ip, kUnitPort, tcpAlive[unit.ip]);
        return;
    }
    lastTestStart[unit.ip] = now;

    auto *thread = new QThread;
    auto *test = new TCPTest;
    test->ip = unit.ip;
    test->port = kUnitPort;
    test->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    connect(test, &TCPTest::testFinished, this, &MainWindow::testFinished);
    // Once the result is out, the worker's event loop ends and both objects go.
    connect(test, &TCPTest::testFinished, thread, &QThread::quit);
    connect(thread, &QThread::finished, test, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    testThreads.removeAll(QPointer<QThread>());
    testThreads.append(thread);
    QMetaObject::invokeMethod(test, &TCPTest::tcpPortCheck, Qt::QueuedConnection);
}

bool MainWindow::isAliveTCPCheck(MarluneUnit unit)
{
    startTcpTest(unit);
    return tcpAlive[unit.ip];
}

void MainWindow::testFinished(QString ip, int port, bool result)
{
    if (tcpAlive[ip] != result)
        BLOG << QStringLiteral("\"%1\"").arg(ip) << port << result;
    tcpAlive[ip] = result;
    if (result)
        return;
    const QList<MarluneUnit> commanded = vUnitsConfirm;
    for (const MarluneUnit &unit : commanded) {
        if (unit.ip != ip)
            continue;
        removeUnitByMac(unit.mac, vUnitsRebooted);
        vUnitsRebooted.append(unit);
    }
}
