#include "csvreader.h"
#include "recordingport.h"
#include "units/unitlookup.h"
#include "update/batchaccount.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"
#include "update/updatereport.h"

#include <QStorageInfo>
#include <QtTest>

namespace {

const QDateTime kStart(QDate(2026, 3, 2), QTime(9, 0));

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
    u.webversion = QStringLiteral("03/03/2015");
    u.mac = QStringLiteral("02:00:00:00:04:") + ip.section(QLatin1Char('.'), 3, 3).rightJustified(2, QLatin1Char('0'));
    u.lastSeen = kStart;
    return u;
}

QStringList macsOf(const QList<MarluneUnit> &list)
{
    QStringList macs;
    for (const MarluneUnit &u : list)
        macs << u.mac;
    return macs;
}

} // namespace

// The refresh tick, one pass at a time, against a recording port and a clock set by hand: no
// sockets, no window, no waiting.
class TestPipelineSteps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void powerOffWarningOncePerRun();
    void foreverModeRequeuesOneUnitPerTick();
    void commandAddresses_data();
    void commandAddresses();
    void confirmPassDecisions_data();
    void confirmPassDecisions();
    void confirmSentEndsTheTick();
    void pendingUpdateCountsAsRebooted();
    void edidPass_data();
    void edidPass();
    void outOfSyncWaitsTenSeconds();
    void outOfSyncWireOrder_data();
    void outOfSyncWireOrder();
    void confirmExchangeTakingThreeSeconds();
    void unitsInAnExchangeAreLeftAlone();
    void unitFoundDownBeforeItIsWaitedFor_data();
    void unitFoundDownBeforeItIsWaitedFor();
    void queuedAgainAfterABrokenTransfer();
    void confirmPassOverALargeFleet();
    void queueingAgain_data();
    void queueingAgain();
    void resumingACutBatch_data();
    void resumingACutBatch();
    void stepDeadlines_data();
    void stepDeadlines();
    void overdueUnitRecovers();
    void wallClockStepMakesNoUnitLate();
    void retryTakesBackFailedUnits();
    void failedExchangeNotedUntilTheNext();
    void rolloutHaltsOnceResumesAndStops();
    void updatedAgainCountsOnlyThisBatch();
    void reportReadsBack();
    void reportOnAFullDisk_data();
    void reportOnAFullDisk();

private:
    PipelineState &state() { return pipeline->state(); }
    // The account the core keeps of the events the pipeline told, and the report made of it.
    BatchAccount accountOfEvents() const
    {
        BatchAccount account;
        for (const UnitEvent &event : port.events)
            account.apply(event);
        return account;
    }
    QByteArray reportOfEvents() const { return reportCsv(accountOfEvents().latestRows()); }
    QString statusOf(const MarluneUnit &u)
    {
        return unitStatus(*findUnit(state().vUnits, &MarluneUnit::mac, u.mac), state(), pipeline->catalogue()).text;
    }
    // Lists the unit and commands it at kStart.
    void command(const MarluneUnit &u)
    {
        state().vUnits.append(u);
        state().tcpAlive[u.ip] = true;
        state().lastConfirmTime = kStart; // keeps the out-of-sync pass quiet
        pipeline->queueForUpdate({u.mac});
        pipeline->refreshTimerTimeout();
        QCOMPARE(state().runs.value(u.mac).commanded, now);
    }

    // The unit answers again after its reboot, asking to be confirmed; the next tick confirms it.
    void backWithUpdatePending(MarluneUnit &u)
    {
        u.updateStatus = 1;
        u.lastSeen = now;
        state().vUnits = {u};
        pipeline->testFinished(u.ip, true);
        pipeline->refreshTimerTimeout();
        QCOMPARE(port.callsOf("sendConfig").last(),
                 QStringLiteral("sendConfig ") + u.ip + QStringLiteral(" setSettings:confirmUpdate\\r"));
    }

    RecordingPort port;
    UpdatePipeline *pipeline = nullptr;
    QDateTime now;
    qint64 wallClockSteps = 0;
};

void TestPipelineSteps::init()
{
    port = RecordingPort();
    now = kStart;
    pipeline = new UpdatePipeline(port);
    pipeline->setClock([this] { return now; });
    // The steady clock moves with the wall clock, but for the wall clock's own steps.
    wallClockSteps = 0;
    pipeline->setSteadyClock([this] { return kStart.msecsTo(now) - wallClockSteps; });
    // The k220 package: 3/2/2015, web 03/03/2015.
    pipeline->catalogue().k220.present = true;
    pipeline->catalogue().k220.swVer = QDateTime(QDate(2015, 3, 2), QTime(0, 0));
    pipeline->catalogue().k220.webVer = QDateTime(QDate(2015, 3, 3), QTime(0, 0));
}

void TestPipelineSteps::cleanup()
{
    delete pipeline;
    QFile::remove(QStringLiteral("FOREVER.txt"));
}

void TestPipelineSteps::powerOffWarningOncePerRun()
{
    // No units: the buttons come back and nothing else happens.
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.calls, QStringList{"enableButtons"});

    state().vUnits = {unit("unit", "DEC", "K2200A", 1, "10.77.1.5")};
    state().lastConfirmTime = now; // keeps the out-of-sync pass quiet
    pipeline->refreshTimerTimeout();
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("powerOffWarning").size(), 1);
    QVERIFY(state().powerWarningShown);
}

void TestPipelineSteps::foreverModeRequeuesOneUnitPerTick()
{
    MarluneUnit byMac = unit("by mac", "DEC", "K2200A", 1, "10.77.1.10");
    byMac.mac = QStringLiteral("02:00:00:00:04:0A");
    const MarluneUnit byName = unit("LOBBY", "DEC", "K2200B", 1, "10.77.1.11");
    const MarluneUnit mixedCase = unit("Lobby", "DEC", "K2200C", 1, "10.77.1.12");
    state().vUnits = {byMac, byName, mixedCase};
    state().vUnitsFinished = {mixedCase, byMac, byName};
    QFile listFile(QStringLiteral("FOREVER.txt"));
    QVERIFY(listFile.open(QIODevice::WriteOnly));
    listFile.write("  02:00:00:00:04:0a\n\tlobby   Lobby \n");
    listFile.close();

    pipeline->refreshTimerTimeout();
    QCOMPARE(macsOf(state().vUnitsUpdate), QStringList{byMac.mac});
    QCOMPARE(state().foreverCount.value(byMac.mac), 1);
    QCOMPARE(state().vUnitsFinished.size(), 2);

    pipeline->refreshTimerTimeout();
    QCOMPARE(macsOf(state().vUnitsUpdate), (QStringList{byMac.mac, byName.mac}));
    QCOMPARE(state().foreverCount.value(byName.mac), 1);
    // Each of those ticks ended at the re-queue: nothing was polled or commanded yet.
    QVERIFY(port.callsOf("getStatus").isEmpty());
    QVERIFY(port.callsOf("sendConfig").isEmpty());

    // Only the mixed-case name is left, and it matches nothing: this tick commands both.
    pipeline->refreshTimerTimeout();
    QCOMPARE(state().vUnitsFinished.size(), 1);
    QCOMPARE(port.callsOf("sendConfig").size(), 2);
    QCOMPARE(state().vUnitsConfirm.size(), 2);
    QCOMPARE(state().foreverMACList, (QStringList{"02:00:00:00:04:0A", "LOBBY", "LOBBY"}));
}

void TestPipelineSteps::commandAddresses_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("ownSubnet");    // the local address on the unit's own subnet
    QTest::addColumn<QString>("secondSubnet"); // the local address on its second interface's
    QTest::addColumn<QString>("sent");
    QTest::addColumn<bool>("warned");

    QTest::newRow("own-subnet") << "DEC"
                                << "10.77.0.1"
                                << ""
                                << "setSettings:updateUnit:10.77.0.1\\r" << false;
    QTest::newRow("video-server-second-interface") << "VOD"
                                                   << ""
                                                   << "10.78.0.1"
                                                   << "setSettings:updateUnit:10.78.0.1\\r" << false;
    QTest::newRow("only-video-servers-use-the-second") << "DEC"
                                                       << ""
                                                       << "10.78.0.1"
                                                       << "setSettings:updateUnit:\\r" << true;
    QTest::newRow("outside-every-subnet") << "VOD"
                                          << ""
                                          << ""
                                          << "setSettings:updateUnit:\\r" << true;
}

void TestPipelineSteps::commandAddresses()
{
    QFETCH(QString, type);
    QFETCH(QString, ownSubnet);
    QFETCH(QString, secondSubnet);
    QFETCH(QString, sent);
    QFETCH(bool, warned);

    MarluneUnit queued = unit("queued", type, type == QLatin1String("VOD") ? "K7200" : "K2200A", 0, "10.77.1.20");
    queued.eth1_ipAddr = QStringLiteral("10.78.1.20");
    port.localAddresses = {{queued.ip, ownSubnet}, {queued.eth1_ipAddr, secondSubnet}};
    state().vUnits = {queued};
    state().vUnitsUpdate = {queued};
    now = kStart.addSecs(30);

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.20 " + sent});
    QCOMPARE(port.log.contains("Updater: Warning! Not in subnet: queued (10.77.1.20)"), warned);
    QVERIFY(port.log.contains("Updater: Commanding queued (10.77.1.20)"));
    QVERIFY(state().vUnitsUpdate.isEmpty());
    QCOMPARE(macsOf(state().vUnitsConfirm), QStringList{queued.mac});
    QVERIFY(state().serverContacted && state().updateCommanded);
    QCOMPARE(state().lastUpdateCommandTime, now);
    // The tick ended with the commands: no out-of-sync pass, though 30 seconds passed.
    QCOMPARE(port.calls.last(), QStringLiteral("redraw"));
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
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("logLine");

    const QStringList confirm{"sendConfig 10.77.1.30 setSettings:confirmUpdate\\r"};
    QTest::newRow("not-rebooted-yet") << false << true << 0 << 0u << "3/2/2015" << false << "waits" << QStringList()
                                      << "";
    QTest::newRow("tcp-unreachable") << true << false << 0 << 1u << "3/2/2015" << false << "waits" << QStringList()
                                     << "";
    QTest::newRow("stale-status") << true << true << 16 << 1u << "3/2/2015" << false << "waits" << QStringList() << "";
    QTest::newRow("fresh-at-fifteen-seconds") << true << true << 15 << 1u << "3/2/2015" << false << "finished"
                                              << confirm << "Updater: Confirming unit (10.77.1.30)";
    QTest::newRow("confirmed-elsewhere") << true << true << 1 << 0u << "3/2/2015" << false << "finished"
                                         << QStringList()
                                         << "Updater: Another device (perhaps K-Director or K-Relay) confirmed the "
                                            "update for unit (10.77.1.30)";
    QTest::newRow("not-applied") << true << true << 1 << 0u << "1/1/2015" << false << "finished" << QStringList()
                                 << "Updater: Update was not applied for unit (10.77.1.30)";
    QTest::newRow("encoder-to-edid") << true << true << 1 << 1u << "3/2/2015" << true << "edid" << confirm
                                     << "Updater: Confirming unit (10.77.1.30)";
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
    QFETCH(QStringList, sent);
    QFETCH(QString, logLine);

    const MarluneUnit commanded = unit("unit", "ENC", "K2100A", 1, "10.77.1.30");
    MarluneUnit current = commanded;
    current.swversion = sw;
    current.updateStatus = updateStatus;
    current.lastSeen = now.addSecs(-ageSeconds);
    state().vUnits = {current};
    state().vUnitsConfirm = {commanded};
    if (rebooted)
        state().vUnitsRebooted = {commanded};
    state().tcpAlive[commanded.ip] = reachable;
    state().lastConfirmTime = now;
    port.resetEdid = edidTicked;

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), sent);
    // The unit's current status is asked for whatever the verdict; an unreachable or stale one
    // is tested again.
    QVERIFY(port.calls.contains("getStatus 10.77.1.30 udp"));
    QCOMPARE(port.calls.contains("startTcpTest 10.77.1.30"), rebooted && (!reachable || ageSeconds > 15));
    QCOMPARE(state().vUnitsConfirm.isEmpty(), outcome != QLatin1String("waits"));
    QCOMPARE(state().vUnitsFinished.size(), outcome == QLatin1String("finished") ? 1 : 0);
    QCOMPARE(state().vUnitsEDID.size(), outcome == QLatin1String("edid") ? 1 : 0);
    if (!logLine.isEmpty())
        QVERIFY2(port.log.contains(logLine), qPrintable(port.log.join('\n')));
    QCOMPARE(state().lastConfirmTime, now);
}

void TestPipelineSteps::confirmSentEndsTheTick()
{
    MarluneUnit commanded = unit("commanded", "DEC", "K2200A", 1, "10.77.1.31");
    commanded.updateStatus = 1;
    const MarluneUnit queued = unit("queued", "DEC", "K2200B", 1, "10.77.1.32");
    state().vUnits = {commanded, queued};
    state().vUnitsConfirm = {commanded};
    state().vUnitsRebooted = {commanded};
    state().vUnitsUpdate = {queued};
    state().tcpAlive[commanded.ip] = true;

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.31 setSettings:confirmUpdate\\r"});
    QCOMPARE(state().vUnitsUpdate.size(), 1);

    port.calls.clear();
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.32 setSettings:updateUnit:\\r"});
}

void TestPipelineSteps::pendingUpdateCountsAsRebooted()
{
    // No reachability test saw it go down, but it answers on TCP and reports the pending update.
    MarluneUnit reporting = unit("reporting", "DEC", "K2200A", 1, "10.77.1.33");
    reporting.updateStatus = 1;
    const MarluneUnit waiting = unit("waiting", "DEC", "K2200B", 1, "10.77.1.34");
    state().vUnits = {reporting, waiting};
    state().vUnitsConfirm = {waiting};
    state().tcpAlive[reporting.ip] = true;
    state().vUnitsRebooted = {reporting, reporting};

    pipeline->refreshTimerTimeout();
    QCOMPARE(macsOf(state().vUnitsRebooted), QStringList{reporting.mac});
}

void TestPipelineSteps::edidPass_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<int>("failedBefore");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("sent");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<int>("attemptsAfter");
    QTest::addColumn<QStringList>("logLines");

    const QString reset = QStringLiteral("setSettings:resetedid\\r");
    QTest::newRow("success") << "K2100A" << 0 << QByteArray("Successfully Reset EDID") << reset << true << 0
                             << QStringList{"Updater: Resetting EDID enc (10.77.1.40)",
                                            "10.77.1.40: Successfully Reset EDID (10.77.1.40)"};
    QTest::newRow("first-failure-tries-again")
        << "K2100A" << 0 << QByteArray("Failed To Reset EDID") << reset << false << 1
        << QStringList{"Updater: Resetting EDID enc (10.77.1.40)",
                       "10.77.1.40: Failed To Reset EDID (10.77.1.40) ... Updater will try again (1 / 3)"};
    QTest::newRow("third-failure-gives-up")
        << "K2100A" << 2 << QByteArray("Failed To Reset EDID") << reset << true << 3
        << QStringList{"Updater: Resetting EDID enc (10.77.1.40)",
                       "10.77.1.40: Failed To Reset EDID (10.77.1.40) ... Updater will try again (3 / 3)",
                       "Updater: Updater has abandoned Reset EDID for enc (10.77.1.40)"};
    QTest::newRow("no-verdict-is-not-counted") << "K2100A" << 1 << QByteArray("Need response") << reset << false << 1
                                               << QStringList{"Updater: Resetting EDID enc (10.77.1.40)"};
    QTest::newRow("4k-gets-both-commands")
        << "K2150A" << 0 << QByteArray("Successfully Reset EDID")
        << "setSettings:resetedid\\rsetSettings:resetedidanalog\\r" << true << 0
        << QStringList{"Updater: Resetting EDID enc (10.77.1.40)", "10.77.1.40: Successfully Reset EDID (10.77.1.40)"};
}

void TestPipelineSteps::edidPass()
{
    QFETCH(QString, sn);
    QFETCH(int, failedBefore);
    QFETCH(QByteArray, reply);
    QFETCH(QString, sent);
    QFETCH(bool, finished);
    QFETCH(int, attemptsAfter);
    QFETCH(QStringList, logLines);

    const MarluneUnit encoder = unit("enc", "ENC", sn, 1, "10.77.1.40");
    state().vUnits = {encoder};
    state().vUnitsEDID = {encoder};
    if (failedBefore > 0)
        state().edidAttempts[encoder.ip] = failedBefore;
    state().lastConfirmTime = now;
    port.replies[encoder.ip] = reply;

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.40 " + sent});
    QCOMPARE(port.log, logLines);
    QCOMPARE(state().vUnitsEDID.isEmpty(), finished);
    QCOMPARE(state().vUnitsFinished.size(), finished ? 1 : 0);
    QCOMPARE(state().edidAttempts.value(encoder.ip), attemptsAfter);
}

void TestPipelineSteps::outOfSyncWaitsTenSeconds()
{
    MarluneUnit pending = unit("pending", "DEC", "K2200A", 1, "10.77.1.50");
    pending.updateStatus = 1;
    MarluneUnit trial = unit("trial", "DEC", "K2200B", 1, "10.77.1.51");
    trial.ipTrial = 1;
    state().vUnits = {pending, trial, unit("quiet", "DEC", "K2200C", 1, "10.77.1.52")};

    pipeline->refreshTimerTimeout(); // the first tick starts the 10 seconds
    now = kStart.addSecs(10);
    pipeline->refreshTimerTimeout();
    QVERIFY(port.callsOf("sendConfig").isEmpty());

    now = kStart.addSecs(11);
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), (QStringList{"sendConfig 10.77.1.50 setSettings:confirmUpdate\\r",
                                                      "sendConfig 10.77.1.51 setSettings:ipsave\\r"}));
    QCOMPARE(port.log, (QStringList{"Updater: Confirming update (out-of-sync) pending (10.77.1.50)",
                                    "Updater: Confirming IP trial (10.77.1.51)"}));
    QCOMPARE(port.calls.last(), QStringLiteral("redraw"));

    // While a unit waits for confirmation, nothing is confirmed out of sync.
    port.calls.clear();
    state().vUnitsConfirm = {trial};
    pipeline->refreshTimerTimeout();
    QVERIFY(port.callsOf("sendConfig").isEmpty());
}

void TestPipelineSteps::outOfSyncWireOrder_data()
{
    QTest::addColumn<bool>("resettingEdid");
    QTest::addColumn<quint32>("updateStatus");
    QTest::addColumn<quint32>("ipTrial");
    QTest::addColumn<QStringList>("wire"); // what the unit is sent, in order, over the tick

    const QString confirm = QStringLiteral("sendConfig 10.77.1.53 setSettings:confirmUpdate\\r");
    const QString ipsave = QStringLiteral("sendConfig 10.77.1.53 setSettings:ipsave\\r");
    const QString resetEdid = QStringLiteral("sendConfig 10.77.1.53 setSettings:resetedid\\r");
    QTest::newRow("confirm-then-ipsave") << false << 1u << 1u << QStringList{confirm, ipsave};
    QTest::newRow("ipsave-alone") << false << 0u << 1u << QStringList{ipsave};
    QTest::newRow("edid-reset-then-confirm") << true << 1u << 0u << QStringList{resetEdid, confirm};
    QTest::newRow("edid-reset-confirm-ipsave") << true << 1u << 1u << QStringList{resetEdid, confirm, ipsave};
}

// In one tick a unit gets every message the passes have for it, in the passes' order, though
// each exchange takes a while: a message to a unit whose exchange of this tick is still open
// follows it. An exchange of an earlier tick still open leaves the unit alone.
void TestPipelineSteps::outOfSyncWireOrder()
{
    QFETCH(bool, resettingEdid);
    QFETCH(quint32, updateStatus);
    QFETCH(quint32, ipTrial);
    QFETCH(QStringList, wire);

    MarluneUnit both = unit("both", "ENC", "K2100A", 1, "10.77.1.53");
    both.updateStatus = updateStatus;
    both.ipTrial = ipTrial;
    state().vUnits = {both};
    if (resettingEdid)
        state().vUnitsEDID = {both};
    state().lastConfirmTime = now.addSecs(-11);
    port.replies[both.ip] = QByteArrayLiteral("Need response");
    port.holdExchanges = true;

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), wire.mid(0, 1));
    for (int sent = 1; sent < wire.size(); ++sent) {
        port.releaseExchanges();
        QCOMPARE(port.callsOf("sendConfig"), wire.mid(0, sent + 1));
    }
    // The last exchange is still open at the next tick: nothing more goes to the unit.
    now = now.addSecs(5);
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), wire);
}

// A confirm command whose exchange takes three seconds: the out-of-sync pass waits 10 seconds
// from the end of the exchange, and the EDID choice is the one ticked when the unit was judged.
void TestPipelineSteps::confirmExchangeTakingThreeSeconds()
{
    MarluneUnit encoder = unit("enc", "ENC", "K2100A", 1, "10.77.1.54");
    encoder.updateStatus = 1;
    MarluneUnit elsewhere = unit("elsewhere", "DEC", "K2200A", 1, "10.77.1.55");
    elsewhere.updateStatus = 1;
    state().vUnits = {encoder, elsewhere};
    state().vUnitsConfirm = {encoder};
    state().vUnitsRebooted = {encoder};
    state().tcpAlive[encoder.ip] = true;
    state().lastConfirmTime = now.addSecs(-60);
    port.resetEdid = true;
    port.holdExchanges = true;

    const QDateTime decided = now;
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.54 setSettings:confirmUpdate\\r"});
    port.resetEdid = false; // unticked while the exchange runs
    now = decided.addSecs(3);
    port.releaseExchanges();
    QCOMPARE(macsOf(state().vUnitsEDID), QStringList{encoder.mac});
    QCOMPARE(state().lastConfirmTime, decided.addSecs(3));

    state().vUnits = {elsewhere};
    state().vUnitsEDID.clear();
    now = decided.addSecs(11);
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 1);
    now = decided.addSecs(14);
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").last(), QStringLiteral("sendConfig 10.77.1.55 setSettings:confirmUpdate\\r"));
}

void TestPipelineSteps::unitsInAnExchangeAreLeftAlone()
{
    // Exchanges outlive their tick: a unit whose command exchange is not over is neither
    // commanded nor confirmed again, and moves on only once it is over.
    const MarluneUnit slow = unit("slow", "DEC", "K2200A", 1, "10.77.1.35");
    const MarluneUnit quick = unit("quick", "DEC", "K2200A", 2, "10.77.1.36");
    state().vUnits = {slow, quick};
    state().vUnitsUpdate = {slow, quick};
    port.holdExchanges = true;

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 2);
    QCOMPARE(state().vUnitsUpdate.size(), 2);
    QVERIFY(state().vUnitsConfirm.isEmpty());
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 2);
    QCOMPARE(port.log.count(QStringLiteral("Updater: Commanding slow (10.77.1.35)")), 1);

    // The operator takes one off the list meanwhile: it is not waited for.
    pipeline->removeUnits({quick.mac});
    port.releaseExchanges();
    QCOMPARE(macsOf(state().vUnitsConfirm), QStringList{slow.mac});
    QVERIFY(state().vUnitsUpdate.isEmpty());
    QVERIFY(port.calls.contains(QStringLiteral("redrawSoon")));

    // Its confirm command is an exchange too: it stays commanded until that is over.
    MarluneUnit back = slow;
    back.updateStatus = 1;
    back.lastSeen = now;
    state().vUnits = {back};
    state().vUnitsRebooted = {back};
    state().tcpAlive[back.ip] = true;
    port.calls.clear();
    pipeline->refreshTimerTimeout();
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.35 setSettings:confirmUpdate\\r"});
    QCOMPARE(macsOf(state().vUnitsConfirm), QStringList{slow.mac});
    port.releaseExchanges();
    QVERIFY(state().vUnitsConfirm.isEmpty());
    QCOMPARE(macsOf(state().vUnitsFinished), QStringList{slow.mac});
}

void TestPipelineSteps::unitFoundDownBeforeItIsWaitedFor_data()
{
    QTest::addColumn<bool>("fetchSeen");
    QTest::newRow("fetched") << true;
    // It fetched from an address the file server did not know it by, or not at all.
    QTest::newRow("no-fetch-seen") << false;
}

void TestPipelineSteps::unitFoundDownBeforeItIsWaitedFor()
{
    QFETCH(bool, fetchSeen);
    // The unit goes down to reboot while its command exchange is still open, and a reachability
    // test finds it down then: that result counts once the exchange is over. Once back, the unit
    // is confirmed.
    const MarluneUnit early = unit("early", "DEC", "K2200A", 1, "10.77.1.37");
    state().vUnits = {early};
    state().tcpAlive[early.ip] = true;
    state().lastConfirmTime = now;
    port.holdExchanges = true;
    pipeline->queueForUpdate({early.mac});
    pipeline->refreshTimerTimeout();
    if (fetchSeen)
        pipeline->recordFetch(early.ip, 1000);
    pipeline->testFinished(early.ip, false);
    port.releaseExchanges();
    QCOMPARE(macsOf(state().vUnitsConfirm), QStringList{early.mac});
    QCOMPARE(macsOf(state().vUnitsRebooted), QStringList{early.mac});

    MarluneUnit back = early;
    back.updateStatus = 1;
    for (int tick = 0; tick < 2; ++tick) {
        now = now.addSecs(5);
        back.lastSeen = now;
        state().vUnits = {back};
        port.calls.clear();
        pipeline->refreshTimerTimeout();
        if (port.calls.contains(QStringLiteral("startTcpTest 10.77.1.37")))
            pipeline->testFinished(early.ip, true);
    }
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.37 setSettings:confirmUpdate\\r"});
}

// A finished unit whose last transfer broke off shows what its lists give once queued again
// (its finished text, which comes after the queue's), not the old transfer.
void TestPipelineSteps::queuedAgainAfterABrokenTransfer()
{
    const MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    command(decoder);
    pipeline->recordBrokenTransfer(decoder.ip, 500, 1000);
    QCOMPARE(statusOf(decoder), QStringLiteral("Image transfer broke off at 50%"));
    state().vUnitsConfirm.clear();
    state().vUnitsFinished = {decoder};
    pipeline->queueForUpdate({decoder.mac});
    QCOMPARE(statusOf(decoder), QStringLiteral("Update completed with mismatched dates."));
    QCOMPARE(rowColour(decoder.mac, state()), CellColour::Green);
}

// A pass over more units than one event-loop turn walks: each unit is judged once, also when
// the one before it left the list at once (confirmed elsewhere) or as its exchange ended.
void TestPipelineSteps::confirmPassOverALargeFleet()
{
    QList<MarluneUnit> fleet;
    for (int i = 0; i < 300; ++i) {
        MarluneUnit u = unit(QStringLiteral("u%1").arg(i), "DEC", "K2200A", 1,
                             QStringLiteral("10.77.%1.%2").arg(1 + i / 250).arg(1 + i % 250));
        u.mac = QStringLiteral("02:00:00:00:%1:%2").arg(i / 256, 2, 16, QLatin1Char('0')).arg(i % 256, 2, 16, QLatin1Char('0'));
        u.lastSeen = now;
        u.updateStatus = i % 3 == 0 ? 0 : 1; // every third was confirmed by someone else
        state().tcpAlive[u.ip] = true;
        fleet.append(u);
    }
    state().vUnits = fleet;
    state().vUnitsConfirm = fleet;
    state().vUnitsRebooted = fleet;
    state().lastConfirmTime = now;
    // Two replies from each unit since the last tick, merged in slices: the later one stays.
    for (const MarluneUnit &u : std::as_const(fleet)) {
        state().vUnitsIncoming.append(u);
        state().vUnitsIncoming.append(u);
        state().vUnitsIncoming.last().name = u.name + QStringLiteral(" (renamed)");
    }

    pipeline->refreshTimerTimeout();
    QVERIFY(state().vUnitsIncoming.isEmpty());
    QCOMPARE(state().vUnits.size(), 300);
    QCOMPARE(state().vUnits.last().name, QStringLiteral("u299 (renamed)"));
    QCOMPARE(port.callsOf("getStatus").size(), 600); // polled in slices, then the confirm pass
    QCOMPARE(port.callsOf("sendConfig").size(), 200);
    QVERIFY(state().vUnitsConfirm.isEmpty());
    QCOMPARE(state().vUnitsFinished.size(), 300);
}

void TestPipelineSteps::stepDeadlines_data()
{
    QTest::addColumn<QString>("reached"); // the unit's last step after the command, at +1 min
    QTest::addColumn<int>("secondsLater"); // from the command, or from that step
    QTest::addColumn<QString>("status");

    QTest::newRow("fetch-in-time") << "" << 180 << "Waiting for reboot";
    QTest::newRow("no-fetch") << "" << 181 << "Overdue: no image fetch after 3 min";
    QTest::newRow("fetching-is-never-late") << "fetching" << 3600 << "Fetching image 45%";
    QTest::newRow("broke-off") << "broke-off" << 60 << "Image transfer broke off at 45%";
    QTest::newRow("broke-off-no-fetch") << "broke-off" << 121 << "Overdue: no image fetch after 3 min";
    QTest::newRow("reboot-in-time") << "fetched" << 600 << "Waiting for reboot";
    QTest::newRow("no-reboot") << "fetched" << 601 << "Overdue: no reboot after 10 min";
    QTest::newRow("back-in-time") << "rebooted" << 600 << "Unit is rebooting...";
    QTest::newRow("not-back") << "rebooted" << 601 << "Overdue: not back after 10 min";
}

// Each step's deadline counts from the step before; a unit past it is marked once, in its cell
// and the status log, and stays where it is in the pipeline.
void TestPipelineSteps::stepDeadlines()
{
    QFETCH(QString, reached);
    QFETCH(int, secondsLater);
    QFETCH(QString, status);

    const MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    command(decoder);
    now = kStart.addSecs(60);
    if (reached == QLatin1String("fetching"))
        pipeline->recordProgress(decoder.ip, 450, 1000);
    if (reached == QLatin1String("broke-off"))
        pipeline->recordBrokenTransfer(decoder.ip, 459, 1000);
    if (reached == QLatin1String("fetched") || reached == QLatin1String("rebooted"))
        pipeline->recordFetch(decoder.ip, 1000);
    if (reached == QLatin1String("rebooted"))
        pipeline->testFinished(decoder.ip, false);
    // secondsLater counts from the reached step, or from the command if none. A broken-off
    // transfer is no step: its fetch deadline still counts from the command (60 + 121 s).
    const QDateTime from = reached.isEmpty() ? kStart : now;

    now = from.addSecs(secondsLater);
    port.log.clear();
    pipeline->refreshTimerTimeout();
    pipeline->refreshTimerTimeout();
    QCOMPARE(statusOf(decoder), status);
    QCOMPARE(state().vUnitsConfirm.size(), 1);
    const bool overdue = status.startsWith(QLatin1String("Overdue"));
    QCOMPARE(port.log.filter(QStringLiteral("Overdue")), overdue ? QStringList{"10.77.1.5: " + status + '.'} : QStringList());
    QCOMPARE(unitStatus(decoder, state(), pipeline->catalogue()).colour,
             overdue ? CellColour::Orange : CellColour::Default);
    QCOMPARE(pipeline->retryCandidates(), overdue ? QStringList{decoder.mac} : QStringList());
}

// An overdue unit that goes on loses its mark and is confirmed as usual.
void TestPipelineSteps::overdueUnitRecovers()
{
    MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    command(decoder);
    now = kStart.addSecs(200);
    pipeline->refreshTimerTimeout();
    QCOMPARE(state().runs.value(decoder.mac).overdue, Overdue::NoFetch);
    QCOMPARE(batchSummary(state(), pipeline->catalogue()), QString::fromUtf8("Batch: 0 of 1 confirmed \u00b7 1 overdue"));

    pipeline->recordProgress(decoder.ip, 0, 1000);
    QCOMPARE(batchSummary(state(), pipeline->catalogue()), QString::fromUtf8("Batch: 0 of 1 confirmed \u00b7 1 overdue"));
    pipeline->refreshTimerTimeout();
    QCOMPARE(statusOf(decoder), QStringLiteral("Fetching image 0%"));
    QCOMPARE(port.log.last(), QStringLiteral("10.77.1.5: No longer overdue."));
    QCOMPARE(batchSummary(state(), pipeline->catalogue()), QString::fromUtf8("Batch: 0 of 1 confirmed \u00b7 1 fetching"));

    // Fetched, down, and back with the package's date and the update pending: confirmed.
    pipeline->recordFetch(decoder.ip, 1000);
    pipeline->testFinished(decoder.ip, false);
    decoder.swversion = QStringLiteral("3/2/2015");
    backWithUpdatePending(decoder);
    QCOMPARE(state().vUnitsFinished.size(), 1);
    const UnitRun run = state().runs.value(decoder.mac);
    QVERIFY(run.wasOverdue);
    QCOMPARE(run.overdue, Overdue::None);
    QCOMPARE(run.confirmed, now);
    QCOMPARE(run.bytesServed, 1000);
    QCOMPARE(run.before.swversion, QStringLiteral("1/1/2015"));
    QCOMPARE(batchSummary(state(), pipeline->catalogue()), QStringLiteral("Batch: 1 of 1 confirmed"));
}

// The wall clock is set an hour ahead ten seconds after the command: the unit is not late.
void TestPipelineSteps::wallClockStepMakesNoUnitLate()
{
    const MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    command(decoder);
    now = kStart.addSecs(3610);
    wallClockSteps = 3600 * 1000;
    pipeline->refreshTimerTimeout();
    QCOMPARE(state().runs.value(decoder.mac).overdue, Overdue::None);
    QCOMPARE(statusOf(decoder), QStringLiteral("Waiting for reboot"));
    // Three minutes on the steady clock are late, whatever the wall clock says.
    now = kStart.addSecs(3600 + 181);
    pipeline->refreshTimerTimeout();
    QCOMPARE(statusOf(decoder), QStringLiteral("Overdue: no image fetch after 3 min"));
}

// Overdue units and those that ended without their package's dates go back to the queue, a unit
// whose only failure was its EDID reset has its EDID reset again (no new image); units that
// finished well and units still on time stay where they are.
void TestPipelineSteps::retryTakesBackFailedUnits()
{
    const MarluneUnit late = unit("late", "DEC", "K2200A", 1, "10.77.1.5");
    const MarluneUnit onTime = unit("on time", "DEC", "K2200B", 1, "10.77.1.6");
    const MarluneUnit good = unit("good", "DEC", "K2200C", 1, "10.77.1.7", "3/2/2015");
    const MarluneUnit notApplied = unit("not applied", "DEC", "K2200D", 1, "10.77.1.8");
    const MarluneUnit noEdid = unit("no edid", "ENC", "K2200E", 1, "10.77.1.9", "3/2/2015");
    command(late);
    now = kStart.addSecs(170);
    command(onTime);
    now = kStart.addSecs(200);
    pipeline->refreshTimerTimeout();
    state().vUnits << good << notApplied << noEdid;
    state().vUnitsFinished = {good, notApplied, noEdid};
    state().edidAttempts[noEdid.ip] = 3;
    state().batch << good.mac << notApplied.mac << noEdid.mac;
    QCOMPARE(batchSummary(state(), pipeline->catalogue()),
             QString::fromUtf8("Batch: 1 of 5 confirmed \u00b7 1 commanded \u00b7 1 overdue \u00b7 2 failed"));

    const QStringList failed{late.mac, notApplied.mac, noEdid.mac};
    QCOMPARE(pipeline->retryCandidates(), failed);
    port.calls.clear();
    pipeline->retryUnits(failed);
    QCOMPARE(macsOf(state().vUnitsUpdate), (QStringList{late.mac, notApplied.mac}));
    QCOMPARE(macsOf(state().vUnitsEDID), QStringList{noEdid.mac});
    QCOMPARE(macsOf(state().vUnitsConfirm), QStringList{onTime.mac});
    QCOMPARE(macsOf(state().vUnitsFinished), QStringList{good.mac});
    QVERIFY(!state().edidAttempts.contains(noEdid.ip));
    QVERIFY(state().runs.value(late.mac).retried);
    QCOMPARE(state().runs.value(late.mac).overdue, Overdue::None);
    QVERIFY(!state().runs.value(onTime.mac).retried);

    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 3);
    QCOMPARE(port.callsOf("sendConfig 10.77.1.9"), QStringList{"sendConfig 10.77.1.9 setSettings:resetedid\\r"});
    QCOMPARE(state().vUnitsConfirm.size(), 3);
    QVERIFY(pipeline->retryCandidates().isEmpty());
}

// An exchange that brought no reply gives one status-log line and a note beside where the unit
// stands (an overdue mark stands alone), until the unit is queued again or its next exchange
// begins.
void TestPipelineSteps::failedExchangeNotedUntilTheNext()
{
    MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    const QString note = QStringLiteral("did not answer on TCP 50001");
    const QString why = QStringLiteral("Did not answer on TCP 50001 (no connection in 5 s).");
    const QString noted = QString::fromUtf8(" \u00b7 ") + note;
    port.holdExchanges = true;
    command(decoder);
    pipeline->exchangeFailed(decoder, note, why);
    QCOMPARE(statusOf(decoder), "Queued for Update" + noted);
    port.releaseExchanges();
    QCOMPARE(statusOf(decoder), "Waiting for reboot" + noted);
    QCOMPARE(port.log.filter(QStringLiteral("answer")), QStringList{"10.77.1.5: " + why});
    // It never read the command: found down, it is not rebooting for it, and its deadline says so.
    pipeline->testFinished(decoder.ip, false);
    QCOMPARE(statusOf(decoder), "Unit is rebooting..." + noted);
    QVERIFY(!state().runs.value(decoder.mac).rebootSeen.isValid());
    now = kStart.addSecs(StepDeadlines::kFetchSecs + 1);
    pipeline->refreshTimerTimeout();
    QCOMPARE(statusOf(decoder), QStringLiteral("Overdue: did not answer the update command for 3 min"));
    pipeline->testFinished(decoder.ip, true);
    pipeline->retryUnits({decoder.mac});
    QCOMPARE(statusOf(decoder), QStringLiteral("Queued for Update"));

    // Commanded again, it fails again; then it fetches, reboots and asks to be confirmed.
    pipeline->refreshTimerTimeout();
    pipeline->exchangeFailed(decoder, note, why);
    port.releaseExchanges();
    pipeline->recordFetch(decoder.ip, 1000);
    pipeline->testFinished(decoder.ip, false);
    QCOMPARE(statusOf(decoder), "Unit is rebooting..." + noted);
    backWithUpdatePending(decoder);
    QCOMPARE(statusOf(decoder), QStringLiteral("Confirming update"));

    // The first batch's row still tells what happened in it: never commanded, overdue; the retry
    // has a row of its own in the next batch.
    const BatchAccount account = accountOfEvents();
    const RunRecord first = *account.row(1, decoder.mac);
    QCOMPARE(first.step, QStringLiteral("overdue"));
    QCOMPARE(first.finalStatus, QStringLiteral("Overdue: did not answer the update command for 3 min"));
    QVERIFY(first.overdue && !first.retried && !first.commanded.isValid() && !first.rebootSeen.isValid());
    const RunRecord second = *account.row(2, decoder.mac);
    QVERIFY(second.retried && second.fetched.isValid() && second.rebootSeen.isValid());
}

// At most one unit in flight, halt after one failure: the first unit goes alone, its overdue
// fetch halts the batch once (one log line, one notice), Resume lets the next one go, and Stop
// takes the rest out. The report says which units were held and taken out.
void TestPipelineSteps::rolloutHaltsOnceResumesAndStops()
{
    QList<MarluneUnit> units;
    for (int i = 1; i <= 4; ++i)
        units << unit(QStringLiteral("wall %1").arg(i), "DEC", "K2200A", 1, QStringLiteral("10.77.1.%1").arg(i));
    state().vUnits = units;
    for (const MarluneUnit &u : units)
        state().tcpAlive[u.ip] = true;
    state().lastConfirmTime = kStart;
    pipeline->setRolloutPlan({0, 1, 1});
    pipeline->queueForUpdate(macsOf(units));
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig"), QStringList{"sendConfig 10.77.1.1 setSettings:updateUnit:\\r"});
    QCOMPARE(statusOf(units.at(1)), QStringLiteral("Waiting: 1 in flight"));
    QVERIFY(batchSummary(state(), pipeline->catalogue()).endsWith(QString::fromUtf8("\u00b7 3 waiting (1 at a time)")));

    now = kStart.addSecs(StepDeadlines::kFetchSecs + 1);
    for (int tick = 0; tick < 2; ++tick) {
        pipeline->refreshTimerTimeout();
        now = now.addSecs(5);
    }
    const QString halt = QStringLiteral("Rollout stopped after 1 failed unit: 3 units held (failed: wall 1 (10.77.1.1)).");
    QCOMPARE(port.callsOf("rolloutHalted"), QStringList{"rolloutHalted " + halt});
    QCOMPARE(port.log.filter(QStringLiteral("Rollout stopped")), QStringList{"Updater: " + halt});
    QCOMPARE(port.callsOf("sendConfig").size(), 1);
    QCOMPARE(statusOf(units.at(3)), QStringLiteral("Held: rollout stopped after 1 failed unit"));
    QVERIFY(batchSummary(state(), pipeline->catalogue()).endsWith(QString::fromUtf8("\u00b7 1 overdue \u00b7 3 held")));

    QVERIFY(pipeline->resumeRollout());
    QVERIFY(!pipeline->resumeRollout());
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 2);
    QCOMPARE(port.callsOf("sendConfig").last(), QStringLiteral("sendConfig 10.77.1.2 setSettings:updateUnit:\\r"));
    QCOMPARE(pipeline->withdrawQueued(), (QStringList{units.at(2).mac, units.at(3).mac}));
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").size(), 2);
    QCOMPARE(port.callsOf("rolloutHalted").size(), 1);

    const QList<QStringList> rows = readCsv(reportOfEvents());
    QStringList rollout;
    for (const QStringList &row : rows.mid(1))
        rollout << row.mid(19).join(QLatin1Char('|'));
    const QString plan = QString::fromUtf8("1 at a time \u00b7 stop after 1 failed unit");
    QCOMPARE(rollout, (QStringList{plan + "|||", plan + "||yes|", plan + "||yes|yes", plan + "||yes|yes"}));
}

// A finished unit queued again is still in vUnitsRebooted from its first update, so the confirm
// pass judges it at the first tick after its new command, before it fetched. That verdict rests on
// the earlier reboot: it is no failure of this batch and halts nothing, while a unit judged on a
// reboot seen in this batch counts as it did.
void TestPipelineSteps::updatedAgainCountsOnlyThisBatch()
{
    MarluneUnit first = unit("first", "DEC", "K2200A", 1, "10.77.1.1");
    MarluneUnit second = unit("second", "DEC", "K2200B", 1, "10.77.1.2");
    state().vUnits = {first, second};
    for (const MarluneUnit &u : state().vUnits)
        state().tcpAlive[u.ip] = true;
    state().lastConfirmTime = kStart;
    // Its first update: commanded, seen going down, back without the package's dates.
    pipeline->queueForUpdate({first.mac});
    pipeline->refreshTimerTimeout();
    pipeline->testFinished(first.ip, false);
    now = now.addSecs(60);
    state().vUnits.first().lastSeen = now;
    pipeline->testFinished(first.ip, true);
    pipeline->refreshTimerTimeout();
    const QString notApplied = QStringLiteral("Updater: Update was not applied for first (10.77.1.1)");
    QCOMPARE(port.log.count(notApplied), 1);

    pipeline->setRolloutPlan({0, 1, 1});
    pipeline->queueForUpdate({first.mac, second.mac});
    now = now.addSecs(5);
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.callsOf("sendConfig").last(), QStringLiteral("sendConfig 10.77.1.1 setSettings:updateUnit:\\r"));
    QCOMPARE(macsOf(state().vUnitsRebooted), QStringList{first.mac});
    now = now.addSecs(5);
    state().vUnits.first().lastSeen = now;
    pipeline->refreshTimerTimeout();
    QCOMPARE(port.log.count(notApplied), 2);
    QVERIFY(port.callsOf("rolloutHalted").isEmpty());
    QCOMPARE(port.callsOf("sendConfig").last(), QStringLiteral("sendConfig 10.77.1.2 setSettings:updateUnit:\\r"));
    QCOMPARE(batchSummary(state(), pipeline->catalogue()),
             QString::fromUtf8("Batch: 0 of 2 confirmed \u00b7 1 commanded \u00b7 1 not judged"));

    // The second unit goes down and comes back not updated, all in this batch: a failure.
    pipeline->testFinished(second.ip, false);
    now = now.addSecs(60);
    state().vUnits.last().lastSeen = now;
    pipeline->testFinished(second.ip, true);
    pipeline->refreshTimerTimeout();
    QVERIFY(port.log.contains(QStringLiteral("Updater: Update was not applied for second (10.77.1.2)")));
    QCOMPARE(batchSummary(state(), pipeline->catalogue()),
             QString::fromUtf8("Batch: 0 of 2 confirmed \u00b7 1 failed \u00b7 1 not judged"));
}

// One row per unit queued in this run, in that order, also for a unit taken off the list; a
// field with a comma, quote or line break survives the round trip, one a spreadsheet would
// take for a formula does not start with its sign.
void TestPipelineSteps::reportReadsBack()
{
    pipeline->catalogue().k220.newFilename = QStringLiteral("k220_x.bin");
    pipeline->catalogue().k220.imageSha256 = QString(64, QLatin1Char('a'));
    MarluneUnit lobby = unit("Lobby, \"east\"\nrack", "DEC", "K2200A0001", 1, "10.77.1.5");
    const MarluneUnit gone = unit("=1+2;=3", "DEC", "K2200B", 1, "10.77.1.6");
    command(lobby);
    now = kStart.addSecs(60);
    pipeline->recordFetch(lobby.ip, 1000);
    now = kStart.addSecs(90);
    pipeline->testFinished(lobby.ip, false);
    now = kStart.addSecs(120);
    lobby.swversion = QStringLiteral("3/2/2015");
    lobby.updateStatus = 1;
    lobby.lastSeen = now;
    state().vUnits = {lobby};
    pipeline->testFinished(lobby.ip, true);
    pipeline->refreshTimerTimeout();
    state().vUnits.first().updateStatus = 0; // its next report, once confirmed
    state().vUnits.append(gone);
    pipeline->queueForUpdate({gone.mac});
    pipeline->removeUnits({gone.mac});

    const QByteArray csv = reportOfEvents();
    // A spreadsheet that splits fields at semicolons finds none in the quoted name.
    QVERIFY(csv.contains("\r\n\"'=1+2;=3\","));
    const QList<QStringList> rows = readCsv(csv);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0).join(','), QStringLiteral("Name,Type,MAC,IP,Serial,SW before,WEB before,SW after,WEB after,"
                                                  "Package,Package SHA-256,Bytes served,Commanded,Fetched,Reboot seen,"
                                                  "Confirmed,Final status,Overdue,Retried,Rollout,Canary,Held,"
                                                  "Taken out"));
    const QStringList row = rows.at(1);
    QCOMPARE(row.mid(0, 12), (QStringList{lobby.name, "K2-DEC", lobby.mac, lobby.ip, lobby.sn, "1/1/2015",
                                          "03/03/2015", "3/2/2015", "03/03/2015", "k220_x.bin", QString(64, 'a'),
                                          "1000"}));
    const QList<int> seconds{0, 60, 90, 120};
    for (int i = 0; i < seconds.size(); ++i)
        QCOMPARE(QDateTime::fromString(row.at(12 + i), Qt::ISODate), kStart.addSecs(seconds.at(i)));
    QCOMPARE(row.mid(16), (QStringList{"K-Series Update Confirmed.", "", "", "", "", "", ""}));
    QCOMPARE(rows.at(2).mid(0, 2), (QStringList{"'=1+2;=3", "K2-DEC"}));
    QCOMPARE(rows.at(2).at(16), QStringLiteral("Removed from the list."));
}

void TestPipelineSteps::reportOnAFullDisk_data()
{
    QTest::addColumn<qint64>("roomLeft"); // free bytes on the disk as the report is saved
    QTest::addColumn<bool>("saved");

    QTest::newRow("disk-full") << qint64(0) << false;
    QTest::newRow("room-for-a-part") << qint64(20 * 1024) << false;
    QTest::newRow("room-enough") << qint64(400 * 1024) << true;
}

// A report is saved whole or not at all: on a disk that fills up, the earlier report stays as it
// was, nothing else is left behind, and the caller learns why.
void TestPipelineSteps::reportOnAFullDisk()
{
    QFETCH(qint64, roomLeft);
    QFETCH(bool, saved);

    const QString disk = qEnvironmentVariable("BRYX_SMALL_DISK");
    QVERIFY2(!disk.isEmpty(), "runs through tests/run-test.sh, which gives it a small disk");
    QDir(disk).removeRecursively();
    QDir().mkpath(disk);
    const QString path = disk + QStringLiteral("/report.csv");
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("the earlier report\r\n");
    earlier.close();

    // About 110 KB of report.
    QStringList macs;
    for (int i = 0; i < 800; ++i) {
        MarluneUnit u = unit(QStringLiteral("Unit %1 in the east wing").arg(i), "DEC", "K2200A", 1,
                             QStringLiteral("10.77.%1.%2").arg(1 + i / 250).arg(1 + i % 250));
        u.mac = QStringLiteral("02:00:00:00:%1:%2").arg(i / 256, 2, 16, QLatin1Char('0')).arg(i % 256, 2, 16, QLatin1Char('0'));
        state().vUnits.append(u);
        macs << u.mac;
    }
    pipeline->queueForUpdate(macs);
    const QByteArray report = reportOfEvents();
    QVERIFY2(report.size() > 90 * 1024, qPrintable(QString::number(report.size())));

    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'f');
    while (QStorageInfo(disk).bytesAvailable() > roomLeft && filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    QString error;
    QCOMPARE(writeReport(path, accountOfEvents().latestRows(), &error), saved);
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), saved ? report : QByteArray("the earlier report\r\n"));
    QCOMPARE(error.isEmpty(), saved);
    QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), (QStringList{"filler", "report.csv"}));
}

void TestPipelineSteps::resumingACutBatch_data()
{
    QTest::addColumn<QString>("lastStep"); // the unit's last step in the cut batch
    QTest::addColumn<QString>("nowSeen");  // how it answers now: old dates, pending, package dates, absent
    QTest::addColumn<int>("verdict");

    const int queue = int(ResumeVerdict::Queue);
    const int adopt = int(ResumeVerdict::Adopt);
    QTest::newRow("never commanded") << "" << "old dates" << queue;
    QTest::newRow("queued") << "queued" << "old dates" << queue;
    QTest::newRow("held") << "held" << "old dates" << queue;
    QTest::newRow("taken out") << "taken out" << "old dates" << queue;
    QTest::newRow("commanded") << "commanded" << "old dates" << adopt;
    QTest::newRow("fetching") << "fetching" << "old dates" << adopt;
    QTest::newRow("went down") << "went down" << "old dates" << adopt;
    QTest::newRow("overdue") << "overdue" << "old dates" << adopt;
    QTest::newRow("went down, asks to be confirmed") << "went down" << "pending" << int(ResumeVerdict::Pending);
    QTest::newRow("queued, asks to be confirmed") << "queued" << "pending" << int(ResumeVerdict::Pending);
    QTest::newRow("confirmed meanwhile") << "went down" << "package dates" << int(ResumeVerdict::Confirmed);
    QTest::newRow("queued, updated meanwhile") << "queued" << "package dates" << int(ResumeVerdict::Confirmed);
    QTest::newRow("not heard from") << "fetching" << "absent" << int(ResumeVerdict::NotListed);
}

// A batch picks up a cut one with its plan: a unit is commanded again only if it never was; one
// commanded is waited for as commanded, one asking to be confirmed is confirmed, and the others are
// told as not resumed. Nothing says "commanding" of a unit that was not commanded.
void TestPipelineSteps::resumingACutBatch()
{
    QFETCH(QString, lastStep);
    QFETCH(QString, nowSeen);
    QFETCH(int, verdict);

    MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5",
                               nowSeen == QLatin1String("package dates") ? "3/2/2015" : "1/1/2015");
    decoder.updateStatus = nowSeen == QLatin1String("pending") ? 1 : 0;
    if (nowSeen != QLatin1String("absent"))
        state().vUnits = {decoder};
    state().tcpAlive[decoder.ip] = true;
    state().lastConfirmTime = now; // keeps the out-of-sync pass quiet
    RunRecord cut;
    cut.mac = decoder.mac;
    cut.name = decoder.name;
    cut.ip = decoder.ip;
    cut.step = lastStep;

    QList<ResumedUnit> outcome;
    QCOMPARE(pipeline->resumeBatch(12, QStringLiteral("canary 1 \u00b7 1 at a time"), {cut}, &outcome), 1);
    QCOMPARE(outcome.size(), 1);
    QCOMPARE(int(outcome.first().verdict), verdict);
    QCOMPARE(state().resumes, qint64(12));
    QCOMPARE(state().rollout.plan, (RolloutPlan{1, 1, 0}));
    QCOMPARE(state().plan, RolloutPlan());
    const UnitStep told = verdict == int(ResumeVerdict::Queue) ? UnitStep::Queued
                          : resumedInBatch(ResumeVerdict(verdict)) ? UnitStep::Adopted
                                                                   : UnitStep::NotResumed;
    QCOMPARE(port.events.size(), 1);
    QCOMPARE(port.events.first().step, told);
    QCOMPARE(port.events.first().batch, 1);
    QCOMPARE(state().vUnitsUpdate.size(), verdict == int(ResumeVerdict::Queue) ? 1 : 0);
    QCOMPARE(state().vUnitsConfirm.size(), told == UnitStep::Adopted ? 1 : 0);

    // The next tick commands only a unit queued again; one asking to be confirmed is confirmed.
    pipeline->refreshTimerTimeout();
    const QStringList sent = port.callsOf("sendConfig");
    QCOMPARE(sent.filter(QStringLiteral("updateUnit")).size(), verdict == int(ResumeVerdict::Queue) ? 1 : 0);
    QCOMPARE(sent.filter(QStringLiteral("confirmUpdate")).size(), verdict == int(ResumeVerdict::Pending) ? 1 : 0);
    for (const UnitEvent &event : std::as_const(port.events))
        QVERIFY(event.step != UnitStep::Commanding || verdict == int(ResumeVerdict::Queue));
}

QTEST_GUILESS_MAIN(TestPipelineSteps)
#include "tst_pipelinesteps.moc"

void TestPipelineSteps::queueingAgain_data()
{
    QTest::addColumn<QString>("place");
    QTest::addColumn<bool>("queuedAgain");

    QTest::newRow("queued") << "update" << false;
    QTest::newRow("commanded") << "confirm" << false;
    QTest::newRow("edid-reset") << "edid" << false;
    QTest::newRow("finished") << "finished" << true;
    QTest::newRow("listed-only") << "" << true;
}

// A unit anywhere in the active pipeline is not queued a second time: it would be commanded and
// confirmed twice. A finished unit may be updated again.
void TestPipelineSteps::queueingAgain()
{
    QFETCH(QString, place);
    QFETCH(bool, queuedAgain);

    const MarluneUnit decoder = unit("Rack", "DEC", "K2200A0001", 1, "10.77.1.5");
    state().vUnits = {decoder};
    QMap<QString, QList<MarluneUnit> *> lists{{"update", &state().vUnitsUpdate},
                                               {"confirm", &state().vUnitsConfirm},
                                               {"edid", &state().vUnitsEDID},
                                               {"finished", &state().vUnitsFinished}};
    if (!place.isEmpty())
        lists[place]->append(decoder);
    const qsizetype queuedBefore = state().vUnitsUpdate.size();
    // An earlier attempt's marks: commanded, fetched, seen going down.
    UnitRun &run = state().runs[decoder.mac];
    run.commandedMs = run.fetchedMs = run.rebootSeenMs = 1;

    pipeline->queueForUpdate({decoder.mac});
    QCOMPARE(state().vUnitsUpdate.size(), queuedBefore + (queuedAgain ? 1 : 0));
    // Queued again, it is counted as queued until its command goes out.
    if (queuedAgain)
        QCOMPARE(batchCounts(state(), pipeline->catalogue()).queued, 1);
}
