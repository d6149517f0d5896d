#include "net/statusreply.h"
#include "units/unitfields.h"

#include <QtTest>

class TestStatusReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fixtures_data();
    void fixtures();
    void getValue_data();
    void getValue();
    void getFlag_data();
    void getFlag();
    void recorderWithFirmwareAsksAgain();
    void idButtonIsReported_data();
    void idButtonIsReported();
    void neverReadsPastTheEnd();

private:
    static QByteArray fixture(const QString &name);
};

QByteArray TestStatusReply::fixture(const QString &name)
{
    QFile file(QStringLiteral(BRYX_TEST_DATA_DIR "/replies/") + name + QStringLiteral(".bin"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

// One row per expected field of every fixture in tests/data/replies.
void TestStatusReply::fixtures_data()
{
    QTest::addColumn<QString>("fixtureName");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    const QDir dir(QStringLiteral(BRYX_TEST_DATA_DIR "/replies"));
    const QStringList files = dir.entryList({QStringLiteral("*.expected")}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 25);
    for (const QString &file : files) {
        const QString name = file.chopped(int(strlen(".expected")));
        QFile expectations(dir.filePath(file));
        QVERIFY(expectations.open(QIODevice::ReadOnly | QIODevice::Text));
        while (!expectations.atEnd()) {
            const QString line = QString::fromUtf8(expectations.readLine()).chopped(1);
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            const QString field = line.left(eq);
            QTest::addRow("%s:%s", qPrintable(name), qPrintable(field)) << name << field << line.mid(eq + 1);
        }
    }
}

void TestStatusReply::fixtures()
{
    QFETCH(QString, fixtureName);
    QFETCH(QString, field);
    QFETCH(QString, expected);

    const MarluneUnit unit = parseStatusReply(fixture(fixtureName)).unit;
    const QString actual = unitFieldText(unit, field);
    QVERIFY2(!actual.isNull(), qPrintable(QStringLiteral("no field named ") + field));
    QCOMPARE(actual, expected);
}

void TestStatusReply::getValue_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("up-to-cr") << QByteArray("A:1\rB:22\rC:3") << QByteArray("B:") << "22";
    QTest::newRow("up-to-lf") << QByteArray("B:22\nC:3") << QByteArray("B:") << "22";
    QTest::newRow("up-to-nul") << QByteArray("B:2\0002", 6) << QByteArray("B:") << "2";
    QTest::newRow("to-the-end") << QByteArray("X:tail") << QByteArray("X:") << "tail";
    QTest::newRow("absent") << QByteArray("A:1") << QByteArray("B:") << "";
    QTest::newRow("not-trimmed") << QByteArray("A: 1 \r") << QByteArray("A:") << " 1 ";
    QTest::newRow("first-occurrence") << QByteArray("A:1\rA:2") << QByteArray("A:") << "1";
    QTest::newRow("suffix-of-longer-key") << QByteArray("MINSWVER:1/1/15\rSWVER:2/2/16") << QByteArray("SWVER:")
                                          << "1/1/15";
    QTest::newRow("case-sensitive") << QByteArray("name:x\rNAME:y") << QByteArray("NAME:") << "y";
    QTest::newRow("latin1-bytes") << QByteArray("N:caf\xe9") << QByteArray("N:") << QString::fromLatin1("caf\xe9");
    QTest::newRow("empty-value") << QByteArray("A:\rB:1") << QByteArray("A:") << "";
}

void TestStatusReply::getValue()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, key);
    QFETCH(QString, expected);
    QCOMPARE(::getValue(data, key), expected);
}

void TestStatusReply::getFlag_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("one") << QByteArray("1") << 1u;
    QTest::newRow("one-padded") << QByteArray(" 1 ") << 1u;
    QTest::newRow("two") << QByteArray("2") << 0u;
    QTest::newRow("zero") << QByteArray("0") << 0u;
    QTest::newRow("on") << QByteArray("ON") << 1u;
    QTest::newRow("yes") << QByteArray("Yes") << 1u;
    QTest::newRow("enabled") << QByteArray("enabled") << 1u;
    QTest::newRow("true") << QByteArray("TRUE") << 1u;
    QTest::newRow("connected") << QByteArray("Connected") << 1u;
    QTest::newRow("allow") << QByteArray("allowed") << 1u;
    QTest::newRow("none-holds-on") << QByteArray("none") << 1u;
    QTest::newRow("off") << QByteArray("off") << 0u;
    QTest::newRow("no") << QByteArray("no") << 0u;
    QTest::newRow("empty") << QByteArray("") << 0u;
}

void TestStatusReply::getFlag()
{
    QFETCH(QByteArray, value);
    QFETCH(quint32, expected);
    QCOMPARE(::getFlag(QByteArray("\rF:") + value + "\r", "\rF:"), expected);
    QCOMPARE(::getFlag(QByteArray("\rG:1\r"), "\rF:"), 0u); // absent key
}

void TestStatusReply::recorderWithFirmwareAsksAgain()
{
    const StatusReply reply = parseStatusReply(fixture(QStringLiteral("fixed-recorder-firmware")));
    QVERIFY(reply.needsRecorderStatus);
    QVERIFY(reply.unit.mac.isEmpty());
    QCOMPARE(reply.requestFor.deviceType, QStringLiteral("DVR"));
    QCOMPARE(reply.requestFor.ip, QStringLiteral("10.77.1.33"));
    QCOMPARE(reply.requestFor.fwversion, QStringLiteral("1/29/4"));

    const StatusReply original = parseStatusReply(fixture(QStringLiteral("fixed-recorder-original")));
    QVERIFY(!original.needsRecorderStatus);
}

void TestStatusReply::idButtonIsReported_data()
{
    QTest::addColumn<QString>("fixtureName");
    QTest::addColumn<bool>("pressed");

    QTest::newRow("id-1") << "rxgen2-id-button" << true;
    QTest::newRow("id-0") << "rxgen2-id-zero" << false;
    QTest::newRow("no-id-key") << "rxgen2-k330-decoder" << false;
    QTest::newRow("audio-units-have-none") << "atr9-audio" << false;
}

void TestStatusReply::idButtonIsReported()
{
    QFETCH(QString, fixtureName);
    QFETCH(bool, pressed);
    QCOMPARE(parseStatusReply(fixture(fixtureName)).idButtonPressed, pressed);
}

void TestStatusReply::neverReadsPastTheEnd()
{
    // Every prefix of every fixture parses without reading past its end (the sanitizer build
    // turns an overrun into a failure).
    const QDir dir(QStringLiteral(BRYX_TEST_DATA_DIR "/replies"));
    for (const QString &file : dir.entryList({QStringLiteral("*.bin")}, QDir::Files)) {
        const QByteArray data = fixture(file.chopped(4));
        for (qsizetype length = 0; length <= data.size(); length += (length < 64 ? 1 : 37))
            parseStatusReply(data.left(length));
    }
}

QTEST_GUILESS_MAIN(TestStatusReply)
#include "tst_statusreply.moc"
