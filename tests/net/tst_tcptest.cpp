#include "fewdescriptors.h"
#include "net/reachability.h"
#include "net/tcptest.h"

#include <QTcpServer>
#include <QtTest>

class TestTcpTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reachability_data();
    void reachability();
    void liveUnitIsNotDeadForWantOfDescriptors();
};

void TestTcpTest::reachability_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QList<int>>("listening");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<int>("minimumMs");

    const QString unit = QStringLiteral("10.77.1.2");
    QTest::newRow("answers-on-50001") << unit << QList<int>{50001} << true << "" << 0;
    QTest::newRow("answers-only-on-50002") << unit << QList<int>{50002} << true
                                           << " 2nd attempt to 10.77.1.2 success." << 0;
    QTest::newRow("connection-refused") << unit << QList<int>() << false << " 10.77.1.2 is dead" << 0;
    // No host answers at all: both attempts wait their full 2 seconds.
    QTest::newRow("no-such-host") << "10.77.200.200" << QList<int>() << false << " 10.77.200.200 is dead" << 3900;
}

void TestTcpTest::reachability()
{
    QFETCH(QString, ip);
    QFETCH(QList<int>, listening);
    QFETCH(bool, expected);
    QFETCH(QString, logLine);
    QFETCH(int, minimumMs);

    QList<QTcpServer *> servers;
    for (int port : listening) {
        auto *server = new QTcpServer(this);
        QVERIFY(server->listen(QHostAddress(ip), quint16(port)));
        servers.append(server);
    }
    if (!logLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^tcptest/\\d+\\(TCPTest::tcpPortCheck\\):")
                                                            + QRegularExpression::escape(logLine) + QLatin1Char('$')));

    // As the main window runs it: on a worker thread, invoked through a queued call.
    QThread worker;
    auto *test = new TCPTest;
    test->ip = ip;
    test->port = 50001;
    test->moveToThread(&worker);
    connect(&worker, &QThread::finished, test, &QObject::deleteLater);
    worker.start();
    QSignalSpy finished(test, &TCPTest::testFinished);
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(test, &TCPTest::tcpPortCheck, Qt::QueuedConnection);

    // The worker may report before this thread would start a QSignalSpy::wait(), which counts
    // only what comes after it: the count is watched instead.
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(finished.at(0).at(0).toString(), ip);
    QCOMPARE(finished.at(0).at(1).toInt(), 50001); // the port it was given, also after the second attempt
    QCOMPARE(finished.at(0).at(2).toBool(), expected);
    QVERIFY(clock.elapsed() >= minimumMs && clock.elapsed() < 5000);
    worker.quit();
    QVERIFY(worker.wait(5000));
    qDeleteAll(servers);
}

// A test that cannot make its socket says nothing of the unit: it runs again once descriptors
// come back (here after 1.5 s), and the unit that answers is found alive, not dead.
void TestTcpTest::liveUnitIsNotDeadForWantOfDescriptors()
{
    QTcpServer unit;
    QVERIFY(unit.listen(QHostAddress(QStringLiteral("10.77.1.3")), 50001));
    Reachability tests;
    QSignalSpy finished(&tests, &Reachability::testFinished);
    FewDescriptors few(4);
    few.takeAll();
    QTimer::singleShot(1500, this, [&few] { few.giveBack(); });
    QVERIFY(tests.start(QStringLiteral("10.77.1.3")));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("10.77.1.3"));
    QCOMPARE(finished.at(0).at(2).toBool(), true);
}

QTEST_GUILESS_MAIN(TestTcpTest)
#include "tst_tcptest.moc"
