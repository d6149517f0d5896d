#include "app/folders.h"
#include "packagefolder.h"
#include "simulatorprocess.h"
#include "update/preflight.h"
#include "update/unitstatus.h"
#include "update/updatercore.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(PreflightFacts)

// The check before an update: the verdict each fact gives, and a whole check of simulated units
// by a real core in the test's own network namespace.
class TestPreflight : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void verdicts_data();
    void verdicts();
    void checkOfSimulatedUnits();
};

void TestPreflight::verdicts_data()
{
    QTest::addColumn<PreflightFacts>("facts");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QStringList>("keys");

    PreflightFacts ready;
    ready.mac = QStringLiteral("02:B5:0A:4D:01:01");
    ready.name = QStringLiteral("u1");
    ready.ip = QStringLiteral("10.77.1.1");
    ready.imageName = QStringLiteral("k220_lab.bin");
    ready.image = PreflightFacts::Image::Same;
    ready.port = PreflightFacts::Port::Open;
    ready.localAddress = QStringLiteral("10.77.0.1");
    ready.descriptorsFree = 1000;
    ready.descriptorsNeeded = 40;
    ready.diskPath = QStringLiteral("/var/tmp");
    ready.diskFree = 10LL << 30;
    const auto row = [&ready](const char *name, const std::function<void(PreflightFacts &)> &change,
                              const char *verdict, const QString &keys) {
        PreflightFacts facts = ready;
        change(facts);
        QTest::newRow(name) << facts << QString::fromLatin1(verdict)
                            << keys.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    const auto selection = [](SelectionVerdict::Kind kind) {
        return [kind](PreflightFacts &f) { f.selection = {kind, QStringLiteral("Warning."), QStringLiteral("why")}; };
    };
    row(
        "ready", [](PreflightFacts &) {}, "ok", QString());
    row(
        "no package for its family",
        [](PreflightFacts &f) {
            f.hasPackage = false;
            f.image = {};
        },
        "fail", QStringLiteral("no-package"));
    row("too old for its package", selection(SelectionVerdict::TooOld), "fail", QStringLiteral("too-old"));
    row("cannot be updated", selection(SelectionVerdict::CannotUpdate), "fail", QStringLiteral("cannot-update"));
    row(
        "already up to date", [](PreflightFacts &f) { f.upToDate = true; }, "warn", QStringLiteral("up-to-date"));
    row(
        "image changed since the scan", [](PreflightFacts &f) { f.image = PreflightFacts::Image::Changed; }, "fail",
        QStringLiteral("image-changed"));
    row(
        "image gone", [](PreflightFacts &f) { f.image = PreflightFacts::Image::Unreadable; }, "fail",
        QStringLiteral("image-unreadable"));
    row("not heard from lately", selection(SelectionVerdict::NotHeardFrom), "warn", QStringLiteral("not-heard-from"));
    row(
        "command port refused", [](PreflightFacts &f) { f.port = PreflightFacts::Port::Refused; }, "fail",
        QStringLiteral("port-closed"));
    row(
        "command port hangs", [](PreflightFacts &f) { f.port = PreflightFacts::Port::TimedOut; }, "fail",
        QStringLiteral("port-closed"));
    row(
        "no address in its subnet", [](PreflightFacts &f) { f.localAddress.clear(); }, "fail",
        QStringLiteral("not-in-subnet"));
    row(
        "file server not listening", [](PreflightFacts &f) { f.serverListening = false; }, "fail",
        QStringLiteral("server-not-listening"));
    row(
        "descriptors for a few units at a time", [](PreflightFacts &f) { f.descriptorsFree = 12; }, "warn",
        QStringLiteral("few-descriptors"));
    row(
        "descriptors for no unit", [](PreflightFacts &f) { f.descriptorsFree = kDescriptorsPerTransfer - 1; }, "fail",
        QStringLiteral("few-descriptors"));
    row(
        "little disk for the history", [](PreflightFacts &f) { f.diskFree = kPreflightDiskFloorBytes - 1; }, "warn",
        QStringLiteral("low-disk"));
    row(
        "canary", [](PreflightFacts &f) { f.canary = true; }, "ok", QStringLiteral("canary"));
    row(
        "waits for the canaries", [](PreflightFacts &f) { f.waitsForCanaries = true; }, "ok",
        QStringLiteral("waits-for-canaries"));
    row(
        "waits for a slot",
        [](PreflightFacts &f) {
            f.waitsForSlot = true;
            f.inFlightCap = 4;
        },
        "ok", QStringLiteral("waits-for-slot"));
    row(
        "the worst reason wins",
        [](PreflightFacts &f) {
            f.upToDate = true;
            f.port = PreflightFacts::Port::Refused;
            f.canary = true;
        },
        "fail", QStringLiteral("up-to-date port-closed canary"));
}

void TestPreflight::verdicts()
{
    QFETCH(PreflightFacts, facts);
    QFETCH(QString, verdict);
    QFETCH(QStringList, keys);

    const UnitPreflight judged = judgePreflight(facts);
    QCOMPARE(verdictKey(judged.verdict), verdict);
    QStringList found;
    for (const PreflightReason &reason : judged.reasons) {
        found << reasonKey(reason.code);
        QVERIFY2(!reason.text.isEmpty() && !reason.text.contains(QLatin1Char('\n')), qPrintable(reason.text));
    }
    QCOMPARE(found, keys);
    QCOMPARE(judged.mac, facts.mac);
}

// A unit that answers, one whose port never completes a connection and one listed at an address
// where nothing listens: ok, then the port's reason for the other two. The check sends nothing.
void TestPreflight::checkOfSimulatedUnits()
{
    QTemporaryDir packages;
    QVERIFY(packages.isValid());
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_lab"), QStringLiteral("3/2/2015"), 1425384000));
    Folders::setApplicationFolder(packages.path());
    Folders::createStartupFolders();
    SimulatorProcess simulator;
    QVERIFY(simulator.start(QStringLiteral("[fleet]\nfamily=k220-decoder\n[up]\nip=10.77.1.1\n"
                                           "[hangs]\nip=10.77.1.2\ntcp=hangs\n[dead]\nip=10.77.1.3\nbehaviour=dead\n"),
                            3));
    UpdaterCore core;
    core.start();
    QTRY_COMPARE_WITH_TIMEOUT(core.state().vUnits.size(), 2, 20000);
    MarluneUnit dead = core.state().vUnits.first();
    dead.name = QStringLiteral("dead");
    dead.ip = QStringLiteral("10.77.1.3");
    dead.mac = QStringLiteral("02:B5:0A:4D:01:03");
    core.pipelineForTests().state().vUnits.append(dead);

    QStringList macs;
    for (const MarluneUnit &unit : core.state().vUnits)
        macs << unit.mac;
    PreflightRun run(core, macs, RolloutPlan{1, 0, 0});
    QSignalSpy finished(&run, &PreflightRun::finished);
    run.start();
    QVERIFY(finished.wait(kPreflightConnectMs * 3));
    QCOMPARE(run.results().size(), 3);
    QHash<QString, UnitPreflight> byName;
    for (const UnitPreflight &unit : run.results())
        byName.insert(unit.name, unit);
    QCOMPARE(verdictKey(byName.value(QStringLiteral("up")).verdict), QStringLiteral("ok"));
    for (const QString &name : {QStringLiteral("hangs"), QStringLiteral("dead")}) {
        const UnitPreflight unit = byName.value(name);
        QCOMPARE(verdictKey(unit.verdict), QStringLiteral("fail"));
        QVERIFY(std::any_of(unit.reasons.cbegin(), unit.reasons.cend(),
                            [](const PreflightReason &r) { return r.code == PreflightReason::PortClosed; }));
    }
    // The plan is made of the units an update would queue: the one that passes is the canary,
    // the failing ones are refused and wait for nothing.
    QCOMPARE(byName.value(QStringLiteral("up")).reasons.size(), 1);
    QCOMPARE(byName.value(QStringLiteral("up")).reasons.last().code, PreflightReason::Canary);
    QCOMPARE(byName.value(QStringLiteral("dead")).reasons.size(), 1);
    QCOMPARE(preflightSummary(run.results()), QStringLiteral("3 units checked: 1 ok, 0 warn, 2 fail"));
    // The image rewritten since the scan, with the same bytes: no longer the file scanned.
    const QString image = packages.filePath(QStringLiteral("k220_lab.bin"));
    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    QVERIFY(QFile::remove(image) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    PreflightRun again(core, {byName.value(QStringLiteral("up")).mac}, RolloutPlan());
    QSignalSpy finishedAgain(&again, &PreflightRun::finished);
    again.start();
    QVERIFY(finishedAgain.wait(kPreflightConnectMs * 3));
    QCOMPARE(again.results().first().reasons.size(), 1);
    QCOMPARE(again.results().first().reasons.first().code, PreflightReason::ImageChanged);

    // Nothing reached a unit: no message, no fetch.
    for (const QString &line : simulator.lines())
        QVERIFY2(!line.contains(QLatin1String(" TCP ")) && !line.contains(QLatin1String(" FETCH")), qPrintable(line));
    Folders::setApplicationFolder(QString());
}

QTEST_GUILESS_MAIN(TestPreflight)
#include "tst_preflight.moc"
