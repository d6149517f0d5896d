#include "history/historykeeper.h"
#include "history/historystore.h"
#include "packages/packagecatalogue.h"
#include "update/pipelinestate.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <type_traits>

namespace {

const QDateTime kStart(QDate(2026, 12, 9), QTime(2, 0), Qt::OffsetFromUTC, 3600);

HistoryStore::UnitRun run(const QString &mac, const QString &status)
{
    HistoryStore::UnitRun unit;
    unit.mac = mac;
    unit.name = QStringLiteral("Lobby, \"east\"");
    unit.type = QStringLiteral("K2-ENC");
    unit.ip = QStringLiteral("10.77.1.5");
    unit.swBefore = QStringLiteral("1/1/2015");
    unit.swAfter = QStringLiteral("3/2/2015");
    unit.image = QStringLiteral("k220_lab.bin");
    unit.bytesServed = 16777216;
    unit.commanded = kStart.addSecs(5);
    unit.confirmed = kStart.addSecs(25);
    unit.finalStatus = status;
    unit.canary = true;
    return unit;
}

// A writer's changes name their batches by the writer's numbers: there is no way to write them
// without the map that turns those into the store's ids.
static_assert(!std::is_invocable_v<decltype(&HistoryStore::write), HistoryStore &, const HistoryStore::Changes &,
                                   std::nullptr_t>);

} // namespace

// The update history's file: its schema brought up to date one step at a time from every
// version before, a newer or broken file refused with a reason, and what is written read back.
class TestHistoryStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void migrations_data();
    void migrations();
    void writesReadBack();
    void killedBatchIsMarkedInterrupted();
    void keeperWritesTheBatchAsItGoes();
    void keeperThatCannotKeepSaysSoOnce_data();
    void keeperThatCannotKeepSaysSoOnce();

private:
    // A batch of two units as the pipeline holds it: one queued, one commanded.
    static void batchOfTwo(PipelineState &state);
    QTemporaryDir dir;
};

void TestHistoryStore::migrations_data()
{
    QTest::addColumn<QString>("file"); // how the file starts: missing, empty, schema N, garbage
    QTest::addColumn<int>("version");  // its version afterwards, -1 when it was refused
    QTest::addColumn<QString>("refusal");

    QTest::newRow("no file") << "missing" << HistoryStore::kSchemaVersion << "";
    QTest::newRow("an empty file") << "empty" << HistoryStore::kSchemaVersion << "";
    for (int older = 1; older < HistoryStore::kSchemaVersion; ++older)
        QTest::addRow("schema %d", older)
            << QStringLiteral("schema %1").arg(older) << HistoryStore::kSchemaVersion << "";
    QTest::newRow("the current schema") << QStringLiteral("schema %1").arg(HistoryStore::kSchemaVersion)
                                        << HistoryStore::kSchemaVersion << "";
    QTest::newRow("a newer schema") << "newer" << -1
                                    << QStringLiteral("was written by a newer updater (history schema 99; this one "
                                                      "knows up to %1)")
                                           .arg(HistoryStore::kSchemaVersion);
    QTest::newRow("not a database") << "garbage" << -1 << "file is not a database";
}

void TestHistoryStore::migrations()
{
    QFETCH(QString, file);
    QFETCH(int, version);
    QFETCH(QString, refusal);

    const QString path = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".sqlite"));
    qint64 batch = 0;
    if (file == QLatin1String("empty") || file == QLatin1String("garbage")) {
        QFile bytes(path);
        QVERIFY(bytes.open(QIODevice::WriteOnly));
        if (file == QLatin1String("garbage"))
            bytes.write(QByteArray(4096, 'x'));
    } else if (file.startsWith(QLatin1String("schema"))) {
        // An older updater's file, with a batch in it.
        HistoryStore older(QStringLiteral("older"));
        QString error;
        QVERIFY2(older.open(path, &error, file.section(QLatin1Char(' '), 1).toInt()), qPrintable(error));
        batch = older.beginBatch({0, kStart, {}, QStringLiteral("bench-7"), QString(), false, {}, 0, {}});
        QVERIFY2(batch > 0, qPrintable(older.lastError()));
    } else if (file == QLatin1String("newer")) {
        HistoryStore newer(QStringLiteral("newer"));
        QString error;
        QVERIFY(newer.open(path, &error));
        QSqlQuery(QSqlDatabase::database(QStringLiteral("newer"))).exec(QStringLiteral("PRAGMA user_version=99"));
    }

    HistoryStore store(QStringLiteral("store"));
    QString error;
    QCOMPARE(store.open(path, &error), version >= 0);
    if (version < 0) {
        QVERIFY2(error.contains(refusal), qPrintable(error));
        QVERIFY(error.startsWith(path));
        return;
    }
    QCOMPARE(store.schemaVersion(), version);
    // What the older updater wrote is still there, and the newest columns take writes.
    if (batch > 0) {
        QCOMPARE(store.batches().size(), 1);
        QCOMPARE(store.batches().first().host, QStringLiteral("bench-7"));
    }
    const qint64 next = store.beginBatch({0, kStart.addDays(1), {}, QStringLiteral("bench-7"), {}, false, {}, 0, {}});
    QVERIFY(store.saveUnitRun(next,
                              run(QStringLiteral("02:B5:0A:4D:01:05"), QStringLiteral("K-Series Update Confirmed."))));
    QCOMPARE(store.unitRuns(next).first().canary, true);
}

void TestHistoryStore::writesReadBack()
{
    HistoryStore store(QStringLiteral("store"));
    QString error;
    QVERIFY(store.open(dir.filePath(QStringLiteral("readback.sqlite")), &error));
    const qint64 first = store.beginBatch({0,
                                           kStart,
                                           {},
                                           QStringLiteral("bench-7"),
                                           QStringLiteral("canary 1"),
                                           false,
                                           {QStringLiteral("k220_lab.bin ") + QString(64, QLatin1Char('a'))},
                                           0,
                                           {}});
    const qint64 second =
        store.beginBatch({0, kStart.addSecs(3600), {}, QStringLiteral("bench-7"), {}, false, {}, 0, {}});
    const QString mac = QStringLiteral("02:B5:0A:4D:01:05");
    QVERIFY(store.saveUnitRun(first, run(mac, QStringLiteral("Queued for Update"))));
    // A later save of the same unit in the same batch replaces its run.
    QVERIFY(store.saveUnitRun(first, run(mac, QStringLiteral("K-Series Update Confirmed."))));
    QVERIFY(store.saveUnitRun(second, run(mac, QStringLiteral("Overdue: no image fetch after 3 min"))));
    QVERIFY(
        store.addEvents({{first, mac, kStart.addSecs(5), QStringLiteral("commanded"), QStringLiteral("Commanding")},
                         {first, mac, kStart.addSecs(25), QStringLiteral("confirmed"), QStringLiteral("Confirming")},
                         {second, mac, kStart.addSecs(3605), QStringLiteral("commanded"), QStringLiteral("Again")}}));
    QVERIFY(store.endBatch(first, kStart.addSecs(30)));

    const QList<HistoryStore::Batch> batches = store.batches();
    QCOMPARE(batches.size(), 2);
    QCOMPARE(batches.first().id, second); // newest first
    QCOMPARE(batches.last().plan, QStringLiteral("canary 1"));
    QCOMPARE(batches.last().packages, QStringList{QStringLiteral("k220_lab.bin ") + QString(64, QLatin1Char('a'))});
    QCOMPARE(batches.last().units, 1);
    QCOMPARE(batches.last().ended, kStart.addSecs(30));
    QCOMPARE(store.batches(kStart.addSecs(60)).size(), 1);

    const QList<HistoryStore::UnitRun> runs = store.unitRuns(first);
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().name, QStringLiteral("Lobby, \"east\""));
    QCOMPARE(runs.first().finalStatus, QStringLiteral("K-Series Update Confirmed."));
    QCOMPARE(runs.first().commanded, kStart.addSecs(5));
    QCOMPARE(runs.first().bytesServed, qint64(16777216));
    QCOMPARE(store.events(mac).size(), 3);
    QCOMPARE(store.events(mac, first).last().kind, QStringLiteral("confirmed"));
}

// A batch that never ended (the updater was killed) is marked interrupted at the next start.
void TestHistoryStore::killedBatchIsMarkedInterrupted()
{
    const QString path = dir.filePath(QStringLiteral("killed.sqlite"));
    qint64 killed = 0;
    {
        HistoryStore before(QStringLiteral("before"));
        QString error;
        QVERIFY(before.open(path, &error));
        killed = before.beginBatch({0, kStart, {}, {}, {}, false, {}, 0, {}});
        const qint64 ended = before.beginBatch({0, kStart.addSecs(-60), {}, {}, {}, false, {}, 0, {}});
        QVERIFY(before.endBatch(ended, kStart.addSecs(-30)));
    }
    HistoryStore after(QStringLiteral("after"));
    QString error;
    QVERIFY(after.open(path, &error));
    QCOMPARE(after.markUnendedBatchesInterrupted(kStart.addSecs(600)), QList<qint64>{killed});
    QVERIFY(after.batches().first().interrupted);
    QVERIFY(!after.batches().last().interrupted);
}

void TestHistoryStore::batchOfTwo(PipelineState &state)
{
    for (int i = 1; i <= 2; ++i) {
        MarluneUnit unit;
        unit.mac = QStringLiteral("02:B5:0A:4D:01:0%1").arg(i);
        unit.name = QStringLiteral("u%1").arg(i);
        unit.ip = QStringLiteral("10.77.1.%1").arg(i);
        state.vUnits.append(unit);
        state.batch.append(unit.mac);
        state.runOrder.append(unit.mac);
        state.runs[unit.mac].before = unit;
        state.tcpAlive.insert(unit.ip, true);
    }
    state.batchStarted = QDateTime::currentDateTime();
    state.vUnitsUpdate.append(state.vUnits.at(0));
    state.vUnitsConfirm.append(state.vUnits.at(1));
    state.runs[state.vUnits.at(1).mac].commandedMs = 1;
}

// The keeper watches the pipeline and writes from its own thread: the batch and its runs appear
// in the file within a flush or two, the steps logged become events of the unit they name, and
// the batch ends once no unit of it is on its way.
void TestHistoryStore::keeperWritesTheBatchAsItGoes()
{
    const QString path = dir.filePath(QStringLiteral("keeper.sqlite"));
    PipelineState state;
    PackageCatalogue packages;
    batchOfTwo(state);
    HistoryKeeper keeper(state, packages);
    QSignalSpy notKept(&keeper, &HistoryKeeper::notKept);
    keeper.open(path);
    keeper.unitsQueued();
    keeper.logged(QStringLiteral("Updater"), QStringLiteral("Commanding u2 (10.77.1.2)"),
                  QStringLiteral("10:00:00.000 From Updater : Commanding u2 (10.77.1.2)"));

    HistoryStore reader(QStringLiteral("reader"));
    QString error;
    QVERIFY(reader.open(path, &error));
    QTRY_COMPARE_WITH_TIMEOUT(reader.batches().value(0).units, 2, 15000);
    QCOMPARE(notKept.size(), 0);
    QVERIFY(!reader.batches().first().ended.isValid());
    const QString u2 = state.vUnits.at(1).mac;
    QTRY_VERIFY_WITH_TIMEOUT(!reader.events(u2).isEmpty(), 15000);
    QCOMPARE(reader.events(u2).first().kind, QStringLiteral("commanded"));
    QCOMPARE(reader.events(u2).first().text, QStringLiteral("From Updater : Commanding u2 (10.77.1.2)"));

    // A transfer under way: its row follows the bytes, and its steps hold one "Fetching image".
    UnitRun &fetch = state.runs[u2];
    fetch.fetching = true;
    fetch.imageSize = 100;
    for (const qint64 sent : {10, 50}) {
        fetch.bytesServed = sent;
        keeper.runChanged(u2);
        QTRY_COMPARE_WITH_TIMEOUT(reader.unitRuns(reader.batches().first().id).value(1).bytesServed, sent, 15000);
    }
    const QList<HistoryStore::Event> steps = reader.events(u2);
    QCOMPARE(std::count_if(steps.cbegin(), steps.cend(),
                           [](const HistoryStore::Event &step) { return step.text.contains(QLatin1String("Fetching image")); }),
             1);
    fetch.fetching = false;

    // Both units finish: the batch ends, its rows in the order the units were queued.
    state.vUnitsFinished = state.vUnitsUpdate + state.vUnitsConfirm;
    state.vUnitsUpdate.clear();
    state.vUnitsConfirm.clear();
    QTRY_VERIFY_WITH_TIMEOUT(reader.batches().first().ended.isValid(), 15000);
    const QList<HistoryStore::UnitRun> runs = reader.unitRuns(reader.batches().first().id);
    QCOMPARE(runs.value(0).name, QStringLiteral("u1"));
    QCOMPARE(runs.value(1).name, QStringLiteral("u2"));
    keeper.finish();
    QCOMPARE(notKept.size(), 0);
}

// A history file that cannot be used: the keeper says why once, keeps nothing more and never
// holds up or brings down the updater.
void TestHistoryStore::keeperThatCannotKeepSaysSoOnce_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");

    QTest::newRow("not a database") << "garbage" << "file is not a database";
    QTest::newRow("written by a newer updater") << "newer" << "written by a newer updater";
    QTest::newRow("locked by another program") << "locked" << "database is locked";
    QTest::newRow("its folder is a file") << "folder is a file" << "";
    QTest::newRow("read-only disk") << "read-only" << "unable to open database file";
    QTest::newRow("the disk fills up") << "full" << "full";
}

void TestHistoryStore::keeperThatCannotKeepSaysSoOnce()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);

    const QString disk = qEnvironmentVariable("BRYX_SMALL_DISK");
    QString path = dir.filePath(fault + QStringLiteral(".sqlite"));
    QProcess locker;
    QFile filler;
    const auto cleanUp = qScopeGuard([&] {
        locker.kill();
        locker.waitForFinished(5000);
        filler.remove();
        if (fault == QLatin1String("read-only"))
            QProcess::execute(QStringLiteral("umount"), {QFileInfo(path).absolutePath()});
    });
    if (fault == QLatin1String("garbage")) {
        QFile garbage(path);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
    } else if (fault == QLatin1String("newer")) {
        HistoryStore newer(QStringLiteral("newer"));
        QString error;
        QVERIFY(newer.open(path, &error));
        QSqlQuery(QSqlDatabase::database(QStringLiteral("newer"))).exec(QStringLiteral("PRAGMA user_version=99"));
    } else if (fault == QLatin1String("locked")) {
        // Another program holds the file's write lock and does not let go; it marks the moment it
        // has the lock with a file.
        const QString holding = path + QStringLiteral(".held");
        locker.start(QStringLiteral("sqlite3"), {path});
        QVERIFY(locker.waitForStarted(10000));
        locker.write("PRAGMA locking_mode=EXCLUSIVE;\nBEGIN EXCLUSIVE;\nCREATE TABLE other (x);\n.shell touch "
                     + holding.toLocal8Bit() + "\n");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(holding), 15000);
    } else if (fault == QLatin1String("folder is a file")) {
        QFile file(dir.filePath(QStringLiteral("plain")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        path = file.fileName() + QStringLiteral("/history.sqlite");
    } else {
        // A disk of its own: in a mount namespace of this test alone (tests/run-test.sh).
        QVERIFY2(!disk.isEmpty() && qEnvironmentVariableIsSet("BRYX_IN_NETNS"), "runs through tests/run-test.sh");
        path = disk + QLatin1Char('/') + fault + QStringLiteral("/history.sqlite");
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (fault == QLatin1String("read-only")) {
            // A history kept before, on a disk that is now read-only.
            const QString folder = QFileInfo(path).absolutePath();
            QCOMPARE(QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                                 QStringLiteral("-o"), QStringLiteral("size=256k"),
                                                                 QStringLiteral("bryx-read-only"), folder}),
                     0);
            {
                HistoryStore before(QStringLiteral("before"));
                QString error;
                QVERIFY(before.open(path, &error));
            }
            QCOMPARE(QProcess::execute(QStringLiteral("mount"),
                                       {QStringLiteral("-o"), QStringLiteral("remount,ro"), folder}),
                     0);
        }
    }

    PipelineState state;
    PackageCatalogue packages;
    batchOfTwo(state);
    HistoryKeeper keeper(state, packages);
    QSignalSpy notKept(&keeper, &HistoryKeeper::notKept);
    keeper.open(path);
    if (fault == QLatin1String("full")) {
        // The file opens; then the disk fills up under it.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path + QStringLiteral("-wal")), 15000);
        filler.setFileName(disk + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(64 * 1024, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
    }
    keeper.unitsQueued();
    const QString longText(20000, QLatin1Char('x'));
    for (int i = 0; i < 100; ++i)
        keeper.logged(QStringLiteral("10.77.1.1"), longText, QStringLiteral("10:00:00.000 u1 (10.77.1.1): ") + longText);
    QTRY_COMPARE_WITH_TIMEOUT(notKept.size(), 1, 15000);
    QVERIFY2(notKept.first().first().toString().contains(reason), qPrintable(notKept.first().first().toString()));
    // More work: nothing more is said, and the end does not hang.
    keeper.unitsQueued();
    keeper.logged(QStringLiteral("Updater"), QStringLiteral("Confirming u2 (10.77.1.2)"), QStringLiteral("x"));
    QTest::qWait(2 * HistoryKeeper::kFlushIntervalMs);
    keeper.finish();
    QCOMPARE(notKept.size(), 1);
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
