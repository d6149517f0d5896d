#include "updatelab.h"

#include <QtTest>

// A unit is commanded but the updater cannot send it a file (here: its package has no image).
// 25 seconds after the command the operator is warned, once, that a firewall may be in the way.
class TestFirewallWarning : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void warnedOnceAfterTwentyFiveSeconds();
};

void TestFirewallWarning::warnedOnceAfterTwentyFiveSeconds()
{
    UpdateLab lab;
    QVERIFY(QFile::remove(lab.packages.filePath(QStringLiteral("kp_lab.bin"))));
    QVERIFY(lab.start(QStringLiteral("[panel]\nfamily=kpanel\nname=panel\nip=10.77.1.1\nswversion=1/1/2015\n"), 1, 1));
    const QString warning = QStringLiteral("The updater has detected a possible problem with your firewall. <br><br>"
                                           "Units are trying to connect, but the updater cannot send the requested "
                                           "file. This is usually a firewall problem. Try disabling your firewall "
                                           "and restarting the updater. <br><br>When finished, re-enable your "
                                           "firewall.");

    lab.update({QStringLiteral("panel")});
    QVERIFY(lab.waitForLog(QStringLiteral("Commanding panel"), 60000));
    QElapsedTimer sinceCommand;
    sinceCommand.start();
    QVERIFY(lab.simulator.waitForPrefix(QStringLiteral("panel FETCH-FAILED"), 60000).size() > 0);
    QVERIFY(!lab.questions.texts().contains(warning));

    QVERIFY(QTest::qWaitFor([&] { return lab.questions.texts().contains(warning); }, 45000));
    QVERIFY(sinceCommand.elapsed() >= 24000);
    QTest::qWait(6000);
    QCOMPARE(lab.questions.texts().count(warning), 1);
}

QTEST_MAIN(TestFirewallWarning)
#include "tst_firewallwarning.moc"
