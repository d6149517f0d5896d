#include "history/historystore.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

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

private:
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
        batch = older.beginBatch({0, kStart, {}, QStringLiteral("bench-7"), QString(), false, {}, 0});
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
    const qint64 next = store.beginBatch({0, kStart.addDays(1), {}, QStringLiteral("bench-7"), {}, false, {}, 0});
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
                                           0});
    const qint64 second = store.beginBatch({0, kStart.addSecs(3600), {}, QStringLiteral("bench-7"), {}, false, {}, 0});
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
        killed = before.beginBatch({0, kStart, {}, {}, {}, false, {}, 0});
        const qint64 ended = before.beginBatch({0, kStart.addSecs(-60), {}, {}, {}, false, {}, 0});
        QVERIFY(before.endBatch(ended, kStart.addSecs(-30)));
    }
    HistoryStore after(QStringLiteral("after"));
    QString error;
    QVERIFY(after.open(path, &error));
    QCOMPARE(after.markUnendedBatchesInterrupted(kStart.addSecs(600)), QList<qint64>{killed});
    QVERIFY(after.batches().first().interrupted);
    QVERIFY(!after.batches().last().interrupted);
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
