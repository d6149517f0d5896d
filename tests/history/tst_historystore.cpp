#include "history/historykeeper.h"
#include "history/historystore.h"
#include "packages/packagecatalogue.h"
#include "recordingport.h"
#include "update/batchaccount.h"
#include "update/unitevent.h"
#include "update/updatepipeline.h"

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
    void keeperWaitsForALockedFile();
    void batchEndsWithItsCause_data();
    void batchEndsWithItsCause();
    void keeperThatCannotKeepSaysSoOnce_data();
    void keeperThatCannotKeepSaysSoOnce();

private:
    // The pipeline with a batch of two listed units, both queued.
    void batchOfTwo();
    // The events the pipeline told since the last call, into the account and the keeper.
    void tell(HistoryKeeper &keeper);
    QTemporaryDir dir;
    RecordingPort port;
    std::unique_ptr<UpdatePipeline> pipeline;
    BatchAccount account;
    qsizetype told = 0;
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
        batch = older.beginBatch({0, kStart, {}, QStringLiteral("bench-7"), QString(), false, {}, 0, {}, {}});
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
    const qint64 next =
        store.beginBatch({0, kStart.addDays(1), {}, QStringLiteral("bench-7"), {}, false, {}, 0, {}, {}, batch});
    QCOMPARE(store.batches().first().resumes, batch);
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
                                           {},
                                           {}});
    const qint64 second =
        store.beginBatch({0, kStart.addSecs(3600), {}, QStringLiteral("bench-7"), {}, false, {}, 0, {}, {}});
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
        killed = before.beginBatch({0, kStart, {}, {}, {}, false, {}, 0, {}, {}});
        const qint64 ended = before.beginBatch({0, kStart.addSecs(-60), {}, {}, {}, false, {}, 0, {}, {}});
        QVERIFY(before.endBatch(ended, kStart.addSecs(-30)));
    }
    HistoryStore after(QStringLiteral("after"));
    QString error;
    QVERIFY(after.open(path, &error));
    QCOMPARE(after.markUnendedBatchesInterrupted(), QList<qint64>{killed});
    QVERIFY(after.batches().first().interrupted);
    QCOMPARE(after.batches().first().end, QStringLiteral("interrupted"));
    // It ended when it was last written, not when it was found.
    QCOMPARE(after.batches().first().ended, after.batches().first().lastWrite);
    QVERIFY(!after.batches().last().interrupted);
    // Told once, at the first start after.
    QCOMPARE(after.takeUntoldEnds().size(), 1);
    QCOMPARE(after.takeUntoldEnds().size(), 0);
}

void TestHistoryStore::batchOfTwo()
{
    pipeline = std::make_unique<UpdatePipeline>(port);
    port.events.clear();
    account = BatchAccount();
    told = 0;
    PipelineState &state = pipeline->state();
    for (int i = 1; i <= 2; ++i) {
        MarluneUnit unit;
        unit.mac = QStringLiteral("02:B5:0A:4D:01:0%1").arg(i);
        unit.name = QStringLiteral("u%1").arg(i);
        unit.ip = QStringLiteral("10.77.1.%1").arg(i);
        state.vUnits.append(unit);
        state.tcpAlive.insert(unit.ip, true);
    }
    pipeline->queueForUpdate({state.vUnits.at(0).mac, state.vUnits.at(1).mac});
}

void TestHistoryStore::tell(HistoryKeeper &keeper)
{
    for (; told < port.events.size(); ++told) {
        account.apply(port.events.at(told));
        keeper.unitEvent(port.events.at(told), QString());
    }
}

// The keeper writes the batch's events and the rows the account makes of them from its own
// thread: the batch and its rows appear in the file within a flush or two, and the batch ends,
// completed, once no unit of it is on its way; its rows are not written again after that.
void TestHistoryStore::keeperWritesTheBatchAsItGoes()
{
    const QString path = dir.filePath(QStringLiteral("keeper.sqlite"));
    batchOfTwo();
    HistoryKeeper keeper(*pipeline, account);
    QSignalSpy notKept(&keeper, &HistoryKeeper::notKept);
    keeper.open(path);
    tell(keeper);

    HistoryStore reader(QStringLiteral("reader"));
    QString error;
    QVERIFY(reader.open(path, &error));
    QTRY_COMPARE_WITH_TIMEOUT(reader.batches().value(0).units, 2, 15000);
    QCOMPARE(notKept.size(), 0);
    QVERIFY(!reader.batches().first().ended.isValid());
    const QString u2 = pipeline->state().vUnits.at(1).mac;
    QTRY_VERIFY_WITH_TIMEOUT(!reader.events(u2).isEmpty(), 15000);
    QCOMPARE(reader.events(u2).first().kind, QStringLiteral("queued"));

    // A transfer under way: its row follows the bytes; its progress is no event of its own.
    UnitEvent progress = pipeline->eventFor(UnitStep::FetchBegun, pipeline->state().vUnits.at(1));
    for (const qint64 sent : {10, 50}) {
        progress.bytes = sent;
        progress.size = 100;
        port.unitEvent(progress);
        progress.step = UnitStep::FetchProgress;
        tell(keeper);
        QTRY_COMPARE_WITH_TIMEOUT(reader.unitRuns(reader.batches().first().id).value(1).bytesServed, sent, 15000);
    }
    QCOMPARE(reader.events(u2).size(), 2);

    // Both units leave the pipeline: the batch ends, its rows in the order the units were queued.
    PipelineState &state = pipeline->state();
    state.vUnitsFinished = state.vUnitsUpdate;
    state.vUnitsUpdate.clear();
    QTRY_VERIFY_WITH_TIMEOUT(reader.batches().first().ended.isValid(), 15000);
    QCOMPARE(reader.batches().first().end, QStringLiteral("completed"));
    const QList<HistoryStore::UnitRun> runs = reader.unitRuns(reader.batches().first().id);
    QCOMPARE(runs.value(0).name, QStringLiteral("u1"));
    QCOMPARE(runs.value(1).name, QStringLiteral("u2"));
    QCOMPARE(runs.value(1).step, QStringLiteral("fetch begun"));
    // A late step of the ended batch changes nothing of it.
    progress.bytes = 90;
    port.unitEvent(progress);
    tell(keeper);
    keeper.finish();
    QCOMPARE(reader.unitRuns(reader.batches().first().id).value(1).bytesServed, qint64(50));
    QCOMPARE(notKept.size(), 0);
}

// Another program holds the history file for a while: the keeper's writes wait for it and go in
// once it lets go, the batch's end among them.
void TestHistoryStore::keeperWaitsForALockedFile()
{
    const QString path = dir.filePath(QStringLiteral("waits.sqlite"));
    batchOfTwo();
    HistoryKeeper keeper(*pipeline, account);
    QSignalSpy notKept(&keeper, &HistoryKeeper::notKept);
    keeper.open(path);
    tell(keeper);
    HistoryStore reader(QStringLiteral("waits-reader"));
    QString error;
    QVERIFY(reader.open(path, &error));
    QTRY_COMPARE_WITH_TIMEOUT(reader.batches().value(0).units, 2, 15000);

    const QString holding = path + QStringLiteral(".held");
    QProcess locker;
    locker.start(QStringLiteral("sqlite3"), {path});
    QVERIFY(locker.waitForStarted(10000));
    locker.write("BEGIN EXCLUSIVE;\n.shell touch " + holding.toLocal8Bit() + "\n");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(holding), 15000);
    // Both units leave the pipeline while the file is held, past the store's own wait.
    PipelineState &state = pipeline->state();
    state.vUnitsFinished = state.vUnitsUpdate;
    state.vUnitsUpdate.clear();
    pipeline->removeUnits({state.vUnits.at(0).mac});
    tell(keeper);
    QTest::qWait(3 * HistoryKeeper::kFlushIntervalMs + 2500);
    locker.write("COMMIT;\n.quit\n");
    QVERIFY(locker.waitForFinished(10000));
    keeper.finish();
    QCOMPARE(notKept.size(), 0);
    QCOMPARE(reader.batches().first().end, QStringLiteral("completed"));
    QCOMPARE(reader.unitRuns(reader.batches().first().id).value(0).finalStatus,
             QStringLiteral("Removed from the list."));
}

void TestHistoryStore::batchEndsWithItsCause_data()
{
    QTest::addColumn<QStringList>("story"); // what happens to the batch of two queued units, in order
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("resumable"); // units the last batch leaves to pick up again

    QTest::newRow("its units end") << QStringList{"units end"} << "completed" << 0;
    QTest::newRow("stopped") << QStringList{"stop", "units end"} << "stopped" << 2;
    QTest::newRow("halted") << QStringList{"halt", "units end"} << "halted" << 0;
    QTest::newRow("halted, resumed") << QStringList{"halt", "resume", "units end"} << "completed" << 0;
    QTest::newRow("the updater quits with units queued") << QStringList{"quit"} << "closed" << 2;
    QTest::newRow("one confirmed, the updater quits") << QStringList{"u1 confirmed", "quit"} << "closed" << 1;
    QTest::newRow("stopped, then the updater quits with units queued") << QStringList{"stop", "quit"} << "closed" << 2;
    QTest::newRow("the updater quits after its units ended") << QStringList{"units end", "quit"} << "completed" << 0;
    QTest::newRow("another batch begins") << QStringList{"units end", "queue again"} << "completed" << 1;
    QTest::newRow("a batch picks it up") << QStringList{"stop", "units end", "pick up"} << "stopped" << 2;
}

// Each batch records how it ended, and the next start says so once when it did not complete.
void TestHistoryStore::batchEndsWithItsCause()
{
    QFETCH(QStringList, story);
    QFETCH(QString, end);
    QFETCH(int, resumable);

    const QString path = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".sqlite"));
    batchOfTwo();
    {
        HistoryKeeper keeper(*pipeline, account);
        keeper.open(path);
        tell(keeper);
        PipelineState &state = pipeline->state();
        for (const QString &step : std::as_const(story)) {
            if (step == QLatin1String("stop"))
                keeper.batchStopped();
            else if (step == QLatin1String("halt"))
                keeper.batchHalted();
            else if (step == QLatin1String("resume"))
                keeper.batchResumed();
            else if (step == QLatin1String("units end"))
                state.vUnitsFinished = std::exchange(state.vUnitsUpdate, {});
            else if (step == QLatin1String("queue again"))
                pipeline->queueForUpdate({state.vUnits.at(0).mac});
            else if (step == QLatin1String("u1 confirmed"))
                port.unitEvent(pipeline->eventFor(UnitStep::Confirmed, state.vUnits.at(0)));
            else if (step == QLatin1String("pick up"))
                pipeline->resumeBatch(1, QString(), {run(state.vUnits.at(0).mac, {}), run(state.vUnits.at(1).mac, {})},
                                      nullptr);
            tell(keeper);
            // Long enough for a flush to see where the units stand.
            QTest::qWait(2 * HistoryKeeper::kFlushIntervalMs);
        }
        keeper.finish();
    }
    HistoryStore reader(QStringLiteral("ends-reader"));
    QString error;
    QVERIFY(reader.open(path, &error));
    const QList<HistoryStore::Batch> batches = reader.batches();
    QCOMPARE(batches.last().end, end);
    const bool second = story.contains(QStringLiteral("queue again")) || story.contains(QStringLiteral("pick up"));
    QCOMPARE(batches.size(), second ? 2 : 1);
    // The batch that picks the first up names it; the last batch is offered while some unit of it
    // is not confirmed.
    QCOMPARE(batches.first().resumes, story.contains(QStringLiteral("pick up")) ? batches.last().id : 0);
    const HistoryStore::Resumable last = reader.resumableBatch();
    QCOMPARE(last.unconfirmed.size(), resumable);
    QCOMPARE(last.batch.id, resumable > 0 ? batches.first().id : 0);
    // Told once: each batch that did not complete (a batch begun after it and left queued closed).
    const auto untold = std::count_if(batches.cbegin(), batches.cend(), [](const HistoryStore::Batch &batch) {
        return batch.end != QLatin1String("completed");
    });
    QCOMPARE(reader.takeUntoldEnds().size(), untold);
    QVERIFY(reader.takeUntoldEnds().isEmpty());
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

    batchOfTwo();
    HistoryKeeper keeper(*pipeline, account);
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
    tell(keeper);
    const QString longText(20000, QLatin1Char('x'));
    for (int i = 0; i < 100; ++i)
        keeper.logged(QStringLiteral("10.77.1.1"), QStringLiteral("10:00:00.000 u1 (10.77.1.1): ") + longText);
    QTRY_COMPARE_WITH_TIMEOUT(notKept.size(), 1, 15000);
    QVERIFY2(notKept.first().first().toString().contains(reason), qPrintable(notKept.first().first().toString()));
    // More work: nothing more is said, and the end does not hang.
    pipeline->queueForUpdate({pipeline->state().vUnits.at(0).mac});
    tell(keeper);
    keeper.logged(QStringLiteral("Updater"), QStringLiteral("x"));
    QTest::qWait(2 * HistoryKeeper::kFlushIntervalMs);
    keeper.finish();
    QCOMPARE(notKept.size(), 1);
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
