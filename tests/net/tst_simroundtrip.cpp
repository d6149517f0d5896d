#include "net/marluneconnectreduced.h"
#include "simulatorprocess.h"
#include "units/devicecatalogue.h"

#include <QtTest>

namespace {

struct Member
{
    const char *family;
    const char *serial;
    const char *swversion;
};

// One unit of every family the simulator plays, at 10.77.1.1 onwards.
const Member kFleet[] = {
    {"k110-encoder", "K1100A0001", "3/2/2015"},   {"k110-decoder", "K1200A0002", "3/2/2015"},
    {"k220-encoder", "K2100A0003", "3/2/2015"},   {"k220-decoder", "K2200A0004", "3/2/2015"},
    {"k225-encoder", "K2150A0005", "3/2/2015"},   {"k225-decoder", "K2250A0006", "3/2/2015"},
    {"kvm-encoder", "K210B00007", "9/1/2014"},    {"kvm-decoder", "K220B00008", "9/1/2014"},
    {"k330-encoder", "K3100A0009", "12/24/2015"}, {"k330-decoder", "K3200A0010", "12/24/2015"},
    {"legacy-encoder", "JT00000011", "3/2/2015"}, {"legacy-decoder", "JR00000012", "3/2/2015"},
    {"recorder", "JD00000013", "1/29/2014"},      {"legacy-recorder", "JD00000014", "1/29/2014"},
    {"atr", "ATA0000015", "6/1/2015"},            {"k440", "K430000016", "2/2/2016"},
    {"wp", "JW00000017", "6/1/2013"},             {"kpanel", "K830000018", "7/7/2015"},
    {"vod", "K720000019", "4/4/2016"},            {"conductor", "KD00000020", "1/1/2016"},
};

QString macOf(int index)
{
    return QStringLiteral("02:00:00:00:02:%1").arg(index + 1, 2, 10, QLatin1Char('0'));
}

} // namespace

class TestSimRoundTrip : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void announced_data();
    void announced();
    void everyUnitOnce();

private:
    SimulatorProcess simulator;
    MarluneConnect connection;
    QMap<QString, MarluneUnit> byMac;
    QMap<QString, int> announcements;
};

void TestSimRoundTrip::initTestCase()
{
    QString fleet = QStringLiteral("[fleet]\nwebversion=1425384000\nsubnet=255.255.0.0\n");
    for (int i = 0; i < int(std::size(kFleet)); ++i) {
        fleet += QStringLiteral("[u%1]\nfamily=%2\nserial=%3\nswversion=%4\nname=Unit %1\nip=10.77.1.%5\nmac=%6\n")
                     .arg(i + 1)
                     .arg(QString::fromLatin1(kFleet[i].family), QString::fromLatin1(kFleet[i].serial),
                          QString::fromLatin1(kFleet[i].swversion))
                     .arg(i + 1)
                     .arg(macOf(i));
    }
    QVERIFY(simulator.start(fleet, int(std::size(kFleet))));

    connection.init();
    connect(&connection, &MarluneConnect::unitChangedSignal, this, [this](const MarluneUnit &unit) {
        byMac.insert(unit.mac, unit);
        ++announcements[unit.mac];
    });
    connection.discover();
    QTRY_COMPARE_WITH_TIMEOUT(byMac.size(), int(std::size(kFleet)), 60000);
}

void TestSimRoundTrip::announced_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<QString>("typeCode");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("swversion");
    QTest::addColumn<QString>("webversion");

    const QString web = QStringLiteral("03/03/2015");
    const struct
    {
        const char *type;
        const char *code;
    } expected[] = {{"ENC", "K1-ENC"},     {"DEC", "K1-DEC"},  {"ENC", "K2-ENC"}, {"DEC", "K2-DEC"},
                    {"ENC", "K2-ENC-4K"},  {"DEC", "K2-DEC-4K"}, {"ENC", "K2-ENC-KVM"}, {"DEC", "K2-DEC-KVM"},
                    {"ENC", "K3-ENC"},     {"DEC", "K3-DEC"},  {"ENC", "LEG-ENC"}, {"DEC", "LEG-DEC"},
                    {"DVR", "DVR"},        {"DVR", "DVR"},     {"ATR", "ATR"},    {"ATR", "K4"},
                    {"WP", "WP"},          {"WPC", "K-Panel"}, {"VOD", "VOD"},    {"Conductor", "UNKNOWN"}};
    for (int i = 0; i < int(std::size(kFleet)); ++i) {
        QString name = QStringLiteral("Unit %1").arg(i + 1);
        QString sw = QString::fromLatin1(kFleet[i].swversion);
        QString webversion = web;
        const QString family = QString::fromLatin1(kFleet[i].family);
        if (family.startsWith(QLatin1String("legacy-e")) || family.startsWith(QLatin1String("legacy-d"))) {
            // The fixed layout carries the software date with a one-digit year and no web date.
            sw = QStringLiteral("3/2/5");
            webversion.clear();
        }
        if (family == QLatin1String("conductor")) {
            name = QStringLiteral("K-Director");
            sw.clear();
            webversion.clear();
        }
        QTest::newRow(kFleet[i].family) << i << QString::fromLatin1(expected[i].type)
                                        << QString::fromLatin1(expected[i].code) << name << sw << webversion;
    }
}

void TestSimRoundTrip::announced()
{
    QFETCH(int, index);
    QFETCH(QString, deviceType);
    QFETCH(QString, typeCode);
    QFETCH(QString, name);
    QFETCH(QString, swversion);
    QFETCH(QString, webversion);

    const QString mac = macOf(index);
    QVERIFY2(byMac.contains(mac), qPrintable(mac));
    const MarluneUnit unit = byMac.value(mac);
    QCOMPARE(unit.deviceType, deviceType);
    QCOMPARE(typeCodeForUnit(unit), typeCode);
    QCOMPARE(unit.sn, QString::fromLatin1(kFleet[index].serial));
    QCOMPARE(unit.name, name);
    QCOMPARE(unit.ip, QStringLiteral("10.77.1.%1").arg(index + 1));
    QCOMPARE(unit.swversion, swversion);
    QCOMPARE(unit.webversion, webversion);
    QCOMPARE(unit.updateStatus, 0u);
}

void TestSimRoundTrip::everyUnitOnce()
{
    // One burst, one answer per unit; the recorder that also answers the general query is the
    // only one heard twice.
    for (auto it = announcements.cbegin(); it != announcements.cend(); ++it)
        QVERIFY2(it.value() <= 2, qPrintable(it.key()));
}

QTEST_GUILESS_MAIN(TestSimRoundTrip)
#include "tst_simroundtrip.moc"
