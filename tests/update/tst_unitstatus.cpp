#include "net/localsubnets.h"
#include "net/marluneconnectreduced.h"
#include "packages/packagecatalogue.h"
#include "update/fleetview.h"
#include "update/unitstatus.h"

#include <QtTest>

Q_DECLARE_METATYPE(CellColour)

namespace {

const QDateTime kWeb = QDateTime::fromSecsSinceEpoch(1425384000); // 03/03/2015 as the units show it

QDateTime date(int y, int m, int d)
{
    return QDateTime(QDate(y, m, d), QTime(0, 0));
}

void offer(UpdatePackage &package, const QDateTime &sw, const QDateTime &minimum = QDateTime::fromSecsSinceEpoch(0))
{
    package.present = true;
    package.swVer = sw;
    package.webVer = kWeb;
    package.minSwVer = minimum;
}

MarluneUnit unit(const QString &type, const QString &sn, quint32 kSeries, const QString &sw,
                 const QString &web = QStringLiteral("03/03/2015"))
{
    MarluneUnit u;
    u.deviceType = type;
    u.sn = sn;
    u.KSeries = kSeries;
    u.swversion = sw;
    u.webversion = web;
    u.ip = QStringLiteral("10.77.1.5");
    u.mac = QStringLiteral("02:00:00:00:00:05");
    return u;
}

} // namespace

class TestUnitStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void status_data();
    void status();
    void unitsNeedingUpdate_data();
    void unitsNeedingUpdate();
    void batchAccountsForEveryUnit();
    void unitsThatNoLongerMove_data();
    void unitsThatNoLongerMove();
    void statusLogLines_data();
    void statusLogLines();
    void reachabilityTestsAskedWhileUnitsReboot();
    void localSubnetsAnswerAsTheLookup_data();
    void localSubnetsAnswerAsTheLookup();

private:
    PackageCatalogue catalogue;
};

void TestUnitStatus::initTestCase()
{
    offer(catalogue.k220, date(2015, 3, 2), date(2014, 1, 1));
    offer(catalogue.k225, date(2015, 6, 1));
    offer(catalogue.kvm, date(2015, 5, 1));
    offer(catalogue.k110, date(2015, 3, 2));
    offer(catalogue.k3, date(2015, 12, 24));
    catalogue.k3.addOn = QStringLiteral("Add-on: Fonts");
    offer(catalogue.dvr, date(2015, 1, 1));
    offer(catalogue.wp, date(2013, 6, 1), date(2013, 1, 29));
    offer(catalogue.ae, date(2015, 6, 1));
    offer(catalogue.k4, date(2016, 2, 2));
    offer(catalogue.kp, date(2015, 7, 7));
    offer(catalogue.vod, date(2016, 4, 4));
}

void TestUnitStatus::status_data()
{
    QTest::addColumn<MarluneUnit>("record");
    // Pipeline state: any of update, confirm, edid, finished, pending (reports UPDATE:1),
    // unreachable (TCP test failed), untested (never tested), edid-given-up, begun (its command
    // exchange began), batch (the current batch is this unit alone).
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<CellColour>("cellColour");
    QTest::addColumn<CellColour>("rowColour");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<QString>("minimumDate");
    // Where the state filter puts the row: other, attention, progress or done.
    QTest::addColumn<QString>("kind");

    using C = CellColour;
    const MarluneUnit current = unit("ENC", "K2100A", 1, "3/2/2015");
    const MarluneUnit older = unit("ENC", "K2100A", 1, "1/1/2015");
    MarluneUnit dvrOriginal = unit("DVR", "JD1", 0, "1/1/2015");
    dvrOriginal.fwversion = QStringLiteral("0/0/0");
    MarluneUnit dvrFirmware = unit("DVR", "JD1", 0, "1/1/2015");
    dvrFirmware.fwversion = QStringLiteral("1/29/2014");

    QTest::newRow("current") << current << "" << "No update needed." << C::Default << C::Default << "" << "" << "done";
    QTest::newRow("older-sw") << older << "" << "Update Available" << C::Default << C::Default << "" << "" << "other";
    QTest::newRow("older-web") << unit("ENC", "K2100A", 1, "3/2/2015", "03/02/2015") << "" << "Update Available"
                               << C::Default << C::Default << "" << "" << "other";
    QTest::newRow("no-web-version") << unit("ENC", "K2100A", 1, "3/2/2015", "Unknown") << "" << "Update Available"
                                    << C::Default << C::Default << "" << "" << "other";
    QTest::newRow("sw-below-minimum") << unit("ENC", "K2100A", 1, "6/1/2013") << ""
                                      << "Cannot update. Min SW is 01/01/2014" << C::DarkYellow << C::Default
                                      << "Disable" << "01/01/2014" << "attention";
    QTest::newRow("web-below-minimum") << unit("ENC", "K2100A", 1, "3/2/2015", "12/01/2013") << ""
                                       << "Cannot update. Min SW is 01/01/2014" << C::DarkYellow << C::Default
                                       << "Disable" << "01/01/2014" << "attention";
    QTest::newRow("never-tested") << current << "untested" << "Status Unknown." << C::Default << C::Default << ""
                                  << "" << "attention";
    QTest::newRow("unreachable") << older << "unreachable" << "Status Unknown." << C::Default << C::Default << ""
                                 << "" << "attention";
    QTest::newRow("rebooting") << current << "unreachable,confirm" << "Unit is rebooting..." << C::Default << C::Red
                               << "" << "" << "progress";
    QTest::newRow("pending-update") << current << "pending" << "Need to Confirm Update" << C::Default << C::Default
                                    << "" << "" << "other";
    QTest::newRow("pending-and-queued") << current << "pending,update" << "Error!" << C::Default << C::Yellow << ""
                                        << "" << "progress";
    QTest::newRow("pending-and-commanded") << current << "pending,confirm" << "Confirming update" << C::Default
                                           << C::Red << "" << "" << "progress";
    QTest::newRow("queued") << older << "update" << "Queued for Update" << C::Default << C::Yellow << "" << "" << "progress";
    QTest::newRow("resetting-edid") << current << "edid" << "Resetting EDID." << C::Default << C::Magenta << ""
                                    << "" << "progress";
    QTest::newRow("waiting-for-reboot") << older << "confirm" << "Waiting for reboot" << C::Default << C::Red << ""
                                        << "" << "progress";
    QTest::newRow("finished-confirmed") << current << "finished" << "K-Series Update Confirmed." << C::Default
                                        << C::Green << "" << "" << "done";
    QTest::newRow("finished-edid-given-up") << current << "finished,edid-given-up"
                                            << "K-Series Update Confirmed. EDID Reset Failed." << C::Default
                                            << C::Green << "" << "" << "attention";
    QTest::newRow("finished-mismatched") << older << "finished" << "Update completed with mismatched dates."
                                         << C::Default << C::Green << "" << "" << "attention";
    QTest::newRow("finished-but-pending") << current << "finished,pending" << "Need to Confirm Update"
                                          << C::Default << C::Yellow << "" << "" << "done";
    QTest::newRow("add-on-offered") << unit("DEC", "K3200", 1, "12/24/2015") << "" << "Add-on: Fonts"
                                    << C::Default << C::Default << "" << "" << "other";
    QTest::newRow("add-on-sent") << unit("DEC", "K3200", 1, "12/24/2015") << "finished" << "Add-on sent."
                                 << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("4k-compared-with-k220-too") << unit("ENC", "K2150", 1, "6/1/2015") << "" << "No update needed."
                                               << C::Default << C::Default << "" << "" << "done";
    QTest::newRow("4k-older-than-k220-shows-k220") << unit("ENC", "K2150", 1, "3/1/2015") << ""
                                                   << "Update Available" << C::Default << C::Default << "" << "" << "other";
    QTest::newRow("4k-finished") << unit("ENC", "K2150", 1, "6/1/2015") << "finished"
                                 << "K-Series Update Confirmed." << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("dvr-original-firmware") << dvrOriginal << "" << "Cannot update. This DVR uses original updater."
                                           << C::Red << C::Default << "Disable" << "" << "attention";
    QTest::newRow("dvr-original-queued-loses-marker") << dvrOriginal << "update" << "Queued for Update"
                                                      << C::Default << C::Yellow << "" << "" << "progress";
    QTest::newRow("dvr-with-firmware") << dvrFirmware << "finished" << "DVR Update Confirmed." << C::Default
                                       << C::Green << "" << "" << "done";
    QTest::newRow("wp-too-old") << unit("WP", "JW1", 0, "1/1/2013") << ""
                                << "Cannot update. Min SW is 01/29/2013" << C::DarkYellow << C::Default
                                << "Disable" << "01/29/2013" << "attention";
    QTest::newRow("wp-finished") << unit("WP", "JW1", 0, "6/1/2013") << "finished" << "WP Update Confirmed."
                                 << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("audio-finished") << unit("ATR", "ATA1", 0, "6/1/2015") << "finished" << "ATR Update Confirmed."
                                    << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("k440-finished") << unit("ATR", "K4300", 0, "2/2/2016") << "finished" << "K4 Update Confirmed."
                                   << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("k-panel-finished") << unit("WPC", "K8300", 0, "7/7/2015") << "finished"
                                      << "WPC Update Confirmed." << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("vod-finished") << unit("VOD", "K7200", 0, "4/4/2016") << "finished" << "VOD Update Confirmed."
                                  << C::Default << C::Green << "" << "" << "done";
    QTest::newRow("overdue") << older << "confirm,overdue" << "Overdue: no image fetch after 3 min" << C::Orange
                             << C::Red << "" << "" << "attention";
    QTest::newRow("held-by-a-halted-rollout") << older << "update,held" << "Held: rollout stopped after 2 failed units"
                                              << C::Default << C::Yellow << "" << "" << "attention";
    QTest::newRow("commanded-did-not-answer") << older << "confirm,unanswered"
                                              << "Waiting for reboot \u00b7 did not answer on TCP 50001" << C::Default
                                              << C::Red << "" << "" << "attention";
    // In a batch the row stands where the summary counts it, whatever its cell says.
    QTest::newRow("batch-exchange-unreachable") << older << "update,begun,unreachable,batch"
                                                << "Status Unknown." << C::Default << C::Yellow << ""
                                                << ""
                                                << "progress";
    QTest::newRow("batch-commanded-did-not-answer")
        << older << "confirm,unanswered,batch"
        << "Waiting for reboot \u00b7 did not answer on TCP 50001" << C::Default << C::Red << ""
        << ""
        << "progress";
    QTest::newRow("batch-confirmed-unreachable") << current << "finished,unreachable,batch"
                                                 << "Status Unknown." << C::Default << C::Green << ""
                                                 << ""
                                                 << "done";
    QTest::newRow("legacy-encoder") << unit("ENC", "JT1", 0, "1/1/2010") << "" << "No update needed."
                                    << C::Default << C::Default << "" << "" << "done";
}

void TestUnitStatus::status()
{
    QFETCH(MarluneUnit, record);
    QFETCH(QString, state);
    QFETCH(QString, text);
    QFETCH(CellColour, cellColour);
    QFETCH(CellColour, rowColour);
    QFETCH(QString, marker);
    QFETCH(QString, minimumDate);
    QFETCH(QString, kind);

    const QStringList tokens = state.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (tokens.contains(QLatin1String("pending")))
        record.updateStatus = 1;
    PipelineState pipeline;
    pipeline.vUnits = {record};
    if (tokens.contains(QLatin1String("update")))
        pipeline.vUnitsUpdate.append(record);
    if (tokens.contains(QLatin1String("confirm")))
        pipeline.vUnitsConfirm.append(record);
    if (tokens.contains(QLatin1String("edid")))
        pipeline.vUnitsEDID.append(record);
    if (tokens.contains(QLatin1String("finished")))
        pipeline.vUnitsFinished.append(record);
    if (tokens.contains(QLatin1String("unreachable")))
        pipeline.tcpAlive.insert(record.ip, false);
    else if (!tokens.contains(QLatin1String("untested")))
        pipeline.tcpAlive.insert(record.ip, true);
    if (tokens.contains(QLatin1String("edid-given-up")))
        pipeline.edidAttempts.insert(record.ip, 3);
    if (tokens.contains(QLatin1String("begun")))
        pipeline.runs[record.mac].commandedMs = 0;
    if (tokens.contains(QLatin1String("batch")))
        pipeline.batch = {record.mac};
    if (tokens.contains(QLatin1String("overdue"))) {
        pipeline.runs[record.mac].commandedMs = 0;
        pipeline.runs[record.mac].overdue = Overdue::NoFetch;
    }
    if (tokens.contains(QLatin1String("unanswered")))
        pipeline.exchangeFailures.insert(record.mac, QStringLiteral("did not answer on TCP 50001"));
    if (tokens.contains(QLatin1String("held"))) {
        pipeline.rollout.waiting.insert(record.mac, WaitReason::Held);
        pipeline.rollout.haltFailures = 2;
    }

    const StatusCell cell = unitStatus(record, pipeline, catalogue);
    QCOMPARE(cell.text, text);
    QCOMPARE(cell.colour, cellColour);
    QCOMPARE(::rowColour(record.mac, pipeline), rowColour);
    QCOMPARE(cell.disableMarker, marker);
    QCOMPARE(cell.minimumDate, minimumDate);

    // The state filter shows the row under "All" and under its own state alone.
    const QMap<QString, RowKind> kinds{{"other", RowKind::Other},
                                       {"attention", RowKind::Attention},
                                       {"progress", RowKind::InProgress},
                                       {"done", RowKind::Done}};
    const RowKind rowKind = ::rowKind(record, cell, pipeline, catalogue, PipelineIndex(pipeline));
    QCOMPARE(rowKind, kinds.value(kind));
    QVERIFY(filterShows(ViewFilter::All, rowKind));
    QCOMPARE(filterShows(ViewFilter::NeedsAttention, rowKind), kind == QLatin1String("attention"));
    QCOMPARE(filterShows(ViewFilter::InProgress, rowKind), kind == QLatin1String("progress"));
    QCOMPARE(filterShows(ViewFilter::Done, rowKind), kind == QLatin1String("done"));
    // A click on the part of the batch summary that counts the unit (the last part, in a batch of
    // one) shows its row.
    if (!pipeline.batch.isEmpty())
        QVERIFY(filterShows(filterOfPart(batchSummaryParts(pipeline, batchCounts(pipeline, catalogue)).last().kind),
                            rowKind));
}

// "Select Units Needing Update": the package rule says whether the unit has an update at all,
// the selection rules whether it may be queued.
void TestUnitStatus::unitsNeedingUpdate_data()
{
    QTest::addColumn<MarluneUnit>("record");
    QTest::addColumn<bool>("online");
    QTest::addColumn<QString>("verdict"); // leave, select, or the refusal

    const MarluneUnit older = unit("ENC", "K2100A", 1, "1/1/2015");
    MarluneUnit dvrOriginal = unit("DVR", "JD1", 0, "1/1/2015");
    dvrOriginal.fwversion = QStringLiteral("0/0/0");
    QTest::newRow("update-available") << older << true << "select";
    QTest::newRow("update-available-not-heard-from") << older << false
                                                     << "Updater is still establishing communication with Lobby";
    QTest::newRow("up-to-date") << unit("ENC", "K2100A", 1, "3/2/2015") << true << "leave";
    QTest::newRow("below-minimum") << unit("ENC", "K2100A", 1, "6/1/2013") << true
                                   << "Unit needs to first be updated to SW version 01/01/2014 before running this "
                                      "update.";
    QTest::newRow("original-dvr") << dvrOriginal << true << "Unit cannot be updated with this Updater.";
    // One verdict for every front-end: a unit too old for its package is refused for that, heard
    // from or not.
    QTest::newRow("below-minimum-not-heard-from")
        << unit("ENC", "K2100A", 1, "6/1/2013") << false
        << "Unit needs to first be updated to SW version 01/01/2014 before running this update.";
    QTest::newRow("add-on-offered") << unit("DEC", "K3200", 1, "12/24/2015") << true << "select";
    QTest::newRow("no-package-family") << unit("ENC", "JT1", 0, "1/1/2010") << true << "leave";
}

void TestUnitStatus::unitsNeedingUpdate()
{
    QFETCH(MarluneUnit, record);
    QFETCH(bool, online);
    QFETCH(QString, verdict);

    const QDateTime now = QDateTime::currentDateTime();
    record.name = QStringLiteral("Lobby");
    record.lastSeen = online ? now : now.addSecs(-3600);
    PipelineState pipeline;
    pipeline.vUnits = {record};
    pipeline.tcpAlive.insert(record.ip, true);
    const UpdateNeedVerdict got = updateNeedVerdict(record, unitStatus(record, pipeline, catalogue), catalogue, now);
    if (got.kind == UpdateNeedVerdict::Refuse)
        QCOMPARE(selectionVerdict(record, unitStatus(record, pipeline, catalogue), now).text, got.reason);
    const QString shown = got.kind == UpdateNeedVerdict::Leave    ? QStringLiteral("leave")
                          : got.kind == UpdateNeedVerdict::Select ? QStringLiteral("select")
                                                                  : got.reason;
    QCOMPARE(shown, verdict);
}

// Every unit of a batch is in exactly one part of the summary; the time and, once a few units
// ended, an estimate follow it.
void TestUnitStatus::batchAccountsForEveryUnit()
{
    PipelineState pipeline;
    const QStringList steps{"queued", "commanded", "fetching", "rebooting", "back", "confirmed", "overdue", "failed",
                            "held", "taken-out", "confirmed", "confirmed"};
    for (int i = 0; i < steps.size(); ++i) {
        const QString step = steps.at(i);
        MarluneUnit u = unit("ENC", "K2100A", 1, step == QLatin1String("failed") ? "1/1/2015" : "3/2/2015");
        u.mac = QStringLiteral("02:00:00:00:01:%1").arg(i, 2, 10, QLatin1Char('0'));
        u.ip = QStringLiteral("10.77.2.%1").arg(i + 1);
        pipeline.vUnits << u;
        pipeline.batch << u.mac;
        pipeline.tcpAlive.insert(u.ip, step != QLatin1String("rebooting"));
        UnitRun &run = pipeline.runs[u.mac];
        if (step == QLatin1String("queued") || step == QLatin1String("held"))
            pipeline.vUnitsUpdate << u;
        if (step == QLatin1String("held"))
            pipeline.rollout.waiting.insert(u.mac, WaitReason::Held);
        if (QStringList{"commanded", "fetching", "rebooting", "back", "overdue"}.contains(step)) {
            pipeline.vUnitsConfirm << u;
            run.commandedMs = 0;
        }
        run.fetching = step == QLatin1String("fetching");
        if (step == QLatin1String("rebooting") || step == QLatin1String("back"))
            run.rebootSeenMs = 1000;
        if (step == QLatin1String("overdue"))
            run.overdue = Overdue::NoFetch;
        if (step == QLatin1String("confirmed") || step == QLatin1String("failed"))
            pipeline.vUnitsFinished << u;
    }
    const BatchCounts counts = batchCounts(pipeline, catalogue);
    QCOMPARE(counts.queued + counts.waiting + counts.held + counts.commanded + counts.fetching + counts.rebooting
                 + counts.confirming + counts.confirmed + counts.overdue + counts.failed + counts.takenOut,
             counts.total);
    QCOMPARE(batchSummary(pipeline, catalogue),
             QString::fromUtf8("Batch: 3 of 12 confirmed \u00b7 1 queued \u00b7 1 commanded \u00b7 1 fetching \u00b7 "
                               "1 rebooting \u00b7 1 confirming \u00b7 1 overdue \u00b7 1 failed \u00b7 1 held \u00b7 "
                               "1 taken out"));

    pipeline.batchStarted = QDateTime(QDate(2026, 3, 2), QTime(9, 0));
    QCOMPARE(batchTiming(pipeline, counts, pipeline.batchStarted.addSecs(155)),
             QStringLiteral("2:35 elapsed, about 4 min left"));
    BatchCounts early = counts;
    early.confirmed = 1;
    early.failed = 0;
    QCOMPARE(batchTiming(pipeline, early, pipeline.batchStarted.addSecs(155)), QStringLiteral("2:35 elapsed"));
}

// What the timing says of units that no longer move: each unit is "step:seconds" (how long ago
// its step began, or its verdict came), at "elapsed" seconds into the batch.
void TestUnitStatus::unitsThatNoLongerMove_data()
{
    QTest::addColumn<QStringList>("units");
    QTest::addColumn<int>("elapsed");
    QTest::addColumn<QString>("timing");

    const QStringList ended{"confirmed:40", "confirmed:30", "confirmed:20"};
    // Units that took their command a while ago and never fetched wait out the fetch deadline.
    QTest::newRow("never-fetched") << ended + QStringList{"commanded:70", "commanded:65", "commanded:61"} << 89
                                   << "1:29 elapsed; 3 units wait for their deadline, up to 2 min";
    // A unit that did not answer its command waits at once; the others keep their estimate.
    QTest::newRow("unanswered-beside-moving") << ended + QStringList{"unanswered:5", "queued:0"} << 155
                                              << "2:35 elapsed, under a minute left; 1 unit waits for its deadline, "
                                                 "up to 3 min";
    QTest::newRow("not-back") << ended + QStringList{"back:250", "fetching:0"} << 300
                              << "5:00 elapsed, about 2 min left; 1 unit waits for its deadline, up to 6 min";
    // Only an overdue unit left: the clock stops at its deadline, 3 min after its command.
    QTest::newRow("only-overdue-left") << QStringList{"confirmed:120", "confirmed:110", "confirmed:100", "overdue:250"}
                                       << 300 << "3:50 elapsed, no unit moving";
}

void TestUnitStatus::unitsThatNoLongerMove()
{
    QFETCH(QStringList, units);
    QFETCH(int, elapsed);
    QFETCH(QString, timing);

    PipelineState pipeline;
    pipeline.batchStarted = QDateTime(QDate(2026, 3, 2), QTime(9, 0));
    const QDateTime now = pipeline.batchStarted.addSecs(elapsed);
    for (int i = 0; i < units.size(); ++i) {
        const QString step = units.at(i).section(QLatin1Char(':'), 0, 0);
        const QDateTime began = now.addSecs(-units.at(i).section(QLatin1Char(':'), 1).toInt());
        MarluneUnit u = unit("ENC", "K2100A", 1, "3/2/2015");
        u.mac = QStringLiteral("02:00:00:00:02:%1").arg(i, 2, 10, QLatin1Char('0'));
        u.ip = QStringLiteral("10.77.3.%1").arg(i + 1);
        pipeline.vUnits << u;
        pipeline.batch << u.mac;
        pipeline.tcpAlive.insert(u.ip, true);
        UnitRun &run = pipeline.runs[u.mac];
        if (step == QLatin1String("queued")) {
            pipeline.vUnitsUpdate << u;
            continue;
        }
        if (step == QLatin1String("confirmed")) {
            pipeline.vUnitsFinished << u;
            run.confirmed = began;
            continue;
        }
        pipeline.vUnitsConfirm << u;
        run.commanded = step == QLatin1String("back") ? began.addSecs(-30) : began;
        run.commandedMs = 0;
        run.commandUnread = step == QLatin1String("unanswered");
        run.fetching = step == QLatin1String("fetching");
        run.overdue = step == QLatin1String("overdue") ? Overdue::NoFetch : Overdue::None;
        if (step == QLatin1String("back")) {
            run.fetched = run.rebootSeen = began;
            run.fetchedMs = run.rebootSeenMs = 1000;
        }
    }
    QCOMPARE(batchTiming(pipeline, batchCounts(pipeline, catalogue), now), timing);
}

// "Problems only" keeps these lines; a double click finds the unit a line names by its address.
void TestUnitStatus::statusLogLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("problem");
    QTest::addColumn<QString>("address");

    QTest::newRow("commanding") << "06:05:21.498 From Updater : Commanding Desk Decoder (10.77.1.6)" << false
                                << "10.77.1.6";
    QTest::newRow("sent") << "06:05:37.296 Desk Decoder (10.77.1.6): kvm_demo.bin (16777216 bytes) sent" << false
                          << "10.77.1.6";
    QTest::newRow("overdue") << "06:08:56.500 Spare (10.77.1.19): Overdue: no image fetch after 3 min." << true
                             << "10.77.1.19";
    QTest::newRow("not-applied") << "09:00:00.000 From Updater : Update was not applied for Hall (10.0.0.9)" << true
                                 << "10.0.0.9";
    QTest::newRow("edid-failure") << "09:00:00.000 Enc (10.0.0.2): Failed To Reset EDID (10.0.0.2) ... Updater will "
                                     "try again (1 / 3)"
                                  << true << "10.0.0.2";
    QTest::newRow("rollout-halt") << "09:00:00.000 From Updater : Rollout stopped after 1 failed unit: 3 units held "
                                     "(failed: Spare (10.77.1.19))."
                                  << true << "10.77.1.19";
    QTest::newRow("subnet-warning") << "09:00:00.000 From Updater : Warning! Not in subnet: Far (192.168.9.9)" << true
                                    << "192.168.9.9";
    QTest::newRow("unanswered-command") << "09:00:00.000 Mute (10.0.0.7): Did not answer on TCP 50001 (connected, no "
                                           "reply in 10 s)."
                                        << true << "10.0.0.7";
    QTest::newRow("no-unit-named") << "Update Server running..." << false << "";
}

void TestUnitStatus::statusLogLines()
{
    QFETCH(QString, line);
    QFETCH(bool, problem);
    QFETCH(QString, address);
    QCOMPARE(isProblemLine(line), problem);
    QCOMPARE(addressInLine(line), address);
}

void TestUnitStatus::reachabilityTestsAskedWhileUnitsReboot()
{
    const MarluneUnit listed = unit("ENC", "K2100A", 1, "3/2/2015");
    MarluneUnit other = listed;
    other.mac = QStringLiteral("02:00:00:00:00:06");
    PipelineState pipeline;
    pipeline.vUnits = {listed, other};
    pipeline.vUnitsConfirm = {other, other};
    pipeline.tcpAlive = {{listed.ip, true}};
    int tests = -1;
    unitStatus(listed, pipeline, catalogue, &tests);
    QCOMPARE(tests, 2); // one per unit waiting for confirmation, whichever it is
    pipeline.vUnitsConfirm.clear();
    unitStatus(listed, pipeline, catalogue, &tests);
    QCOMPARE(tests, 0);
}

void TestUnitStatus::localSubnetsAnswerAsTheLookup_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("subnet");
    QTest::newRow("same /24") << "192.168.7.20" << "255.255.255.0";
    QTest::newRow("other /24") << "192.168.8.20" << "255.255.255.0";
    QTest::newRow("wider /16") << "192.168.8.20" << "255.255.0.0";
    QTest::newRow("host /32, own") << "10.1.2.3" << "255.255.255.255";
    QTest::newRow("host /32, other") << "10.1.2.4" << "255.255.255.255";
    QTest::newRow("everything /0") << "172.16.0.1" << "0.0.0.0";
    QTest::newRow("prefix length") << "10.1.200.9" << "16";
    QTest::newRow("gapped mask") << "192.168.7.20" << "255.0.255.0";
    QTest::newRow("no mask") << "192.168.7.20" << "";
    QTest::newRow("no address") << "" << "255.255.255.0";
    QTest::newRow("garbage") << "10.1.2.x" << "255.255.0.0";
    QTest::newRow("ipv6 unit") << "fe80::1" << "64";
}

void TestUnitStatus::localSubnetsAnswerAsTheLookup()
{
    QFETCH(QString, ip);
    QFETCH(QString, subnet);
    const QList<QHostAddress> local = {QHostAddress(QStringLiteral("192.168.7.1")), QHostAddress(QStringLiteral("10.1.2.3")), QHostAddress(QStringLiteral("10.1.9.9")),
                                       QHostAddress(QStringLiteral("fe80::5")), QHostAddress::LocalHost};
    MarluneUnit u = unit("ENC", "K2100A", 1, "3/2/2015");
    u.ip = ip;
    u.subnet = subnet;
    LocalSubnets subnets(local);
    // Asked twice: the second answer comes from the addresses already masked.
    QCOMPARE(subnets.addressFor(u), MarluneConnect::localAddressFor(u, local));
    QCOMPARE(subnets.addressFor(u), MarluneConnect::localAddressFor(u, local));
}

QTEST_GUILESS_MAIN(TestUnitStatus)
#include "tst_unitstatus.moc"
