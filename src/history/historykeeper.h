#pragma once

#include "history/historystore.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

class BatchAccount;
class QThread;
class QTimer;
class UpdatePipeline;
struct UnitEvent;

// Keeps the history of the batches the updater runs: the units' events and the rows the batch
// account makes of them, handed from the updater's thread to a thread of its own, which writes
// them to the history file. The updater's thread only gathers: every kFlushIntervalMs what changed
// goes to the writing thread in one piece, so a killed updater loses at most the last second. The
// file is never touched on the updater's thread, so a slow, locked or full disk cannot hold up a
// tick.
//
// A batch begins with the first event of a batch number it has not seen, and ends when none of its
// units is queued, commanded or resetting EDID any longer, when the pipeline begins another, or
// when the updater closes; it records how it ended. Once ended, its rows are not written again.
class HistoryKeeper final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryKeeper)

public:
    static constexpr int kFlushIntervalMs = 500;
    // Rows written in one flush; more wait for the next, shortly after.
    static constexpr int kRunsPerFlush = 50;
    static constexpr int kBacklogIntervalMs = 10;
    // Another program holding the history file: the writes wait for it, and at the end the last
    // write waits this long at most.
    static constexpr int kRetryIntervalMs = 1000;
    static constexpr int kFinishWaitMs = 60000;

    HistoryKeeper(const UpdatePipeline &pipeline, const BatchAccount &account, QObject *parent = nullptr);
    ~HistoryKeeper() override;

    // Opens the history file in the writing thread, marks the batches a killed updater left unended
    // as interrupted and says once how the batches that did not complete ended. The outcome comes
    // through the signals.
    void open(const QString &path);
    // Open (or being opened) and not failed.
    bool keeping() const { return thread && !broken; }

    // One step of a unit (already in the batch account), and its status-log line ("" for none).
    void unitEvent(const UnitEvent &event, const QString &line);
    // A status-log line of no unit step, kept among the open batch's events as it is.
    void logged(const QString &source, const QString &line);
    // The operator stopped the batch; its rollout halted; it was resumed.
    void batchStopped();
    void batchHalted();
    void batchResumed();
    // The front-end saw every unit of the batch reach its end by its own rules (the tool counts an
    // overdue unit as ended): the batch ends now, not closed by the quit that follows.
    void batchOver();
    // Ends the open batch, writes what is left and ends the writing thread; blocks until written.
    void finish();

Q_SIGNALS:
    // The history cannot be kept (once): reason says why.
    void notKept(const QString &reason);
    // A batch that ended otherwise than completed, told once at the start after: text says how.
    void batchEndFound(const QString &text);
    // At open, after the ends: the last batch, when it can be picked up again (batch.id 0: none).
    void resumableFound(const HistoryStore::Resumable &resumable);

private:
    struct Writer;

    void flush();
    void flushSoon();
    void beginBatch(int number);
    void endBatch(const QString &end);
    // How the open batch ends now; closing: the updater quits.
    QString endCause(bool closing) const;
    void gatherRows(bool all);
    void postPending(bool last = false);
    void writeBacklog(const std::shared_ptr<Writer> &w, bool last);
    void writerFailed(const QString &reason);

    const UpdatePipeline &pipeline;
    const BatchAccount &account;
    QThread *thread = nullptr;
    std::shared_ptr<Writer> writer;
    QObject *writerContext = nullptr;
    QTimer *flushTimer = nullptr;
    bool broken = false;

    // The open batch: the pipeline's number for it (0 for none), whether it ended, what the operator
    // and the rollout did to it, its units by address, and the units whose rows changed.
    int batchNumber = 0;
    bool batchEnded = false;
    bool stopped = false;
    bool halted = false;
    QHash<QString, QString> macByIp;
    QList<QString> dirty;
    QSet<QString> dirtySet;
    HistoryStore::Changes pending;
    QDeadlineTimer sinceWritten;
};
