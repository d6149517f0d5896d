#include "app/debuglog.h"
#include "app/diagnosticreport.h"
#include "app/folders.h"
#include "app/logfile.h"
#include "fewdescriptors.h"
#include "units/marluneunit.h"
#include "units/unitlistfile.h"
#include "update/updatercore.h"

#include <QNetworkInterface>
#include <QThread>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

static const char kLogSource[] = "tst_logfile";

namespace {

QStringList captured;
void captureHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    captured.append(message);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray separator = "\n" + QByteArray(54, '-') + "\n";

class LoggingThread : public QThread
{
public:
    LoggingThread(char letter, int count) : letter(letter), count(count) {}
    void run() override
    {
        for (int i = 0; i < count; ++i)
            qDebug().noquote() << QString(1500, QLatin1Char(letter)) + QString::number(i);
    }
    char letter;
    int count;
};

} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void functionNames_data();
    void functionNames();
    void debugLineShape();
    void windowLinesKeepTheWindowsNames();
    void noLogFileMeansNoLogging();
    void entriesStartOnNewLines();
    void threadsNeverInterleave();
    void deletedLogFileIsCreatedAgain();
    void criticalWritesReport();
    void reportWithoutUnitList();
    void secondCriticalReplacesReport();
    void criticalOnAWorkerBesideTheUnitListWriter();
    void linesKeptWhileDescriptorsRunOut();
};

void TestLogFile::initTestCase()
{
    Folders::createStartupFolders();
    QVERIFY(QDir(Folders::reportFolder()).exists());
}

void TestLogFile::init()
{
    QFile::remove(QStringLiteral("LOGFILE.txt"));
    QFile::remove(Folders::reportFilePath());
    QFile::remove(Folders::unitListPath());
}

void TestLogFile::cleanup()
{
    qInstallMessageHandler(nullptr);
}

void TestLogFile::functionNames_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("expected");

    QTest::newRow("member") << "void MainWindow::refreshTimerTimeout()" << "MainWindow::refreshTimerTimeout";
    QTest::newRow("free-function") << "int main(int, char**)" << "main";
    QTest::newRow("returns-class") << "MarluneUnit MarluneConnect::packetAnalyze(QByteArray)"
                                   << "MarluneConnect::packetAnalyze";
    QTest::newRow("template-return") << "QMap<QString, int> A::b(int)" << "A::b";
    QTest::newRow("reference-return") << "const QString& Unit::name() const" << "Unit::name";
    QTest::newRow("constructor") << "MainWindow::MainWindow(QWidget*)" << "MainWindow::MainWindow";
    QTest::newRow("lambda") << "MainWindow::newSession()::<lambda()>" << "MainWindow::newSession";
    QTest::newRow("operator-less") << "bool MarluneUnit::operator<(const MarluneUnit&) const"
                                   << "MarluneUnit::operator<";
}

void TestLogFile::functionNames()
{
    QFETCH(QString, signature);
    QFETCH(QString, expected);
    QCOMPARE(Bryx::qualifiedFunctionName(signature.toLatin1().constData()), expected);
}

void TestLogFile::debugLineShape()
{
    captured.clear();
    qInstallMessageHandler(captureHandler);
    const int line = __LINE__ + 1;
    BLOG << "udpSocket->localPort()" << 51200 << QStringLiteral("text") << true << QByteArray("bytes");
    qInstallMessageHandler(nullptr);

    QCOMPARE(captured.size(), 1);
    QCOMPARE(captured.first(), QStringLiteral("tst_logfile/%1(TestLogFile::debugLineShape): "
                                              "udpSocket->localPort() 51200 text true bytes")
                                   .arg(line));
}

// The lines of the window's functions keep its source and function names, which support looks
// for in LOGFILE.txt, though the core and its pipeline write them for the window now.
void TestLogFile::windowLinesKeepTheWindowsNames()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    {
        UpdaterCore core;
        core.start();
        core.testFinished(QStringLiteral("10.77.1.9"), 50001, true);
        core.queueForUpdate({QStringLiteral("02:00:00:00:01:09")});
        MarluneUnit commanded;
        commanded.mac = QStringLiteral("02:00:00:00:01:08");
        commanded.ip = QStringLiteral("10.77.1.8");
        core.pipelineForTests().state().vUnitsConfirm.append(commanded);
        core.tick();
        core.pipelineForTests().recordFetch(QStringLiteral("10.77.1.7"), 0);
    }
    const QString log = QString::fromUtf8(readAll(QStringLiteral("LOGFILE.txt")));
    const QList<std::pair<QString, QString>> lines{
        {"MainWindow::MainWindow", "signal/slot TCP connect: true"},
        {"MainWindow::MainWindow", ": marlune connection attempt true"},
        {"MainWindow::MainWindow", ": refreshTimer Connection attempt true"},
        {"MainWindow::MainWindow", "k220 "},
        {"MainWindow::toStatusLog", "Status bar message: "},
        {"MainWindow::testFinished", "\"10.77.1.9\" 50001 true"},
        {"MainWindow::on_updateButton_clicked", "appending 02:00:00:00:01:09"},
        {"MainWindow::refreshTimerTimeout", "vUnitsConfirm: 1 0"},
        {"MainWindow::newSession", "did not recognize 10.77.1.7"},
    };
    for (const auto &[function, text] : lines) {
        const QRegularExpression line(QStringLiteral("^mainwindow/\\d+\\(%1\\): %2")
                                          .arg(QRegularExpression::escape(function), QRegularExpression::escape(text)),
                                      QRegularExpression::MultilineOption);
        QVERIFY2(line.match(log).hasMatch(), qPrintable(function + QStringLiteral(": ") + text));
    }
}

void TestLogFile::noLogFileMeansNoLogging()
{
    QVERIFY(!LogFile::installIfRequested());
    qCritical("nobody hears this");
    QVERIFY(!QFile::exists(QStringLiteral("LOGFILE.txt")));
    QVERIFY(!QFile::exists(Folders::reportFilePath()));
}

void TestLogFile::entriesStartOnNewLines()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());

    qDebug("first");
    qWarning("second \"quoted\"");
    qInfo("third");
    // No time stamp, no severity tag, the bytes as given.
    QCOMPARE(readAll(QStringLiteral("LOGFILE.txt")), QByteArray("\nfirst\nsecond \"quoted\"\nthird"));
}

void TestLogFile::threadsNeverInterleave()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());

    LoggingThread a('A', 400), b('B', 400);
    a.start();
    b.start();
    QVERIFY(a.wait(60000));
    QVERIFY(b.wait(60000));
    qInstallMessageHandler(nullptr);

    const QList<QByteArray> lines = readAll(QStringLiteral("LOGFILE.txt")).split('\n');
    QCOMPARE(lines.size(), 801);
    QVERIFY(lines.first().isEmpty());
    QSet<QByteArray> seen;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const char letter = line.at(0);
        QVERIFY2(letter == 'A' || letter == 'B', line.left(20).constData());
        QCOMPARE(line.left(1500), QByteArray(1500, letter));
        bool ok = false;
        const int index = line.mid(1500).toInt(&ok);
        QVERIFY2(ok && index >= 0 && index < 400, line.mid(1490).constData());
        seen.insert(line);
    }
    QCOMPARE(seen.size(), 800);
}

void TestLogFile::deletedLogFileIsCreatedAgain()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    qDebug("before");
    // The file is closed between messages, so another program may delete it.
    QVERIFY(QFile::remove(QStringLiteral("LOGFILE.txt")));
    qDebug("after");
    QCOMPARE(readAll(QStringLiteral("LOGFILE.txt")), QByteArray("\nafter"));
}

void TestLogFile::criticalWritesReport()
{
    MarluneUnit unit;
    unit.mac = QStringLiteral("00:1A:2B:3C:4D:5E");
    storeUnit(unit);
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.write("earlier content");
    logFile.close();
    QVERIFY(LogFile::installIfRequested());

    const QDateTime before = QDateTime::currentDateTime();
    qCritical("something broke");
    qInstallMessageHandler(nullptr);

    const QByteArray stored = readAll(Folders::reportFilePath());
    QVERIFY(!stored.isEmpty());
    const QByteArray report = qUncompress(stored);
    QVERIFY(!report.isEmpty());

    // Head: the two title lines and the time in the fixed format.
    const QByteArray head = "\nUpdater: \nPriority Help Generated: ";
    QVERIFY(report.startsWith(head));
    const qsizetype addresses = report.indexOf("\nNetwork Addresses:\n");
    QVERIFY(addresses > 0);
    const QString stamp = QString::fromLatin1(report.mid(head.size(), addresses - head.size()));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d, \\w{3}, \\d{1,2}:\\d\\d:\\d\\d (am|pm)$"))
                 .match(stamp)
                 .hasMatch(),
             qPrintable(stamp));
    const QDateTime when = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd, ddd, h:mm:ss ap"));
    QVERIFY(when.isValid());
    QVERIFY(qAbs(when.secsTo(before)) < 60);

    // Interfaces: those with addresses, in system order, each with its state and entries.
    const qsizetype firstSeparator = report.indexOf(separator, addresses);
    QVERIFY(firstSeparator > 0);
    const QByteArray interfaces = report.mid(addresses + 20, firstSeparator - addresses - 20);
    QVERIFY(interfaces.contains("\nNetwork Interface:lo\n-UP\n--127.0.0.1 / 255.0.0.0"));
    QVERIFY(interfaces.contains("\nNetwork Interface:bryx0\n-UP\n--10.77.0.1 / 255.255.0.0"));
    int listed = 0;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces())
        if (!iface.addressEntries().isEmpty())
            ++listed;
    QCOMPARE(int(interfaces.count("\nNetwork Interface:")), listed);

    // Then the log file as it stood, the unit list, each closed by the separator.
    const QByteArray rest = report.mid(firstSeparator + separator.size());
    const QByteArray expectedRest = readAll(QStringLiteral("LOGFILE.txt")) + separator
                                    + readAll(Folders::unitListPath()) + separator;
    QCOMPARE(rest, expectedRest);
    QVERIFY(rest.startsWith("earlier content\nsomething broke"));
    QVERIFY(expectedRest.contains("[MACS]"));
}

void TestLogFile::reportWithoutUnitList()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    qCritical("no units yet");

    const QByteArray report = qUncompress(readAll(Folders::reportFilePath()));
    QVERIFY(report.endsWith("\nno units yet" + separator + separator));
}

void TestLogFile::secondCriticalReplacesReport()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    qCritical("first problem");
    qCritical("second problem");

    const QByteArray report = qUncompress(readAll(Folders::reportFilePath()));
    QVERIFY(report.contains("\nfirst problem\nsecond problem" + separator));
    QCOMPARE(report.count("\nUpdater: "), 1);
}

// A critical message on a worker thread before any unit was stored, then two stores, then the
// program ends: the report is written without the unit list's writer, which stays the one the
// program made and writes both units out, leaving no lock file behind.
void TestLogFile::criticalOnAWorkerBesideTheUnitListWriter()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    MarluneUnit first;
    first.mac = QStringLiteral("00:1A:2B:3C:4D:01");
    MarluneUnit second;
    second.mac = QStringLiteral("00:1A:2B:3C:4D:02");
    {
        UnitListWriter writer;
        std::unique_ptr<QThread> worker(QThread::create([] { qCritical("a worker's critical message"); }));
        worker->start();
        QVERIFY(worker->wait(60000));
        storeUnit(first);
        storeUnit(second);
    }
    qInstallMessageHandler(nullptr);

    QVERIFY(qUncompress(readAll(Folders::reportFilePath())).contains("\na worker's critical message"));
    QSettings stored(Folders::unitListPath(), QSettings::IniFormat);
    QCOMPARE(stored.beginReadArray(QStringLiteral("MACS")), 2);
    stored.endArray();
    QCOMPARE(QDir(Folders::dataFolder()).entryList(QDir::Files), QStringList{"units.ini"});
}

// The process runs out of file descriptors for a while: every line still reaches the log.
void TestLogFile::linesKeptWhileDescriptorsRunOut()
{
    QFile logFile(QStringLiteral("LOGFILE.txt"));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    logFile.close();
    QVERIFY(LogFile::installIfRequested());
    qDebug("before");

    {
        FewDescriptors few(16);
        few.takeAll();
        for (int i = 0; i < 3; ++i)
            qDebug("while none are left %d", i);
    }
    qDebug("after");
    qInstallMessageHandler(nullptr);

    QCOMPARE(readAll(QStringLiteral("LOGFILE.txt")),
             QByteArray("\nbefore\nwhile none are left 0\nwhile none are left 1\nwhile none are left 2\nafter"));
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
