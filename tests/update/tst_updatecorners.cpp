#include "updatelab.h"

#include <QtTest>

// Units that need no operator: one that reports a pending update on its own is confirmed out of
// sync, one on a trial IP address is told to keep it; and a unit that never reboots after the
// command waits for its reboot for good.
class TestUpdateCorners : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void pendingUpdateConfirmedOutOfSync();
    void trialAddressSaved();
    void unitThatNeverRebootsKeepsWaiting();

private:
    UpdateLab lab;
    QElapsedTimer sinceStart;
};

void TestUpdateCorners::initTestCase()
{
    sinceStart.start();
    QVERIFY(lab.start(QStringLiteral("[pending]\nfamily=k220-decoder\nname=pending\nip=10.77.1.1\nswversion=3/2/2015\n"
                                     "webversion=1425384000\nupdateStatus=1\n"
                                     "[trial]\nfamily=wp\nname=trial\nip=10.77.1.2\nswversion=6/1/2014\n"
                                     "webversion=1425384000\nipTrial=1\n"
                                     "[stubborn]\nfamily=k220-encoder\nname=stubborn\nip=10.77.1.3\n"
                                     "swversion=1/1/2014\nbehaviour=neverReboots\n"),
                      3, 3));
}

void TestUpdateCorners::pendingUpdateConfirmedOutOfSync()
{
    QCOMPARE(lab.statusOf(QStringLiteral("pending")), QStringLiteral("Need to Confirm Update"));
    QVERIFY(lab.waitForLog(QStringLiteral("From Updater : Confirming update (out-of-sync) pending (10.77.1.1)"), 30000));
    // Not before 10 seconds after the first tick.
    QVERIFY(sinceStart.elapsed() >= 10000);
    QVERIFY(lab.simulator.waitForPrefix(QStringLiteral("pending CONFIRMED"), 60000).size() > 0);
    QVERIFY(lab.waitForStatus(QStringLiteral("pending"), QStringLiteral("No update needed."), 60000));
}

void TestUpdateCorners::trialAddressSaved()
{
    QVERIFY(lab.waitForLog(QStringLiteral("From Updater : Confirming IP trial (10.77.1.2)"), 30000));
    QVERIFY(lab.simulator.hasLineStartingWith(QStringLiteral("trial TCP setSettings:ipsave\\r")));
    QVERIFY(lab.simulator.waitForPrefix(QStringLiteral("trial IPSAVED"), 60000).size() > 0);
}

void TestUpdateCorners::unitThatNeverRebootsKeepsWaiting()
{
    lab.update({QStringLiteral("stubborn")});
    QVERIFY(lab.simulator.waitForPrefix(QStringLiteral("stubborn NO-REBOOT"), 30000).size() > 0);
    QVERIFY(lab.waitForStatus(QStringLiteral("stubborn"), QStringLiteral("Waiting for reboot"), 60000));
    // Three more ticks: still waiting, never confirmed, still red.
    QTest::qWait(15000);
    QCOMPARE(lab.statusOf(QStringLiteral("stubborn")), QStringLiteral("Waiting for reboot"));
    QCOMPARE(lab.rowColourOf(QStringLiteral("stubborn")), QColor(Qt::red));
    QVERIFY(!lab.simulator.hasLineStartingWith(QStringLiteral("stubborn CONFIRMED")));
    QVERIFY(!lab.log().contains(QStringLiteral("Confirming stubborn")));
}

QTEST_MAIN(TestUpdateCorners)
#include "tst_updatecorners.moc"
