#pragma once

#include "update/runrecord.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QSqlQuery;

// One updater's history of batches, kept in an SQLite file: each batch (when, where, its rollout
// plan and packages), each unit's run in it (the report's columns) and each event of a run. The
// schema carries its version (PRAGMA user_version) and is brought up to date one step at a time;
// a file written by a newer updater is refused rather than changed.
//
// Not thread-safe: one store per thread, each with its own connection name.
class HistoryStore final
{
public:
    static constexpr int kSchemaVersion = 5;
    // An updater writes at least this often of a batch it runs; a batch unended and unwritten for
    // kPresumedGoneSecs was left by an updater that is gone.
    static constexpr int kAliveIntervalSecs = 10;
    static constexpr int kPresumedGoneSecs = 60;

    struct Batch
    {
        qint64 id = 0;
        QDateTime started;
        QDateTime ended;
        QString host;
        QString plan;
        bool interrupted = false;
        // Each package file of the batch with its SHA-256, "file sha256".
        QStringList packages;
        int units = 0;
        // How it ended: "completed" (every unit reached an end by itself), "stopped" (the operator
        // stopped it), "halted" (its rollout halted and was not resumed), "closed" (the updater quit
        // with units still in flight), "interrupted" (the updater was killed; found later); "" while
        // it is open.
        QString end;
        // When the updater last wrote anything of it; an interrupted batch ended then.
        QDateTime lastWrite;
        // The batch this one picks up again (its units not confirmed), 0 for none.
        qint64 resumes = 0;
    };

    // A unit's run; its rollout is its batch's plan.
    using UnitRun = RunRecord;

    struct Event
    {
        qint64 batchId = 0;
        QString mac;
        QDateTime time;
        QString kind;
        QString text;
    };

    // What a writer gathered since it last wrote, written in one transaction. A batch is named by
    // the writer's own number until the store gives it an id; events carry that number too.
    struct Ended
    {
        int number = 0;
        QDateTime time;
        QString end;
    };
    struct Changes
    {
        QList<std::pair<int, Batch>> begun;
        QList<std::pair<int, UnitRun>> runs;
        QList<Event> events;
        QList<Ended> ended;
        // Batches still open and alive, though nothing of them changed.
        QList<int> alive;
        bool isEmpty() const
        {
            return begun.isEmpty() && runs.isEmpty() && events.isEmpty() && ended.isEmpty() && alive.isEmpty();
        }
    };

    explicit HistoryStore(const QString &connectionName);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the file (creating it and its folder), writes ahead to a log (WAL) and brings the
    // schema up to upTo (tests make older files with a lower one). False with *error set when
    // the file cannot be used: not a database, locked, read-only, on a full disk, or newer.
    bool open(const QString &path, QString *error, int upTo = kSchemaVersion);
    // Opens an existing file to read it: a file that is up to date, or has no schema at all (an
    // empty file, read as a history without batches), is not written to; an older one is brought
    // up to date as open() does. False with *error set when the file cannot be read.
    bool openForReading(const QString &path, QString *error);
    // Reads every page of the open file once; false with *error set when it is damaged.
    bool checkWhole(QString *error) const;
    bool isOpen() const { return opened; }
    int schemaVersion() const;
    QString lastError() const { return error; }

    // Writing. A batch's id is what beginBatch returns; 0 when it could not be written.
    qint64 beginBatch(const Batch &batch);
    bool endBatch(qint64 batchId, const QDateTime &ended, const QString &end = QStringLiteral("completed"));
    // Writes the unit's run in the batch, over what was written of it before.
    bool saveUnitRun(qint64 batchId, const UnitRun &run);
    // Events whose batchId is the store's own id, in one transaction.
    bool addEvents(const QList<Event> &events);
    // Writes every change or none; ids maps the writer's batch numbers to the store's ids and
    // receives those of the batches begun.
    bool write(const Changes &changes, QHash<int, qint64> &ids);
    // At start-up: the batches a killed updater left unended are marked interrupted, ended when it
    // last wrote of them. Their ids.
    QList<qint64> markUnendedBatchesInterrupted();
    // At start-up: the batches that ended otherwise than completed and were not told of yet, newest
    // first; every ended batch then counts as told.
    QList<Batch> takeUntoldEnds();
    // The last error was another connection holding the file: writing again later may work.
    bool lastErrorWasBusy() const { return busy; }

    // Reading. A query that fails, at once or part way, leaves lastError() set (else it is empty)
    // and gives what it read until then.
    // Batches begun at or after since (all when invalid), newest first; at most limit (-1: all).
    QList<Batch> batches(const QDateTime &since = QDateTime(), int limit = -1) const;
    QList<UnitRun> unitRuns(qint64 batchId) const;
    // The events of one unit (all batches), oldest first; of one batch when batchId is not 0.
    QList<Event> events(const QString &mac, qint64 batchId = 0) const;

    // The last batch, when it can be picked up again: it ended closed, interrupted or stopped with
    // units not confirmed (by their runs). Its runs of those units; batch.id is 0 for none.
    struct Resumable
    {
        Batch batch;
        QList<UnitRun> unconfirmed;
    };
    Resumable resumableBatch() const;

private:
    bool openFile(const QString &path, QString *error, int upTo, bool forReading);
    bool migrate(int from, int to);
    qint64 insertBatch(const Batch &batch);
    bool insertRun(qint64 batchId, const UnitRun &run);
    // storeId gives the store's id of an event's batchId.
    bool insertEvents(const QList<Event> &events, const std::function<qint64(qint64)> &storeId);
    // Runs work in one transaction: committed when it returns true, else rolled back.
    bool inTransaction(const std::function<bool()> &work);
    bool exec(const QString &statement);
    bool fail(const QString &what);
    void noteReadError(const QSqlQuery &query) const;

    QString connection;
    bool opened = false;
    // Opened for reading a file without a schema: there is nothing to read.
    bool noSchema = false;
    mutable QString error;
    bool busy = false;
};
