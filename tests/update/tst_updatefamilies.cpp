#include "updatelab.h"

#include <QtTest>

namespace {

struct Family
{
    const char *family;
    const char *confirmation;
    const char *image; // the package the unit is served
    const char *swversion;
};

const Family kFamilies[] = {
    {"k110-encoder", "K-Series Update Confirmed.", "k110_lab", "1/1/2014"},
    {"k110-decoder", "K-Series Update Confirmed.", "k110_lab", "1/1/2014"},
    {"k220-encoder", "K-Series Update Confirmed.", "k220_lab", "1/1/2014"},
    {"k220-decoder", "K-Series Update Confirmed.", "k220_lab", "1/1/2014"},
    {"k225-encoder", "K-Series Update Confirmed.", "k225_lab", "1/1/2014"},
    {"k225-decoder", "K-Series Update Confirmed.", "k225_lab", "1/1/2014"},
    {"kvm-encoder", "K-Series Update Confirmed.", "kvm_lab", "9/1/2014"},
    {"kvm-decoder", "K-Series Update Confirmed.", "kvm_lab", "9/1/2014"},
    {"k330-encoder", "K-Series Update Confirmed.", "k3_lab", "1/1/2014"},
    {"k330-decoder", "K-Series Update Confirmed.", "k3_lab", "1/1/2014"},
    {"recorder", "DVR Update Confirmed.", "dvr_lab", "1/1/2014"},
    {"legacy-recorder", "DVR Update Confirmed.", "dvr_lab", "1/1/2014"},
    {"atr", "ATR Update Confirmed.", "ae_lab", "1/1/2014"},
    {"k440", "K4 Update Confirmed.", "k4_lab", "1/1/2014"},
    {"wp", "WP Update Confirmed.", "wp_lab", "1/1/2014"},
    {"kpanel", "WPC Update Confirmed.", "kp_lab", "1/1/2014"},
    {"vod", "VOD Update Confirmed.", "vod_lab", "1/1/2014"},
};

} // namespace

// Every family that has a package goes through a whole update at once: selected, commanded,
// image fetched, rebooted, confirmed, and shown green with its family's confirmation text.
class TestUpdateFamilies : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void family_data();
    void family();

private:
    UpdateLab lab;
};

void TestUpdateFamilies::initTestCase()
{
    QString fleet;
    for (int i = 0; i < int(std::size(kFamilies)); ++i)
        fleet += QStringLiteral("[%1]\nfamily=%1\nname=%1\nip=10.77.1.%2\nswversion=%3\n")
                     .arg(QString::fromLatin1(kFamilies[i].family))
                     .arg(i + 1)
                     .arg(QString::fromLatin1(kFamilies[i].swversion));
    // A family without a package is never listed and never touched.
    fleet += QStringLiteral("[legacy-encoder]\nfamily=legacy-encoder\nname=legacy-encoder\nip=10.77.1.30\n");
    const int families = int(std::size(kFamilies));
    QVERIFY(lab.start(fleet, families + 1, families));
    for (const Family &f : kFamilies)
        QCOMPARE(lab.statusOf(QString::fromLatin1(f.family)), QStringLiteral("Update Available"));

    QStringList all;
    for (const Family &f : kFamilies)
        all << QString::fromLatin1(f.family);
    lab.update(all);
    QCOMPARE(lab.state().vUnitsUpdate.size(), families);
    for (const Family &f : kFamilies)
        QCOMPARE(lab.statusOf(QString::fromLatin1(f.family)), QStringLiteral("Queued for Update"));

    for (const Family &f : kFamilies)
        QVERIFY2(lab.waitForStatus(QString::fromLatin1(f.family), QString::fromLatin1(f.confirmation), 90000),
                 qPrintable(QString::fromLatin1(f.family) + QStringLiteral(": ")
                            + lab.statusOf(QString::fromLatin1(f.family))));
}

void TestUpdateFamilies::family_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(kFamilies)); ++i)
        QTest::newRow(kFamilies[i].family) << i;
}

void TestUpdateFamilies::family()
{
    QFETCH(int, index);
    const Family &f = kFamilies[index];
    const QString id = QString::fromLatin1(f.family);
    const QString ip = QStringLiteral("10.77.1.%1").arg(index + 1);

    // The unit was told where to fetch its image: this workstation's address on its subnet.
    QVERIFY(lab.simulator.hasLineStartingWith(id + QStringLiteral(" TCP setSettings:updateUnit:10.77.")));
    // It fetched the whole image of its own family's package (the simulator checks the length).
    const qint64 imageSize = QFileInfo(lab.packages.filePath(QString::fromLatin1(f.image) + ".bin")).size();
    QVERIFY2(lab.simulator.hasLineStartingWith(id + QStringLiteral(" FETCH-OK %1 ").arg(imageSize)),
             qPrintable(lab.simulator.lines().filter(id + QLatin1Char(' ')).join(QLatin1Char('\n'))));
    QVERIFY(lab.simulator.hasLineStartingWith(id + QStringLiteral(" REBOOTING")));
    QVERIFY(lab.simulator.hasLineStartingWith(id + QStringLiteral(" CONFIRMED")));

    QVERIFY(lab.waitForStatus(id, QString::fromLatin1(f.confirmation), 60000));
    QTRY_COMPARE_WITH_TIMEOUT(lab.rowColourOf(id), QColor(Qt::green), 60000);
    const QString log = lab.log();
    QVERIFY(log.contains(QStringLiteral("From Updater : Commanding ") + id + QStringLiteral(" (") + ip + ')'));
    QVERIFY(log.contains(QStringLiteral("From Updater : Confirming ") + id + QStringLiteral(" (") + ip + ')'));
    QVERIFY(log.contains(id + QStringLiteral(" (") + ip + QStringLiteral("): ") + QString::fromLatin1(f.image)
                         + QStringLiteral(".bin (%1 bytes) sent").arg(imageSize)));
    QVERIFY(!lab.simulator.hasLineStartingWith(QStringLiteral("legacy-encoder TCP")));
}

QTEST_MAIN(TestUpdateFamilies)
#include "tst_updatefamilies.moc"
