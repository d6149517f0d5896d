#include "setunitfield.h"
#include "units/marluneunit.h"
#include "units/unitfields.h"

#include <QtTest>

#include <algorithm>
#include <type_traits>
#include <vector>

class TestMarluneUnit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typeFromSerial_data();
    void typeFromSerial();
    void generations_data();
    void generations();
    void typeWords_data();
    void typeWords();
    void versionDates_data();
    void versionDates();
    void isOnline_data();
    void isOnline();
    void ipModes_data();
    void ipModes();
    void resolutionText_data();
    void resolutionText();
    void applySerialFormat_data();
    void applySerialFormat();
    void recorderModeText();
    void levelText_data();
    void levelText();
    void copyEqualsSource();
    void resetKeepsAttachedUnits();
    void fieldTableCoversTheRecord();
    void everyFieldTakesPartInEquality();
};

void TestMarluneUnit::typeFromSerial_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("typeBefore");
    QTest::addColumn<QString>("expectedType");
    QTest::addColumn<quint32>("expectedKSeries");

    QTest::newRow("k110-encoder") << "K1100A1" << "" << "ENC" << 1u;
    QTest::newRow("k220-encoder") << "K2100A1" << "" << "ENC" << 1u;
    QTest::newRow("k330-encoder") << "K3100A1" << "" << "ENC" << 1u;
    QTest::newRow("k110-decoder") << "K1200A1" << "" << "DEC" << 1u;
    QTest::newRow("k220-decoder") << "K2200A1" << "" << "DEC" << 1u;
    QTest::newRow("k330-decoder") << "K3200A1" << "" << "DEC" << 1u;
    QTest::newRow("vod") << "K7200" << "" << "VOD" << 0u;
    QTest::newRow("k-panel") << "K8300" << "" << "WPC" << 0u;
    QTest::newRow("k440-audio") << "K4300" << "" << "ATR" << 0u;
    QTest::newRow("j-series-decoder") << "JR12345" << "" << "DEC" << 0u;
    QTest::newRow("j-series-encoder") << "JT12345" << "" << "ENC" << 0u;
    QTest::newRow("recorder") << "JD12345" << "" << "DVR" << 0u;
    QTest::newRow("windowing-processor") << "JW12345" << "" << "WP" << 0u;
    QTest::newRow("audio-transceiver") << "AT12345" << "" << "ATR" << 0u;
    QTest::newRow("two-characters-only") << "JT" << "" << "ENC" << 0u;
    QTest::newRow("one-character") << "K" << "WP" << "WP" << 0u;
    QTest::newRow("empty-serial") << "" << "VOD" << "VOD" << 0u;
    QTest::newRow("lower-case-is-no-match") << "k2100" << "DVR" << "DVR" << 0u;
    QTest::newRow("unknown-keeps-type") << "X9999" << "WPC" << "WPC" << 0u;
    QTest::newRow("leading-blank-is-no-match") << " K2100" << "" << "" << 0u;
}

void TestMarluneUnit::typeFromSerial()
{
    QFETCH(QString, sn);
    QFETCH(QString, typeBefore);
    QFETCH(QString, expectedType);
    QFETCH(quint32, expectedKSeries);

    MarluneUnit unit;
    unit.sn = sn;
    unit.deviceType = typeBefore;
    unit.typeFromSerial();
    QCOMPARE(unit.deviceType, expectedType);
    QCOMPARE(unit.KSeries, expectedKSeries);
}

void TestMarluneUnit::generations_data()
{
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<quint32>("kSeries");
    QTest::addColumn<quint32>("kSeriesMode");
    QTest::addColumn<QString>("swversion");
    QTest::addColumn<bool>("bothAttached");
    // Expected: gen1, gen2, gen3, gen2FourK, gen2Kvm, k4Audio
    QTest::addColumn<QString>("expected");

    QTest::newRow("k110-encoder") << "ENC" << "K1100A" << 1u << 0u << "" << false << "1-----";
    QTest::newRow("k220-decoder") << "DEC" << "K2200A" << 1u << 0u << "" << false << "-2----";
    QTest::newRow("k330-encoder") << "ENC" << "K3100A" << 1u << 0u << "" << false << "--3---";
    QTest::newRow("dvr-mode-2-any-serial") << "DVR" << "ZZZ" << 0u << 2u << "" << false << "-2----";
    QTest::newRow("dvr-mode-1-any-serial") << "DVR" << "ZZZ" << 0u << 1u << "" << false << "1-----";
    QTest::newRow("wp-with-two-attached") << "WP" << "ZZZ" << 0u << 0u << "" << true << "1-----";
    QTest::newRow("wp-serial-jwb") << "WP" << "XJWB9" << 0u << 0u << "" << false << "1-----";
    QTest::newRow("jwb-needs-wp") << "ENC" << "XJWB9" << 0u << 0u << "" << false << "------";
    QTest::newRow("serial-trimmed-for-digit") << "ENC" << " K2" << 1u << 0u << "" << false << "-2----";
    QTest::newRow("serial-of-two-chars") << "ENC" << "K2" << 1u << 0u << "" << false << "------";
    QTest::newRow("four-k") << "ENC" << "K2150" << 1u << 0u << "" << false << "-2-4--";
    QTest::newRow("four-k-needs-kseries") << "ENC" << "K2150" << 0u << 0u << "" << false << "-2----";
    QTest::newRow("kvm-from-18-aug-2014") << "ENC" << "K210B" << 1u << 0u << "8/18/14" << false << "-2--K-";
    QTest::newRow("kvm-not-before") << "ENC" << "K210B" << 1u << 0u << "8/17/14" << false << "-2----";
    QTest::newRow("kvm-lower-case-c") << "DEC" << "K220c" << 1u << 0u << "1/1/2016" << false << "-2--K-";
    QTest::newRow("kvm-other-submodel") << "DEC" << "K220d" << 1u << 0u << "1/1/2016" << false << "-2----";
    QTest::newRow("kvm-invalid-date") << "DEC" << "K220B" << 1u << 0u << "junk" << false << "-2----";
    QTest::newRow("four-k-and-kvm") << "ENC" << "K215B" << 1u << 0u << "9/1/2014" << false << "-2-4K-";
    QTest::newRow("k440-audio") << "ATR" << "K4300" << 0u << 0u << "" << false << "-----A";
    QTest::newRow("k4-needs-atr") << "DEC" << "K4300" << 0u << 0u << "" << false << "------";
    QTest::newRow("empty") << "" << "" << 0u << 0u << "" << false << "------";
}

void TestMarluneUnit::generations()
{
    QFETCH(QString, deviceType);
    QFETCH(QString, sn);
    QFETCH(quint32, kSeries);
    QFETCH(quint32, kSeriesMode);
    QFETCH(QString, swversion);
    QFETCH(bool, bothAttached);
    QFETCH(QString, expected);

    MarluneUnit unit;
    unit.deviceType = deviceType;
    unit.sn = sn;
    unit.KSeries = kSeries;
    unit.kSeriesMode = kSeriesMode;
    unit.swversion = swversion;
    if (bothAttached) {
        unit.mac0 = QStringLiteral("00:11:22:33:44:01");
        unit.mac1 = QStringLiteral("00:11:22:33:44:02");
    }
    const QString actual = QString() + (unit.isGen1() ? '1' : '-') + (unit.isGen2() ? '2' : '-')
                           + (unit.isGen3() ? '3' : '-') + (unit.isGen2FourK() ? '4' : '-')
                           + (unit.isGen2Kvm() ? 'K' : '-') + (unit.isK4Audio() ? 'A' : '-');
    QCOMPARE(actual, expected);
}

void TestMarluneUnit::typeWords_data()
{
    QTest::addColumn<QString>("deviceType");
    QTest::addColumn<QString>("fwversion");
    // Expected: encoder, decoder, dvr, atr, wp, wpc, vod, recorder firmware
    QTest::addColumn<QString>("expected");

    QTest::newRow("ENC") << "ENC" << "" << "E-------";
    QTest::newRow("TX") << "TX" << "" << "E-------";
    QTest::newRow("DEC") << "DEC" << "" << "-D------";
    QTest::newRow("RX") << "RX" << "" << "-D------";
    QTest::newRow("DVR-with-firmware") << "DVR" << "1/29/2014" << "--R----F";
    QTest::newRow("DVR-original-firmware") << "DVR" << "0/0/0" << "--R-----";
    QTest::newRow("ENC-firmware-is-not-recorder") << "ENC" << "1/29/2014" << "E-------";
    QTest::newRow("ATR") << "ATR" << "" << "---A----";
    QTest::newRow("WP") << "WP" << "" << "----W---";
    QTest::newRow("WPC") << "WPC" << "" << "-----P--";
    QTest::newRow("VOD") << "VOD" << "" << "------V-";
    QTest::newRow("Conductor") << "Conductor" << "" << "--------";
    QTest::newRow("lower-case") << "enc" << "" << "--------";
}

void TestMarluneUnit::typeWords()
{
    QFETCH(QString, deviceType);
    QFETCH(QString, fwversion);
    QFETCH(QString, expected);

    MarluneUnit unit;
    unit.deviceType = deviceType;
    unit.fwversion = fwversion;
    const QString actual = QString() + (unit.isEncoder() ? 'E' : '-') + (unit.isDecoder() ? 'D' : '-')
                           + (unit.isDvr() ? 'R' : '-') + (unit.isAtr() ? 'A' : '-') + (unit.isWp() ? 'W' : '-')
                           + (unit.isWpc() ? 'P' : '-') + (unit.isVod() ? 'V' : '-')
                           + (unit.hasRecorderFirmware() ? 'F' : '-');
    QCOMPARE(actual, expected);
}

void TestMarluneUnit::versionDates_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("expected");

    QTest::newRow("two-digit-year") << "8/18/14" << QDate(2014, 8, 18);
    QTest::newRow("four-digit-year") << "1/29/2014" << QDate(2014, 1, 29);
    QTest::newRow("surrounding-blanks") << "  12/1/2015 " << QDate(2015, 12, 1);
    QTest::newRow("year-below-2000-moves-up") << "12/31/1999" << QDate(3999, 12, 31);
    QTest::newRow("zero-year") << "3/4/0" << QDate(2000, 3, 4);
    QTest::newRow("impossible-day") << "2/30/2014" << QDate();
    QTest::newRow("two-parts") << "1/2" << QDate();
    QTest::newRow("empty") << "" << QDate();
    QTest::newRow("unknown") << "Unknown" << QDate();
    QTest::newRow("not-numbers") << "a/b/c" << QDate();
    QTest::newRow("none-version") << "0/0/0" << QDate();
    QTest::newRow("huge-month") << "99999999999/1/2014" << QDate();
    QTest::newRow("extra-parts-ignored") << "5/6/2013/9" << QDate(2013, 5, 6);
}

void TestMarluneUnit::versionDates()
{
    QFETCH(QString, text);
    QFETCH(QDate, expected);

    MarluneUnit unit;
    unit.swversion = text;
    unit.webversion = text;
    QCOMPARE(unit.swDate(), expected);
    QCOMPARE(unit.webDate(), expected);
    // An invalid date sorts before every valid one, which the update rules rely on.
    if (!expected.isValid())
        QVERIFY(unit.swDate() < QDate(1900, 1, 1));
}

void TestMarluneUnit::isOnline_data()
{
    QTest::addColumn<int>("secondsAgo");
    QTest::addColumn<quint32>("isConductor");
    QTest::addColumn<bool>("expected");

    QTest::newRow("just-seen") << 0 << 0u << true;
    QTest::newRow("89-seconds") << 89 << 0u << true;
    QTest::newRow("91-seconds") << 91 << 0u << false;
    QTest::newRow("controller-always") << 100000 << 1u << true;
}

void TestMarluneUnit::isOnline()
{
    QFETCH(int, secondsAgo);
    QFETCH(quint32, isConductor);
    QFETCH(bool, expected);

    MarluneUnit unit;
    unit.lastSeen = QDateTime::currentDateTime().addSecs(-secondsAgo);
    unit.isConductor = isConductor;
    QCOMPARE(unit.isOnline(), expected);
}

void TestMarluneUnit::ipModes_data()
{
    QTest::addColumn<quint32>("number");
    QTest::addColumn<QString>("fromNumber");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fromText");

    QTest::newRow("auto") << 1u << "Auto IP" << "auto" << "Auto IP";
    QTest::newRow("dhcp") << 2u << "DHCP" << " dhcp " << "DHCP";
    QTest::newRow("static") << 3u << "Static IP" << "Static" << "Static IP";
    QTest::newRow("high-bits-ignored") << 0xF3u << "Static IP" << "AUTOSTATIC" << "Auto IP";
    QTest::newRow("zero") << 0u << "Unknown" << "" << "Unknown";
    QTest::newRow("four") << 4u << "Unknown" << "manual" << "Unknown";
}

void TestMarluneUnit::ipModes()
{
    QFETCH(quint32, number);
    QFETCH(QString, fromNumber);
    QFETCH(QString, text);
    QFETCH(QString, fromText);

    QCOMPARE(ipModeText(number), fromNumber);
    QCOMPARE(ipModeFromText(text), fromText);
}

void TestMarluneUnit::resolutionText_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("expected");

    QTest::newRow("720p") << 1280 << 720 << "720p";
    QTest::newRow("1080p") << 1920 << 1080 << "1080p";
    QTest::newRow("1080i") << 1920 << 540 << "1080i";
    QTest::newRow("480p") << 720 << 480 << "480p";
    QTest::newRow("other") << 1024 << 768 << "1024x768";
    QTest::newRow("zero") << 0 << 0 << "0x0";
}

void TestMarluneUnit::resolutionText()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, expected);
    QCOMPARE(::resolutionText(width, height), expected);
}

void TestMarluneUnit::applySerialFormat_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<quint32>("databits");
    QTest::addColumn<quint32>("stopbits");
    QTest::addColumn<QString>("parity");

    QTest::newRow("8-even-1") << 0x1B << 8u << 1u << "even";
    QTest::newRow("5-none-2") << 0x04 << 5u << 2u << "none";
    QTest::newRow("6-odd-1") << 0x09 << 6u << 1u << "odd";
    QTest::newRow("7-high-2") << 0x2E << 7u << 2u << "high";
    QTest::newRow("8-low-1") << 0x3B << 8u << 1u << "low";
    QTest::newRow("0x10-keeps-parity") << 0x10 << 5u << 1u << "previous";
    QTest::newRow("0x20-keeps-parity") << 0x23 << 8u << 1u << "previous";
    QTest::newRow("0x30-keeps-parity") << 0xF7 << 8u << 2u << "previous";
}

void TestMarluneUnit::applySerialFormat()
{
    QFETCH(int, byte);
    QFETCH(quint32, databits);
    QFETCH(quint32, stopbits);
    QFETCH(QString, parity);

    MarluneUnit unit;
    unit.parity = QStringLiteral("previous");
    ::applySerialFormat(quint8(byte), unit);
    QCOMPARE(unit.databits, databits);
    QCOMPARE(unit.stopbits, stopbits);
    QCOMPARE(unit.parity, parity);
}

void TestMarluneUnit::recorderModeText()
{
    const QStringList expected = {"idle",   "Rec",         "Play",        "Play&Rec",
                                  "DS Rec", "DS Rec",      "Play&DS Rec", "Play&DS Rec",
                                  "DS Play", "DS Play&Rec", "DS Play",     "DS Play&Rec",
                                  "DSP & DSR", "DSP & DSR", "DSP & DSR",  "DSP & DSR"};
    for (quint32 n = 0; n < 16; ++n) {
        QCOMPARE(::recorderModeText(n), expected.at(n));
        QCOMPARE(::recorderModeText(n | 0xF0), expected.at(n)); // only the low four bits count
    }
}

void TestMarluneUnit::levelText_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("expected");

    QTest::newRow("bit7-clear") << 0x7F << "idle";
    QTest::newRow("zero") << 0x00 << "idle";
    QTest::newRow("lowest-active") << 0x80 << "%0";
    QTest::newRow("one-rounds-up") << 0x81 << "%1";
    QTest::newRow("half-rounds-up") << 0xBF << "%50";
    QTest::newRow("just-above-half") << 0xC0 << "%50";
    QTest::newRow("full") << 0xFF << "%100";
}

void TestMarluneUnit::levelText()
{
    QFETCH(int, byte);
    QFETCH(QString, expected);
    QCOMPARE(::levelText(quint8(byte)), expected);
}

void TestMarluneUnit::copyEqualsSource()
{
    MarluneUnit unit;
    unit.sn = QStringLiteral("K2100A");
    unit.typeFromSerial();
    unit.mac = QStringLiteral("00:1A:2B:3C:4D:5E");
    unit.recordChannelAud[9] = 7;
    unit.hzOffset = -12;
    unit.lastSeen = QDateTime(QDate(2015, 4, 13), QTime(9, 15, 2, 117));
    unit.eth1_netMask_2 = QStringLiteral("255.255.0.0");

    MarluneUnit copy = unit;
    QVERIFY(copy == unit);
    MarluneUnit assigned;
    assigned = unit;
    QVERIFY(assigned == unit);

    copy.lastSeen = copy.lastSeen.addMSecs(1);
    QVERIFY(copy != unit);
    copy = unit;
    copy.recordChannelAud[9] = 8;
    QVERIFY(copy != unit);
}

void TestMarluneUnit::resetKeepsAttachedUnits()
{
    MarluneUnit unit;
    unit.mac = QStringLiteral("00:1A:2B:3C:4D:5E");
    unit.deviceType = QStringLiteral("WP");
    unit.fcpc = QStringLiteral("manual");
    unit.hdmiAudio = QStringLiteral("1");
    unit.stream = 9;
    unit.mac0 = QStringLiteral("mac-zero");
    unit.ip3 = QStringLiteral("10.0.0.3");
    unit.lastSeen = QDateTime::currentDateTime().addDays(-1);

    unit.reset();

    MarluneUnit fresh;
    fresh.mac0 = QStringLiteral("mac-zero");
    fresh.ip3 = QStringLiteral("10.0.0.3");
    fresh.lastSeen = unit.lastSeen;
    QVERIFY(unit == fresh);
    QCOMPARE(unit.fcpc, QStringLiteral("auto"));
    QCOMPARE(unit.YCbCrEnablePT, QStringLiteral("0"));
    QVERIFY(unit.mac.isEmpty());
    QVERIFY(unit.lastSeen.secsTo(QDateTime::currentDateTime()) < 5);
}

// Each member of the record appears in the field table once, under a key of its own: sorted by
// their place in the record, the members listed leave no room for another one between them or
// after the last (padding aside).
void TestMarluneUnit::fieldTableCoversTheRecord()
{
    struct Place
    {
        size_t offset;
        size_t size;
        size_t align;
        const char *key;
    };
    const MarluneUnit unit;
    const auto *start = reinterpret_cast<const char *>(&unit);
    std::vector<Place> places;
    QSet<QByteArray> keys;
    for (const UnitField &field : unitFields()) {
        QVERIFY2(!keys.contains(field.key), field.key);
        keys.insert(field.key);
        std::visit(
            [&](auto member) {
                using T = std::decay_t<decltype(unit.*member)>;
                const auto offset = size_t(reinterpret_cast<const char *>(&(unit.*member)) - start);
                places.push_back({offset, sizeof(T), alignof(T), field.key});
            },
            field.member);
    }
    std::sort(places.begin(), places.end(),
              [](const Place &a, const Place &b) { return a.offset < b.offset; });
    const auto alignedUp = [](size_t offset, size_t align) { return (offset + align - 1) / align * align; };
    size_t end = 0;
    for (const Place &place : places) {
        QVERIFY2(place.offset == alignedUp(end, place.align),
                 qPrintable(QStringLiteral("a member before %1 is not in the table").arg(place.key)));
        end = place.offset + place.size;
    }
    QCOMPARE(sizeof(MarluneUnit), alignedUp(end, alignof(MarluneUnit)));
}

void TestMarluneUnit::everyFieldTakesPartInEquality()
{
    const MarluneUnit unit;
    int n = 0;
    for (const UnitField &field : unitFields()) {
        MarluneUnit changed = unit;
        setUnitField(changed, field, ++n);
        QVERIFY2(changed != unit, field.key);
    }
}

QTEST_GUILESS_MAIN(TestMarluneUnit)
#include "tst_marluneunit.moc"
