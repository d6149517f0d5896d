#include "app/folders.h"
#include "fakeunit.h"
#include "fewdescriptors.h"
#include "net/marluneconnectreduced.h"
#include "net/statusreply.h"
#include "units/unitlistfile.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <QtTest>

#include <sys/resource.h>

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(BRYX_TEST_DATA_DIR "/replies/") + name + QStringLiteral(".bin"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool runIp(const QStringList &arguments)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(10000) && ip.exitCode() == 0;
}

MarluneUnit makeUnit(const QString &type, const QString &sn, quint32 kSeries = 0, const QString &ip = QString())
{
    MarluneUnit unit;
    unit.deviceType = type;
    unit.sn = sn;
    unit.KSeries = kSeries;
    unit.ip = ip;
    unit.name = QStringLiteral("unit ") + sn;
    return unit;
}

void writeSettings(const QMap<QString, QVariant> &values)
{
    QFile::remove(Folders::settingsPath());
    QSettings settings(Folders::settingsPath(), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
}

} // namespace

class TestMarluneConnect : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void queryPackets();
    void queryCodes_data();
    void queryCodes();
    void getStatusOverUdp_data();
    void getStatusOverUdp();
    void getStatusOverTcpAnnounces();
    void configMessages_data();
    void configMessages();
    void sendConfigExchange_data();
    void sendConfigExchange();
    void sendConfigFirstReply();
    void sendConfigToDeadUnit();
    void sendConfigWaitsForADescriptor();
    void silentPeerWaitsTenSecondsWithoutSpinning();
    void replyInPiecesAndCut_data();
    void replyInPiecesAndCut();
    void tcpOneShotToDeadAddress();
    void discoveryBurst();
    void reBind_data();
    void reBind();
    void localAddressFor();
    void datagramsAreAnnounced();
    void datagramFloodsAreBounded_data();
    void datagramFloodsAreBounded();
    void repliesSentByBroadcast_data();
    void repliesSentByBroadcast();
    void hexDump_data();
    void hexDump();
};

void TestMarluneConnect::initTestCase()
{
    Folders::createStartupFolders();
}

// Each test starts without the settings file that some write: a forced port must not carry over.
void TestMarluneConnect::cleanup()
{
    QFile::remove(Folders::settingsPath());
}

void TestMarluneConnect::queryPackets()
{
    QCOMPARE(queryPacket(0xB6), QByteArray::fromHex("01b6cafe1234ffffffff"));
    const QByteArray setup = setupBuffer();
    QCOMPARE(setup.size(), 1034);
    QCOMPARE(setup.left(11), QByteArray::fromHex("01a0cafe1234ffffffff01"));
    QCOMPARE(setup.mid(11), QByteArray(1034 - 11, '\0'));
}

void TestMarluneConnect::queryCodes_data()
{
    QTest::addColumn<MarluneUnit>("unit");
    QTest::addColumn<int>("code");

    MarluneUnit recorderWithFirmware = makeUnit("DVR", "JD1");
    recorderWithFirmware.fwversion = QStringLiteral("1/29/2014");
    MarluneUnit recorderOriginal = makeUnit("DVR", "JD1");
    recorderOriginal.fwversion = QStringLiteral("0/0/0");

    QTest::newRow("legacy-decoder") << makeUnit("DEC", "JR100") << 0x98;
    QTest::newRow("legacy-decoder-rx") << makeUnit("RX", "JR100") << 0x98;
    QTest::newRow("k110-decoder") << makeUnit("DEC", "K1200", 1) << 0x19;
    QTest::newRow("k220-decoder") << makeUnit("DEC", "K2200", 1) << 0x19;
    QTest::newRow("k225-decoder") << makeUnit("DEC", "K2250", 1) << 0xCB;
    QTest::newRow("k330-decoder") << makeUnit("DEC", "K3200", 1) << 0xB6;
    QTest::newRow("legacy-encoder") << makeUnit("ENC", "JT100") << 0x96;
    QTest::newRow("k110-encoder") << makeUnit("ENC", "K1100", 1) << 0x14;
    QTest::newRow("k225-encoder") << makeUnit("TX", "K2150", 1) << 0xCA;
    QTest::newRow("k330-encoder") << makeUnit("ENC", "K3100", 1) << 0xB5;
    QTest::newRow("recorder-original") << recorderOriginal << 0x96;
    QTest::newRow("recorder-firmware") << recorderWithFirmware << 0xB7;
    QTest::newRow("windowing-processor") << makeUnit("WP", "JW1") << 0x96;
    QTest::newRow("audio") << makeUnit("ATR", "AT1") << 0xB4;
    QTest::newRow("k440-audio") << makeUnit("ATR", "K4300") << 0xB8;
    QTest::newRow("k-panel") << makeUnit("WPC", "K8300") << -1;
    QTest::newRow("vod") << makeUnit("VOD", "K7200") << -1;
    QTest::newRow("controller") << makeUnit("Conductor", "C1") << -1;
}

void TestMarluneConnect::queryCodes()
{
    QFETCH(MarluneUnit, unit);
    QFETCH(int, code);
    QCOMPARE(queryCodeForUnit(unit), code);
}

void TestMarluneConnect::getStatusOverUdp_data()
{
    queryCodes_data();
}

void TestMarluneConnect::getStatusOverUdp()
{
    QFETCH(MarluneUnit, unit);
    QFETCH(int, code);

    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress(QStringLiteral("10.77.1.4")), kUnitPort));
    MarluneConnect connection;
    connection.init();
    unit.ip = QStringLiteral("10.77.1.4");

    const MarluneUnit returned = connection.getStatus(unit, false);
    QVERIFY(returned.mac.isEmpty());
    QVERIFY(returned.deviceType.isEmpty());
    QTRY_VERIFY(peer.hasPendingDatagrams());
    const QNetworkDatagram datagram = peer.receiveDatagram();
    QCOMPARE(datagram.data(), code < 0 ? QByteArray() : queryPacket(quint8(code)));
    QCOMPARE(datagram.senderPort(), int(connection.udpSocket->localPort()));
}

void TestMarluneConnect::getStatusOverTcpAnnounces()
{
    FakeUnit unit(QStringLiteral("10.77.1.5"));
    unit.replies = {fixture(QStringLiteral("txgen2-k220-encoder"))};
    MarluneConnect connection;
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);

    const MarluneUnit returned =
        connection.getStatus(makeUnit("ENC", "K2100A0001", 1, QStringLiteral("10.77.1.5")), true);
    QCOMPARE(unit.received, queryPacket(0x14));
    QCOMPARE(returned.mac, QStringLiteral("00:1A:2B:00:01:05"));
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.at(0).at(0).value<MarluneUnit>().mac, returned.mac);
}

void TestMarluneConnect::configMessages_data()
{
    QTest::addColumn<MarluneUnit>("unit");
    QTest::addColumn<bool>("textCommand");
    QTest::addColumn<int>("secondCode"); // -1: "getStatus\r"

    MarluneUnit recorder = makeUnit("DVR", "JD1");
    recorder.fwversion = QStringLiteral("1/29/2014");
    MarluneUnit controller = makeUnit("Conductor", "C1");
    controller.isConductor = 1;

    QTest::newRow("legacy-encoder") << makeUnit("ENC", "JT100") << false << 0x96;
    QTest::newRow("legacy-decoder") << makeUnit("DEC", "JR100") << false << 0x98;
    QTest::newRow("controller") << controller << false << 0x96;
    QTest::newRow("k220-encoder") << makeUnit("ENC", "K2100", 1) << true << -1;
    QTest::newRow("k330-decoder") << makeUnit("DEC", "K3200", 1) << true << -1;
    QTest::newRow("recorder") << recorder << true << -1;
    QTest::newRow("windowing-processor") << makeUnit("WP", "JW1") << true << -1;
    QTest::newRow("audio") << makeUnit("ATR", "AT1") << true << -1;
    QTest::newRow("k-panel") << makeUnit("WPC", "K8300") << true << -1;
    QTest::newRow("vod") << makeUnit("VOD", "K7200") << true << -1;
}

void TestMarluneConnect::configMessages()
{
    QFETCH(MarluneUnit, unit);
    QFETCH(bool, textCommand);
    QFETCH(int, secondCode);

    const QByteArray command = QByteArrayLiteral("setSettings:ipsave\r");
    const ConfigMessages messages = configMessagesFor(unit, command);
    QCOMPARE(messages.first, textCommand ? command : setupBuffer());
    QCOMPARE(messages.second, secondCode < 0 ? QByteArrayLiteral("getStatus\r") : queryPacket(quint8(secondCode)));
}

void TestMarluneConnect::sendConfigExchange_data()
{
    QTest::addColumn<MarluneUnit>("unit");
    QTest::addColumn<QByteArray>("expectedWire");
    QTest::addColumn<QString>("replyFixture");

    const QByteArray command = QByteArrayLiteral("setSettings:ipsave\r");
    QTest::newRow("windowing-processor-text-command")
        << makeUnit("WP", "JWB000008") << (command + "getStatus\r") << "jwp4-windowing";
    QTest::newRow("legacy-encoder-setup-buffer")
        << makeUnit("ENC", "JT0012345") << (setupBuffer() + queryPacket(0x96)) << "fixed-encoder";
}

void TestMarluneConnect::sendConfigExchange()
{
    QFETCH(MarluneUnit, unit);
    QFETCH(QByteArray, expectedWire);
    QFETCH(QString, replyFixture);

    QFile::remove(Folders::unitListPath());
    FakeUnit peer(QStringLiteral("10.77.1.6"));
    const QByteArray reply = fixture(replyFixture);
    peer.replies = {reply, reply};
    unit.ip = QStringLiteral("10.77.1.6");
    MarluneConnect connection;
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);
    QSignalSpy failed(&connection, &MarluneConnect::exchangeFailed);

    QByteArray untouched;
    connection.sendConfig(unit, QByteArrayLiteral("setSettings:ipsave\r"), &untouched);

    QCOMPARE(failed.size(), 0);
    QCOMPARE(peer.connections, 1);
    QCOMPARE(peer.received, expectedWire);
    QVERIFY(untouched.isEmpty());
    // Both replies are valid: each is stored and announced.
    QCOMPARE(announced.size(), 2);
    const QString mac = parseStatusReply(reply).unit.mac;
    QCOMPARE(announced.at(1).at(0).value<MarluneUnit>().mac, mac);
    flushUnitList();
    QSettings stored(Folders::unitListPath(), QSettings::IniFormat);
    QCOMPARE(stored.value(mac + QStringLiteral("/mac")).toString(), mac);
}

void TestMarluneConnect::sendConfigFirstReply()
{
    FakeUnit peer(QStringLiteral("10.77.1.7"));
    peer.replies = {QByteArrayLiteral("Successfully Reset EDID\r"), fixture(QStringLiteral("txgen2-k220-encoder"))};
    MarluneConnect connection;
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);

    QByteArray reply = QByteArrayLiteral("Need response");
    connection.sendConfig(makeUnit("ENC", "K2100A0001", 1, QStringLiteral("10.77.1.7")),
                          QByteArrayLiteral("setSettings:resetedid\rsetSettings:resetedidanalog\r"), &reply);
    QCOMPARE(peer.received,
             QByteArrayLiteral("setSettings:resetedid\rsetSettings:resetedidanalog\rgetStatus\r"));
    QCOMPARE(reply, QByteArrayLiteral("Successfully Reset EDID\r"));
    QCOMPARE(announced.size(), 1); // the EDID text is no status reply
}

void TestMarluneConnect::sendConfigToDeadUnit()
{
    MarluneConnect connection;
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);
    QSignalSpy failed(&connection, &MarluneConnect::exchangeFailed);
    QElapsedTimer clock;
    clock.start();
    connection.sendConfig(makeUnit("WP", "JW1", 0, QStringLiteral("10.77.1.8")), "setSettings:ipsave\r", nullptr);
    QVERIFY(clock.elapsed() < 3000); // refused at once: nothing listens there
    QCOMPARE(announced.size(), 0);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).value<MarluneUnit>().ip, QStringLiteral("10.77.1.8"));
    QCOMPARE(failed.at(0).at(1).toString(), QStringLiteral("did not answer on TCP 50001"));
    QCOMPARE(failed.at(0).at(2).toString(),
             QStringLiteral("Did not answer on TCP 50001 (no connection: Connection refused)."));
}

// With no descriptor left, a command waits for one instead of being dropped unsent (here they
// come back after 1.5 s), and the address a unit is told to fetch from is still known.
void TestMarluneConnect::sendConfigWaitsForADescriptor()
{
    FakeUnit peer(QStringLiteral("10.77.1.9"));
    MarluneConnect connection;
    const QString server = connection.localAddressFor(QStringLiteral("10.77.1.9"), QStringLiteral("255.255.0.0"));
    QVERIFY(!server.isEmpty());
    FewDescriptors few(8);
    few.takeAll();
    QCOMPARE(connection.localAddressFor(QStringLiteral("10.77.1.9"), QStringLiteral("255.255.0.0")), server);
    QTimer::singleShot(1500, this, [&few] { few.giveBack(); });
    QElapsedTimer clock;
    clock.start();
    connection.sendConfig(makeUnit("WP", "JW9", 0, QStringLiteral("10.77.1.9")), "setSettings:ipsave\r", nullptr);
    QVERIFY(clock.elapsed() >= 1400); // it waited for the descriptors
    QCOMPARE(peer.connections, 1);
    QCOMPARE(peer.received, QByteArrayLiteral("setSettings:ipsave\rgetStatus\r"));
}

void TestMarluneConnect::silentPeerWaitsTenSecondsWithoutSpinning()
{
    FakeUnit silent(QStringLiteral("10.77.1.9"));
    MarluneConnect connection;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(100);

    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds();
    const QByteArray reply = connection.tcpOneShot(QStringLiteral("10.77.1.9"), "getStatus\r");
    const double cpuUsed = cpuSeconds() - cpuBefore;
    const qint64 elapsed = clock.elapsed();

    QVERIFY(reply.isEmpty());
    QCOMPARE(silent.received, QByteArrayLiteral("getStatus\r"));
    QVERIFY2(elapsed >= 9900 && elapsed < 12000, qPrintable(QString::number(elapsed)));
    // Other events keep being handled while it waits...
    QVERIFY2(ticks >= 50, qPrintable(QString::number(ticks)));
    // ...and the wait sleeps instead of spinning a processor core.
    QVERIFY2(cpuUsed < 1.5, qPrintable(QString::number(cpuUsed)));
}

void TestMarluneConnect::replyInPiecesAndCut_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<qint64>("maxLen");
    QTest::addColumn<int>("expectedLength");

    const QList<QByteArray> three = {QByteArray(100, 'a'), QByteArray(200, 'b'), QByteArray(300, 'c')};
    const QList<QByteArray> long3 = {QByteArray(700, 'a'), QByteArray(700, 'b'), QByteArray(700, 'c')};
    QTest::newRow("pieces-gathered") << three << qint64(1034) << 600;
    QTest::newRow("longer-reply-is-cut") << long3 << qint64(1034) << 1034;
    QTest::newRow("first-data-mode-cut-too") << long3 << qint64(0) << 1034;
}

void TestMarluneConnect::replyInPiecesAndCut()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(qint64, maxLen);
    QFETCH(int, expectedLength);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("10.77.1.10")), kUnitPort));
    QTcpSocket client;
    client.connectToHost(QStringLiteral("10.77.1.10"), kUnitPort);
    QVERIFY(client.waitForConnected(2000));
    QVERIFY(server.waitForNewConnection(2000));
    QTcpSocket *unitSide = server.nextPendingConnection();
    for (const QByteArray &piece : pieces) {
        unitSide->write(piece);
        unitSide->flush();
    }
    QByteArray all;
    for (const QByteArray &piece : pieces)
        all += piece;
    // Let everything reach the client's side before reading.
    QTRY_VERIFY(client.bytesAvailable() >= all.size());

    MarluneConnect connection;
    char buffer[kTcpReplyLimit];
    const qint64 count = connection.readWithTimeout(&client, buffer, maxLen);
    QCOMPARE(count, qint64(expectedLength));
    QCOMPARE(QByteArray(buffer, int(count)), all.left(expectedLength));
}

void TestMarluneConnect::tcpOneShotToDeadAddress()
{
    MarluneConnect connection;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^marluneconnectreduced/\\d+\\(MarluneConnect::tcpOneShot\\): failed to connect$")));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(connection.tcpOneShot(QStringLiteral("10.77.1.11"), "getStatus\r").isEmpty());
    QVERIFY(clock.elapsed() < 3000);
}

void TestMarluneConnect::discoveryBurst()
{
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::AnyIPv4, kUnitPort, QUdpSocket::ShareAddress));
    MarluneConnect connection;
    connection.init();
    connection.discover();

    QList<QNetworkDatagram> burst;
    QTRY_VERIFY_WITH_TIMEOUT((
        [&] {
            while (listener.hasPendingDatagrams())
                burst.append(listener.receiveDatagram());
            return burst.size() >= 13;
        }()), 5000);
    QCOMPARE(burst.size(), 13);
    for (int i = 0; i < 13; ++i) {
        QCOMPARE(burst.at(i).data(), queryPacket(kQueryCodes[size_t(i)]));
        QCOMPARE(burst.at(i).senderPort(), int(connection.udpSocket->localPort()));
        QCOMPARE(burst.at(i).destinationAddress(), QHostAddress(QHostAddress::Broadcast));
        QCOMPARE(burst.at(i).destinationPort(), int(kUnitPort));
    }
}

void TestMarluneConnect::reBind_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QList<int>>("takenPorts");
    QTest::addColumn<int>("expectedPort"); // 0: any of the random range; -1: unbound
    QTest::addColumn<QString>("expectedAddress");

    const QVariantMap forced50005{{"forceUDPPortBind", 1}, {"UDPPortBind", 50005}};
    QVariantMap foreign = forced50005;
    foreign.insert("bindAddress", "10.0.0.5");
    QVariantMap local = forced50005;
    local.insert("bindAddress", "10.77.0.1");
    QVariantMap text = forced50005;
    text.insert("bindAddress", "not an address");

    QTest::newRow("no-settings-file") << QVariantMap() << QList<int>() << 0 << "0.0.0.0";
    QTest::newRow("forced-port") << forced50005 << QList<int>() << 50005 << "0.0.0.0";
    QTest::newRow("taken-port-moves-up") << forced50005 << QList<int>{50005, 50006} << 50007 << "0.0.0.0";
    QTest::newRow("not-forced-is-random") << QVariantMap{{"forceUDPPortBind", 0}, {"UDPPortBind", 50005}}
                                          << QList<int>() << 0 << "0.0.0.0";
    QTest::newRow("local-bind-address") << local << QList<int>() << 50005 << "10.77.0.1";
    QTest::newRow("foreign-bind-address") << foreign << QList<int>() << 50005 << "0.0.0.0";
    QTest::newRow("text-bind-address") << text << QList<int>() << 50005 << "0.0.0.0";
    QTest::newRow("stops-after-52000") << QVariantMap{{"forceUDPPortBind", 1}, {"UDPPortBind", 52000}}
                                       << QList<int>{52000} << -1 << "";
}

void TestMarluneConnect::reBind()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QList<int>, takenPorts);
    QFETCH(int, expectedPort);
    QFETCH(QString, expectedAddress);

    if (settings.isEmpty())
        QFile::remove(Folders::settingsPath());
    else
        writeSettings(settings);
    QList<QUdpSocket *> blockers;
    for (int port : takenPorts) {
        auto *blocker = new QUdpSocket(this);
        QVERIFY(blocker->bind(QHostAddress::AnyIPv4, quint16(port), QUdpSocket::DontShareAddress));
        blockers.append(blocker);
    }
    if (expectedPort < 0)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Could not bind to anything!$")));

    MarluneConnect connection;
    connection.init();
    qDeleteAll(blockers);

    QUdpSocket *socket = connection.udpSocket;
    if (expectedPort < 0) {
        QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        return;
    }
    QCOMPARE(socket->state(), QAbstractSocket::BoundState);
    if (expectedPort == 0)
        QVERIFY(socket->localPort() >= 51146 && socket->localPort() <= 51646);
    else
        QCOMPARE(int(socket->localPort()), expectedPort);
    QCOMPARE(socket->localAddress().toString(), expectedAddress);
}

void TestMarluneConnect::localAddressFor()
{
    // Two test interfaces of our own, in this test's private namespace.
    QVERIFY(runIp({"link", "add", "lafA", "type", "veth", "peer", "name", "lafB"}));
    QVERIFY(runIp({"address", "add", "192.168.1.5/24", "dev", "lafA"}));
    QVERIFY(runIp({"address", "add", "172.20.0.2/16", "dev", "lafB"}));
    QVERIFY(runIp({"link", "set", "lafA", "up"}));
    QVERIFY(runIp({"link", "set", "lafB", "up"}));

    MarluneConnect connection;
    MarluneUnit unit;
    unit.ip = QStringLiteral("192.168.1.20");
    unit.subnet = QStringLiteral("255.255.255.0");
    QCOMPARE(connection.localAddressFor(unit), QStringLiteral("192.168.1.5"));
    QCOMPARE(connection.localAddressFor(QStringLiteral("172.20.9.9"), QStringLiteral("255.255.0.0")),
             QStringLiteral("172.20.0.2"));
    QCOMPARE(connection.localAddressFor(QStringLiteral("172.21.9.9"), QStringLiteral("255.255.0.0")), QString());
    QCOMPARE(connection.localAddressFor(QStringLiteral("192.168.1.20"), QStringLiteral("garbage")), QString());

    // An interface that is down does not count.
    QVERIFY(runIp({"link", "set", "lafB", "down"}));
    QCOMPARE(connection.localAddressFor(QStringLiteral("172.20.9.9"), QStringLiteral("255.255.0.0")), QString());

    // A virtual machine's host-only adapter ("VMnet1", "VMnet8") does not count either.
    QVERIFY(runIp({"link", "set", "lafA", "down"}));
    QVERIFY(runIp({"link", "set", "lafA", "name", "VMnet8"}));
    QVERIFY(runIp({"link", "set", "VMnet8", "up"}));
    QVERIFY(runIp({"link", "set", "lafB", "up"}));
    QTRY_VERIFY([] {
        for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
            if (i.name() == QLatin1String("VMnet8"))
                return bool(i.flags() & QNetworkInterface::IsUp);
        return false;
    }());
    QCOMPARE(connection.localAddressFor(unit), QString());
}

void TestMarluneConnect::datagramsAreAnnounced()
{
    MarluneConnect connection;
    connection.init();
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);
    QSignalSpy idPushed(&connection, &MarluneConnect::unitIDPushedSignal);
    QUdpSocket unitSide;
    QVERIFY(unitSide.bind(QHostAddress(QStringLiteral("10.77.1.12")), kUnitPort));
    const QHostAddress updater(QStringLiteral("10.77.0.1"));
    const quint16 port = connection.udpSocket->localPort();

    // Several datagrams queued before the endpoint reads: all announced, in arrival order,
    // those without a usable MAC dropped.
    QByteArray shortMac = fixture(QStringLiteral("wpcgen2-panel"));
    shortMac.replace("MAC:00:1A:2B:00:01:0E", "MAC:00:1A");
    unitSide.writeDatagram(fixture(QStringLiteral("atr9-audio")), updater, port);
    unitSide.writeDatagram(shortMac, updater, port);
    unitSide.writeDatagram(fixture(QStringLiteral("reject-k-not-4")), updater, port);
    unitSide.writeDatagram(fixture(QStringLiteral("rxgen2-id-button")), updater, port);
    unitSide.writeDatagram(fixture(QStringLiteral("conductor")), updater, port);

    QTRY_COMPARE(announced.size(), 3);
    QCOMPARE(announced.at(0).at(0).value<MarluneUnit>().sn, QStringLiteral("AT3000006"));
    QCOMPARE(announced.at(1).at(0).value<MarluneUnit>().sn, QStringLiteral("K2200A0013"));
    QCOMPARE(announced.at(2).at(0).value<MarluneUnit>().sn, QStringLiteral("KD1000012"));
    QCOMPARE(idPushed.size(), 1);
    QCOMPARE(idPushed.at(0).at(0).value<MarluneUnit>().name, QStringLiteral("Desk"));

    // A burst from many units at once: the kernel spreads it over the sockets sharing the port,
    // and every one of them is read.
    announced.clear();
    QList<QUdpSocket *> fleet;
    for (int i = 1; i <= 64; ++i) {
        auto *unit = new QUdpSocket(this);
        QVERIFY(unit->bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(i)), kUnitPort));
        QByteArray reply = fixture(QStringLiteral("atr9-audio"));
        reply.replace("MAC:00:1A:2B:00:01:0B",
                      QStringLiteral("MAC:00:1A:2B:00:02:%1").arg(i, 2, 16, QLatin1Char('0')).toUpper().toLatin1());
        fleet.append(unit);
        unit->writeDatagram(reply, QHostAddress::LocalHost, port);
    }
    QTRY_COMPARE(announced.size(), 64);
    QSet<QString> macs;
    for (const QList<QVariant> &signal : announced)
        macs.insert(signal.at(0).value<MarluneUnit>().mac);
    QCOMPARE(macs.size(), 64);
    qDeleteAll(fleet);
    // A second updater asked for the same port moves up to the next.
    writeSettings({{"forceUDPPortBind", 1}, {"UDPPortBind", port}});
    MarluneConnect second;
    second.init();
    QCOMPARE(second.udpSocket->localPort(), port + 1);
}

void TestMarluneConnect::datagramFloodsAreBounded_data()
{
    QTest::addColumn<int>("oversized");
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("queueLimit");
    QTest::addColumn<qint64>("queueBytes");
    QTest::addColumn<QString>("dropLine");

    const qint64 reply = fixture(QStringLiteral("atr9-audio")).size();
    QTest::newRow("oversized-read-away") << 40 << 6 << 8192 << qint64(4 << 20)
                                         << "Dropped \\d+ datagrams larger than 8192 bytes, the last from 10.77.1.12$";
    QTest::newRow("queue-drops-oldest") << 0 << 12 << 3 << qint64(4 << 20)
                                        << "Dropped 9 replies unparsed: more were waiting than the queue holds "
                                           "\\(3 replies, 4194304 bytes\\)$";
    QTest::newRow("queue-bytes-bounded") << 0 << 12 << 8192 << 3 * reply
                                         << "Dropped 9 replies unparsed: more were waiting than the queue holds";
}

// Datagrams far larger than any reply are never queued (and their sender is named once), the
// queue of replies is bounded, drops are logged, and the event loop runs between turns while
// replies keep flowing.
void TestMarluneConnect::datagramFloodsAreBounded()
{
    QFETCH(int, oversized);
    QFETCH(int, replies);
    QFETCH(int, queueLimit);
    QFETCH(qint64, queueBytes);
    QFETCH(QString, dropLine);

    MarluneConnect connection;
    connection.datagramLimits.queueLimit = queueLimit;
    connection.datagramLimits.queueBytesLimit = queueBytes;
    connection.datagramLimits.parsePerTurn = 2;
    connection.datagramLimits.dropReportMs = 100;
    connection.init();
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);
    QSignalSpy refused(&connection, &MarluneConnect::replyRefused);
    qsizetype announcedAtFirstYield = -1;
    connect(&connection, &MarluneConnect::unitChangedSignal, this, [&] {
        if (announced.size() == 1)
            QTimer::singleShot(0, this, [&] { announcedAtFirstYield = announced.size(); });
    });
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(dropLine));

    // Everything is queued in the kernel before the endpoint reads.
    QUdpSocket unitSide;
    QVERIFY(unitSide.bind(QHostAddress(QStringLiteral("10.77.1.12")), kUnitPort));
    const QHostAddress updater(QStringLiteral("10.77.0.1"));
    const quint16 port = connection.udpSocket->localPort();
    for (int i = 0; i < oversized; ++i)
        QCOMPARE(unitSide.writeDatagram(QByteArray(65507, char(i)), updater, port), 65507);
    for (int i = 0; i < replies; ++i)
        unitSide.writeDatagram(fixture(QStringLiteral("atr9-audio")), updater, port);

    const int expected = oversized > 0 ? replies : 3;
    QTRY_VERIFY_WITH_TIMEOUT(announced.size() >= expected, 20000);
    QCOMPARE(announcedAtFirstYield, 2);
    QTRY_VERIFY_WITH_TIMEOUT(!connection.findChild<QTimer *>(QStringLiteral("dropReport"))->isActive(), 20000);
    QCOMPARE(refused.size(), oversized > 0 ? 1 : 0);
    if (oversized > 0)
        QCOMPARE(refused.first(), (QVariantList{QStringLiteral("10.77.1.12"), qint64(65507)}));
}

void TestMarluneConnect::repliesSentByBroadcast_data()
{
    QTest::addColumn<QString>("destination");
    QTest::newRow("unicast") << "10.77.0.1";
    QTest::newRow("broadcast") << "255.255.255.255";
    QTest::newRow("subnet-broadcast") << "10.77.255.255";
}

// However a unit addresses its reply, the updater handles it once: one announcement, and for
// the fixed-layout reply of a recorder with recorder firmware, which is not announced, one
// follow-up query over UDP.
void TestMarluneConnect::repliesSentByBroadcast()
{
    QFETCH(QString, destination);
    QUdpSocket recorder;
    QVERIFY(recorder.bind(QHostAddress(QStringLiteral("10.77.1.33")), kUnitPort));
    QUdpSocket encoder;
    QVERIFY(encoder.bind(QHostAddress(QStringLiteral("10.77.1.34")), kUnitPort));
    MarluneConnect connection;
    connection.init();
    QSignalSpy announced(&connection, &MarluneConnect::unitChangedSignal);
    const quint16 port = connection.udpSocket->localPort();

    recorder.writeDatagram(fixture(QStringLiteral("fixed-recorder-firmware")), QHostAddress(destination), port);
    encoder.writeDatagram(fixture(QStringLiteral("txgen2-k220-encoder")), QHostAddress(destination), port);
    // Then a marker from the same unit, by unicast: once it is in, the copies of the first
    // reply that every socket sharing the port holds have been read.
    QByteArray marker = fixture(QStringLiteral("atr9-audio"));
    encoder.writeDatagram(marker, QHostAddress(QStringLiteral("10.77.0.1")), port);
    const auto markerIn = [&announced] {
        return std::any_of(announced.cbegin(), announced.cend(), [](const QList<QVariant> &signal) {
            return signal.at(0).value<MarluneUnit>().sn == QLatin1String("AT3000006");
        });
    };
    QTRY_VERIFY(markerIn());
    const auto socketsHoldNothing = [&connection] {
        if (connection.udpSocket->hasPendingDatagrams())
            return false;
        for (const QUdpSocket *socket : std::as_const(connection.sharingSockets))
            if (socket->hasPendingDatagrams())
                return false;
        return true;
    };
    QTRY_VERIFY(socketsHoldNothing());
    QCoreApplication::processEvents();
    QCOMPARE(announced.size(), 2);
    QCOMPARE(announced.at(0).at(0).value<MarluneUnit>().sn, parseStatusReply(fixture("txgen2-k220-encoder")).unit.sn);

    QTRY_VERIFY(recorder.hasPendingDatagrams());
    QCOMPARE(recorder.receiveDatagram().data(), queryPacket(0xB7));
    int moreQueries = 0;
    for (QCoreApplication::processEvents(); recorder.hasPendingDatagrams(); recorder.receiveDatagram())
        ++moreQueries;
    QCOMPARE(moreQueries, 0);
}

void TestMarluneConnect::hexDump_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text-command") << QByteArray("getStatus\r") << "ASCII: \ngetStatus\r";
    QTest::newRow("empty") << QByteArray() << "ASCII: \n";
    QTest::newRow("line-feed-is-text") << QByteArray("a\nb") << "ASCII: \na\nb";
    QTest::newRow("binary-skips-zeros") << QByteArray("\x01\x00\xca", 3) << "\n0, 0x1\n2, 0xca";
    QTest::newRow("one-control-byte") << QByteArray("ab\x7f") << "\n0, 0x61\n1, 0x62\n2, 0x7f";
}

void TestMarluneConnect::hexDump()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);
    QCOMPARE(MarluneConnect::hexDump(data), expected);
}

QTEST_GUILESS_MAIN(TestMarluneConnect)
#include "tst_marluneconnect.moc"
