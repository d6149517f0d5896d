#include "adding/csvimport.h"

#include <QtTest>

namespace {

MarluneUnit listed(const QString &name, const QString &mac, const QString &sn, const QString &ip)
{
    MarluneUnit u;
    u.name = name;
    u.mac = mac;
    u.sn = sn;
    u.ip = ip;
    u.typeFromSerial();
    return u;
}

const QString kHeader = QStringLiteral("NAME,TYPE,MAC,SN,STREAM,IPMODE,IP,SUBNET,GW\n");

} // namespace

class TestCsvImport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rejoinQuotedFields_data();
    void rejoinQuotedFields();
    void import_data();
    void import();
    void fieldsOfAnImportedUnit();
    void decoding_data();
    void decoding();
    void fileSizeLimit_data();
    void fileSizeLimit();
};

void TestCsvImport::rejoinQuotedFields_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("no-quotes") << QStringList{"a", "b"} << QStringList{"a", "b"};
    QTest::newRow("quoted-comma") << QStringList{"\"Lobby", " left\"", "mac"} << QStringList{"Lobby, left", "mac"};
    QTest::newRow("quoted-single-field") << QStringList{"x", "\"Hall\"", "y"} << QStringList{"x", "Hall", "y"};
    QTest::newRow("three-parts") << QStringList{"\"a", "b", "c\"", "d"} << QStringList{"a,b,c", "d"};
    QTest::newRow("never-closed-drops-span") << QStringList{"x", "\"open", "rest", "more"} << QStringList{"x"};
    QTest::newRow("nothing-left-keeps-fields") << QStringList{"\"open", "rest"} << QStringList{"\"open", "rest"};
    QTest::newRow("two-quoted-spans") << QStringList{"\"a", "b\"", "\"c", "d\""} << QStringList{"a,b", "c,d"};
}

void TestCsvImport::rejoinQuotedFields()
{
    QFETCH(QStringList, fields);
    QFETCH(QStringList, expected);
    QCOMPARE(::rejoinQuotedFields(fields), expected);
}

void TestCsvImport::import_data()
{
    QTest::addColumn<QString>("csv");
    QTest::addColumn<QList<MarluneUnit>>("existing");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("names"); // units to add, in order
    QTest::addColumn<QStringList>("reportHas");

    const QList<MarluneUnit> none;
    const QList<MarluneUnit> lobbyListed{listed("Lobby", "02:00:00:00:05:01", "K2100A1", "10.77.1.5")};
    const QList<MarluneUnit> otherAtSameAddress{listed("Other", "02:00:00:00:05:99", "K2200Z", "10.77.1.7")};

    QTest::newRow("plain") << kHeader + "Lobby,ENC,02:00:00:00:05:01,K2100A1,7,Static IP,10.77.1.5,255.255.0.0,10.77.0.1\n"
                           << none << int(CsvImportResult::Imported) << QStringList{"Lobby"}
                           << QStringList{"\n<b>ENC:</b> Lobby at 10.77.1.5",
                                          "1 units to be checked and added. Click \"Add Units\" to add them."};
    QTest::newRow("quoted-padded-header")
        << QStringLiteral("\"NAME\" , \"MAC\" , \"SN\" , \"IP\"\nLobby,02:00:00:00:05:01,K2100A1,10.77.1.5\n") << none
        << int(CsvImportResult::Imported) << QStringList{"Lobby"} << QStringList{"\n<b>ENC:</b> Lobby at 10.77.1.5"};
    QTest::newRow("quoted-name-with-comma")
        << kHeader + "\"Lobby, left\",ENC,02:00:00:00:05:01,K2100A1,,DHCP,10.77.1.5,,\n" << none
        << int(CsvImportResult::Imported) << QStringList{"Lobby, left"}
        << QStringList{"\n<b>ENC:</b> Lobby, left at 10.77.1.5"};
    QTest::newRow("unclosed-quote-drops-the-rest")
        << QStringLiteral("SN,MAC,NAME,IP\nK2100A1,02:00:00:00:05:01,\"Lobby,10.77.1.5\n") << none
        << int(CsvImportResult::Imported) << QStringList() << QStringList{"\n<b>ENC:</b>  at "};
    QTest::newRow("line-of-commas-skipped")
        << kHeader + ",,,,,,,,\n  , ,\nHall,DEC,02:00:00:00:05:02,K2200A2,,DHCP,10.77.1.6,,\n" << none
        << int(CsvImportResult::Imported) << QStringList{"Hall"} << QStringList();
    QTest::newRow("untyped-serial-abandons")
        << kHeader + "Hall,DEC,02:00:00:00:05:02,K2200A2,,DHCP,10.77.1.6,,\nOdd,X,02:00:00:00:05:03,XYZ1,,DHCP,10.77.1.8,,\n"
                     "Late,DEC,02:00:00:00:05:04,K2200A4,,DHCP,10.77.1.9,,\n"
        << none << int(CsvImportResult::Abandoned) << QStringList{"Hall"}
        << QStringList{"\n<b>DEC:</b> Hall at 10.77.1.6"};
    QTest::newRow("duplicate-static-in-file")
        << kHeader + "First,ENC,02:00:00:00:05:01,K2100A1,,Static IP,10.77.1.5,,\n"
                     "Second,DEC,02:00:00:00:05:02,K2200A2,,Static IP, 10.77.1.5 ,,\n"
        << none << int(CsvImportResult::Imported) << QStringList{"First"}
        << QStringList{"\n<b>Error</b> Duplicate static IP with other units to configure: Second at 10.77.1.5",
                       "Discarding tasks for <b>Second</b> because of errors."};
    QTest::newRow("duplicate-dhcp-in-file-kept")
        << kHeader + "First,ENC,02:00:00:00:05:01,K2100A1,,DHCP,10.77.1.5,,\n"
                     "Second,DEC,02:00:00:00:05:02,K2200A2,,DHCP,10.77.1.5,,\n"
        << none << int(CsvImportResult::Imported) << QStringList{"First", "Second"} << QStringList();
    QTest::newRow("address-of-a-listed-unit-any-mode")
        << kHeader + "New,ENC,02:00:00:00:05:01,K2100A1,,DHCP,10.77.1.7,,\n" << otherAtSameAddress
        << int(CsvImportResult::Imported) << QStringList()
        << QStringList{"\n<b>Error</b> Duplicate static IP with existing units: Other and New :10.77.1.7",
                       "Discarding tasks for <b>New</b> because of errors."};
    QTest::newRow("listed-unit-skipped-silently")
        << kHeader + "Lobby,ENC,02:00:00:00:05:01,K2100A1,,DHCP,10.77.1.5,,\n" << lobbyListed
        << int(CsvImportResult::Imported) << QStringList() << QStringList{"\n"};
    QTest::newRow("nameless-unit-left-out")
        << kHeader + ",ENC,02:00:00:00:05:01,K2100A1,,DHCP,10.77.1.5,,\n" << none << int(CsvImportResult::Imported)
        << QStringList() << QStringList();
    QTest::newRow("missing-mac-skipped")
        << kHeader + "Lobby,ENC,,K2100A1,,DHCP,10.77.1.5,,\n" << none << int(CsvImportResult::Imported)
        << QStringList() << QStringList();
    QTest::newRow("no-sn-column") << QStringLiteral("NAME,MAC,IP\nLobby,02:00:00:00:05:01,10.77.1.5\n") << none
                                  << int(CsvImportResult::BadHeader) << QStringList() << QStringList();
    QTest::newRow("empty-file") << QString() << none << int(CsvImportResult::BadHeader) << QStringList()
                                << QStringList();
    QTest::newRow("crlf-lines") << QStringLiteral("NAME,MAC,SN,IP\r\nLobby,02:00:00:00:05:01,K2100A1,10.77.1.5\r\n")
                                << none << int(CsvImportResult::Imported) << QStringList{"Lobby"}
                                << QStringList{"\n<b>ENC:</b> Lobby at 10.77.1.5"};
}

void TestCsvImport::fileSizeLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("outcome");

    QTest::newRow("at-the-limit") << kMaxCsvFileSize << int(CsvImportResult::Imported);
    QTest::newRow("one-byte-over") << kMaxCsvFileSize + 1 << int(CsvImportResult::TooLarge);
}

// A file over the limit is refused whole, with a line for the report; one at the limit is read
// to its end. The file puts every unit on one static address, so nearly all are discarded.
void TestCsvImport::fileSizeLimit()
{
    QFETCH(qint64, size);
    QFETCH(int, outcome);

    QByteArray csv = kHeader.toLatin1();
    for (int i = 0; csv.size() < size - 100; ++i)
        csv += QStringLiteral("U%1,ENC,02:00:00:00:%2:%3,K2100A%1,,Static IP,10.77.1.5,,\n")
                   .arg(i)
                   .arg(i >> 8, 2, 16, QLatin1Char('0'))
                   .arg(i & 0xFF, 2, 16, QLatin1Char('0'))
                   .toLatin1();
    const QByteArray last = "Last,ENC,02:00:00:FF:FF:FF,K2100A9,,DHCP,10.77.9.";
    csv += last + QByteArray(size - csv.size() - last.size() - 1, '9') + '\n';
    QCOMPARE(csv.size(), size);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("fleet.csv")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(csv);
    file.close();

    const CsvImportResult result =
        importCsvFile(file.fileName(), {listed("Listed", "02:00:00:00:05:99", "K2200Z", "10.77.1.5")});
    QCOMPARE(int(result.outcome), outcome);
    if (outcome == CsvImportResult::TooLarge) {
        QVERIFY(result.unitsToAdd.isEmpty());
        QCOMPARE(result.report, QStringList{"<b>Error</b> This file is larger than 1 MiB, far larger than an export of "
                                            "units. Nothing was imported from it."});
        return;
    }
    // The others clash with the first unit and the first with the listed one; the last line is whole.
    QCOMPARE(result.unitsToAdd.size(), 1);
    QCOMPARE(result.unitsToAdd.first().name, QStringLiteral("Last"));
    QVERIFY(result.unitsToAdd.first().ip.endsWith(QLatin1String("9999")));
}

void TestCsvImport::import()
{
    QFETCH(QString, csv);
    QFETCH(QList<MarluneUnit>, existing);
    QFETCH(int, outcome);
    QFETCH(QStringList, names);
    QFETCH(QStringList, reportHas);

    const CsvImportResult result = importCsv(csv, existing);
    QCOMPARE(int(result.outcome), outcome);
    QStringList got;
    for (const MarluneUnit &unit : result.unitsToAdd)
        got << unit.name;
    QCOMPARE(got, names);
    for (const QString &line : reportHas)
        QVERIFY2(result.report.contains(line), qPrintable(result.report.join(QLatin1Char('|'))));
    if (outcome == CsvImportResult::Abandoned) {
        QCOMPARE(result.abandonedLine, QStringLiteral("Odd,X,02:00:00:00:05:03,XYZ1,,DHCP,10.77.1.8,,"));
        QVERIFY(!result.report.last().contains(QLatin1String("units to be checked")));
    }
    if (outcome == CsvImportResult::Imported && names.isEmpty())
        QCOMPARE(result.report.last(), QStringLiteral("\n"));
}

void TestCsvImport::fieldsOfAnImportedUnit()
{
    const CsvImportResult result =
        importCsv(kHeader + " Wall ,DEC,\"02:00:00:00:05:02\",K3200A2, 7 ,Static IP,10.77.1.6,255.255.0.0,10.77.0.1\r\n",
                  {});
    QCOMPARE(result.unitsToAdd.size(), 1);
    const MarluneUnit &unit = result.unitsToAdd.first();
    QCOMPARE(unit.name, QStringLiteral("Wall"));
    QCOMPARE(unit.mac, QStringLiteral("02:00:00:00:05:02"));
    QCOMPARE(unit.deviceType, QStringLiteral("DEC"));
    QCOMPARE(unit.KSeries, 1u);
    QCOMPARE(unit.stream, 7u);
    QCOMPARE(unit.ipType, QStringLiteral("Static IP"));
    QCOMPARE(unit.subnet, QStringLiteral("255.255.0.0"));
    QCOMPARE(unit.gateway, QStringLiteral("10.77.0.1"));
    QCOMPARE(unit.swversion, QStringLiteral("1/1/2009"));
    QCOMPARE(unit.fwversion, QStringLiteral("0/0/0"));
    QCOMPARE(unit.webversion, QStringLiteral("0/0/0"));
    QCOMPARE(result.headers.first(), QStringLiteral("NAME"));
}

void TestCsvImport::decoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("ascii") << QByteArray("SN,MAC") << "SN,MAC";
    QTest::newRow("utf8") << QByteArray("B\xc3\xbcro") << QString::fromUtf8("B\xc3\xbcro");
    QTest::newRow("latin1") << QByteArray("B\xfcro") << QString::fromUtf8("B\xc3\xbcro");
    QTest::newRow("byte-order-mark-dropped") << QByteArray("\xef\xbb\xbfSN,MAC") << "SN,MAC";
}

void TestCsvImport::decoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(decodeCsvText(bytes), expected);
}

QTEST_GUILESS_MAIN(TestCsvImport)
#include "tst_csvimport.moc"
