#include "historykeeper.h"

#include "app/debuglog.h"
#include "packages/packagecatalogue.h"
#include "update/fleetview.h"
#include "update/pipelinestate.h"
#include "update/unitstatus.h"
#include "update/updatereport.h"

#include <QSysInfo>
#include <QThread>
#include <QTimer>

static const char kLogSource[] = "historykeeper";

struct HistoryKeeper::Writer
{
    QString path;
    std::unique_ptr<HistoryStore> store;
    QHash<int, qint64> ids;
    bool failed = false;
};

namespace {

// The batches a killed updater left unended, as the status log tells of them.
QStringList interruptedTexts(const HistoryStore &store, const QList<qint64> &ids)
{
    QStringList texts;
    for (const HistoryStore::Batch &batch : store.batches()) {
        if (!ids.contains(batch.id))
            continue;
        texts << QStringLiteral("The batch begun %1 (%2 units) was interrupted: the updater stopped before it "
                                "ended. The history keeps what was written of it.")
                     .arg(batch.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
                     .arg(batch.units);
    }
    return texts;
}

} // namespace

HistoryKeeper::HistoryKeeper(const PipelineState &pipeline, const PackageCatalogue &packages, QObject *parent)
    : QObject(parent), state(pipeline), catalogue(packages)
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
    writerContext->moveToThread(thread);
    thread->start();
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
            QMetaObject::invokeMethod(this, [this, error] { writerFailed(error); }, Qt::QueuedConnection);
            return;
        }
        const QList<qint64> ids = w->store->markUnendedBatchesInterrupted(QDateTime::currentDateTime());
        const QStringList texts = ids.isEmpty() ? QStringList() : interruptedTexts(*w->store, ids);
        QMetaObject::invokeMethod(this, [this, texts] {
            for (const QString &text : texts)
                Q_EMIT interruptedBatchFound(text);
        }, Qt::QueuedConnection);
    });
    BLOG << "history file:" << path;
}

void HistoryKeeper::finish()
{
    if (!thread)
        return;
    flushTimer->stop();
    if (!broken) {
        closeBatch();
        if (!pending.isEmpty())
            post(std::exchange(pending, {}));
    }
    // The store's connection is closed in the thread that opened it.
    const std::shared_ptr<Writer> w = writer;
    QMetaObject::invokeMethod(writerContext, [w] { w->store.reset(); });
    thread->quit();
    thread->wait();
    delete writerContext;
    writerContext = nullptr;
    delete thread;
    thread = nullptr;
}

void HistoryKeeper::post(HistoryStore::Changes changes)
{
    const std::shared_ptr<Writer> w = writer;
    QMetaObject::invokeMethod(writerContext, [this, w, changes = std::move(changes)] {
        if (w->failed || !w->store)
            return;
        if (!w->store->write(changes, &w->ids)) {
            w->failed = true;
            const QString error = w->path + QStringLiteral(": ") + w->store->lastError();
            QMetaObject::invokeMethod(this, [this, error] { writerFailed(error); }, Qt::QueuedConnection);
        }
    });
}

void HistoryKeeper::writerFailed(const QString &reason)
{
    if (broken)
        return;
    broken = true;
    pending = {};
    dirty.clear();
    if (flushTimer)
        flushTimer->stop();
    BLOG << "history not kept:" << reason;
    Q_EMIT notKept(reason);
}

void HistoryKeeper::unitsQueued()
{
    if (!keeping() || state.batch.isEmpty())
        return;
    if (state.batchStarted != batchStarted || batchNumber == 0) {
        closeBatch();
        batchNumber = ++lastNumber;
        batchEnded = false;
        batchStarted = state.batchStarted;
        batchUnits.clear();
        macByIp.clear();
        seen.clear();
        statusShown.clear();
        HistoryStore::Batch batch;
        batch.started = batchStarted;
        batch.host = QSysInfo::machineHostName();
        batch.plan = state.rollout.plan.text();
        for (const UpdatePackage *package : catalogue.packages) {
            if (!package->newFilename.isEmpty())
                batch.packages << package->newFilename + QLatin1Char(' ') + package->imageSha256;
        }
        batch.packages.removeDuplicates();
        pending.begun.append({batchNumber, batch});
    }
    for (const QString &mac : state.batch) {
        if (seen.contains(mac) || dirty.contains(mac))
            continue;
        batchUnits.append(mac);
        dirty.insert(mac);
        const auto run = state.runs.constFind(mac);
        if (run != state.runs.cend())
            macByIp.insert(run->before.ip, mac);
    }
    flushSoon();
}

void HistoryKeeper::logged(const QString &source, const QString &message, const QString &line)
{
    if (!keeping() || batchNumber == 0)
        return;
    const bool fromUnit = !source.isEmpty() && source.front().isDigit();
    const QString mac = macByIp.value(fromUnit ? source : addressInLine(message));
    if (mac.isEmpty() && batchEnded)
        return;
    // "hh:mm:ss.zzz " starts every line; the event keeps its own time.
    const int afterTime = line.indexOf(QLatin1Char(' '));
    pending.events.append({batchNumber, mac, QDateTime::currentDateTime(), eventKind(message), line.mid(afterTime + 1)});
    if (!mac.isEmpty())
        dirty.insert(mac);
    flushSoon();
}

void HistoryKeeper::runChanged(const QString &mac)
{
    if (keeping() && batchNumber != 0 && seen.contains(mac)) {
        dirty.insert(mac);
        flushSoon();
    }
}

void HistoryKeeper::flushSoon()
{
    if (flushTimer && !flushTimer->isActive())
        flushTimer->start(kFlushIntervalMs);
}

void HistoryKeeper::flush()
{
    if (broken)
        return;
    const bool more = gatherRuns(false);
    if (!more)
        endBatchIfDone();
    if (!pending.isEmpty())
        post(std::exchange(pending, {}));
    // An open batch is looked at again and again: a unit's reboot and confirmation change its
    // run without a status-log line.
    if (more)
        flushTimer->start(kFlushIntervalMs / 10);
    else if (batchNumber != 0)
        flushSoon();
}

// Everything a run's row is made of, cheaply: its steps, bytes and flags, where the unit stands
// in the pipeline, whether it answers, its dates now and whether it asks to be confirmed. A row is made again only when this
// changes.
HistoryKeeper::RunMark HistoryKeeper::markOf(const UnitRun &run, const QString &mac, const PipelineIndex &index) const
{
    const MarluneUnit *listed = index.firstListed(mac);
    const qint64 flags = int(run.overdue) | run.wasOverdue << 2 | run.retried << 3 | run.canary << 4 | run.held << 5
                         | run.takenOut << 6 | run.removed << 7 | run.fetching << 8 | index.isQueued(mac) << 9
                         | index.isCommanded(mac) << 10 | index.isResettingEdid(mac) << 11
                         | (index.lastFinished(mac) != nullptr) << 12 | (listed != nullptr) << 13
                         | (listed && state.tcpAlive.value(listed->ip, false)) << 14
                         | qint64(state.exchangeFailures.contains(mac)) << 15;
    const qint64 dates = listed ? qint64(qHashMulti(0, listed->swversion, listed->webversion, listed->fwversion,
                                                    listed->ip, listed->updateStatus))
                                : 0;
    return {run.commandedMs, run.fetchedMs,        run.rebootSeenMs,
            run.confirmed.isValid() ? run.confirmed.toMSecsSinceEpoch() : -1,
            run.bytesServed,  flags,           dates};
}

// The rows of the runs that changed since they were last written, in the batch's order: at most
// kRunsPerFlush unless all. True when some are left for the next flush.
bool HistoryKeeper::gatherRuns(bool all)
{
    if (batchNumber == 0)
        return false;
    const PipelineIndex index(state);
    for (const QString &mac : std::as_const(batchUnits)) {
        const auto run = state.runs.constFind(mac);
        if (run == state.runs.cend())
            continue;
        const RunMark mark = markOf(*run, mac, index);
        const auto last = seen.constFind(mac);
        if (last != seen.cend() && *last == mark)
            continue;
        if (last != seen.cend() && (*last)[2] < 0 && mark[2] >= 0)
            pending.events.append({batchNumber, mac, run->rebootSeen, QStringLiteral("rebooting"),
                                   run->before.name + QStringLiteral(" (") + run->before.ip
                                       + QStringLiteral("): seen going down for its reboot.")});
        seen.insert(mac, mark);
        dirty.insert(mac);
    }
    if (dirty.isEmpty())
        return false;
    int written = 0;
    for (const QString &mac : std::as_const(batchUnits)) {
        if (!all && written >= kRunsPerFlush)
            break;
        if (!dirty.remove(mac))
            continue;
        const RunRecord record = runRecord(mac, state, catalogue, index);
        // Each status the unit shows is a step of its own: "Queued for Update" to "... Confirmed.".
        QString &shown = statusShown[mac];
        if (record.finalStatus != shown) {
            shown = record.finalStatus;
            pending.events.append({batchNumber, mac, QDateTime::currentDateTime(), QStringLiteral("status"),
                                   record.name + QStringLiteral(" (") + record.ip + QStringLiteral("): ")
                                       + record.finalStatus});
        }
        macByIp.insert(record.ip, mac);
        pending.runs.append({batchNumber, record});
        ++written;
    }
    return !dirty.isEmpty();
}

// The batch ends when none of its units is on its way any longer. Its rows are watched a while
// longer: a confirmed unit shows its new dates only at its next poll.
void HistoryKeeper::endBatchIfDone()
{
    if (batchNumber == 0)
        return;
    if (batchEnded) {
        if (settled.hasExpired()) {
            closeBatch();
            batchNumber = 0;
        }
        return;
    }
    const PipelineIndex index(state);
    for (const QString &mac : std::as_const(batchUnits)) {
        if (index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac))
            return;
    }
    closeBatch();
    settled.setRemainingTime(kWatchAfterEndMs);
}

// Every row of the batch once more, and its end unless it ended before.
void HistoryKeeper::closeBatch()
{
    if (batchNumber == 0)
        return;
    dirty.unite(QSet<QString>(batchUnits.cbegin(), batchUnits.cend()));
    gatherRuns(true);
    if (!batchEnded)
        pending.ended.append({batchNumber, QDateTime::currentDateTime()});
    batchEnded = true;
}

QString HistoryKeeper::eventKind(const QString &message)
{
    static const std::pair<const char *, const char *> kinds[] = {
        {"Commanding ", "commanded"},
        {"Retrying the update of ", "retried"},
        {"Confirming", "confirming"},
        {"Overdue: ", "overdue"},
        {"No longer overdue", "no longer overdue"},
        {"Did not answer on TCP", "no answer"},
        {"Nothing sent on TCP", "no answer"},
        {"Update was not applied", "failed"},
        {"Warning!", "warning"},
        {"New connection from ", "connection"},
        {"Connection closed", "connection"},
        {"No image for ", "refused"},
        {"Rollout stopped", "halted"},
        {"Rollout resumed", "resumed"},
        {"Updating ", "batch"},
    };
    for (const auto &[start, kind] : kinds) {
        if (message.startsWith(QLatin1String(start)))
            return QLatin1String(kind);
    }
    if (message.contains(QLatin1String(" bytes) sent")))
        return QStringLiteral("fetched");
    if (message.contains(QLatin1String("was not sent completely")))
        return QStringLiteral("transfer broke off");
    if (message.contains(QLatin1String("EDID")))
        return QStringLiteral("edid");
    if (message.contains(QLatin1String("confirmed the update")))
        return QStringLiteral("confirmed");
    return QStringLiteral("log");
}
