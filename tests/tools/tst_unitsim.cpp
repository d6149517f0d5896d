// Plays the updater against the real unit simulator, with plain sockets and nothing of the
// updater's own code, in the test's private network namespace.

#include "imageserver.h"
#include "simulatorprocess.h"
#include "updaterpeer.h"

#include <QtTest>

using namespace UpdaterPeer;

namespace {

const QHostAddress kUnit(QStringLiteral("10.77.1.1"));
// The barrier unit: the one unit that answers the barrier query. A panel controller, unless the
// unit under test is one; then an audio transceiver.
const QHostAddress kBarrierUnit(QStringLiteral("10.77.2.1"));
constexpr quint8 kBarrierCode = 0xB9;
constexpr quint8 kBarrierCodeBesidePanel = 0xB4;

quint8 barrierCodeFor(const QString &family)
{
    return family == QLatin1String("kpanel") ? kBarrierCodeBesidePanel : kBarrierCode;
}
const QList<quint8> kDiscoveryCodes = {0x96, 0x98, 0xB4, 0x14, 0x19, 0xB5, 0xB6,
                                       0xB7, 0xB8, 0xB9, 0xBA, 0xCA, 0xCB};
const QByteArray kFixedEncoder = QByteArray::fromHex("0197cafe1234");
const QByteArray kFixedDecoder = QByteArray::fromHex("0199cafe1234");

QString unitGroup(const QString &id, const QString &family, const QString &ip,
                  const QString &extra = QString())
{
    return QStringLiteral("[%1]\nfamily=%2\nip=%3\n%4\n\n").arg(id, family, ip, extra);
}

// A fleet of one unit "dut" at 10.77.1.1 and the barrier unit at 10.77.2.1.
QString fleetOf(const QString &family, const QString &extra = QString())
{
    const QString barrier =
        family == QLatin1String("kpanel") ? QStringLiteral("atr") : QStringLiteral("kpanel");
    return QStringLiteral("[fleet]\nrebootSeconds=1\n\n") +
           unitGroup(QStringLiteral("dut"), family, kUnit.toString(), extra) +
           unitGroup(QStringLiteral("barrier"), barrier, kBarrierUnit.toString());
}

QList<QByteArray> discoveryBurst()
{
    QList<QByteArray> burst;
    for (quint8 code : kDiscoveryCodes)
        burst.append(queryPacket(code));
    return burst;
}

} // namespace

class TestUnitSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void discoveryBurstGetsOneReplyPerCode_data();
    void discoveryBurstGetsOneReplyPerCode();
    void malformedQueriesAreDropped_data();
    void malformedQueriesAreDropped();
    void emptyRequestAnsweredByKindsWithoutQuery_data();
    void emptyRequestAnsweredByKindsWithoutQuery();
    void tcpStatusRequest_data();
    void tcpStatusRequest();
    void fixedLayoutRecord_data();
    void fixedLayoutRecord();
    void updateFetchesRebootsAndComesBackNewer_data();
    void updateFetchesRebootsAndComesBackNewer();
    void failedFetchLeavesUnitUnchanged_data();
    void failedFetchLeavesUnitUnchanged();
    void unitThatNeverRebootsKeepsOldSoftware();
    void edidResetFailsThenSucceeds_data();
    void edidResetFailsThenSucceeds();
    void ipSaveEndsTrial_data();
    void ipSaveEndsTrial();
    void commandSplitAcrossWritesIsOneMessage();
    void misbehaviours_data();
    void misbehaviours();
    void brokenFleetExitsWithError_data();
    void brokenFleetExitsWithError();
    void largeFleetAnswersWholeBurst();
    void terminatesCleanly();
};

void TestUnitSim::discoveryBurstGetsOneReplyPerCode_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QList<QByteArray>>("expected"); // reply prefixes, one per reply, any order

    const auto text = [](const char *prefix) { return QList<QByteArray>{QByteArray(prefix)}; };
    // K-Series units answer their own query and the general one of their kind.
    const auto twice = [](const char *prefix) { return QList<QByteArray>{QByteArray(prefix), QByteArray(prefix)}; };
    QTest::newRow("k110-encoder") << "k110-encoder"
                                  << "" << twice("BRYX_TXGEN2:K1100A");
    QTest::newRow("k110-decoder") << "k110-decoder"
                                  << "" << twice("BRYX_RXGEN2:K1200A");
    QTest::newRow("k220-encoder") << "k220-encoder"
                                  << "" << twice("BRYX_TXGEN2:K2100A");
    QTest::newRow("k220-decoder") << "k220-decoder"
                                  << "" << twice("BRYX_RXGEN2:K2200A");
    QTest::newRow("k225-encoder") << "k225-encoder"
                                  << "" << twice("BRYX_TXGEN2:K2150");
    QTest::newRow("k225-decoder") << "k225-decoder"
                                  << "" << twice("BRYX_RXGEN2:K2250");
    QTest::newRow("kvm-encoder") << "kvm-encoder"
                                 << "" << twice("BRYX_TXGEN2:K210B");
    QTest::newRow("kvm-decoder") << "kvm-decoder"
                                 << "" << twice("BRYX_RXGEN2:K220B");
    QTest::newRow("k330-encoder") << "k330-encoder"
                                  << "" << twice("BRYX_TXGEN2:K3100A");
    QTest::newRow("k330-decoder") << "k330-decoder"
                                  << "" << twice("BRYX_RXGEN2:K3200A");
    QTest::newRow("legacy-encoder") << "legacy-encoder"
                                    << "" << QList<QByteArray>{kFixedEncoder};
    QTest::newRow("legacy-decoder") << "legacy-decoder"
                                    << "" << QList<QByteArray>{kFixedDecoder};
    QTest::newRow("recorder-answers-both-codes")
        << "recorder"
        << "" << QList<QByteArray>{"BRYX_DVRGEN2:JD", "BRYX_DVRGEN2:JD"};
    QTest::newRow("legacy-recorder-current-firmware")
        << "legacy-recorder"
        << "" << QList<QByteArray>{kFixedEncoder, "BRYX_DVRGEN2:JD"};
    QTest::newRow("legacy-recorder-original-firmware")
        << "legacy-recorder"
        << "fwversion=0/0/0" << QList<QByteArray>{kFixedEncoder};
    QTest::newRow("atr") << "atr"
                         << "" << text("BRYX_ATR9:ATA");
    QTest::newRow("k440") << "k440"
                          << "" << text("BRYX_K440:K4300A");
    QTest::newRow("wp") << "wp"
                        << "" << text("BRYX_JWP4:JW");
    QTest::newRow("kpanel") << "kpanel"
                            << "" << text("BRYX_WPCGEN2:K8300A");
    QTest::newRow("vod") << "vod"
                         << "" << text("BRYX_VOD:K7200A");
    QTest::newRow("conductor") << "conductor"
                               << "" << text("BRYX_CONDUCTOR:");
}

void TestUnitSim::discoveryBurstGetsOneReplyPerCode()
{
    QFETCH(QString, family);
    QFETCH(QString, extra);
    QFETCH(QList<QByteArray>, expected);

    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family, extra), 2));
    UdpPeer peer(kBarrierUnit, barrierCodeFor(family));
    QVERIFY(peer.isBound());

    const QList<QNetworkDatagram> replies = UdpPeer::from(peer.broadcast(discoveryBurst()), kUnit);
    QCOMPARE(replies.size(), expected.size());
    QList<QByteArray> unmatched = expected;
    for (const QNetworkDatagram &reply : replies) {
        QCOMPARE(reply.senderPort(), int(unitPort));
        QVERIFY2(reply.data().size() <= 1034, "longer than the updater reads");
        const auto match = std::find_if(unmatched.begin(), unmatched.end(), [&](const QByteArray &prefix) {
            return reply.data().startsWith(prefix);
        });
        QVERIFY2(match != unmatched.end(), reply.data().left(40).toHex(' ').constData());
        unmatched.erase(match);
    }
}

void TestUnitSim::malformedQueriesAreDropped_data()
{
    QTest::addColumn<QByteArray>("payload");
    QByteArray wrongMagic = queryPacket(0x14);
    wrongMagic[3] = char(0xFF);
    QTest::newRow("wrong-magic") << wrongMagic;
    QTest::newRow("one-byte-short") << queryPacket(0x14).left(9);
    QTest::newRow("one-byte-long") << queryPacket(0x14) + '\0';
    QTest::newRow("code-of-another-family") << queryPacket(0x19);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("status-text") << QByteArray("getStatus\r");
}

void TestUnitSim::malformedQueriesAreDropped()
{
    QFETCH(QByteArray, payload);
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("k220-encoder")), 2));
    UdpPeer peer(kBarrierUnit, kBarrierCode);

    QVERIFY(UdpPeer::from(peer.unicast(kUnit, {payload}), kUnit).isEmpty());
    QVERIFY(UdpPeer::from(peer.broadcast({payload}), kUnit).isEmpty());
    // The same unit still answers a proper query, from its own address.
    const QList<QNetworkDatagram> proper = peer.ask(kUnit, queryPacket(0x14));
    QCOMPARE(proper.size(), 1);
    QVERIFY(proper.first().data().startsWith("BRYX_TXGEN2:"));
}

void TestUnitSim::emptyRequestAnsweredByKindsWithoutQuery_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("kpanel") << "kpanel" << QByteArray("BRYX_WPCGEN2:");
    QTest::newRow("vod") << "vod" << QByteArray("BRYX_VOD:");
    QTest::newRow("conductor") << "conductor" << QByteArray("BRYX_CONDUCTOR:");
}

void TestUnitSim::emptyRequestAnsweredByKindsWithoutQuery()
{
    QFETCH(QString, family);
    QFETCH(QByteArray, header);
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family), 2));
    UdpPeer peer(kBarrierUnit, barrierCodeFor(family));

    // Sent to the unit itself, an empty datagram asks for its status; broadcast, it asks nothing.
    const QList<QNetworkDatagram> replies = peer.ask(kUnit, QByteArray());
    QCOMPARE(replies.size(), 1);
    QVERIFY(replies.first().data().startsWith(header));
    QVERIFY(UdpPeer::from(peer.broadcast({QByteArray()}), kUnit).isEmpty());
}

void TestUnitSim::tcpStatusRequest_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QList<QByteArray>>("contains");

    QTest::newRow("k220-encoder-getstatus") << "k220-encoder"
                                            << "name=Lobby\nmac=00:11:22:AA:BB:CC"
                                            << QByteArray("getStatus\r") << QByteArray("BRYX_TXGEN2:K2100A")
                                            << QList<QByteArray>{"\rNAME:Lobby\r",
                                                                 "\rIP:10.77.1.1\r",
                                                                 "\rNM:255.255.0.0\r",
                                                                 "\rGW:10.77.0.254\r",
                                                                 "\rMAC:00:11:22:AA:BB:CC\r",
                                                                 "\rSWVER:1/1/2014\r",
                                                                 "\rWEBVER:1388534400\r",
                                                                 "\rIPMODE:STATIC\r",
                                                                 "\rIPTRIAL:0\r",
                                                                 "\rUPDATE:0\r",
                                                                 "\rMEDIAPORT0:"};
    QTest::newRow("k330-decoder-query-packet")
        << "k330-decoder"
        << "ipmode=dhcp\nupdateStatus=1\nidButton=1" << queryPacket(0xB6) << QByteArray("BRYX_RXGEN2:K3200A")
        << QList<QByteArray>{"\rIPMODE:DHCP\r", "\rUPDATE:1\r", "\rID:1"};
    QTest::newRow("kvm-encoder-software-new-enough-for-kvm")
        << "kvm-encoder"
        << "" << QByteArray("getStatus\r") << QByteArray("BRYX_TXGEN2:K210B")
        << QList<QByteArray>{"\rSWVER:8/18/2014\r"};
    QTest::newRow("atr-query-packet") << "atr"
                                      << "" << queryPacket(0xB4) << QByteArray("BRYX_ATR9:ATA")
                                      << QList<QByteArray>{"\rIP:10.77.1.1\r", "\rSWVER:"};
    QTest::newRow("vod-second-interface")
        << "vod"
        << "eth1Ip=192.168.5.5\neth1Netmask=255.255.255.0" << QByteArray("getStatus\r")
        << QByteArray("BRYX_VOD:K7200A")
        << QList<QByteArray>{"\rETH0_IP:10.77.1.1\r", "\rETH1_IP:192.168.5.5\r",
                             "\rETH1_NETMASK:255.255.255.0\r"};
    QTest::newRow("conductor-answers-on-second-interface")
        << "conductor"
        << "mac=00:11:22:33:44:55" << setupBuffer() << QByteArray("BRYX_CONDUCTOR:")
        << QList<QByteArray>{"\rETH1_IP:10.77.1.1\r", "\rETH1_MAC:00:11:22:33:44:55\r", "\rETH0_1_IP:"};
    QTest::newRow("legacy-encoder-setup-buffer")
        << "legacy-encoder"
        << "" << setupBuffer() << kFixedEncoder << QList<QByteArray>{};
    QTest::newRow("legacy-decoder-ignores-text-command")
        << "legacy-decoder"
        << "" << QByteArray("setSettings:updateUnit:10.77.0.1\r") << kFixedDecoder << QList<QByteArray>{};
    QTest::newRow("longest-name-still-fits")
        << "k330-encoder" << QStringLiteral("name=") + QString(79, QLatin1Char('N'))
        << QByteArray("getStatus\r") << QByteArray("BRYX_TXGEN2:")
        << QList<QByteArray>{"\rNAME:" + QByteArray(79, 'N') + "\r"};
}

void TestUnitSim::tcpStatusRequest()
{
    QFETCH(QString, family);
    QFETCH(QString, extra);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, prefix);
    QFETCH(QList<QByteArray>, contains);

    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family, extra), 2));
    const QList<QByteArray> replies = exchange(kUnit, {request});
    QCOMPARE(replies.size(), 1);
    const QByteArray reply = replies.first();
    QVERIFY2(reply.startsWith(prefix), reply.left(40).toHex(' ').constData());
    QVERIFY(reply.size() <= 1034);
    for (const QByteArray &field : contains)
        QVERIFY2(reply.contains(field), field.constData());
    QVERIFY(sim.waitForPrefix(QStringLiteral("dut TCP ")).size() > 0);
}

void TestUnitSim::fixedLayoutRecord_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("firmwareDate");

    QTest::newRow("legacy-encoder") << "legacy-encoder" << queryPacket(0x96) << 0x97
                                    << QByteArray::fromHex("141d");
    QTest::newRow("legacy-decoder") << "legacy-decoder" << setupBuffer() << 0x99
                                    << QByteArray::fromHex("141d");
    QTest::newRow("legacy-recorder-original")
        << "legacy-recorder" << queryPacket(0x96) << 0x97 << QByteArray(2, '\0');
}

void TestUnitSim::fixedLayoutRecord()
{
    QFETCH(QString, family);
    QFETCH(QByteArray, request);
    QFETCH(int, code);
    QFETCH(QByteArray, firmwareDate);
    const QString extra =
        QStringLiteral("name=Stage Left\nserial=JX12345\nmac=00:1A:2B:3C:4D:5E\nipmode=auto\n"
                       "swversion=3/18/2015\nsubnet=255.255.255.0\ngateway=10.77.1.254\n") +
        (firmwareDate.count('\0') == 2 ? QStringLiteral("fwversion=0/0/0")
                                       : QStringLiteral("fwversion=1/29/2014"));
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family, extra), 2));
    const QList<QByteArray> replies = exchange(kUnit, {request});
    QCOMPARE(replies.size(), 1);
    const QByteArray r = replies.first();

    QCOMPARE(r.size(), 512);
    QCOMPARE(quint8(r[1]), quint8(code));
    QCOMPARE(r.mid(2, 4), QByteArray::fromHex("cafe1234"));
    QCOMPARE(r.mid(15, 4), QByteArray::fromHex("0a4d0101")); // 10.77.1.1
    QCOMPARE(r.mid(19, 6), QByteArray::fromHex("001a2b3c4d5e"));
    QCOMPARE(int(r[29]), 1); // auto
    QCOMPARE(r.mid(52, 11), QByteArray("Stage Left\0", 11));
    QCOMPARE(r.mid(132, 8), QByteArray("JX12345\0", 8));
    QCOMPARE(r.mid(164, 2), QByteArray::fromHex("3512")); // 3/18/5
    QCOMPARE(r.mid(166, 2), firmwareDate);
    QCOMPARE(r.mid(236, 4), QByteArray::fromHex("ffffff00"));
    QCOMPARE(r.mid(240, 4), QByteArray::fromHex("0a4d01fe"));
    if (code == 0x97 && family == QLatin1String("legacy-encoder")) {
        QVERIFY(r[223] != 0); // an input is present
        QCOMPARE(((quint8(r[186]) << 8) & 0x1FFF) | quint8(r[185]), 1920);
        QCOMPARE(((quint8(r[190]) << 8) & 0x7FF) | quint8(r[189]), 1080);
        QVERIFY((r[26] & 0x0F) != 0); // live play
    }
}

void TestUnitSim::updateFetchesRebootsAndComesBackNewer_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<quint8>("code");
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::addColumn<QString>("extra"); // unit settings
    QTest::addColumn<int>("leastMs");   // the fetch takes at least this long

    QTest::newRow("k220-encoder") << "k220-encoder" << quint8(0x14) << QByteArray("\n") << QString() << 0;
    QTest::newRow("k330-decoder-crlf-header")
        << "k330-decoder" << quint8(0xB6) << QByteArray("\r\n") << QString() << 0;
    QTest::newRow("vod") << "vod" << quint8(0xBA) << QByteArray("\n") << QString() << 0;
    QTest::newRow("k440") << "k440" << quint8(0xB8) << QByteArray("\n") << QString() << 0;
    QTest::newRow("legacy-recorder-current-firmware")
        << "legacy-recorder" << quint8(0xB7) << QByteArray("\n") << QString() << 0;
    // 1 MiB at 512 KiB/s, in 100-ms steps of 51.2 KiB: at least 20 steps.
    QTest::newRow("paced-fetch") << "k220-decoder" << quint8(0x19) << QByteArray("\n") << "fetchKiBps=512" << 1900;
    QTest::newRow("two-reboots") << "k220-decoder" << quint8(0x19) << QByteArray("\n") << "reboots=2" << 0;
}

void TestUnitSim::updateFetchesRebootsAndComesBackNewer()
{
    QFETCH(QString, family);
    QFETCH(quint8, code);
    QFETCH(QByteArray, lineEnd);
    QFETCH(QString, extra);
    QFETCH(int, leastMs);

    const QByteArray image = imageWithVersions("3/2/2015", "1425254400", 1024 * 1024 + 7);
    ImageServer server;
    server.setResponse(image.size(), image, lineEnd);
    QVERIFY(server.listen());
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family, extra), 2));
    UdpPeer peer(kBarrierUnit, kBarrierCode);

    const QList<QByteArray> acks = exchange(kUnit, {"setSettings:updateUnit:10.77.0.1\r", "getStatus\r"});
    QCOMPARE(acks.size(), 2);
    QVERIFY(acks.at(0).contains("UPDATE:0"));
    QVERIFY(sim.waitForLine(QStringLiteral("dut FETCH-START 10.77.0.1")));
    const QString fetched = sim.waitForPrefix(QStringLiteral("dut FETCH-OK "));
    QCOMPARE(fetched.section(QLatin1Char(' '), 2, 2), QString::number(image.size()));
    QVERIFY2(fetched.section(QLatin1Char(' '), 3, 3).toInt() >= leastMs, qPrintable(fetched));
    QCOMPARE(server.requestLines, QList<QByteArray>{"GET /" + family.toLatin1() + ".bin HTTP/1.1"});
    QCOMPARE(server.peers.first().toString(), kUnit.toString());
    QVERIFY(sim.waitForLine(QStringLiteral("dut REBOOTING 1")));

    // Down: nothing listens and nothing answers.
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QVERIFY(exchange(kUnit, {"getStatus\r"}, unitPort, &error).isEmpty());
    QCOMPARE(error, QAbstractSocket::ConnectionRefusedError);
    QVERIFY(UdpPeer::from(peer.broadcast({queryPacket(code)}), kUnit).isEmpty());
    const QString up = QStringLiteral("dut UP 3/2/2015 1425254400");
    QVERIFY2(!sim.lines().contains(up), "came back before the checks; reboot too short");

    QVERIFY(sim.waitForLine(up));
    // Between two reboots the unit was up with the new software, the old web date, nothing pending.
    const bool twice = extra == QLatin1String("reboots=2");
    QCOMPARE(sim.lines().count(QStringLiteral("dut REBOOTING 1")), twice ? 2 : 1);
    QCOMPARE(sim.lines().contains(QStringLiteral("dut UP-INTERIM 3/2/2015 1388534400")), twice);
    const QList<QByteArray> status = exchange(kUnit, {"getStatus\r"});
    QCOMPARE(status.size(), 1);
    QVERIFY(status.first().contains("UPDATE:1"));
    QVERIFY(status.first().contains("SWVER:3/2/2015\r"));
    QVERIFY(status.first().contains("WEBVER:1425254400"));
    QCOMPARE(UdpPeer::from(peer.broadcast({queryPacket(code)}), kUnit).size(), 1);

    const QList<QByteArray> confirmed = exchange(kUnit, {"setSettings:confirmUpdate\r", "getStatus\r"});
    QVERIFY(sim.waitForLine(QStringLiteral("dut CONFIRMED")));
    QCOMPARE(confirmed.size(), 2);
    QVERIFY(confirmed.at(0).contains("UPDATE:0"));
    QVERIFY(confirmed.at(1).contains("UPDATE:0"));
}

void TestUnitSim::failedFetchLeavesUnitUnchanged_data()
{
    QTest::addColumn<int>("declared");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("serverRuns");
    QTest::addColumn<bool>("serverAnswers");

    QTest::newRow("short-body") << 100000 << 60000 << true << true;
    QTest::newRow("longer-than-declared") << 1000 << 2000 << true << true;
    QTest::newRow("empty-body") << 0 << 0 << true << true;
    QTest::newRow("no-server") << 0 << 0 << false << false;
    QTest::newRow("server-closes-without-answer") << 0 << 0 << true << false;
}

void TestUnitSim::failedFetchLeavesUnitUnchanged()
{
    QFETCH(int, declared);
    QFETCH(int, bodySize);
    QFETCH(bool, serverRuns);
    QFETCH(bool, serverAnswers);

    ImageServer server;
    if (serverAnswers)
        server.setResponse(declared, imageWithVersions("3/2/2015", "1425254400", bodySize));
    else
        server.setSilent();
    if (serverRuns)
        QVERIFY(server.listen());
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("k220-encoder")), 2));

    QCOMPARE(exchange(kUnit, {"setSettings:updateUnit:10.77.0.1\r"}).size(), 1);
    QVERIFY(!sim.waitForPrefix(QStringLiteral("dut FETCH-FAILED ")).isEmpty());
    const QList<QByteArray> status = exchange(kUnit, {"getStatus\r"});
    QCOMPARE(status.size(), 1);
    QVERIFY(status.first().contains("\rUPDATE:0\r"));
    QVERIFY(status.first().contains("\rSWVER:1/1/2014\r"));
    QVERIFY(sim.waitForLine(QStringLiteral("dut TCP getStatus\\r")));
    QVERIFY(!sim.hasLineStartingWith(QStringLiteral("dut FETCH-OK")));
    QVERIFY(!sim.hasLineStartingWith(QStringLiteral("dut REBOOTING")));
}

void TestUnitSim::unitThatNeverRebootsKeepsOldSoftware()
{
    ImageServer server;
    const QByteArray image = imageWithVersions("3/2/2015", "1425254400", 50000);
    server.setResponse(image.size(), image);
    QVERIFY(server.listen());
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("k220-encoder"), QStringLiteral("behaviour=neverReboots")), 2));

    QCOMPARE(exchange(kUnit, {"setSettings:updateUnit:10.77.0.1\r"}).size(), 1);
    QVERIFY(!sim.waitForPrefix(QStringLiteral("dut FETCH-OK 50000 ")).isEmpty());
    QVERIFY(sim.waitForLine(QStringLiteral("dut NO-REBOOT")));
    const QList<QByteArray> status = exchange(kUnit, {"getStatus\r"});
    QCOMPARE(status.size(), 1);
    QVERIFY(status.first().contains("\rUPDATE:0\r"));
    QVERIFY(status.first().contains("\rSWVER:1/1/2014\r"));
    QVERIFY(!sim.hasLineStartingWith(QStringLiteral("dut REBOOTING")));
}

void TestUnitSim::edidResetFailsThenSucceeds_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("succeeds-at-once")
        << 0 << QByteArray("setSettings:resetedid\r") << QStringList{"EDID-OK analog=0"};
    QTest::newRow("two-failures-then-success")
        << 2 << QByteArray("setSettings:resetedid\r")
        << QStringList{"EDID-FAILED 1", "EDID-FAILED 2", "EDID-OK analog=0"};
    QTest::newRow("analog-in-same-message")
        << 1 << QByteArray("setSettings:resetedid\rsetSettings:resetedidanalog\r")
        << QStringList{"EDID-FAILED 1", "EDID-OK analog=1"};
}

void TestUnitSim::edidResetFailsThenSucceeds()
{
    QFETCH(int, failures);
    QFETCH(QByteArray, command);
    QFETCH(QStringList, events);

    SimulatorProcess sim;
    QVERIFY(sim.start(
        fleetOf(QStringLiteral("k225-encoder"), QStringLiteral("edidFailures=%1").arg(failures)), 2));
    for (const QString &event : events) {
        const QList<QByteArray> replies = exchange(kUnit, {command, "getStatus\r"});
        QCOMPARE(replies.size(), 2);
        QCOMPARE(replies.at(0), event.startsWith(QLatin1String("EDID-OK"))
                                    ? QByteArray("Successfully Reset EDID\r")
                                    : QByteArray("Failed To Reset EDID\r"));
        QVERIFY(replies.at(1).startsWith("BRYX_TXGEN2:"));
        QVERIFY2(sim.waitForLine(QStringLiteral("dut ") + event), qPrintable(event));
    }
    // The commands sent together arrive as one message.
    QString shown = QString::fromLatin1(command);
    shown.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    QCOMPARE(sim.lines().count(QStringLiteral("dut TCP ") + shown), events.size());
}

void TestUnitSim::ipSaveEndsTrial_data()
{
    QTest::addColumn<QString>("family");
    QTest::newRow("k220-decoder") << "k220-decoder";
    QTest::newRow("wp") << "wp";
    QTest::newRow("atr") << "atr";
    QTest::newRow("vod") << "vod";
}

void TestUnitSim::ipSaveEndsTrial()
{
    QFETCH(QString, family);
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(family, QStringLiteral("ipTrial=1")), 2));
    QVERIFY(exchange(kUnit, {"getStatus\r"}).value(0).contains("\rIPTRIAL:1"));

    const QList<QByteArray> replies = exchange(kUnit, {"setSettings:ipsave\r", "getStatus\r"});
    QCOMPARE(replies.size(), 2);
    QVERIFY(replies.at(1).contains("\rIPTRIAL:0"));
    QVERIFY(sim.waitForLine(QStringLiteral("dut IPSAVED")));
}

void TestUnitSim::commandSplitAcrossWritesIsOneMessage()
{
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("k220-encoder"), QStringLiteral("updateStatus=1")), 2));
    QTcpSocket socket;
    socket.connectToHost(kUnit, unitPort);
    QVERIFY(socket.waitForConnected(5000));
    socket.write("setSettings:conf");
    QVERIFY(socket.waitForBytesWritten(5000));
    socket.write("irmUpdate\r");
    const QByteArray reply = readReply(socket);
    QVERIFY(reply.contains("\rUPDATE:0\r"));
    QVERIFY(sim.waitForLine(QStringLiteral("dut CONFIRMED")));
    QCOMPARE(sim.lines().filter(QStringLiteral("dut TCP ")),
             QStringList{"dut TCP setSettings:confirmUpdate\\r"});
}

enum class Port { Refused, Silent, Answers, Hangs };
Q_DECLARE_METATYPE(Port)

void TestUnitSim::misbehaviours_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<bool>("udpAnswers");
    QTest::addColumn<bool>("hearsBroadcast");
    QTest::addColumn<Port>("port50001");
    QTest::addColumn<Port>("port50002");
    QTest::addColumn<int>("replyAfterMs"); // an answer takes at least this long

    QTest::newRow("normal") << "behaviour=normal" << true << true << Port::Answers << Port::Refused << 0;
    QTest::newRow("silent") << "behaviour=silent" << false << false << Port::Silent << Port::Refused << 0;
    QTest::newRow("dead") << "behaviour=dead" << false << false << Port::Refused << Port::Refused << 0;
    QTest::newRow("port50002") << "behaviour=port50002" << true << true << Port::Refused << Port::Answers << 0;
    QTest::newRow("tcp-hangs") << "tcp=hangs" << true << true << Port::Hangs << Port::Hangs << 0;
    QTest::newRow("message-delay") << "messageDelayMs=300" << true << true << Port::Answers << Port::Refused << 300;
    QTest::newRow("vanished") << "vanishAfterSeconds=1" << false << false << Port::Hangs << Port::Hangs << 0;
    // A unit behind a router: a query to its own address reaches it, the broadcast does not.
    QTest::newRow("broadcast-ignored") << "broadcast=ignore" << true << false << Port::Answers << Port::Refused
                                       << 0;
}

void TestUnitSim::misbehaviours()
{
    QFETCH(QString, setting);
    QFETCH(bool, udpAnswers);
    QFETCH(bool, hearsBroadcast);
    QFETCH(Port, port50001);
    QFETCH(Port, port50002);
    QFETCH(int, replyAfterMs);

    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("k220-decoder"), setting), 2));
    if (setting.startsWith(QLatin1String("vanish")))
        QVERIFY(sim.waitForLine(QStringLiteral("dut VANISHED")));
    UdpPeer peer(kBarrierUnit, kBarrierCode);
    QCOMPARE(UdpPeer::from(peer.broadcast({queryPacket(0x19)}), kUnit).size(), hearsBroadcast ? 1 : 0);
    // An answer that must come is waited for; one that must not, up to a barrier.
    QCOMPARE(udpAnswers ? peer.ask(kUnit, queryPacket(0x19)).size()
                        : UdpPeer::from(peer.unicast(kUnit, {queryPacket(0x19)}), kUnit).size(),
             udpAnswers ? 1 : 0);

    const QList<QPair<quint16, Port>> ports = {{quint16(50001), port50001}, {quint16(50002), port50002}};
    for (const auto &[port, expected] : ports) {
        QTcpSocket socket;
        socket.connectToHost(kUnit, port);
        // A hung port neither accepts nor refuses: past the first SYN sent again, still nothing.
        const bool connected = socket.waitForConnected(expected == Port::Hangs ? 1500 : 5000);
        QCOMPARE(connected, expected == Port::Answers || expected == Port::Silent);
        if (!connected) {
            QCOMPARE(socket.error(), expected == Port::Hangs ? QAbstractSocket::SocketTimeoutError
                                                            : QAbstractSocket::ConnectionRefusedError);
            continue;
        }
        QElapsedTimer clock;
        clock.start();
        socket.write("getStatus\r");
        QVERIFY(sim.waitForLine(QStringLiteral("dut TCP getStatus\\r")));
        if (expected == Port::Answers) {
            QVERIFY(readReply(socket).startsWith("BRYX_RXGEN2:"));
            QVERIFY2(clock.elapsed() >= replyAfterMs, qPrintable(QString::number(clock.elapsed())));
        } else {
            // Once another unit has answered, any reply of this one would be here already.
            QVERIFY(exchange(kBarrierUnit, {"getStatus\r"}).value(0).startsWith("BRYX_WPCGEN2:"));
            QVERIFY(!socket.waitForReadyRead(0));
            QCOMPARE(socket.bytesAvailable(), 0);
        }
    }
}

void TestUnitSim::brokenFleetExitsWithError_data()
{
    QTest::addColumn<QString>("fleet");
    QTest::newRow("address-on-no-interface") << unitGroup("far", "k220-encoder", "10.77.250.250");
    QTest::newRow("unknown-family") << unitGroup("odd", "k999-encoder", "10.77.1.1");
    QTest::newRow("missing-address") << QStringLiteral("[noip]\nfamily=wp\n");
    QTest::newRow("same-address-twice")
        << unitGroup("one", "wp", "10.77.1.1") + unitGroup("two", "atr", "10.77.1.1");
    QTest::newRow("no-units") << QStringLiteral("[fleet]\nrebootSeconds=1\n");
}

void TestUnitSim::brokenFleetExitsWithError()
{
    QFETCH(QString, fleet);
    SimulatorProcess sim;
    QVERIFY(sim.launch(fleet));
    QVERIFY(sim.waitForExit());
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(sim.process().exitCode() != 0);
    QVERIFY(!sim.hasLineStartingWith(QStringLiteral("READY")));
    QVERIFY(!sim.process().readAllStandardError().isEmpty());
}

void TestUnitSim::largeFleetAnswersWholeBurst()
{
    // Every family with its expected number of answers to the burst.
    const QList<QPair<QString, int>> families = {{"k110-encoder", 2},
                                                 {"k110-decoder", 2},
                                                 {"k220-encoder", 2},
                                                 {"k220-decoder", 2},
                                                 {"k225-encoder", 2},
                                                 {"k225-decoder", 2},
                                                 {"kvm-encoder", 2},
                                                 {"kvm-decoder", 2},
                                                 {"k330-encoder", 2},
                                                 {"k330-decoder", 2},
                                                 {"legacy-encoder", 1},
                                                 {"legacy-decoder", 1},
                                                 {"recorder", 2},
                                                 {"legacy-recorder", 2},
                                                 {"atr", 1},
                                                 {"k440", 1},
                                                 {"wp", 1},
                                                 {"kpanel", 2},
                                                 {"vod", 1},
                                                 {"conductor", 1}}; // panels hear the barrier too;
                                                                    // K-Series units answer twice
    constexpr int kUnits = 250;
    QString fleet = unitGroup(QStringLiteral("barrier"), QStringLiteral("kpanel"), kBarrierUnit.toString());
    QHash<QString, int> expected;
    int total = 0;
    for (int i = 0; i < kUnits; ++i) {
        const auto &[family, answers] = families.at(i % families.size());
        const QString ip = QStringLiteral("10.77.1.%1").arg(i + 1);
        fleet += unitGroup(QStringLiteral("u%1").arg(i, 3, 10, QLatin1Char('0')), family, ip);
        expected.insert(ip, answers);
        total += answers;
    }
    SimulatorProcess sim;
    QVERIFY(sim.start(fleet, kUnits + 1));
    UdpPeer peer(kBarrierUnit, kBarrierCode);

    QHash<QString, int> answered;
    const QList<QNetworkDatagram> replies = peer.broadcast(discoveryBurst());
    for (const QNetworkDatagram &reply : replies)
        ++answered[reply.senderAddress().toString()];
    answered.remove(kBarrierUnit.toString());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(answered.value(it.key()) == it.value(),
                 qPrintable(QStringLiteral("%1 answered %2 times, not %3")
                                .arg(it.key())
                                .arg(answered.value(it.key()))
                                .arg(it.value())));
    QCOMPARE(answered.size(), kUnits);
    // The barrier panel answers the burst, the broadcast barrier and the unicast one.
    QCOMPARE(replies.size(), total + 3);
}

void TestUnitSim::terminatesCleanly()
{
    SimulatorProcess sim;
    QVERIFY(sim.start(fleetOf(QStringLiteral("wp")), 2));
    sim.process().terminate();
    QVERIFY(sim.waitForExit());
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestUnitSim)
#include "tst_unitsim.moc"
