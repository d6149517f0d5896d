#include "units/devicecatalogue.h"
#include "units/marluneunit.h"
#include "units/window/uniticon.h"

#include <QtTest>

#include <algorithm>
#include <random>

class TestDeviceCatalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typeCodeAndIcon_data();
    void typeCodeAndIcon();
    void displayName_data();
    void displayName();
    void iconsAreOurOwnResources();
    void listingOrder();
    void listingOrderIsStrict();

private:
    static MarluneUnit unit(const QString &type, const QString &sn, const QString &name,
                            quint32 kSeries = 0, const QString &mac = QString());
};

MarluneUnit TestDeviceCatalogue::unit(const QString &type, const QString &sn, const QString &name,
                                      quint32 kSeries, const QString &mac)
{
    MarluneUnit u;
    u.deviceType = type;
    u.sn = sn;
    u.name = name;
    u.KSeries = kSeries;
    u.mac = mac.isEmpty() ? name : mac;
    return u;
}

void TestDeviceCatalogue::typeCodeAndIcon_data()
{
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<quint32>("kSeries");
    QTest::addColumn<QString>("swversion");
    QTest::addColumn<quint32>("isConductor");
    QTest::addColumn<QString>("typeCode");
    QTest::addColumn<QString>("icon");

    const QString enc = ":icons/Encoder16.png", dec = ":icons/TV_Black_16x16.png";
    QTest::newRow("audio-transceiver") << "ATR" << "AT100" << 0u << "" << 0u << "ATR" << ":icons/atr_icon.png";
    QTest::newRow("k440-audio") << "ATR" << "K4300" << 0u << "" << 0u << "K4" << ":icons/atr_icon.png";
    QTest::newRow("recorder") << "DVR" << "JD100" << 0u << "" << 0u << "DVR" << ":icons/DVR_Black_16x16.png";
    QTest::newRow("windowing-processor") << "WP" << "JW100" << 0u << "" << 0u << "WP" << ":icons/Window.png";
    QTest::newRow("vod") << "VOD" << "K7200" << 0u << "" << 0u << "VOD" << ":icons/vod.png";
    QTest::newRow("k-panel") << "WPC" << "K8300" << 0u << "" << 0u << "K-Panel" << ":icons/k-panel.png";
    QTest::newRow("k110-encoder") << "ENC" << "K1100" << 1u << "" << 0u << "K1-ENC" << enc;
    QTest::newRow("k110-decoder") << "DEC" << "K1200" << 1u << "" << 0u << "K1-DEC" << dec;
    QTest::newRow("k220-encoder") << "ENC" << "K2100" << 1u << "" << 0u << "K2-ENC" << enc;
    QTest::newRow("k220-decoder") << "DEC" << "K2200" << 1u << "" << 0u << "K2-DEC" << dec;
    QTest::newRow("k225-encoder") << "ENC" << "K2150" << 1u << "" << 0u << "K2-ENC-4K" << enc;
    QTest::newRow("k225-decoder") << "DEC" << "K2250" << 1u << "" << 0u << "K2-DEC-4K" << dec;
    QTest::newRow("kvm-encoder") << "ENC" << "K210B" << 1u << "8/18/14" << 0u << "K2-ENC-KVM" << enc;
    QTest::newRow("kvm-decoder") << "DEC" << "K220C" << 1u << "1/1/2015" << 0u << "K2-DEC-KVM" << dec;
    QTest::newRow("4k-wins-over-kvm") << "ENC" << "K215B" << 1u << "8/18/14" << 0u << "K2-ENC-4K" << enc;
    QTest::newRow("k330-encoder") << "ENC" << "K3100" << 1u << "" << 0u << "K3-ENC" << enc;
    QTest::newRow("k330-decoder") << "DEC" << "K3200" << 1u << "" << 0u << "K3-DEC" << dec;
    QTest::newRow("legacy-encoder") << "ENC" << "JT100" << 0u << "" << 0u << "LEG-ENC" << enc;
    QTest::newRow("legacy-decoder") << "RX" << "JR100" << 0u << "" << 0u << "LEG-DEC" << dec;
    QTest::newRow("kseries-without-generation") << "ENC" << "KX" << 1u << "" << 0u << "UNKNOWN" << enc;
    QTest::newRow("controller") << "Conductor" << "C100" << 0u << "" << 1u << "UNKNOWN" << ":icons/gear.png";
    QTest::newRow("no-type") << "" << "" << 0u << "" << 0u << "UNKNOWN" << "";
}

void TestDeviceCatalogue::typeCodeAndIcon()
{
    QFETCH(QString, deviceType);
    QFETCH(QString, sn);
    QFETCH(quint32, kSeries);
    QFETCH(QString, swversion);
    QFETCH(quint32, isConductor);
    QFETCH(QString, typeCode);
    QFETCH(QString, icon);

    MarluneUnit u = unit(deviceType, sn, QStringLiteral("unit"), kSeries);
    u.swversion = swversion;
    u.isConductor = isConductor;
    QCOMPARE(typeCodeForUnit(u), typeCode);
    QCOMPARE(iconPathForUnit(u), icon);
    QCOMPARE(iconForUnit(u).isNull(), icon.isEmpty());
}

void TestDeviceCatalogue::displayName_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("expected");

    QTest::newRow("vod") << "K7200" << "Video On Demand";
    QTest::newRow("k440-audio") << "K4300" << "K440 Audio";
    QTest::newRow("audio-with-k4") << "ATK4" << "K440 Audio";
    QTest::newRow("k-panel") << "K8300" << "K-Panel";
    QTest::newRow("audio-transceiver") << "AT100" << "Audio Transceiver";
    QTest::newRow("recorder") << "JD100" << "Network Video Recorder";
    QTest::newRow("windowing-processor") << "JW100" << "Windowing Processor";
    QTest::newRow("k110-encoder") << "K1100" << "K110 Encoder";
    QTest::newRow("k110-decoder") << "K1200" << "K110 Decoder";
    QTest::newRow("k220-encoder") << "K2100" << "K220 Encoder";
    QTest::newRow("k225-is-a-k220-decoder") << "K2250" << "K220 Decoder";
    QTest::newRow("k330-encoder") << "K3100" << "K330 Encoder";
    QTest::newRow("k330-decoder") << "K3200" << "K330 Decoder";
    QTest::newRow("j-series-encoder") << "JT100" << "J-Series Encoder";
    QTest::newRow("j-series-decoder") << "JR100" << "J-Series Decoder";
    QTest::newRow("unknown") << "XYZ" << "Unit Unknown";
    QTest::newRow("empty") << "" << "Unit Unknown";
}

void TestDeviceCatalogue::displayName()
{
    QFETCH(QString, serial);
    QFETCH(QString, expected);
    QCOMPARE(displayNameForSerial(serial), expected);
}

void TestDeviceCatalogue::iconsAreOurOwnResources()
{
    const QStringList names = {"gear", "vod", "k-panel", "DVR_Black_16x16", "Window",
                               "Encoder16", "TV_Black_16x16", "atr_icon", "spreadsheet_icon"};
    for (const QString &name : names) {
        const QImage image(QStringLiteral(":/icons/") + name + QStringLiteral(".png"));
        QVERIFY2(!image.isNull(), qPrintable(name));
        QCOMPARE(image.size(), QSize(16, 16));
    }
    QVERIFY(QFile::exists(QStringLiteral(":/quillet.css")));
}

void TestDeviceCatalogue::listingOrder()
{
    // Names chosen so that a plain sort by name or by type word would give another order.
    const QList<MarluneUnit> expected = {
        unit("DEC", "K2200", "Zulu decoder", 1),
        unit("DEC", "K3200", "Alpha decoder", 1),
        unit("", "", "No type"),
        unit("ATR", "AT100", "Audio"),
        unit("Conductor", "C1", "Director"),
        unit("ENC", "K2100", "Zulu encoder", 1),
        unit("ENC", "K3100", "Alpha encoder", 1),
        unit("ENC", "K3100", "Beta encoder", 1),
        unit("DVR", "JD100", "Recorder"),
        unit("VOD", "K7200", "Video"),
        unit("WP", "JW100", "Windows"),
        unit("WPC", "K8300", "Panel"),
    };
    QList<MarluneUnit> units = expected;
    std::mt19937 random(20151213);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(units.begin(), units.end(), random);
        std::sort(units.begin(), units.end());
        QStringList got, want;
        for (int i = 0; i < units.size(); ++i) {
            got << units.at(i).name;
            want << expected.at(i).name;
        }
        QCOMPARE(got, want);
    }
}

void TestDeviceCatalogue::listingOrderIsStrict()
{
    const QList<MarluneUnit> units = {unit("DEC", "K2200", "a", 1), unit("DEC", "K2200", "a", 1),
                                      unit("ATR", "AT1", "b"), unit("ENC", "K2100", "c", 1),
                                      unit("DVR", "JD1", "d"), unit("WP", "JW1", "e")};
    for (const MarluneUnit &a : units) {
        QVERIFY(!(a < a));
        for (const MarluneUnit &b : units)
            QVERIFY(!(a < b && b < a));
    }
    // A decoder lists before an audio transceiver although "ATR" sorts first as text.
    QVERIFY(units.at(0) < units.at(2));
    QVERIFY(!(units.at(2) < units.at(0)));
    // An encoder lists before a recorder.
    QVERIFY(units.at(3) < units.at(4));
    QVERIFY(!(units.at(4) < units.at(3)));
}

QTEST_MAIN(TestDeviceCatalogue)
#include "tst_devicecatalogue.moc"
