#include "historystore.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// How much of SQLite's account of a damaged file is passed on.
constexpr qsizetype kProblemTextLimit = 200;

// The schema, one step per version: step N takes a file from version N - 1 to N. Steps are
// never changed once released; a change is a new step.
const QList<QStringList> &schemaSteps()
{
    static const QList<QStringList> steps{
        // 1: batches, their packages and the unit runs in them.
        {QStringLiteral("CREATE TABLE batches (id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, "
                        "host TEXT NOT NULL DEFAULT '', plan TEXT NOT NULL DEFAULT '', "
                        "interrupted INTEGER NOT NULL DEFAULT 0)"),
         QStringLiteral("CREATE TABLE batch_packages (batch_id INTEGER NOT NULL REFERENCES batches(id), "
                        "file TEXT NOT NULL, sha256 TEXT NOT NULL DEFAULT '')"),
         QStringLiteral("CREATE TABLE unit_runs (batch_id INTEGER NOT NULL REFERENCES batches(id), mac TEXT NOT NULL, "
                        "name TEXT, type TEXT, ip TEXT, serial TEXT, sw_before TEXT, web_before TEXT, sw_after TEXT, "
                        "web_after TEXT, image TEXT, image_sha256 TEXT, bytes_served INTEGER NOT NULL DEFAULT 0, "
                        "commanded TEXT, fetched TEXT, reboot_seen TEXT, confirmed TEXT, final_status TEXT, "
                        "overdue INTEGER NOT NULL DEFAULT 0, retried INTEGER NOT NULL DEFAULT 0, "
                        "PRIMARY KEY (batch_id, mac))")},
        // 2: the events of each unit run.
        {QStringLiteral("CREATE TABLE unit_events (id INTEGER PRIMARY KEY, batch_id INTEGER NOT NULL, "
                        "mac TEXT NOT NULL, time TEXT NOT NULL, kind TEXT NOT NULL, text TEXT NOT NULL)"),
         QStringLiteral("CREATE INDEX unit_events_by_unit ON unit_events (mac, time)"),
         QStringLiteral("CREATE INDEX unit_events_by_batch ON unit_events (batch_id)")},
        // 3: what a rollout did with each unit; batches by date, runs by unit.
        {QStringLiteral("ALTER TABLE unit_runs ADD COLUMN canary INTEGER NOT NULL DEFAULT 0"),
         QStringLiteral("ALTER TABLE unit_runs ADD COLUMN held INTEGER NOT NULL DEFAULT 0"),
         QStringLiteral("ALTER TABLE unit_runs ADD COLUMN taken_out INTEGER NOT NULL DEFAULT 0"),
         QStringLiteral("CREATE INDEX batches_by_start ON batches (started)"),
         QStringLiteral("CREATE INDEX unit_runs_by_mac ON unit_runs (mac)")},
        // 4: how each batch ended, whether that was told, when it was last written; each run's
        // last step.
        {QStringLiteral("ALTER TABLE batches ADD COLUMN end_cause TEXT"),
         QStringLiteral("ALTER TABLE batches ADD COLUMN end_told INTEGER NOT NULL DEFAULT 1"),
         QStringLiteral("ALTER TABLE batches ADD COLUMN last_write TEXT"),
         QStringLiteral("UPDATE batches SET end_cause = CASE WHEN interrupted THEN 'interrupted' ELSE 'completed' END "
                        "WHERE ended IS NOT NULL"),
         QStringLiteral("ALTER TABLE unit_runs ADD COLUMN step TEXT NOT NULL DEFAULT ''")},
        // 5: the batch a batch picks up again, if any.
        {QStringLiteral("ALTER TABLE batches ADD COLUMN resumes INTEGER NOT NULL DEFAULT 0")},
    };
    return steps;
}

// Times are kept as ISO 8601 text with milliseconds and the UTC offset, which sorts by time
// within one offset and reads back to the same instant.
QVariant timeValue(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs))
                          : QVariant(QMetaType(QMetaType::QString));
}

// Text that is never NULL: a null QString binds as NULL.
QVariant textValue(const QString &text)
{
    return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
}

// What SQLite said ("database is locked"), without the driver's "Unable to fetch row".
QString reasonOf(const QSqlError &error)
{
    return error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
}

// SQLITE_BUSY and SQLITE_LOCKED, with their extended codes: another connection holds the file.
bool isBusy(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok && (code == 5 || code == 6);
}

QDateTime timeOf(const QVariant &value)
{
    return value.isNull() ? QDateTime() : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

} // namespace

HistoryStore::HistoryStore(const QString &connectionName) : connection(connectionName) {}

HistoryStore::~HistoryStore()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(connection))
        QSqlDatabase::removeDatabase(connection);
}

bool HistoryStore::fail(const QString &what)
{
    const QSqlDatabase db = QSqlDatabase::database(connection, false);
    busy = busy || (db.isValid() && isBusy(db.lastError()));
    error =
        what + (db.isValid() && db.lastError().isValid() ? QStringLiteral(": ") + reasonOf(db.lastError()) : QString());
    return false;
}

// A row that cannot be read (a damaged page) ends the rows early; it must not pass for the end.
void HistoryStore::noteReadError(const QSqlQuery &query) const
{
    if (query.lastError().isValid())
        error = reasonOf(query.lastError());
}

bool HistoryStore::exec(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (query.exec(statement))
        return true;
    error = reasonOf(query.lastError());
    return false;
}

bool HistoryStore::open(const QString &path, QString *errorText, int upTo)
{
    return openFile(path, errorText, upTo, false);
}

bool HistoryStore::openForReading(const QString &path, QString *errorText)
{
    return openFile(path, errorText, kSchemaVersion, true);
}

bool HistoryStore::openFile(const QString &path, QString *errorText, int upTo, bool forReading)
{
    opened = false;
    noSchema = false;
    const auto failed = [&](const QString &why) {
        error = why;
        *errorText = why;
        return false;
    };
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return failed(QStringLiteral("the SQLite driver of Qt is not installed (libqt6sql6-sqlite)"));
    // SQLite makes a file that is not there: a reader has nothing to read then.
    if (forReading && !QFileInfo(path).isFile())
        return failed(path + QStringLiteral(": no such file"));
    if (!forReading)
        QDir().mkpath(QFileInfo(path).absolutePath());
    QSqlDatabase db = QSqlDatabase::contains(connection)
                          ? QSqlDatabase::database(connection, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    // A writer that holds the file locks it only briefly; wait that long rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open())
        return failed(path + QStringLiteral(": ") + reasonOf(db.lastError()));
    // Reading the version is the first access to the file: a file that is not a database fails here.
    QSqlQuery version(db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next())
        return failed(path + QStringLiteral(": ") + reasonOf(version.lastError()));
    const int current = version.value(0).toInt();
    // A query left open holds a read transaction, in which the journal mode cannot change.
    version.finish();
    if (current > kSchemaVersion)
        return failed(QStringLiteral("%1 was written by a newer updater (history schema %2; this one knows up to %3)")
                          .arg(path)
                          .arg(current)
                          .arg(kSchemaVersion));
    // Up to date, or no history in it at all: a reader changes nothing, not even the journal.
    if (forReading && (current == 0 || current == kSchemaVersion)) {
        noSchema = current == 0;
        opened = true;
        return true;
    }
    QSqlQuery wal(db);
    if (!wal.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !wal.next())
        return failed(path + QStringLiteral(": ") + reasonOf(wal.lastError()));
    wal.finish();
    // With a write-ahead log, a commit is safe against a crash of the program at normal sync.
    exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    if (!migrate(current, upTo))
        return failed(path + QStringLiteral(": ") + error);
    opened = true;
    return true;
}

// Each step in a transaction of its own, with the version it reaches: a step that fails leaves
// the file at the version before it. The version is read again under the write lock, so that two
// updaters opening a new file at once do not both take the same step.
bool HistoryStore::migrate(int from, int to)
{
    const QList<QStringList> &steps = schemaSteps();
    // Up to date already: no write lock is taken, so a file that may only be read can be.
    if (from >= qMin(to, int(steps.size())))
        return true;
    for (;;) {
        if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
            return fail(QStringLiteral("cannot begin a schema step: ") + error);
        QSqlQuery read(QSqlDatabase::database(connection, false));
        const int version = read.exec(QStringLiteral("PRAGMA user_version")) && read.next() ? read.value(0).toInt() : -1;
        read.finish();
        const int next = version + 1;
        if (version < 0 || version >= qMin(to, int(steps.size()))) {
            exec(QStringLiteral("COMMIT"));
            return version >= 0 || fail(QStringLiteral("cannot read the schema version"));
        }
        bool ok = true;
        for (const QString &statement : steps.at(next - 1))
            ok = ok && exec(statement);
        ok = ok && exec(QStringLiteral("PRAGMA user_version=%1").arg(next));
        if (!ok || !exec(QStringLiteral("COMMIT"))) {
            const QString why = error;
            exec(QStringLiteral("ROLLBACK"));
            error = QStringLiteral("schema step to %1: %2").arg(next).arg(why);
            return false;
        }
    }
}

bool HistoryStore::checkWhole(QString *errorText) const
{
    QSqlQuery check(QSqlDatabase::database(connection, false));
    // The first problem found is enough to refuse the file, and ends the check sooner.
    QString found;
    if (check.exec(QStringLiteral("PRAGMA quick_check(1)")) && check.next())
        found = check.value(0).toString();
    if (check.lastError().isValid()) {
        *errorText = error = reasonOf(check.lastError());
        return false;
    }
    if (found == QLatin1String("ok"))
        return true;
    // SQLite's own words, on one line and of a length to read, without the name of the one
    // database a connection here has.
    found = found.simplified();
    found.remove(QStringLiteral("*** in database main *** "));
    if (found.size() > kProblemTextLimit)
        found = found.left(kProblemTextLimit) + QStringLiteral("...");
    *errorText = error = QStringLiteral("the file is damaged (") + found + QLatin1Char(')');
    return false;
}

int HistoryStore::schemaVersion() const
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    return query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt() : -1;
}

qint64 HistoryStore::insertBatch(const Batch &batch)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery insert(db);
    // A file of an older schema (tests make them) has no column for the batch picked up again.
    insert.prepare(schemaVersion() >= 5
                       ? QStringLiteral("INSERT INTO batches (started, host, plan, resumes) VALUES (?, ?, ?, ?)")
                       : QStringLiteral("INSERT INTO batches (started, host, plan) VALUES (?, ?, ?)"));
    insert.addBindValue(timeValue(batch.started));
    insert.addBindValue(textValue(batch.host));
    insert.addBindValue(textValue(batch.plan));
    if (schemaVersion() >= 5)
        insert.addBindValue(batch.resumes);
    if (!insert.exec()) {
        busy = isBusy(insert.lastError());
        error = QStringLiteral("cannot write the batch: ") + reasonOf(insert.lastError());
        return 0;
    }
    const qint64 id = insert.lastInsertId().toLongLong();
    QSqlQuery file(db);
    file.prepare(QStringLiteral("INSERT INTO batch_packages (batch_id, file, sha256) VALUES (?, ?, ?)"));
    for (const QString &package : batch.packages) {
        file.addBindValue(id);
        file.addBindValue(package.section(QLatin1Char(' '), 0, 0));
        file.addBindValue(package.section(QLatin1Char(' '), 1));
        if (!file.exec()) {
            error = QStringLiteral("cannot write the batch's packages: ") + reasonOf(file.lastError());
            return 0;
        }
    }
    return id;
}

qint64 HistoryStore::beginBatch(const Batch &batch)
{
    QHash<int, qint64> ids;
    return write({{{1, batch}}, {}, {}, {}, {}}, ids) ? ids.value(1) : 0;
}

bool HistoryStore::inTransaction(const std::function<bool()> &work)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    error.clear();
    busy = false;
    if (!db.transaction())
        return fail(QStringLiteral("cannot begin writing"));
    if (work() && db.commit())
        return true;
    const QString why = error.isEmpty() ? reasonOf(db.lastError()) : error;
    db.rollback();
    error = why;
    return false;
}

bool HistoryStore::write(const Changes &changes, QHash<int, qint64> &ids)
{
    const bool written = inTransaction([&] {
        bool ok = true;
        for (const auto &[number, batch] : changes.begun) {
            const qint64 id = ok ? insertBatch(batch) : 0;
            ok = id != 0;
            ids.insert(number, id);
        }
        for (const auto &[number, run] : changes.runs)
            ok = ok && insertRun(ids.value(number), run);
        ok = ok && insertEvents(changes.events, [&ids](qint64 number) { return ids.value(int(number)); });
        for (const Ended &ended : changes.ended) {
            QSqlQuery update(QSqlDatabase::database(connection, false));
            // A batch another updater marked interrupted while this one still ran it is whole after all.
            update.prepare(QStringLiteral("UPDATE batches SET ended = ?, end_cause = ?, interrupted = 0, end_told = 0 "
                                          "WHERE id = ?"));
            update.addBindValue(timeValue(ended.time));
            update.addBindValue(textValue(ended.end));
            update.addBindValue(ids.value(ended.number));
            if (ok && !update.exec()) {
                busy = isBusy(update.lastError());
                error = QStringLiteral("cannot end the batch: ") + reasonOf(update.lastError());
                ok = false;
            }
        }
        // Every batch written to now was alive now: a kill later ends it no earlier than this.
        QSet<int> touched;
        for (const auto &begun : changes.begun)
            touched.insert(begun.first);
        for (const auto &run : changes.runs)
            touched.insert(run.first);
        for (const Event &event : changes.events)
            touched.insert(int(event.batchId));
        for (const int number : changes.alive)
            touched.insert(number);
        const QVariant now = timeValue(QDateTime::currentDateTime());
        if (schemaVersion() < 4)
            touched.clear();
        for (const int number : std::as_const(touched)) {
            QSqlQuery mark(QSqlDatabase::database(connection, false));
            mark.prepare(QStringLiteral("UPDATE batches SET last_write = ? WHERE id = ?"));
            mark.addBindValue(now);
            mark.addBindValue(ids.value(number));
            if (ok && !mark.exec()) {
                busy = isBusy(mark.lastError());
                error = QStringLiteral("cannot write the batch: ") + reasonOf(mark.lastError());
                ok = false;
            }
        }
        return ok;
    });
    if (!written) {
        for (const auto &begun : changes.begun)
            ids.remove(begun.first);
    }
    return written;
}

bool HistoryStore::endBatch(qint64 batchId, const QDateTime &ended, const QString &end)
{
    QHash<int, qint64> ids{{1, batchId}};
    return write({{}, {}, {}, {{1, ended, end}}, {}}, ids);
}

bool HistoryStore::saveUnitRun(qint64 batchId, const UnitRun &run)
{
    QHash<int, qint64> ids{{1, batchId}};
    return write({{}, {{1, run}}, {}, {}, {}}, ids);
}

bool HistoryStore::insertRun(qint64 batchId, const UnitRun &run)
{
    QSqlQuery save(QSqlDatabase::database(connection, false));
    // An update keeps the row where it was first written: the runs read back in the order their
    // units were queued.
    save.prepare(QStringLiteral(
        "INSERT INTO unit_runs (batch_id, mac, name, type, ip, serial, sw_before, web_before, sw_after, "
        "web_after, image, image_sha256, bytes_served, commanded, fetched, reboot_seen, confirmed, final_status, "
        "overdue, retried, canary, held, taken_out, step) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?, ?, ?, ?, ?) ON CONFLICT (batch_id, mac) DO UPDATE SET name = excluded.name, type = excluded.type, "
        "ip = excluded.ip, serial = excluded.serial, sw_before = excluded.sw_before, web_before = excluded.web_before, "
        "sw_after = excluded.sw_after, web_after = excluded.web_after, image = excluded.image, "
        "image_sha256 = excluded.image_sha256, bytes_served = excluded.bytes_served, commanded = excluded.commanded, "
        "fetched = excluded.fetched, reboot_seen = excluded.reboot_seen, confirmed = excluded.confirmed, "
        "final_status = excluded.final_status, overdue = excluded.overdue, retried = excluded.retried, "
        "canary = excluded.canary, held = excluded.held, taken_out = excluded.taken_out, step = excluded.step"));
    const QVariantList values{batchId,
                              run.mac,
                              run.name,
                              run.type,
                              run.ip,
                              run.serial,
                              run.swBefore,
                              run.webBefore,
                              run.swAfter,
                              run.webAfter,
                              run.image,
                              run.imageSha256,
                              run.bytesServed,
                              timeValue(run.commanded),
                              timeValue(run.fetched),
                              timeValue(run.rebootSeen),
                              timeValue(run.confirmed),
                              run.finalStatus,
                              int(run.overdue),
                              int(run.retried),
                              int(run.canary),
                              int(run.held),
                              int(run.takenOut),
                              textValue(run.step)};
    for (const QVariant &value : values)
        save.addBindValue(value);
    if (save.exec())
        return true;
    busy = isBusy(save.lastError());
    error = QStringLiteral("cannot write the run of ") + run.mac + QStringLiteral(": ") + reasonOf(save.lastError());
    return false;
}

// In one transaction: a thousand events cost one commit.
bool HistoryStore::addEvents(const QList<Event> &events)
{
    return inTransaction([&] { return insertEvents(events, [](qint64 id) { return id; }); });
}

bool HistoryStore::insertEvents(const QList<Event> &events, const std::function<qint64(qint64)> &storeId)
{
    QSqlQuery insert(QSqlDatabase::database(connection, false));
    insert.prepare(QStringLiteral("INSERT INTO unit_events (batch_id, mac, time, kind, text) VALUES (?, ?, ?, ?, ?)"));
    for (const Event &event : events) {
        insert.addBindValue(storeId(event.batchId));
        insert.addBindValue(textValue(event.mac));
        insert.addBindValue(timeValue(event.time));
        insert.addBindValue(textValue(event.kind));
        insert.addBindValue(textValue(event.text));
        if (!insert.exec()) {
            busy = isBusy(insert.lastError());
            error = QStringLiteral("cannot write events: ") + reasonOf(insert.lastError());
            return false;
        }
    }
    return true;
}

QList<qint64> HistoryStore::markUnendedBatchesInterrupted()
{
    QList<qint64> ids;
    QSqlQuery unended(QSqlDatabase::database(connection, false));
    if (!unended.exec(QStringLiteral("SELECT id FROM batches WHERE ended IS NULL")))
        return ids;
    while (unended.next())
        ids << unended.value(0).toLongLong();
    for (const qint64 id : std::as_const(ids)) {
        QSqlQuery mark(QSqlDatabase::database(connection, false));
        mark.prepare(QStringLiteral("UPDATE batches SET ended = COALESCE(last_write, started), end_cause = "
                                    "'interrupted', interrupted = 1, end_told = 0 WHERE id = ?"));
        mark.addBindValue(id);
        mark.exec();
    }
    return ids;
}

QList<HistoryStore::Batch> HistoryStore::takeUntoldEnds()
{
    QSet<qint64> untold;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (query.exec(QStringLiteral("SELECT id FROM batches WHERE end_told = 0 AND ended IS NOT NULL AND "
                                  "end_cause IS NOT 'completed'"))) {
        while (query.next())
            untold.insert(query.value(0).toLongLong());
    }
    query.finish();
    QList<Batch> told;
    if (untold.isEmpty() || !exec(QStringLiteral("UPDATE batches SET end_told = 1 WHERE ended IS NOT NULL")))
        return told;
    for (const Batch &batch : batches()) {
        if (untold.contains(batch.id))
            told.append(batch);
    }
    return told;
}

QList<HistoryStore::Batch> HistoryStore::batches(const QDateTime &since, int limit) const
{
    QList<Batch> result;
    error.clear();
    if (noSchema)
        return result;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(QStringLiteral(
        "SELECT b.id, b.started, b.ended, b.host, b.plan, b.interrupted, b.end_cause, b.last_write, "
        "(SELECT count(*) FROM unit_runs r WHERE r.batch_id = b.id), "
        "(SELECT group_concat(p.file || ' ' || p.sha256, char(10)) FROM batch_packages p WHERE p.batch_id = b.id), "
        "b.resumes FROM batches b WHERE ? IS NULL OR julianday(b.started) >= julianday(?) "
        "ORDER BY julianday(b.started) DESC, b.id DESC LIMIT ?"));
    query.addBindValue(timeValue(since));
    query.addBindValue(timeValue(since));
    query.addBindValue(limit);
    if (!query.exec()) {
        error = reasonOf(query.lastError());
        return result;
    }
    while (query.next()) {
        Batch batch;
        batch.id = query.value(0).toLongLong();
        batch.started = timeOf(query.value(1));
        batch.ended = timeOf(query.value(2));
        batch.host = query.value(3).toString();
        batch.plan = query.value(4).toString();
        batch.interrupted = query.value(5).toBool();
        batch.end = query.value(6).toString();
        batch.lastWrite = timeOf(query.value(7));
        batch.units = query.value(8).toInt();
        batch.packages = query.value(9).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        batch.resumes = query.value(10).toLongLong();
        result.append(batch);
    }
    noteReadError(query);
    return result;
}

QList<HistoryStore::UnitRun> HistoryStore::unitRuns(qint64 batchId) const
{
    QList<UnitRun> result;
    error.clear();
    if (noSchema)
        return result;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(QStringLiteral(
        "SELECT mac, name, type, ip, serial, sw_before, web_before, sw_after, web_after, image, image_sha256, "
        "bytes_served, commanded, fetched, reboot_seen, confirmed, final_status, overdue, retried, canary, held, "
        "taken_out, (SELECT plan FROM batches b WHERE b.id = batch_id), step FROM unit_runs WHERE batch_id = ? "
        "ORDER BY rowid"));
    query.addBindValue(batchId);
    if (!query.exec()) {
        error = reasonOf(query.lastError());
        return result;
    }
    while (query.next()) {
        const auto text = [&query](int column) { return query.value(column).toString(); };
        UnitRun run;
        QString *fields[] = {&run.mac,       &run.name,    &run.type,     &run.ip,    &run.serial,     &run.swBefore,
                             &run.webBefore, &run.swAfter, &run.webAfter, &run.image, &run.imageSha256};
        for (int column = 0; column < int(std::size(fields)); ++column)
            *fields[column] = text(column);
        run.bytesServed = query.value(11).toLongLong();
        run.commanded = timeOf(query.value(12));
        run.fetched = timeOf(query.value(13));
        run.rebootSeen = timeOf(query.value(14));
        run.confirmed = timeOf(query.value(15));
        run.finalStatus = text(16);
        run.overdue = query.value(17).toBool();
        run.retried = query.value(18).toBool();
        run.canary = query.value(19).toBool();
        run.held = query.value(20).toBool();
        run.takenOut = query.value(21).toBool();
        run.rollout = text(22);
        run.step = text(23);
        result.append(run);
    }
    noteReadError(query);
    return result;
}

QList<HistoryStore::Event> HistoryStore::events(const QString &mac, qint64 batchId) const
{
    QList<Event> result;
    error.clear();
    if (noSchema)
        return result;
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(QStringLiteral("SELECT batch_id, mac, time, kind, text FROM unit_events WHERE mac = ? AND "
                                 "(? = 0 OR batch_id = ?) ORDER BY time, id"));
    query.addBindValue(mac);
    query.addBindValue(batchId);
    query.addBindValue(batchId);
    if (!query.exec()) {
        error = reasonOf(query.lastError());
        return result;
    }
    while (query.next())
        result.append({query.value(0).toLongLong(), query.value(1).toString(), timeOf(query.value(2)),
                       query.value(3).toString(), query.value(4).toString()});
    noteReadError(query);
    return result;
}
