#pragma once

#include "history/historystore.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

class MarluneUnit;
class PackageCatalogue;
class PipelineIndex;
class QThread;
class QTimer;
struct PipelineState;

// Keeps the history of the batches the updater runs: it watches the pipeline from the updater's
// thread and hands what changed to a thread of its own, which writes it to the history file. The
// updater's thread only gathers: a status-log line becomes an event, a unit whose run changed is
// noted, and every kFlushIntervalMs the gathered changes go to the writing thread in one piece, so
// a killed updater loses at most the last second. The file is never touched on the updater's
// thread, so a slow, locked or full disk cannot hold up a tick.
//
// A batch begins when the pipeline starts one (queued units with none of the last batch still on
// their way) and ends when none of its units is queued, commanded or resetting EDID any longer, or
// when the updater closes; its rows are still written for a while after, as the units' statuses
// settle.
class HistoryKeeper final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryKeeper)

public:
    static constexpr int kFlushIntervalMs = 500;
    // Unit runs turned into rows in one flush; more wait for the next, shortly after.
    static constexpr int kRunsPerFlush = 10;
    static constexpr int kBacklogIntervalMs = 10;
    // How long the rows of an ended batch are still written as its units' statuses settle.
    static constexpr int kWatchAfterEndMs = 30000;

    HistoryKeeper(const PipelineState &pipeline, const PackageCatalogue &packages, QObject *parent = nullptr);
    ~HistoryKeeper() override;

    // Opens the history file in the writing thread and marks the batches a killed updater left
    // unended as interrupted. The outcome comes through the signals.
    void open(const QString &path);
    // Open (or being opened) and not failed.
    bool keeping() const { return thread && !broken; }

    // After units were queued: the pipeline may have begun a batch, or added units to its batch.
    void unitsQueued();
    // A status-log line: an event of the unit it names (source is the unit's address, or the
    // message names the unit by "NAME (IP)"), or of the open batch.
    void logged(const QString &source, const QString &message, const QString &line);
    // The unit's run changed where no status-log line tells of it (its transfer).
    void runChanged(const QString &mac);
    // A status record of a unit; the result of a reachability test of an address.
    void unitReported(const MarluneUnit &unit);
    void unitTested(const QString &ip, bool alive);
    // A refresh tick ended: the status records it merged show in the rows.
    void tickDone();
    // Ends the open batch, writes what is left and ends the writing thread; blocks until written.
    void finish();

    // The event kind of a status-log message: "commanded", "fetched", "overdue" and the like;
    // "log" for the others.
    static QString eventKind(const QString &message);

Q_SIGNALS:
    // The history cannot be kept (once): reason says why.
    void notKept(const QString &reason);
    // A batch a killed updater left unended, now marked interrupted; text describes it.
    void interruptedBatchFound(const QString &text);

private:
    // An event as gathered; made into the store's on the writing thread, where its kind is read
    // from its message unless it has one.
    struct Gathered
    {
        int batch = 0;
        QString mac;
        qint64 ms = 0;
        QString kind;
        QString message;
        QString text;
    };

    void flush();
    void flushSoon();
    void noteFinishedUnits();
    void markDirty(const QString &mac);
    void markAllDirty();
    void addRow(const QString &mac, const PipelineIndex &index);
    bool gatherRuns(bool all);
    void endBatchIfDone();
    void closeBatch();
    void postPending();
    void writerFailed(const QString &reason);

    const PipelineState &state;
    const PackageCatalogue &catalogue;
    QThread *thread = nullptr;
    // The store and the writer's batch ids; touched only in the writing thread.
    struct Writer;
    std::shared_ptr<Writer> writer;
    QObject *writerContext = nullptr;
    QTimer *flushTimer = nullptr;
    bool broken = false;

    // The open batch: its number (0 for none), when the pipeline began it, its units and their
    // addresses, and what was last written of each unit's run.
    int batchNumber = 0;
    bool batchEnded = false;
    // None of its units is on its way: its rows are being made once more before its end.
    bool ending = false;
    QDeadlineTimer settled;
    int lastNumber = 0;
    QDateTime batchStarted;
    QStringList batchUnits;
    QSet<QString> batchSet;
    // Units whose status record changed since the last tick; what each record last was, and
    // whether each unit last answered its reachability test.
    QSet<QString> reported;
    QHash<QString, size_t> recordMarks;
    QHash<QString, bool> aliveSeen;
    QHash<QString, QString> macByIp;
    // Each unit's place in the batch, for rows written in the batch's order.
    QHash<QString, int> position;
    // Entries of vUnitsFinished already looked at: a unit that joins the list has finished.
    qsizetype finishedSeen = 0;
    // What the rows written so far showed: each unit's status, and the units seen rebooting.
    QHash<QString, QString> statusShown;
    QSet<QString> rebootWritten;
    // By place in the batch: the units whose row is to be made again.
    QList<bool> dirtyAt;
    int dirtyCount = 0;
    HistoryStore::Changes pending;
    QList<Gathered> gathered;
};
