#include "app/runningthread.h"

#include <QSemaphore>
#include <QtTest>

// A thread that cannot be made, or does not come to run, is reported instead of waited for
// without end.
class TestRunningThread : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startFailsWithAReason_data();
    void startFailsWithAReason();
};

void TestRunningThread::startFailsWithAReason_data()
{
    QTest::addColumn<bool>("madeAtAll");
    QTest::addColumn<QString>("reason");
    QTest::newRow("running") << true << QString();
    // A stack the system refuses: the thread is never made.
    QTest::newRow("refused by the system") << false << QStringLiteral("would not make");
    QTest::newRow("made but late") << true << QStringLiteral("did not start within");
}

void TestRunningThread::startFailsWithAReason()
{
    QFETCH(bool, madeAtAll);
    QFETCH(QString, reason);

    QThread thread;
    thread.setObjectName(QStringLiteral("sample"));
    QSemaphore holdBack;
    const bool late = reason.startsWith(QLatin1String("did not"));
    if (!madeAtAll) {
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^QThread::start: ")));
        thread.setStackSize(1);
    }
    if (late) // runs in the new thread before anything else is told it started
        connect(
            &thread, &QThread::started, &thread, [&holdBack] { holdBack.acquire(); }, Qt::DirectConnection);

    QString error;
    QCOMPARE(startRunning(&thread, &error, QThread::InheritPriority, 300), reason.isEmpty());
    QVERIFY2(error.contains(reason), qPrintable(error));
    QVERIFY(reason.isEmpty() || error.contains(QLatin1String("sample")));
    holdBack.release();
    thread.quit();
    QVERIFY(thread.wait(10000));
}

QTEST_GUILESS_MAIN(TestRunningThread)
#include "tst_runningthread.moc"
