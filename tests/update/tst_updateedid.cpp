#include "updatelab.h"

#include <QtTest>

// Encoders updated with "Reset Encoder EDID" ticked: after the confirmation each is sent the
// EDID reset until it reports success, or has failed three times.
class TestUpdateEdid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void success();
    void threeFailuresGiveUp();
    void fourKEncoderGetsBothCommandsInOneSend();
    void decodersAreNotReset();

private:
    UpdateLab lab;
};

void TestUpdateEdid::initTestCase()
{
    QVERIFY(lab.start(QStringLiteral("[edid-ok]\nfamily=k220-encoder\nname=edid-ok\nip=10.77.1.1\nswversion=1/1/2014\n"
                                     "[edid-fails]\nfamily=k220-encoder\nname=edid-fails\nip=10.77.1.2\n"
                                     "swversion=1/1/2014\nedidFailures=5\n"
                                     "[edid-4k]\nfamily=k225-encoder\nname=edid-4k\nip=10.77.1.3\nswversion=1/1/2014\n"
                                     "[decoder]\nfamily=k220-decoder\nname=decoder\nip=10.77.1.4\nswversion=1/1/2014\n"),
                      4, 4));
    lab.update({QStringLiteral("edid-ok"), QStringLiteral("edid-fails"), QStringLiteral("edid-4k"),
                QStringLiteral("decoder")},
               true);
    // Encoders were queued and the option was off: the operator was asked, and said Yes.
    QVERIFY(lab.questions.texts().contains(QStringLiteral("Reset EDID on encoders?")));
    QVERIFY(lab.window->findChild<QCheckBox *>(QStringLiteral("resetEDIDCheck"))->isChecked());
}

void TestUpdateEdid::success()
{
    QVERIFY(lab.waitForStatus(QStringLiteral("edid-ok"), QStringLiteral("K-Series Update Confirmed."), 90000));
    QVERIFY(lab.simulator.hasLineStartingWith(QStringLiteral("edid-ok EDID-OK analog=0")));
    QVERIFY(lab.log().contains(QStringLiteral("edid-ok (10.77.1.1): Successfully Reset EDID (10.77.1.1)")));
    QVERIFY(lab.log().contains(QStringLiteral("From Updater : Resetting EDID edid-ok (10.77.1.1)")));
    QTRY_COMPARE_WITH_TIMEOUT(lab.rowColourOf(QStringLiteral("edid-ok")), QColor(Qt::green), 60000);
}

void TestUpdateEdid::threeFailuresGiveUp()
{
    // While the resets are tried the row shows them.
    QVERIFY(lab.waitForStatus(QStringLiteral("edid-fails"), QStringLiteral("Resetting EDID."), 90000));
    QCOMPARE(lab.rowColourOf(QStringLiteral("edid-fails")), QColor(Qt::magenta));

    QVERIFY(lab.waitForStatus(QStringLiteral("edid-fails"),
                              QStringLiteral("K-Series Update Confirmed. EDID Reset Failed."), 60000));
    const QString log = lab.log();
    const QString failure = QStringLiteral("edid-fails (10.77.1.2): Failed To Reset EDID (10.77.1.2) ... Updater "
                                           "will try again (%1 / 3)");
    const qsizetype first = log.indexOf(failure.arg(1));
    const qsizetype second = log.indexOf(failure.arg(2));
    const qsizetype third = log.indexOf(failure.arg(3));
    const qsizetype abandoned =
        log.indexOf(QStringLiteral("From Updater : Updater has abandoned Reset EDID for edid-fails (10.77.1.2)"));
    QVERIFY(first >= 0 && first < second && second < third && third < abandoned);
    QVERIFY(!log.contains(failure.arg(4)));
    QCOMPARE(lab.simulator.lines().filter(QStringLiteral("edid-fails EDID-FAILED")).size(), 3);
}

void TestUpdateEdid::fourKEncoderGetsBothCommandsInOneSend()
{
    QVERIFY(lab.waitForStatus(QStringLiteral("edid-4k"), QStringLiteral("K-Series Update Confirmed."), 90000));
    QVERIFY(lab.simulator.hasLineStartingWith(
        QStringLiteral("edid-4k TCP setSettings:resetedid\\rsetSettings:resetedidanalog\\r")));
    QVERIFY(lab.simulator.hasLineStartingWith(QStringLiteral("edid-4k EDID-OK analog=1")));
}

void TestUpdateEdid::decodersAreNotReset()
{
    QVERIFY(lab.waitForStatus(QStringLiteral("decoder"), QStringLiteral("K-Series Update Confirmed."), 90000));
    QVERIFY(!lab.simulator.hasLineStartingWith(QStringLiteral("decoder TCP setSettings:resetedid")));
}

QTEST_MAIN(TestUpdateEdid)
#include "tst_updateedid.moc"
