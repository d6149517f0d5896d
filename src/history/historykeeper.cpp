#include "historykeeper.h"

#include "app/debuglog.h"
#include "app/runningthread.h"
#include "packages/packagecatalogue.h"
#include "update/batchaccount.h"
#include "update/unitevent.h"
#include "update/updatepipeline.h"

#include <QDeadlineTimer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

static const char kLogSource[] = "historykeeper";

// The writing thread's side: the store, the store's ids of this run's batches, and what could not
// be written yet because another program held the file.
struct HistoryKeeper::Writer
{
    QString path;
    std::unique_ptr<HistoryStore> store;
    QHash<int, qint64> ids;
    HistoryStore::Changes backlog;
    bool retrying = false;
    bool failed = false;
};

namespace {

void append(HistoryStore::Changes &to, HistoryStore::Changes &&from)
{
    to.begun += std::move(from.begun);
    to.runs += std::move(from.runs);
    to.events += std::move(from.events);
    to.ended += std::move(from.ended);
    to.alive += std::move(from.alive);
}

// "The batch begun 2026-12-09 14:02:11 (10 units) was stopped: ..." for a batch that did not
// complete.
QString endText(const HistoryStore::Batch &batch)
{
    const QString head = QStringLiteral("The batch begun %1 (%2 units) ")
                             .arg(batch.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
                             .arg(batch.units);
    if (batch.end == QLatin1String("interrupted"))
        return head
               + QStringLiteral("was interrupted: the updater stopped before it ended. The history keeps what "
                                "was written of it.");
    if (batch.end == QLatin1String("closed"))
        return head + QStringLiteral("was closed: the updater quit with units still in flight.");
    if (batch.end == QLatin1String("halted"))
        return head + QStringLiteral("halted: its rollout stopped and was not resumed.");
    return head + QStringLiteral("was stopped by the operator.");
}

} // namespace

HistoryKeeper::HistoryKeeper(const UpdatePipeline &pipeline, const BatchAccount &account, QObject *parent)
    : QObject(parent), pipeline(pipeline), account(account)
{
}

HistoryKeeper::~HistoryKeeper()
{
    finish();
}

void HistoryKeeper::open(const QString &path)
{
    if (thread)
        return;
    thread = new QThread(this);
    thread->setObjectName(QStringLiteral("history"));
    writerContext = new QObject;
    QString error;
    if (!startRunning(thread, &error)) {
        // Nothing is gathered or written; the core says once that no history is kept.
        delete writerContext;
        writerContext = nullptr;
        delete thread;
        thread = nullptr;
        QMetaObject::invokeMethod(
            this, [this, error] { writerFailed(error); }, Qt::QueuedConnection);
        return;
    }
    writerContext->moveToThread(thread);
    writer = std::make_shared<Writer>();
    writer->path = path;
    flushTimer = new QTimer(this);
    flushTimer->setSingleShot(true);
    connect(flushTimer, &QTimer::timeout, this, &HistoryKeeper::flush);

    const std::shared_ptr<Writer> w = writer;
    const QString connectionName = QStringLiteral("history-%1").arg(quintptr(this));
    QMetaObject::invokeMethod(writerContext, [this, w, path, connectionName] {
        w->store = std::make_unique<HistoryStore>(connectionName);
        QString error;
        if (!w->store->open(path, &error)) {
            w->failed = true;
            w->store.reset();
            QMetaObject::invokeMethod(this, [this, error] { writerFailed(error); }, Qt::QueuedConnection);
            return;
        }
        w->store->markUnendedBatchesInterrupted();
        QStringList texts;
        for (const HistoryStore::Batch &batch : w->store->takeUntoldEnds())
            texts << endText(batch);
        const HistoryStore::Resumable resumable = w->store->resumableBatch();
        QMetaObject::invokeMethod(this, [this, texts, resumable] {
            for (const QString &text : texts)
                Q_EMIT batchEndFound(text);
            Q_EMIT resumableFound(resumable);
        }, Qt::QueuedConnection);
    });
    BLOG << "history file:" << path;
}

void HistoryKeeper::finish()
{
    if (!thread)
        return;
    flushTimer->stop();
    if (!broken && batchNumber != 0 && !batchEnded)
        endBatch(endCause(true));
    gatherRows(true);
    if (!broken)
        postPending(true);
    // The last write, the store's connection closed in the thread that opened it, and the end of the
    // thread's loop go in one piece: nothing posted before it is dropped.
    const std::shared_ptr<Writer> w = writer;
    QMetaObject::invokeMethod(writerContext, [w] {
        w->store.reset();
        QThread::currentThread()->quit();
    });
    thread->wait();
    delete writerContext;
    writerContext = nullptr;
    delete thread;
    thread = nullptr;
}

// What was gathered goes to the writing thread, after whatever waits there for the file. While
// another program holds the file the changes wait and are tried again; at the last write, for
// kFinishWaitMs at most. Any other failure ends the keeping.
void HistoryKeeper::postPending(bool last)
{
    if (pending.isEmpty() && !last)
        return;
    const std::shared_ptr<Writer> w = writer;
    QMetaObject::invokeMethod(writerContext, [this, w, changes = std::exchange(pending, {}), last]() mutable {
        append(w->backlog, std::move(changes));
        if (!w->retrying || last)
            writeBacklog(w, last);
    });
}

// On the writing thread.
void HistoryKeeper::writeBacklog(const std::shared_ptr<Writer> &w, bool last)
{
    w->retrying = false;
    if (w->failed || !w->store || w->backlog.isEmpty())
        return;
    const QDeadlineTimer patience(last ? kFinishWaitMs : 0);
    for (;;) {
        if (w->store->write(w->backlog, w->ids)) {
            w->backlog = {};
            return;
        }
        if (!w->store->lastErrorWasBusy())
            break;
        if (!last) {
            BLOG << "history file busy; writing again shortly:" << w->store->lastError();
            w->retrying = true;
            QTimer::singleShot(kRetryIntervalMs, writerContext, [this, w] {
                if (w->retrying)
                    writeBacklog(w, false);
            });
            return;
        }
        if (patience.hasExpired())
            break;
        QThread::msleep(kRetryIntervalMs / 4);
    }
    w->failed = true;
    const QString error = w->path + QStringLiteral(": ") + w->store->lastError();
    QMetaObject::invokeMethod(
        this, [this, error] { writerFailed(error); }, Qt::QueuedConnection);
}

void HistoryKeeper::writerFailed(const QString &reason)
{
    if (broken)
        return;
    broken = true;
    pending = {};
    dirty.clear();
    dirtySet.clear();
    if (flushTimer)
        flushTimer->stop();
    BLOG << "history not kept:" << reason;
    Q_EMIT notKept(reason);
}

void HistoryKeeper::beginBatch(int number)
{
    batchNumber = number;
    batchEnded = false;
    stopped = false;
    halted = false;
    macByIp.clear();
    dirty.clear();
    dirtySet.clear();
    const PipelineState &state = pipeline.state();
    HistoryStore::Batch batch;
    batch.started =
        state.batchNumber == number && state.batchStarted.isValid() ? state.batchStarted : QDateTime::currentDateTime();
    batch.host = QSysInfo::machineHostName();
    batch.plan = state.rollout.plan.text();
    batch.resumes = state.batchNumber == number ? state.resumes : 0;
    for (const UpdatePackage *package : pipeline.catalogue().packages) {
        if (!package->newFilename.isEmpty())
            batch.packages << package->newFilename + QLatin1Char(' ') + package->imageSha256;
    }
    batch.packages.removeDuplicates();
    pending.begun.append({number, batch});
}

void HistoryKeeper::unitEvent(const UnitEvent &event, const QString &line)
{
    if (!keeping() || event.batch <= 0)
        return;
    if (event.batch != batchNumber) {
        // A step of a batch that ended is not written: its rows never change once it ended.
        if (event.batch < batchNumber)
            return;
        // The pipeline began another batch: none of the last one was on its way any longer.
        if (batchNumber != 0 && !batchEnded) {
            gatherRows(true);
            endBatch(endCause(false));
        }
        beginBatch(event.batch);
    }
    if (batchEnded)
        return;
    macByIp.insert(event.ip, event.mac);
    if (!dirtySet.contains(event.mac)) {
        dirtySet.insert(event.mac);
        dirty.append(event.mac);
    }
    // A transfer's progress shows in the row (its bytes), not as an event each time.
    if (event.step != UnitStep::FetchProgress) {
        // "hh:mm:ss.zzz " starts every line; the event keeps its own time.
        const QString text = line.isEmpty() ? eventDescription(event) : line.mid(line.indexOf(QLatin1Char(' ')) + 1);
        pending.events.append({event.batch, event.mac, event.time, unitStepName(event.step), text});
    }
    flushSoon();
}

void HistoryKeeper::logged(const QString &source, const QString &line)
{
    if (!keeping() || batchNumber == 0 || batchEnded)
        return;
    pending.events.append({batchNumber, macByIp.value(source), QDateTime::currentDateTime(), QStringLiteral("log"),
                           line.mid(line.indexOf(QLatin1Char(' ')) + 1)});
    flushSoon();
}

void HistoryKeeper::batchStopped()
{
    stopped = true;
}

void HistoryKeeper::batchHalted()
{
    halted = true;
}

void HistoryKeeper::batchResumed()
{
    halted = false;
}

void HistoryKeeper::batchOver()
{
    if (!keeping() || batchNumber == 0 || batchEnded)
        return;
    endBatch(endCause(false));
    postPending();
}

void HistoryKeeper::flushSoon()
{
    if (flushTimer && !flushTimer->isActive())
        flushTimer->start(kFlushIntervalMs);
}

// Each turn costs the updater's thread little: the rows of at most kRunsPerFlush units (a long
// backlog, as when a batch begins, goes in turns kBacklogIntervalMs apart). The batch ends when
// none of its units is on its way any longer.
void HistoryKeeper::flush()
{
    if (broken)
        return;
    gatherRows(false);
    if (batchNumber != 0 && !batchEnded && dirty.isEmpty() && !pipeline.batchOnItsWay())
        endBatch(endCause(false));
    // An open batch is written now and then though nothing changed: a reader tells it from one
    // a killed updater left.
    if (batchNumber != 0 && !batchEnded && pending.isEmpty() && sinceWritten.hasExpired())
        pending.alive.append(batchNumber);
    if (!pending.isEmpty())
        sinceWritten.setRemainingTime(HistoryStore::kAliveIntervalSecs * 1000);
    postPending();
    if (!dirty.isEmpty())
        flushTimer->start(kBacklogIntervalMs);
    else if (batchNumber != 0 && !batchEnded)
        flushSoon();
}

void HistoryKeeper::gatherRows(bool all)
{
    qsizetype taken = 0;
    while (taken < dirty.size() && (all || taken < kRunsPerFlush)) {
        if (const RunRecord *row = account.row(batchNumber, dirty.at(taken)))
            pending.runs.append({batchNumber, *row});
        dirtySet.remove(dirty.at(taken));
        ++taken;
    }
    dirty.remove(0, taken);
}

QString HistoryKeeper::endCause(bool closing) const
{
    if (closing && pipeline.state().batchNumber == batchNumber && pipeline.batchInFlight())
        return QStringLiteral("closed");
    if (halted)
        return QStringLiteral("halted");
    if (stopped)
        return QStringLiteral("stopped");
    return QStringLiteral("completed");
}

void HistoryKeeper::endBatch(const QString &end)
{
    gatherRows(true);
    pending.ended.append({batchNumber, QDateTime::currentDateTime(), end});
    batchEnded = true;
    BLOG << "batch" << batchNumber << "ended:" << end;
}
