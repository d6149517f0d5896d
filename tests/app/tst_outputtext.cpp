#include "app/cli/clihistory.h"
#include "app/cli/clirun.h"
#include "app/diagnosticreport.h"
#include "app/folders.h"
#include "app/logfile.h"
#include "app/outputtext.h"
#include "units/marluneunit.h"
#include "units/unitlistfile.h"
#include "update/updatercore.h"
#include "update/updatereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// A byte a terminal would obey: a C0 control (a line feed only where allowed), DEL, or one of
// U+0080 to U+009F in UTF-8.
bool holdsRawControl(const QByteArray &bytes, bool lineFeedsAllowed)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const uchar byte = uchar(bytes.at(i));
        if ((byte < 0x20 && !(byte == '\n' && lineFeedsAllowed)) || byte == 0x7F)
            return true;
        if (byte == 0xC2 && i + 1 < bytes.size() && uchar(bytes.at(i + 1)) >= 0x80 && uchar(bytes.at(i + 1)) <= 0x9F)
            return true;
    }
    return false;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Names a unit may give itself, through every writer that shows or keeps one: the status log,
// the tool's list table, CSV and JSON, the history's text, CSV and JSON, the update report,
// "LOGFILE.txt" and the diagnostic report. Nothing reaches a terminal raw, a spreadsheet finds
// no formula, JSON keeps the name as it was, and a table column stays narrow.
class TestOutputText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void hostileNames_data();
    void hostileNames();
    void jsonTimes_data();
    void jsonTimes();
};

void TestOutputText::initTestCase()
{
    Folders::createStartupFolders();
}

void TestOutputText::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");   // on a terminal or in a log line
    QTest::addColumn<QByteArray>("cell"); // in a CSV file

    const auto row = [](const char *what, const QString &name, const QString &shown, const QByteArray &cell) {
        QTest::newRow(what) << name << shown << cell;
    };
    const QString formula = QStringLiteral("=HYPERLINK(\"http://127.0.0.1/x\";\"click\")");
    row("formula =", formula, formula, "\"'=HYPERLINK(\"\"http://127.0.0.1/x\"\";\"\"click\"\")\"");
    row("formula +", QStringLiteral("+1+2"), QStringLiteral("+1+2"), "'+1+2");
    row("formula -", QStringLiteral("-2+3"), QStringLiteral("-2+3"), "'-2+3");
    row("formula @", QStringLiteral("@SUM(A1:A9)"), QStringLiteral("@SUM(A1:A9)"), "'@SUM(A1:A9)");
    row("semicolon", QStringLiteral("Hall;left"), QStringLiteral("Hall;left"), "\"Hall;left\"");
    row("quotes", QStringLiteral("Say \"hi\""), QStringLiteral("Say \"hi\""), "\"Say \"\"hi\"\"\"");
    row("escape sequences", QStringLiteral("Lobby\x1b[2J\x1b]0;owned\x07"),
        QStringLiteral("Lobby\\x1b[2J\\x1b]0;owned\\x07"), "\"Lobby\\x1b[2J\\x1b]0;owned\\x07\"");
    row("8-bit CSI", QStringLiteral("Red") + QChar(0x9B) + QStringLiteral("31m"), QStringLiteral("Red\\x9b31m"),
        "Red\\x9b31m");
    row("C1 first, then a formula", QChar(0x85) + QStringLiteral("=1+2"), QStringLiteral("\\x85=1+2"), "\\x85=1+2");
    row("DEL and NUL", QStringLiteral("a") + QChar(0x7F) + QChar(0) + QStringLiteral("b"),
        QStringLiteral("a\\x7f\\x00b"), "a\\x7f\\x00b");
    row("line breaks", QStringLiteral("Hall\r\nleft"), QStringLiteral("Hall\\x0d\\x0aleft"), "\"Hall\\x0d\nleft\"");
    row("tab before a formula", QStringLiteral("\t=1+2"), QStringLiteral("\\x09=1+2"), "\\x09=1+2");
    row("printable above 0x7F", QStringLiteral("Salle \u00e9quipe \u00ff \\x1b"),
        QStringLiteral("Salle \u00e9quipe \u00ff \\x1b"), "Salle \xc3\xa9quipe \xc3\xbf \\x1b");
    row("very long", QString(3000, QLatin1Char('W')), QString(3000, QLatin1Char('W')), QByteArray(3000, 'W'));
}

void TestOutputText::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QFETCH(QByteArray, cell);

    QCOMPARE(escapedControls(name), shown);
    QCOMPARE(escapedControls(shown), shown);

    // The status log: the window's, the tool's log events, the history's step texts.
    const QString line = statusLogLine(QStringLiteral("09:15:02.117"), name, QStringLiteral("10.77.1.9"),
                                       QStringLiteral("Commanding ") + name + QStringLiteral(" (10.77.1.9)"));
    QCOMPARE(line, QStringLiteral("09:15:02.117 ") + shown + QStringLiteral(" (10.77.1.9): Commanding ") + shown
                       + QStringLiteral(" (10.77.1.9)"));

    // The tool's list as a table: a header and one row, each name column cut short.
    const QString table =
        CliRun::listTable({{QStringLiteral("Name"), QStringLiteral("Serial"), QStringLiteral("Status")},
                           {name, name, QStringLiteral("Update Available")}});
    QVERIFY(!holdsRawControl(table.toUtf8(), true));
    const QStringList lines = table.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(1).startsWith(shortened(shown) + QLatin1Char(' ')));
    for (const QString &tableLine : lines)
        QVERIFY2(tableLine.size() <= 2 * (kShownTextLength + 3) + 16, qPrintable(tableLine.left(200)));

    // Every CSV: the tool's list, the report (Save Report, --report, the History window's
    // Export) and the history's.
    QCOMPARE(csvRow({name, QStringLiteral("K2-DEC")}), cell + ",K2-DEC\r\n");
    RunRecord run;
    run.mac = QStringLiteral("02:B5:0A:4D:01:09");
    run.name = name;
    run.serial = name;
    run.finalStatus = QStringLiteral("K-Series Update Confirmed.");
    QVERIFY(reportCsv({run}).contains("\r\n" + cell + ",,02:B5:0A:4D:01:09,," + cell + ','));
    HistoryListing listing;
    HistoryStore::Batch batch;
    batch.id = 7;
    batch.host = name;
    batch.units = 1;
    listing.entries.append(
        {batch, {run}, {{7, run.mac, QDateTime::currentDateTime(), QStringLiteral("status"), name}}});
    QVERIFY(historyCsv(listing).contains("\r\n7,," + cell + ','));

    // The history as text: three lines, none of them forged by the name.
    const QByteArray history = historyText(listing);
    QVERIFY(!holdsRawControl(history, true));
    QCOMPARE(history.count('\n'), 3);
    QVERIFY(QString::fromUtf8(history).contains(QStringLiteral("  ") + shown + QStringLiteral("  K-Series")));

    // JSON: a JSON Lines event and the history's document keep the name exactly.
    const QByteArray event =
        jsonText(QJsonDocument(QJsonObject{{QStringLiteral("name"), name}}), QJsonDocument::Compact);
    QVERIFY(!holdsRawControl(event, false));
    QCOMPARE(QJsonDocument::fromJson(event).object().value(QStringLiteral("name")).toString(), name);
    const QByteArray json = historyJson(listing);
    QVERIFY(!holdsRawControl(json, true));
    const QJsonObject batchObject =
        QJsonDocument::fromJson(json).object().value(QStringLiteral("batches")).toArray().first().toObject();
    QCOMPARE(batchObject.value(QStringLiteral("host")).toString(), name);
    QCOMPARE(batchObject.value(QStringLiteral("units")).toArray().first().toObject().value(QStringLiteral("name")),
             name);

    // "LOGFILE.txt" and the diagnostic report, which also copies "units.ini".
    LogFile::messageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("test/1(T::f): name ") + name);
    const QByteArray log = readAll(QStringLiteral("LOGFILE.txt"));
    QVERIFY(log.endsWith("\ntest/1(T::f): name " + escapedControls(name, LineFeeds::Kept).toUtf8()));
    QVERIFY(!holdsRawControl(log, true));
    MarluneUnit unit;
    unit.mac = run.mac;
    unit.name = name;
    storeUnit(unit);
    flushUnitList();
    const QByteArray report = DiagnosticReport::contents();
    QVERIFY(report.contains("02:B5:0A:4D:01:09"));
    QVERIFY(!holdsRawControl(report, true));
}

// Every time in the tool's JSON carries its own offset, also UTC's ("+00:00", not "Z").
void TestOutputText::jsonTimes_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QJsonValue>("written");

    const QDate day(2026, 12, 9);
    const QTime clock(18, 40, 2, 123);
    QTest::newRow("utc") << QDateTime(day, clock, Qt::UTC) << QJsonValue("2026-12-09T18:40:02.123+00:00");
    QTest::newRow("east, half hour") << QDateTime(day, clock, Qt::OffsetFromUTC, 5 * 3600 + 1800)
                                     << QJsonValue("2026-12-09T18:40:02.123+05:30");
    QTest::newRow("west") << QDateTime(day, clock, Qt::OffsetFromUTC, -3 * 3600)
                          << QJsonValue("2026-12-09T18:40:02.123-03:00");
    QTest::newRow("none") << QDateTime() << QJsonValue();
}

void TestOutputText::jsonTimes()
{
    QFETCH(QDateTime, time);
    QFETCH(QJsonValue, written);
    QCOMPARE(jsonTime(time), written);
}

QTEST_GUILESS_MAIN(TestOutputText)
#include "tst_outputtext.moc"
