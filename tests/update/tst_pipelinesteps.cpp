#include "app/folders.h"
#include "fakeunit.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QtTest>

namespace {

MarluneUnit unit(const QString &name, const QString &type, const QString &sn, quint32 kSeries, const QString &ip,
                 const QString &sw = QStringLiteral("1/1/2015"))
{
    MarluneUnit u;
    u.name = name;
    u.deviceType = type;
    u.sn = sn;
    u.KSeries = kSeries;
    u.ip = ip;
    u.subnet = QStringLiteral("255.255.0.0");
    u.swversion = sw;
    u.webversion = QStringLiteral("01/01/2014");
    u.mac = QStringLiteral("02:00:00:00:04:") + ip.section(QLatin1Char('.'), 3, 3).rightJustified(2, QLatin1Char('0'));
    return u;
}

bool runIp(const QStringList &arguments)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitCode() == 0;
}

} // namespace

// The refresh tick, one step at a time: ticks are run by hand against fake units.
class TestPipelineSteps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void foreverModeRequeuesOneUnitPerTick();
    void commandAddressesAndSecondInterface();
    void confirmPassDecisions_data();
    void confirmPassDecisions();
    void confirmSentEndsTheTick();
    void pendingUpdateCountsAsRebooted();
    void ticksNeverOverlap();

private:
    QString log() const { return window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText(); }

    QTemporaryDir packages;
    ScriptedOperator *questions = nullptr;
    MainWindow *window = nullptr;
};

void TestPipelineSteps::initTestCase()
{
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_p"), QStringLiteral("3/2/2015"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("vod_p"), QStringLiteral("4/4/2016"), 1425384000));
    // An address range the updater must not count as its own: it lives on a VMware host adapter.
    QVERIFY(runIp({"link", "add", "VMnet1", "type", "veth", "peer", "name", "VMnet1peer"}));
    QVERIFY(runIp({"address", "add", "192.168.200.5/24", "dev", "VMnet1"}));
    QVERIFY(runIp({"address", "add", "192.168.200.6/24", "dev", "VMnet1"}));
    QVERIFY(runIp({"link", "set", "VMnet1", "up"}));
    QVERIFY(runIp({"link", "set", "VMnet1peer", "up"}));
}

void TestPipelineSteps::init()
{
    Folders::setApplicationFolder(packages.path());
    questions = new ScriptedOperator;
    window = new MainWindow;
    MainWindowTestAccess(*window).refreshTimer()->stop();
}

void TestPipelineSteps::cleanup()
{
    delete window;
    delete questions;
    QFile::remove(QStringLiteral("FOREVER.txt"));
}

void TestPipelineSteps::foreverModeRequeuesOneUnitPerTick()
{
    MainWindowTestAccess access(*window);
    MarluneUnit byMac = unit("by mac", "DEC", "K2200A", 1, "10.77.1.10");
    byMac.mac = QStringLiteral("02:00:00:00:04:0A");
    const MarluneUnit byName = unit("LOBBY", "DEC", "K2200B", 1, "10.77.1.11");
    const MarluneUnit mixedCase = unit("Lobby", "DEC", "K2200C", 1, "10.77.1.12");
    access.vUnits() = {byMac, byName, mixedCase};
    access.vUnitsFinished() = {mixedCase, byMac, byName};
    FakeUnit first(byMac.ip), second(byName.ip);
    first.replies = second.replies = {QByteArray("ok"), QByteArray("ok")};
    QFile listFile(QStringLiteral("FOREVER.txt"));
    QVERIFY(listFile.open(QIODevice::WriteOnly));
    listFile.write("  02:00:00:00:04:0a\n\tlobby   Lobby \n");
    listFile.close();

    access.tick();
    QCOMPARE(access.vUnitsUpdate().size(), 1);
    QCOMPARE(access.vUnitsUpdate().first().mac, byMac.mac);
    QCOMPARE(access.foreverCount().value(byMac.mac), 1);
    QCOMPARE(access.vUnitsFinished().size(), 2);

    access.tick();
    QCOMPARE(access.vUnitsUpdate().size(), 2);
    QCOMPARE(access.foreverCount().value(byName.mac), 1);
    // Each of those ticks ended at the re-queue: nothing was commanded yet.
    QCoreApplication::processEvents();
    QCOMPARE(first.connections + second.connections, 0);

    // Only the mixed-case name is left, and it matches nothing: this tick commands both.
    access.tick();
    QCOMPARE(access.vUnitsFinished().size(), 1);
    QTRY_COMPARE(first.connections, 1);
    QTRY_COMPARE(second.connections, 1);
    QCOMPARE(access.vUnitsConfirm().size(), 2);
}

void TestPipelineSteps::commandAddressesAndSecondInterface()
{
    MainWindowTestAccess access(*window);
    MarluneUnit server = unit("server", "VOD", "K7200", 0, "192.168.200.5");
    server.subnet = QStringLiteral("255.255.255.0");
    server.eth1_ipAddr = QStringLiteral("10.77.1.21");
    server.eth1_netMask = QStringLiteral("255.255.0.0");
    MarluneUnit stranded = unit("stranded", "DEC", "K2200A", 1, "192.168.200.6");
    stranded.subnet = QStringLiteral("255.255.255.0");
    access.vUnits() = {server, stranded};
    access.vUnitsUpdate() = {server, stranded};
    FakeUnit serverSide(server.ip), strandedSide(stranded.ip);
    serverSide.replies = strandedSide.replies = {QByteArray("ok"), QByteArray("ok")};

    access.tick();
    QTRY_VERIFY(serverSide.received.endsWith("getStatus\r"));
    QTRY_VERIFY(strandedSide.received.endsWith("getStatus\r"));
    // The video server is reached through its second interface's subnet.
    const QString local = access.connection().localAddressFor(server.eth1_ipAddr, server.eth1_netMask);
    QVERIFY(local.startsWith(QLatin1String("10.77.")));
    QCOMPARE(serverSide.received, "setSettings:updateUnit:" + local.toLatin1() + "\rgetStatus\r");
    // A unit outside every subnet is warned about and commanded all the same, without address.
    QCOMPARE(strandedSide.received, QByteArray("setSettings:updateUnit:\rgetStatus\r"));
    QVERIFY(log().contains(QStringLiteral("From Updater : Warning! Not in subnet: stranded (192.168.200.6)")));
    QVERIFY(!log().contains(QStringLiteral("Not in subnet: server")));
    QCOMPARE(access.vUnitsConfirm().size(), 2);
    QVERIFY(access.vUnitsUpdate().isEmpty());
    QVERIFY(access.serverContacted() && access.updateCommanded());
}

void TestPipelineSteps::confirmPassDecisions_data()
{
    QTest::addColumn<bool>("rebooted");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<quint32>("updateStatus");
    QTest::addColumn<QString>("sw");
    QTest::addColumn<bool>("edidTicked");
    QTest::addColumn<QString>("outcome"); // waits, finished, edid
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("logLine");

    const QByteArray confirm = "setSettings:confirmUpdate\rgetStatus\r";
    QTest::newRow("not-rebooted-yet") << false << true << 0 << 0u << "3/2/2015" << false << "waits" << QByteArray()
                                      << "";
    QTest::newRow("tcp-unreachable") << true << false << 0 << 1u << "3/2/2015" << false << "waits" << QByteArray()
                                     << "";
    QTest::newRow("stale-status") << true << true << 20 << 1u << "3/2/2015" << false << "waits" << QByteArray() << "";
    QTest::newRow("pending-update-confirmed") << true << true << 1 << 1u << "3/2/2015" << false << "finished"
                                              << confirm << "From Updater : Confirming unit (10.77.1.30)";
    QTest::newRow("confirmed-elsewhere") << true << true << 1 << 0u << "3/2/2015" << false << "finished"
                                         << QByteArray()
                                         << "From Updater : Another device (perhaps K-Director or K-Relay) confirmed "
                                            "the update for unit (10.77.1.30)";
    QTest::newRow("not-applied") << true << true << 1 << 0u << "1/1/2015" << false << "finished" << QByteArray()
                                 << "From Updater : Update was not applied for unit (10.77.1.30)";
    QTest::newRow("encoder-to-edid") << true << true << 1 << 1u << "3/2/2015" << true << "edid" << confirm
                                     << "From Updater : Confirming unit (10.77.1.30)";
}

void TestPipelineSteps::confirmPassDecisions()
{
    QFETCH(bool, rebooted);
    QFETCH(bool, reachable);
    QFETCH(int, ageSeconds);
    QFETCH(quint32, updateStatus);
    QFETCH(QString, sw);
    QFETCH(bool, edidTicked);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, sent);
    QFETCH(QString, logLine);

    MainWindowTestAccess access(*window);
    MarluneUnit commanded = unit("unit", "ENC", "K2100A", 1, "10.77.1.30");
    MarluneUnit current = commanded;
    current.swversion = sw;
    current.webversion = QStringLiteral("03/03/2015");
    current.updateStatus = updateStatus;
    current.lastSeen = QDateTime::currentDateTime().addSecs(-ageSeconds);
    access.vUnits() = {current};
    access.vUnitsConfirm() = {commanded};
    if (rebooted)
        access.vUnitsRebooted() = {commanded};
    access.tcpAlive()[commanded.ip] = reachable;
    // Keeps the out-of-sync pass out of this tick.
    access.lastConfirmTime() = QDateTime::currentDateTime();
    window->findChild<QCheckBox *>("resetEDIDCheck")->setChecked(edidTicked);
    FakeUnit side(commanded.ip);
    side.replies = {QByteArray("ok"), QByteArray("ok")};

    access.tick();
    QCoreApplication::processEvents();
    QCOMPARE(side.received, sent);
    QCOMPARE(access.vUnitsConfirm().isEmpty(), outcome != QLatin1String("waits"));
    QCOMPARE(access.vUnitsFinished().size(), outcome == QLatin1String("finished") ? 1 : 0);
    QCOMPARE(access.vUnitsEDID().size(), outcome == QLatin1String("edid") ? 1 : 0);
    if (!logLine.isEmpty())
        QVERIFY2(log().contains(logLine), qPrintable(log()));
}

void TestPipelineSteps::confirmSentEndsTheTick()
{
    MainWindowTestAccess access(*window);
    MarluneUnit commanded = unit("commanded", "DEC", "K2200A", 1, "10.77.1.31");
    commanded.updateStatus = 1;
    const MarluneUnit queued = unit("queued", "DEC", "K2200B", 1, "10.77.1.32");
    access.vUnits() = {commanded, queued};
    access.vUnitsConfirm() = {commanded};
    access.vUnitsRebooted() = {commanded};
    access.vUnitsUpdate() = {queued};
    access.tcpAlive()[commanded.ip] = true;
    FakeUnit commandedSide(commanded.ip), queuedSide(queued.ip);
    commandedSide.replies = queuedSide.replies = {QByteArray("ok"), QByteArray("ok")};

    access.tick();
    QTRY_VERIFY(commandedSide.received.startsWith("setSettings:confirmUpdate\r"));
    QCoreApplication::processEvents();
    QCOMPARE(queuedSide.connections, 0);
    QCOMPARE(access.vUnitsUpdate().size(), 1);

    access.tick();
    QTRY_VERIFY(queuedSide.received.startsWith("setSettings:updateUnit:"));
}

void TestPipelineSteps::pendingUpdateCountsAsRebooted()
{
    // No reachability test saw it go down, but it answers on TCP and reports the pending update.
    MainWindowTestAccess access(*window);
    MarluneUnit reporting = unit("reporting", "DEC", "K2200A", 1, "10.77.1.33");
    reporting.updateStatus = 1;
    const MarluneUnit waiting = unit("waiting", "DEC", "K2200B", 1, "10.77.1.34");
    access.vUnits() = {reporting, waiting};
    access.vUnitsConfirm() = {waiting};
    access.tcpAlive()[reporting.ip] = true;
    access.vUnitsRebooted() = {reporting, reporting};
    FakeUnit waitingSide(waiting.ip);

    access.tick();
    QCOMPARE(access.vUnitsRebooted().size(), 1);
    QCOMPARE(access.vUnitsRebooted().first().mac, reporting.mac);
}

void TestPipelineSteps::ticksNeverOverlap()
{
    // A unit that accepts the command but never answers keeps the tick waiting 2 x 10 seconds.
    // Timer ticks during that wait are skipped rather than commanding the same unit again.
    MainWindowTestAccess access(*window);
    const MarluneUnit slow = unit("slow", "DEC", "K2200A", 1, "10.77.1.35");
    access.vUnits() = {slow};
    access.vUnitsUpdate() = {slow};
    FakeUnit silent(slow.ip);
    access.refreshTimer()->start(1000);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("tick skipped")));

    access.tick();
    access.refreshTimer()->stop();
    QCOMPARE(silent.connections, 1);
    QCOMPARE(access.vUnitsConfirm().size(), 1);
    QCOMPARE(log().count(QStringLiteral("Commanding slow")), 1);
}

QTEST_MAIN(TestPipelineSteps)
#include "tst_pipelinesteps.moc"
