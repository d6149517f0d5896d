#include "historykeeper.h"

#include "app/debuglog.h"
#include "app/runningthread.h"
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
        postPending();
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

// What was gathered goes to the writing thread, which also turns the events' times and kinds
// into the store's: the updater's thread only took a clock reading and the message.
void HistoryKeeper::postPending()
{
    if (pending.isEmpty() && gathered.isEmpty())
        return;
    const std::shared_ptr<Writer> w = writer;
    QMetaObject::invokeMethod(writerContext, [this, w, changes = std::exchange(pending, {}),
                                              events = std::exchange(gathered, {})]() mutable {
        if (w->failed || !w->store)
            return;
        changes.events.reserve(events.size());
        for (const Gathered &event : std::as_const(events))
            changes.events.append({event.batch, event.mac, QDateTime::fromMSecsSinceEpoch(event.ms),
                                   event.kind.isEmpty() ? eventKind(event.message) : event.kind, event.text});
        if (!w->store->write(changes, w->ids)) {
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
    gathered.clear();
    dirtyAt.clear();
    dirtyCount = 0;
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
        ending = false;
        batchStarted = state.batchStarted;
        batchUnits.clear();
        batchSet.clear();
        dirtyAt.clear();
        dirtyCount = 0;
        position.clear();
        macByIp.clear();
        statusShown.clear();
        rebootWritten.clear();
        reported.clear();
        recordMarks.clear();
        aliveSeen.clear();
        finishedSeen = state.vUnitsFinished.size();
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
        if (batchSet.contains(mac))
            continue;
        batchSet.insert(mac);
        position.insert(mac, int(batchUnits.size()));
        batchUnits.append(mac);
        dirtyAt.append(false);
        markDirty(mac);
        const auto run = state.runs.constFind(mac);
        if (run != state.runs.cend())
            macByIp.insert(run->before.ip, mac);
    }
    flushSoon();
}

// Called for every status-log line, so it only looks up: the unit a line names is its source's
// address, or the "(IP)" a message of the updater ends with.
void HistoryKeeper::logged(const QString &source, const QString &message, const QString &line)
{
    if (!keeping() || batchNumber == 0)
        return;
    QString mac;
    if (!source.isEmpty() && source.front().isDigit()) {
        mac = macByIp.value(source);
    } else if (message.endsWith(QLatin1Char(')'))) {
        const qsizetype open = message.lastIndexOf(QLatin1Char('('));
        if (open >= 0)
            mac = macByIp.value(message.mid(open + 1, message.size() - open - 2));
    }
    if (mac.isEmpty() && batchEnded)
        return;
    // "hh:mm:ss.zzz " starts every line; the event keeps its own time.
    const qsizetype afterTime = line.indexOf(QLatin1Char(' '));
    gathered.append({batchNumber, mac, QDateTime::currentMSecsSinceEpoch(), QString(), message, line.mid(afterTime + 1)});
    if (!mac.isEmpty()) {
        markDirty(mac);
    } else {
        // A halt, a resume or a stop changes what the rollout did with every unit of the batch.
        const QString kind = eventKind(message);
        if (kind == QLatin1String("halted") || kind == QLatin1String("resumed") || kind == QLatin1String("stopped"))
            markAllDirty();
    }
    flushSoon();
}

void HistoryKeeper::runChanged(const QString &mac)
{
    if (keeping() && batchNumber != 0 && batchSet.contains(mac)) {
        markDirty(mac);
        flushSoon();
    }
}

// A status record joins the list at the next tick: its unit's row is made after that tick, and
// only when what the status is made of changed (its dates, address, or a request to confirm).
void HistoryKeeper::unitReported(const MarluneUnit &unit)
{
    if (!keeping() || batchNumber == 0 || !batchSet.contains(unit.mac))
        return;
    const size_t mark = qHashMulti(0, unit.swversion, unit.webversion, unit.fwversion, unit.ip, unit.updateStatus);
    size_t &last = recordMarks[unit.mac];
    if (last != mark) {
        last = mark;
        reported.insert(unit.mac);
    }
}

// A unit seen going down for its reboot, or back, is told by its reachability test.
void HistoryKeeper::unitTested(const QString &ip, bool alive)
{
    const QString mac = keeping() && batchNumber != 0 ? macByIp.value(ip) : QString();
    if (mac.isEmpty())
        return;
    const auto last = aliveSeen.find(mac);
    if (last == aliveSeen.end() || *last != alive) {
        aliveSeen.insert(mac, alive);
        runChanged(mac);
    }
}

void HistoryKeeper::tickDone()
{
    if (reported.isEmpty())
        return;
    for (const QString &mac : std::as_const(reported))
        markDirty(mac);
    reported.clear();
    flushSoon();
}

void HistoryKeeper::markDirty(const QString &mac)
{
    const auto at = position.constFind(mac);
    if (at != position.cend() && !dirtyAt.at(*at)) {
        dirtyAt[*at] = true;
        ++dirtyCount;
    }
}

void HistoryKeeper::markAllDirty()
{
    dirtyAt.fill(true);
    dirtyCount = int(dirtyAt.size());
}

void HistoryKeeper::flushSoon()
{
    if (flushTimer && !flushTimer->isActive())
        flushTimer->start(kFlushIntervalMs);
}

// Each turn costs the updater's thread little: the rows of at most kRunsPerFlush units (a long
// backlog, as when a batch begins, goes in turns kBacklogIntervalMs apart), and the events as
// they were gathered.
void HistoryKeeper::flush()
{
    if (broken)
        return;
    noteFinishedUnits();
    bool more = gatherRuns(false);
    if (!more) {
        endBatchIfDone();
        more = dirtyCount > 0;
    }
    postPending();
    if (more)
        flushTimer->start(kBacklogIntervalMs);
    else if (batchNumber != 0)
        flushSoon();
}

// A unit confirmed moves to vUnitsFinished without a status-log line: the entries added since the
// last look are the units that finished meanwhile.
void HistoryKeeper::noteFinishedUnits()
{
    const qsizetype size = state.vUnitsFinished.size();
    if (size < finishedSeen)
        finishedSeen = 0;
    for (qsizetype i = finishedSeen; i < size; ++i) {
        const QString &mac = state.vUnitsFinished.at(i).mac;
        markDirty(mac);
    }
    finishedSeen = size;
}

// The rows of the units that changed, in the batch's order: at most kRunsPerFlush unless all.
// True when some are left for the next turn.
bool HistoryKeeper::gatherRuns(bool all)
{
    if (batchNumber == 0 || dirtyCount == 0)
        return false;
    QStringList due;
    for (qsizetype at = 0; at < dirtyAt.size() && dirtyCount > 0 && (all || due.size() < kRunsPerFlush); ++at) {
        if (!dirtyAt.at(at))
            continue;
        dirtyAt[at] = false;
        --dirtyCount;
        due.append(batchUnits.at(at));
    }
    // A few rows of a large batch: an index of just those units costs the least.
    const bool few = due.size() * 4 < batchUnits.size();
    const PipelineIndex index = few ? PipelineIndex(state, QSet<QString>(due.cbegin(), due.cend())) : PipelineIndex(state);
    for (const QString &mac : std::as_const(due))
        addRow(mac, index);
    return dirtyCount > 0;
}

// The unit's row, and the steps it shows that no status-log line told of: its reboot, and each
// status it took ("Queued for Update" to "... Confirmed.").
void HistoryKeeper::addRow(const QString &mac, const PipelineIndex &index)
{
    const RunRecord record = runRecord(mac, state, catalogue, index);
    const QString unit = record.name + QStringLiteral(" (") + record.ip + QStringLiteral("): ");
    const auto run = state.runs.constFind(mac);
    if (run != state.runs.cend() && run->rebootSeen.isValid() && !rebootWritten.contains(mac)) {
        rebootWritten.insert(mac);
        gathered.append({batchNumber, mac, run->rebootSeen.toMSecsSinceEpoch(), QStringLiteral("rebooting"), QString(),
                         unit + QStringLiteral("seen going down for its reboot.")});
    }
    // A transfer's progress is one step: its first "Fetching image N%" is kept, not each percent.
    static const QString fetching = QStringLiteral("Fetching image ");
    QString &shown = statusShown[mac];
    const bool progressOnly = shown.startsWith(fetching) && record.finalStatus.startsWith(fetching);
    if (record.finalStatus != shown && !progressOnly) {
        shown = record.finalStatus;
        gathered.append({batchNumber, mac, QDateTime::currentMSecsSinceEpoch(), QStringLiteral("status"), QString(),
                         unit + record.finalStatus});
    }
    macByIp.insert(record.ip, mac);
    pending.runs.append({batchNumber, record});
}

// Called when no row is left to make. The batch ends when none of its units is on its way any
// longer: every row is made once more (in turns), then the end is written. Its rows are watched a
// while longer: a confirmed unit shows its new dates only at its next poll.
void HistoryKeeper::endBatchIfDone()
{
    if (batchNumber == 0)
        return;
    if (batchEnded) {
        if (settled.hasExpired())
            batchNumber = 0;
        return;
    }
    if (ending) {
        pending.ended.append({batchNumber, QDateTime::currentDateTime()});
        ending = false;
        batchEnded = true;
        settled.setRemainingTime(kWatchAfterEndMs);
        return;
    }
    // Only the lists of units on their way are looked through: empty once the batch is over.
    const auto onItsWay = [this](const MarluneUnit &unit) { return batchSet.contains(unit.mac); };
    for (const QList<MarluneUnit> *list : {&state.vUnitsUpdate, &state.vUnitsConfirm, &state.vUnitsEDID}) {
        if (std::any_of(list->cbegin(), list->cend(), onItsWay))
            return;
    }
    ending = true;
    markAllDirty();
}

// Every row of the batch once more, and its end unless it ended before.
void HistoryKeeper::closeBatch()
{
    if (batchNumber == 0)
        return;
    markAllDirty();
    gatherRuns(true);
    if (!batchEnded)
        pending.ended.append({batchNumber, QDateTime::currentDateTime()});
    batchEnded = true;
    ending = false;
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
        {"Batch stopped", "stopped"},
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
    if (message.contains(QLatin1String("taken out of the queue")))
        return QStringLiteral("stopped");
    if (message.contains(QLatin1String("EDID")))
        return QStringLiteral("edid");
    if (message.contains(QLatin1String("confirmed the update")))
        return QStringLiteral("confirmed");
    return QStringLiteral("log");
}
