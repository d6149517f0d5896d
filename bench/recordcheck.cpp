// recordcheck: plays batches against the unit simulator, through the command-line tool and through
// an in-process core driven as the window drives it, and holds the updater's account of each batch
// (the history, the update report, the tool's JSON lines) against the simulator's own log of what
// every unit received and did. Run inside the private namespace of tests/netns-run.sh:
//
//   BRYX_NETNS_PEERS=10 tests/netns-run.sh build/bin/recordcheck [--quick] [--scenario NAME]
//
// Prints each claim the account makes that the wire does not bear out, per scenario, and one line
// at the end: "scenario-runs N  claims M  discrepancies D". Exits 0 only without discrepancies.

#include "app/folders.h"
#include "csvreader.h"
#include "history/historystore.h"
#include "update/rollout.h"
#include "update/updatercore.h"

#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>

namespace {

const QString kPackageSw = QStringLiteral("3/2/2015");
constexpr qint64 kPackageWeb = 1425384000;
constexpr qint64 kImageSize = 512 * 1024;
constexpr qint64 kNever = std::numeric_limits<qint64>::max();
// The history is written every half second: a killed updater may lose its last second.
constexpr qint64 kLossMs = 1000;
// A recorded step time and the wire's stamp of it may differ by this much (the report keeps seconds).
constexpr qint64 kSlackMs = 3000;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Runs the event loop until done() holds or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

QString macOf(int unit)
{
    return QStringLiteral("02:B5:0A:4D:01:%1").arg(unit, 2, 16, QLatin1Char('0')).toUpper();
}

// ---- The wire: the simulator's event lines, each stamped with the time it was read ----

struct SimEvent
{
    qint64 ms = 0;
    QString unit;
    QString what;
    QStringList args;
};

class Simulator
{
public:
    ~Simulator() { stop(); }

    bool start(const QString &fleetPath)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            pending += process.readAllStandardOutput();
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QStringList words = QString::fromUtf8(pending.left(end)).split(QLatin1Char(' '));
                pending.remove(0, end + 1);
                if (words.first() == QLatin1String("READY")) {
                    ready = true;
                    continue;
                }
                if (words.size() >= 2)
                    events.append({nowMs(), words.at(0), words.at(1), words.mid(2)});
            }
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // With the link shaped, the units' addresses are in a namespace of their own.
        const QString unitsSide = qEnvironmentVariable("BRYX_UNITS_NETNS");
        const QString program = QStringLiteral(BRYX_BIN_DIR "/unitsim");
        if (unitsSide.isEmpty())
            process.start(program, {fleetPath});
        else
            process.start(QStringLiteral("nsenter"),
                          {QStringLiteral("--net=") + unitsSide, QStringLiteral("--"), program, fleetPath});
        return waitFor([this] { return ready || process.state() == QProcess::NotRunning; }, 20000) && ready;
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    // The unit's events of this kind in [from, to), whose text starts with `prefix` for TCP lines.
    QList<SimEvent> of(const QString &unit, const QString &what, qint64 from, qint64 to,
                       const QString &prefix = QString()) const
    {
        QList<SimEvent> found;
        for (const SimEvent &event : events)
            if (event.unit == unit && event.what == what && event.ms >= from && event.ms < to
                && (prefix.isEmpty() || event.args.value(0).startsWith(prefix)))
                found.append(event);
        return found;
    }
    int count(const QString &what) const
    {
        return int(std::count_if(events.cbegin(), events.cend(), [&](const SimEvent &e) { return e.what == what; }));
    }

    QList<SimEvent> events;

private:
    QProcess process;
    QByteArray pending;
    bool ready = false;
};

// ---- The account: what the updater recorded, read in one small function per source ----

// The end of a batch as the history gives it: its own "end" where the history keeps one (a
// completed, stopped, halted, closed or interrupted batch), else inferred from the interrupted
// flag and the end time.
template <typename B, typename = void> struct KeepsEnd : std::false_type
{
};
template <typename B> struct KeepsEnd<B, std::void_t<decltype(std::declval<B>().end)>> : std::true_type
{
};

template <typename B> QString endOf(const B &batch)
{
    if constexpr (KeepsEnd<B>::value) {
        if (!batch.end.isEmpty())
            return batch.end;
    }
    return batch.interrupted       ? QStringLiteral("interrupted")
           : batch.ended.isValid() ? QStringLiteral("completed")
                                   : QStringLiteral("open");
}

// One source's account of one batch.
struct Account
{
    QString source;
    qint64 batchId = 0;
    QString end;
    qint64 from = 0;
    qint64 to = kNever;
    QList<RunRecord> runs;
    QHash<QString, QStringList> kinds; // each unit's event kinds
    bool bytesKnown = true;            // the source tells the bytes served
    bool datesKnown = true;            // ... and the dates after
    bool timesKnown = true;            // ... and the time of each step
    bool whole = true;                 // names every unit of its batch
};

QList<Account> readHistory(const QString &path)
{
    static int connections = 0;
    QList<Account> accounts;
    if (!QFileInfo::exists(path))
        return accounts;
    HistoryStore store(QStringLiteral("recordcheck-%1").arg(++connections));
    QString error;
    if (!store.openForReading(path, &error)) {
        std::fprintf(stderr, "cannot read the history: %s\n", qPrintable(error));
        return accounts;
    }
    QList<HistoryStore::Batch> batches = store.batches();
    std::reverse(batches.begin(), batches.end());
    for (const HistoryStore::Batch &batch : std::as_const(batches)) {
        Account account;
        account.source = QStringLiteral("history");
        account.batchId = batch.id;
        account.end = endOf(batch);
        account.from = batch.started.toMSecsSinceEpoch();
        account.runs = store.unitRuns(batch.id);
        for (const RunRecord &run : std::as_const(account.runs))
            for (const HistoryStore::Event &event : store.events(run.mac, batch.id))
                account.kinds[run.mac].append(event.kind);
        if (!accounts.isEmpty())
            accounts.last().to = account.from;
        accounts.append(account);
    }
    return accounts;
}

// The update report's rows, by its header's names.
std::optional<Account> readReport(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QStringList> rows = readCsv(file.readAll());
    if (rows.isEmpty())
        return std::nullopt;
    const QStringList header = rows.first();
    Account account;
    account.source = QStringLiteral("report");
    for (const QStringList &row : rows.mid(1)) {
        const auto field = [&](const char *name) { return row.value(header.indexOf(QLatin1String(name))); };
        const auto time = [&](const char *name) { return QDateTime::fromString(field(name), Qt::ISODate); };
        RunRecord run;
        run.mac = field("MAC");
        run.name = field("Name");
        run.swAfter = field("SW after");
        run.webAfter = field("WEB after");
        run.bytesServed = field("Bytes served").toLongLong();
        run.commanded = time("Commanded");
        run.fetched = time("Fetched");
        run.rebootSeen = time("Reboot seen");
        run.confirmed = time("Confirmed");
        run.finalStatus = field("Final status");
        account.runs.append(run);
    }
    return account;
}

// The tool's JSON lines: each unit's steps, and its result in the summary when there is one.
Account readToolJson(const QList<QJsonObject> &lines)
{
    Account account;
    account.source = QStringLiteral("tool json");
    account.bytesKnown = false;
    account.datesKnown = false;
    account.timesKnown = false;
    account.whole = false;
    QHash<QString, RunRecord> runs;
    QStringList order;
    const QDateTime seen = QDateTime::currentDateTime();
    const auto runOf = [&](const QJsonObject &unit) -> RunRecord & {
        const QString mac = unit.value(QStringLiteral("mac")).toString();
        if (!runs.contains(mac)) {
            order.append(mac);
            runs[mac].mac = mac;
        }
        return runs[mac];
    };
    // Steps only a unit that had its update command can take (an overdue one may never have).
    static const QStringList commandedSteps{
        QStringLiteral("commanded"),  QStringLiteral("fetch begun"), QStringLiteral("fetched"),
        QStringLiteral("fetch cut"),  QStringLiteral("went down"),   QStringLiteral("back"),
        QStringLiteral("confirming"), QStringLiteral("confirmed"),   QStringLiteral("not applied")};
    for (const QJsonObject &line : lines) {
        const QString event = line.value(QStringLiteral("event")).toString();
        if (event == QLatin1String("step")) {
            const QString step = line.value(QStringLiteral("step")).toString();
            RunRecord &run = runOf(line);
            account.kinds[run.mac].append(step);
            if (commandedSteps.contains(step))
                run.commanded = seen;
            if (step == QLatin1String("went down"))
                run.rebootSeen = seen;
        } else if (event == QLatin1String("summary")) {
            account.whole = true;
            for (const QJsonValue &value : line.value(QStringLiteral("units")).toArray()) {
                const QJsonObject unit = value.toObject();
                RunRecord &run = runOf(unit);
                run.finalStatus = unit.value(QStringLiteral("status")).toString();
                const QString result = unit.value(QStringLiteral("result")).toString();
                if (result == QLatin1String("confirmed"))
                    run.confirmed = seen;
                // Results only a unit that was commanded can have.
                if (result == QLatin1String("confirmed") || result == QLatin1String("failed"))
                    run.commanded = seen;
                if (result == QLatin1String("not commanded") || result == QLatin1String("held")
                    || result == QLatin1String("refused"))
                    run.commanded = QDateTime();
            }
        }
    }
    for (const QString &mac : std::as_const(order))
        account.runs.append(runs.value(mac));
    return account;
}

// A run's fields as text, to compare two readings of one row field by field.
QList<std::pair<QString, QString>> fieldsOf(const RunRecord &run)
{
    const auto time = [](const QDateTime &t) { return t.toString(Qt::ISODateWithMs); };
    const auto flag = [](bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); };
    return {{QStringLiteral("name"), run.name},
            {QStringLiteral("ip"), run.ip},
            {QStringLiteral("swBefore"), run.swBefore},
            {QStringLiteral("webBefore"), run.webBefore},
            {QStringLiteral("swAfter"), run.swAfter},
            {QStringLiteral("webAfter"), run.webAfter},
            {QStringLiteral("image"), run.image},
            {QStringLiteral("bytesServed"), QString::number(run.bytesServed)},
            {QStringLiteral("commanded"), time(run.commanded)},
            {QStringLiteral("fetched"), time(run.fetched)},
            {QStringLiteral("rebootSeen"), time(run.rebootSeen)},
            {QStringLiteral("confirmed"), time(run.confirmed)},
            {QStringLiteral("status"), run.finalStatus},
            {QStringLiteral("overdue"), flag(run.overdue)},
            {QStringLiteral("retried"), flag(run.retried)},
            {QStringLiteral("held"), flag(run.held)},
            {QStringLiteral("takenOut"), flag(run.takenOut)}};
}

// ---- Claims ----

struct Tally
{
    int claims = 0;
    QStringList discrepancies;
    void check(bool holds, const QString &unit, const QString &claim, const QString &record, const QString &wire)
    {
        ++claims;
        if (!holds)
            discrepancies.append(QStringLiteral("%1: %2: record %3 vs wire %4").arg(unit, claim, record, wire));
    }
};

bool sameDate(const QString &a, const QString &b)
{
    const auto date = [](const QString &text) {
        QDate d = QDate::fromString(text.trimmed(), QStringLiteral("M/d/yyyy"));
        return d.isValid() ? d : QDate::fromString(text.trimmed(), QStringLiteral("MM/dd/yyyy"));
    };
    return date(a).isValid() && date(a) == date(b);
}

// A step's recorded time lies within a few seconds of the wire's event of it.
void checkTime(const QDateTime &recorded, const QList<SimEvent> &events, const QString &who, const QString &claim,
               Tally &tally)
{
    const qint64 at = recorded.toMSecsSinceEpoch();
    const bool near =
        std::any_of(events.cbegin(), events.cend(), [&](const SimEvent &e) { return qAbs(e.ms - at) <= kSlackMs; });
    tally.check(near, who, claim, recorded.toString(Qt::ISODateWithMs),
                events.isEmpty() ? QStringLiteral("no such event in the batch")
                                 : QDateTime::fromMSecsSinceEpoch(events.last().ms).toString(Qt::ISODateWithMs));
}

// Holds one account against the wire. `trusted` is the moment after which the wire may show
// what the account could not know yet (the updater was killed after it): those are not asked for.
void checkAccount(const Account &account, const Simulator &sim, const QHash<QString, QString> &unitOfMac,
                  qint64 trusted, Tally &tally)
{
    const QString where =
        account.batchId > 0 ? QStringLiteral("%1 batch %2").arg(account.source).arg(account.batchId) : account.source;
    QSet<QString> recorded;
    for (const RunRecord &run : account.runs) {
        const QString unit = unitOfMac.value(run.mac.toUpper());
        if (unit.isEmpty())
            continue;
        recorded.insert(unit);
        const QString who = QStringLiteral("%1 %2").arg(where, unit);
        const QStringList kinds = account.kinds.value(run.mac);
        const auto wire = [&](const char *what, const QString &prefix = QString()) {
            return sim.of(unit, QLatin1String(what), account.from, account.to, prefix);
        };
        const auto known = [&](const QList<SimEvent> &events) {
            return std::count_if(events.cbegin(), events.cend(), [&](const SimEvent &e) { return e.ms < trusted; });
        };

        // Commanded: exactly one update command in this batch; none the record does not show.
        const QList<SimEvent> commands = wire("TCP", QStringLiteral("setSettings:updateUnit:"));
        const bool commanded = run.commanded.isValid() || kinds.contains(QStringLiteral("commanded"));
        if (account.timesKnown && run.commanded.isValid())
            checkTime(run.commanded, commands, who, QStringLiteral("commanded time"), tally);
        if (commanded)
            tally.check(commands.size() == 1, who, QStringLiteral("one update command"), QStringLiteral("commanded"),
                        QStringLiteral("%1 update commands").arg(commands.size()));
        else
            tally.check(known(commands) == 0, who, QStringLiteral("no update command unrecorded"),
                        QStringLiteral("not commanded"), QStringLiteral("%1 update commands").arg(commands.size()));

        // Fetched: the whole image, as many bytes as the record says were served.
        const QList<SimEvent> whole = wire("FETCH-OK");
        const qint64 bytes = whole.isEmpty() ? -1 : whole.last().args.value(0).toLongLong();
        // The server counts an image fetched once its last byte is handed to the connection: that
        // lies between the unit's request and its last byte read, which the kernel's buffers may
        // hold back for seconds on a slow link.
        if (account.timesKnown && run.fetched.isValid()) {
            const QList<SimEvent> starts = wire("FETCH-START") + wire("FETCH-RETRY");
            const qint64 at = run.fetched.toMSecsSinceEpoch();
            const bool within = !starts.isEmpty() && !whole.isEmpty() && at >= starts.first().ms - kSlackMs
                                && at <= whole.last().ms + kSlackMs;
            tally.check(within, who, QStringLiteral("fetched time"), run.fetched.toString(Qt::ISODateWithMs),
                        whole.isEmpty()
                            ? QStringLiteral("no whole fetch in the batch")
                            : QStringLiteral("fetched by %1")
                                  .arg(QDateTime::fromMSecsSinceEpoch(whole.last().ms).toString(Qt::ISODateWithMs)));
        }
        if (run.fetched.isValid())
            tally.check(bytes == kImageSize, who, QStringLiteral("fetch recorded"), QStringLiteral("fetched"),
                        bytes < 0 ? QStringLiteral("no whole fetch") : QStringLiteral("%1 bytes").arg(bytes));
        else if (account.bytesKnown)
            tally.check(known(whole) == 0, who, QStringLiteral("fetch unrecorded"), QStringLiteral("not fetched"),
                        QStringLiteral("FETCH-OK %1").arg(bytes));
        if (account.bytesKnown && bytes >= 0)
            tally.check(run.bytesServed == bytes || whole.last().ms >= trusted, who, QStringLiteral("bytes served"),
                        QString::number(run.bytesServed), QString::number(bytes));
        if (account.bytesKnown && bytes < 0 && run.bytesServed > 0) {
            const QList<SimEvent> dropped = wire("FETCH-DROPPED");
            tally.check(!dropped.isEmpty(), who, QStringLiteral("bytes served"), QString::number(run.bytesServed),
                        QStringLiteral("no fetch"));
        }

        // Seen rebooting: the unit went down after its fetch.
        const QList<SimEvent> downs = wire("REBOOTING");
        if (run.rebootSeen.isValid() || kinds.contains(QStringLiteral("went down")))
            tally.check(!downs.isEmpty(), who, QStringLiteral("reboot seen"), QStringLiteral("went down"),
                        QStringLiteral("never went down"));

        // Confirmed: the whole image, then the confirm command, and the package's dates.
        const bool confirmed = run.confirmed.isValid() || run.finalStatus.contains(QLatin1String("Confirmed"));
        const QList<SimEvent> confirms = wire("TCP", QStringLiteral("setSettings:confirmUpdate"));
        if (confirmed) {
            const qint64 fetchedAt = whole.isEmpty() ? kNever : whole.first().ms;
            const bool confirmAfter =
                std::any_of(confirms.cbegin(), confirms.cend(), [&](const SimEvent &e) { return e.ms >= fetchedAt; });
            const QList<SimEvent> ups = wire("UP");
            const bool newDates = std::any_of(ups.cbegin(), ups.cend(), [&](const SimEvent &e) {
                return e.ms >= fetchedAt && sameDate(e.args.value(0), kPackageSw)
                       && e.args.value(1) == QString::number(kPackageWeb);
            });
            if (run.confirmed.isValid() && !run.finalStatus.isEmpty())
                tally.check(run.finalStatus.contains(QLatin1String("Confirmed")), who,
                            QStringLiteral("status of a confirmed unit"), QStringLiteral("'%1'").arg(run.finalStatus),
                            QStringLiteral("CONFIRMED"));
            tally.check(bytes == kImageSize, who, QStringLiteral("confirmed took its whole image"),
                        QStringLiteral("confirmed"),
                        bytes < 0 ? QStringLiteral("no whole fetch") : QString::number(bytes));
            tally.check(confirmAfter, who, QStringLiteral("confirmed got confirmUpdate after its fetch"),
                        QStringLiteral("confirmed"),
                        QStringLiteral("%1 confirm commands, none after the fetch").arg(confirms.size()));
            tally.check(newDates, who, QStringLiteral("confirmed runs the package"), QStringLiteral("confirmed"),
                        ups.isEmpty() ? QStringLiteral("never came up")
                                      : QStringLiteral("UP ") + ups.last().args.join(QLatin1Char(' ')));
            if (account.timesKnown && run.confirmed.isValid())
                checkTime(run.confirmed, wire("CONFIRMED"), who, QStringLiteral("confirmed time"), tally);
            if (account.datesKnown)
                tally.check(sameDate(run.swAfter, kPackageSw), who, QStringLiteral("SW after is the package's"),
                            run.swAfter.isEmpty() ? QStringLiteral("(empty)") : run.swAfter, kPackageSw);
        } else if (account.whole) {
            const QList<SimEvent> done = wire("CONFIRMED");
            tally.check(known(done) == 0, who, QStringLiteral("confirmation unrecorded"),
                        QStringLiteral("'%1'").arg(run.finalStatus), QStringLiteral("CONFIRMED"));
        }
    }
    // A unit commanded on the wire in this batch that the account does not name at all.
    if (!account.whole)
        return;
    for (auto mac = unitOfMac.cbegin(); mac != unitOfMac.cend(); ++mac) {
        if (recorded.contains(mac.value()))
            continue;
        const QList<SimEvent> commands = sim.of(mac.value(), QStringLiteral("TCP"), account.from, account.to,
                                                QStringLiteral("setSettings:updateUnit:"));
        const qint64 known =
            std::count_if(commands.cbegin(), commands.cend(), [&](const SimEvent &e) { return e.ms < trusted; });
        tally.check(known == 0, QStringLiteral("%1 %2").arg(where, mac.value()),
                    QStringLiteral("commanded unit recorded"), QStringLiteral("no row"),
                    QStringLiteral("%1 update commands").arg(commands.size()));
    }
}

// In a batch still open, a step time once written stays as it was: a later attempt of the unit
// belongs to a batch of its own.
void checkStepsKept(const Account &before, const QList<QList<Account>> &later, Tally &tally)
{
    for (const QList<Account> &reading : later) {
        const auto again = std::find_if(reading.cbegin(), reading.cend(),
                                        [&](const Account &a) { return a.batchId == before.batchId; });
        if (again == reading.cend())
            continue;
        for (const RunRecord &run : before.runs) {
            const auto row = std::find_if(again->runs.cbegin(), again->runs.cend(),
                                          [&](const RunRecord &r) { return r.mac == run.mac; });
            if (row == again->runs.cend())
                continue;
            const QList<std::tuple<const char *, QDateTime, QDateTime>> steps{
                {"commanded", run.commanded, row->commanded},
                {"fetched", run.fetched, row->fetched},
                {"rebootSeen", run.rebootSeen, row->rebootSeen},
                {"confirmed", run.confirmed, row->confirmed}};
            for (const auto &[name, was, is] : steps) {
                if (!was.isValid())
                    continue;
                tally.check(was == is, QStringLiteral("history batch %1 %2").arg(before.batchId).arg(run.name),
                            QStringLiteral("%1 time kept").arg(QLatin1String(name)), was.toString(Qt::ISODateWithMs),
                            QStringLiteral("later %1")
                                .arg(is.isValid() ? is.toString(Qt::ISODateWithMs) : QStringLiteral("cleared")));
            }
        }
        return; // the next reading; later ones are compared from it in turn
    }
}

// A finished batch reads the same at every later reading.
void checkStable(const QList<QList<Account>> &readings, Tally &tally)
{
    for (qsizetype k = 0; k < readings.size(); ++k) {
        for (const Account &before : readings.at(k)) {
            if (before.end == QLatin1String("open")) {
                checkStepsKept(before, readings.mid(k + 1), tally);
                continue;
            }
            for (qsizetype l = k + 1; l < readings.size(); ++l) {
                const auto later = std::find_if(readings.at(l).cbegin(), readings.at(l).cend(),
                                                [&](const Account &a) { return a.batchId == before.batchId; });
                const QString batch = QStringLiteral("history batch %1").arg(before.batchId);
                if (later == readings.at(l).cend()) {
                    tally.check(false, batch, QStringLiteral("batch kept"), QStringLiteral("reading %1").arg(k + 1),
                                QStringLiteral("gone at reading %1").arg(l + 1));
                    continue;
                }
                tally.check(later->end == before.end, batch, QStringLiteral("end reads the same"),
                            QStringLiteral("%1 at reading %2").arg(before.end).arg(k + 1),
                            QStringLiteral("%1 at reading %2").arg(later->end).arg(l + 1));
                for (const RunRecord &run : before.runs) {
                    const auto again = std::find_if(later->runs.cbegin(), later->runs.cend(),
                                                    [&](const RunRecord &r) { return r.mac == run.mac; });
                    QStringList changed;
                    if (again == later->runs.cend()) {
                        changed << QStringLiteral("row gone");
                    } else {
                        const auto was = fieldsOf(run);
                        const auto is = fieldsOf(*again);
                        for (qsizetype f = 0; f < was.size(); ++f)
                            if (was.at(f).second != is.at(f).second)
                                changed << QStringLiteral("%1 '%2' then '%3'")
                                               .arg(was.at(f).first, was.at(f).second, is.at(f).second);
                    }
                    tally.check(changed.isEmpty(), QStringLiteral("%1 %2").arg(batch, run.name),
                                QStringLiteral("row reads the same"), QStringLiteral("reading %1").arg(k + 1),
                                QStringLiteral("reading %1: %2").arg(l + 1).arg(changed.join(QStringLiteral("; "))));
                }
            }
        }
    }
}

// ---- A scenario's run: its folders, fleet, front-end and readings ----

struct Scenario;

class Trial
{
public:
    explicit Trial(const Scenario &scenario);
    ~Trial()
    {
        stopTool();
        core.reset();
        sim.stop();
    }

    // The tool, with the options every scenario gives it.
    bool startTool(const QStringList &options)
    {
        QObject::connect(&tool, &QProcess::readyReadStandardOutput, &tool, [this] {
            toolPending += tool.readAllStandardOutput();
            qsizetype end;
            while ((end = toolPending.indexOf('\n')) >= 0) {
                const QJsonObject line = QJsonDocument::fromJson(toolPending.left(end)).object();
                toolPending.remove(0, end + 1);
                if (!line.isEmpty())
                    toolLines.append(line);
            }
        });
        // Its lines for people go to a file of the trial's, as the in-process core's are dropped.
        tool.setStandardErrorFile(folder(QStringLiteral("tool-stderr.txt")));
        tool.setWorkingDirectory(folder(QStringLiteral("work")));
        tool.start(QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"),
                   QStringList{QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"),
                               QStringLiteral("--json"), QStringLiteral("--report"), reportPath(),
                               QStringLiteral("--packages"), folder(QStringLiteral("packages")),
                               QStringLiteral("--wait"), QStringLiteral("3"), QStringLiteral("--fetch-deadline"),
                               QStringLiteral("10"), QStringLiteral("--reboot-deadline"), QStringLiteral("15"),
                               QStringLiteral("--back-deadline"), QStringLiteral("15")}
                       + options);
        toolUsed = true;
        return tool.waitForStarted(10000);
    }
    bool waitTool(int timeoutMs = 180000)
    {
        return waitFor([this] { return tool.state() == QProcess::NotRunning; }, timeoutMs);
    }
    void signalTool(int signal)
    {
        if (tool.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(tool.processId()), signal);
        if (signal == SIGKILL)
            trusted = nowMs() - kLossMs;
    }
    void stopTool()
    {
        if (tool.state() == QProcess::NotRunning)
            return;
        tool.kill();
        tool.waitForFinished(5000);
    }

    // The window's core, made and started as the window does; true once every unit is listed.
    bool startCore(const RolloutPlan &plan = RolloutPlan(), int fetchSecs = 0)
    {
        core = std::make_unique<UpdaterCore>();
        core->keepHistory(historyPath());
        if (fetchSecs > 0) {
            StepDeadlines deadlines;
            deadlines.fetchSecs = fetchSecs;
            deadlines.rebootSecs = 15;
            deadlines.returnSecs = 15;
            core->setDeadlines(deadlines);
        }
        core->setRolloutPlan(plan);
        core->start();
        return waitFor(
            [this] {
                QSet<QString> listed;
                for (const MarluneUnit &unit : core->state().vUnits)
                    listed.insert(unit.mac);
                return std::all_of(macs.cbegin(), macs.cend(),
                                   [&](const QString &mac) { return listed.contains(mac); });
            },
            30000);
    }
    // The Update button with every unit selected, answered Yes.
    void updateAll()
    {
        core->clearEdidAttempts();
        core->queueForUpdate(macs);
        core->announceUpdate();
    }
    // The window closes: the core is taken apart with whatever is on its way.
    void closeWindow() { core.reset(); }
    // The next start of the window: the history opened (a batch a killed updater left is marked
    // interrupted then), a discovery, and closed again.
    void nextStart()
    {
        startCore();
        pause(500);
        closeWindow();
    }

    bool waitSim(const std::function<bool(const Simulator &)> &done, int timeoutMs)
    {
        return waitFor([&] { return done(sim); }, timeoutMs);
    }
    // The history is written every half second; a reading waits a little longer than that.
    void read()
    {
        pause(1200);
        readings.append(readHistory(historyPath()));
    }

    QString folder(const QString &name) const { return dir.filePath(name); }
    QString historyPath() const { return folder(QStringLiteral("data/bryx-updater/history.sqlite")); }
    QString reportPath() const { return folder(QStringLiteral("report.csv")); }

    QTemporaryDir dir;
    Simulator sim;
    QProcess tool;
    QByteArray toolPending;
    QList<QJsonObject> toolLines;
    bool toolUsed = false;
    std::unique_ptr<UpdaterCore> core;
    QStringList macs;
    QHash<QString, QString> unitOfMac;
    QList<QList<Account>> readings;
    qint64 startedMs = nowMs();
    qint64 trusted = kNever;
    // An end the last batch may also have for what the scenario did (a kill after every unit was
    // confirmed may find the batch already completed).
    QString alsoEnd;
    QString skipped;
    QString failure;
};

struct Scenario
{
    QString name;
    bool quick;
    QStringList units; // each unit's own settings, "" for a plain unit
    QString fleet;     // settings of every unit
    QString end;       // how the last batch ends; every earlier one completes
    std::function<void(Trial &)> play;
};

Trial::Trial(const Scenario &scenario)
{
    for (const char *name : {"packages", "data", "config", "runtime", "tmp", "work"})
        QDir().mkpath(folder(QLatin1String(name)));
    QFile::setPermissions(folder(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // The tool inherits these; the in-process core reads them too.
    qputenv("XDG_DATA_HOME", folder(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", folder(QStringLiteral("config")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", folder(QStringLiteral("runtime")).toUtf8());
    qputenv("TMPDIR", folder(QStringLiteral("tmp")).toUtf8());
    Folders::setPackagesFolder(folder(QStringLiteral("packages")));
    Folders::createStartupFolders();

    QByteArray lines = "SWVER:" + kPackageSw.toLatin1() + "\nWEBVER:" + QByteArray::number(kPackageWeb) + "\n";
    QFile ver(folder(QStringLiteral("packages/k220_lab.ver")));
    QFile bin(folder(QStringLiteral("packages/k220_lab.bin")));
    const QByteArray image = lines + QByteArray(kImageSize - lines.size(), '\x5a');
    if (!ver.open(QIODevice::WriteOnly) || ver.write(lines) != lines.size() || !bin.open(QIODevice::WriteOnly)
        || bin.write(image) != image.size())
        failure = QStringLiteral("cannot write the package");
    ver.close();
    bin.close();

    QString fleet = QStringLiteral("[fleet]\nwebversion=1388534400\nrebootSeconds=1\n") + scenario.fleet;
    for (int i = 1; i <= scenario.units.size(); ++i) {
        const QString id = QStringLiteral("u%1").arg(i);
        macs << macOf(i);
        unitOfMac.insert(macOf(i), id);
        fleet += QStringLiteral("\n[%1]\nfamily=k220-decoder\nip=10.77.1.%2\nmac=%3\n%4\n")
                     .arg(id)
                     .arg(i)
                     .arg(macOf(i), scenario.units.at(i - 1));
    }
    QFile file(folder(QStringLiteral("fleet.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(fleet.toUtf8()) < 0)
        failure = QStringLiteral("cannot write the fleet");
    file.close();
    if (failure.isEmpty() && !sim.start(file.fileName()))
        failure = QStringLiteral("the simulator did not start");
}

// ---- The scenarios ----

QStringList plainUnits(int n, const QHash<int, QString> &special = {})
{
    QStringList list;
    for (int i = 1; i <= n; ++i)
        list << special.value(i);
    return list;
}

// The tool killed with SIGKILL a seeded moment after the wire showed `after`.
Scenario killed(int seed, const QString &name, bool quick, const std::function<bool(const Simulator &)> &after)
{
    return {name,
            quick,
            plainUnits(4),
            QStringLiteral("fetchKiBps=256\n"),
            QStringLiteral("interrupted"),
            [seed, after](Trial &t) {
                if (!t.startTool({}))
                    return;
                QRandomGenerator random{quint32(seed)};
                const int delayMs = int(random.bounded(1500));
                if (!t.waitSim(after, 120000))
                    t.failure = QStringLiteral("the moment to kill never came");
                pause(delayMs);
                std::printf("  killed %d ms after its moment\n", delayMs);
                if (t.sim.count(QStringLiteral("CONFIRMED")) >= t.macs.size())
                    t.alsoEnd = QStringLiteral("completed");
                t.signalTool(SIGKILL);
                t.waitTool(10000);
                t.read();
            }};
}

QList<Scenario> scenarios()
{
    const auto toolRun = [](const QStringList &options) {
        return [options](Trial &t) {
            if (t.startTool(options) && !t.waitTool())
                t.failure = QStringLiteral("the tool did not finish");
            t.read();
        };
    };
    const auto confirmedAll = [](int n) {
        return [n](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= n; };
    };
    QList<Scenario> list{
        {QStringLiteral("plain"), false, plainUnits(4), QString(), QStringLiteral("completed"), toolRun({})},
        {QStringLiteral("retry"), false, plainUnits(4, {{4, QStringLiteral("behaviour=neverFetches")}}), QString(),
         QStringLiteral("closed"),
         [](Trial &t) {
             if (!t.startCore(RolloutPlan(), 6))
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!waitFor(
                     [&] {
                         return t.sim.count(QStringLiteral("CONFIRMED")) >= 3 && !t.core->retryCandidates().isEmpty();
                     },
                     90000))
                 t.failure = QStringLiteral("no unit overdue");
             t.read();
             t.core->retryUnits(t.core->retryCandidates());
             const auto commands = [&] {
                 return t.sim
                     .of(QStringLiteral("u4"), QStringLiteral("TCP"), 0, kNever,
                         QStringLiteral("setSettings:updateUnit:"))
                     .size();
             };
             if (!waitFor([&] { return commands() >= 2 && !t.core->retryCandidates().isEmpty(); }, 60000))
                 t.failure = QStringLiteral("the retried unit was not overdue again");
             t.read();
             t.closeWindow();
             t.read();
         }},
        {QStringLiteral("stop-batch"), false, plainUnits(6), QStringLiteral("fetchKiBps=256\n"),
         QStringLiteral("stopped"),
         [](Trial &t) {
             RolloutPlan plan;
             plan.maxInFlight = 2;
             if (!t.startCore(plan))
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= 1; }, 90000))
                 t.failure = QStringLiteral("no unit confirmed");
             t.core->stopBatch();
             const auto commanded = [&] { return t.sim.count(QStringLiteral("FETCH-START")); };
             waitFor([&] { return t.sim.count(QStringLiteral("CONFIRMED")) >= commanded(); }, 60000);
             pause(8000); // the batch ends once its last unit is confirmed and polled
             t.read();
             t.closeWindow();
             t.read();
         }},
        {QStringLiteral("halt"), false, plainUnits(5, {{1, QStringLiteral("behaviour=neverFetches")}}), QString(),
         QStringLiteral("halted"),
         toolRun({QStringLiteral("--max-in-flight"), QStringLiteral("1"), QStringLiteral("--stop-after-failures"),
                  QStringLiteral("1"), QStringLiteral("--fetch-deadline"), QStringLiteral("6")})},
        {QStringLiteral("window-closed"), true, plainUnits(5), QStringLiteral("fetchKiBps=128\n"),
         QStringLiteral("closed"),
         [](Trial &t) {
             if (!t.startCore())
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("FETCH-START")) >= 5; }, 60000))
                 t.failure = QStringLiteral("no unit fetching");
             pause(1000);
             t.closeWindow();
             t.read();
         }},
    };
    list << killed(1, QStringLiteral("kill-fetching"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("FETCH-START")) >= 1; })
         << killed(2, QStringLiteral("kill-rebooting"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("REBOOTING")) >= 1; })
         << killed(3, QStringLiteral("kill-back"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("UP")) >= 1; })
         << killed(4, QStringLiteral("kill-confirming"), false, confirmedAll(1))
         << killed(5, QStringLiteral("kill-all-confirmed"), true, confirmedAll(4));
    list << Scenario{QStringLiteral("sigterm"),
                     false,
                     plainUnits(6),
                     QStringLiteral("fetchKiBps=256\n"),
                     QStringLiteral("stopped"),
                     [](Trial &t) {
                         if (!t.startTool({QStringLiteral("--max-in-flight"), QStringLiteral("2")}))
                             return;
                         if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= 1; },
                                        120000))
                             t.failure = QStringLiteral("no unit confirmed");
                         t.signalTool(SIGTERM);
                         t.trusted = kNever; // a stopped tool still writes its account
                         if (!t.waitTool())
                             t.failure = QStringLiteral("the tool did not finish after SIGTERM");
                         t.read();
                     }}
         << Scenario{QStringLiteral("tcp-hangs"),
                     true,
                     plainUnits(4, {{2, QStringLiteral("tcp=hangs")}}),
                     QString(),
                     QStringLiteral("completed"),
                     toolRun({QStringLiteral("--fetch-deadline"), QStringLiteral("8")})}
         << Scenario{QStringLiteral("reboots-twice"),
                     false,
                     plainUnits(4, {{3, QStringLiteral("reboots=2")}}),
                     QStringLiteral("rebootSeconds=2\n"),
                     QStringLiteral("completed"),
                     toolRun({})}
         << Scenario{QStringLiteral("vanishes-waiting"),
                     false,
                     plainUnits(6, {{6, QStringLiteral("vanishAfterSeconds=12")}}),
                     QStringLiteral("fetchKiBps=256\n"),
                     QStringLiteral("completed"),
                     toolRun({QStringLiteral("--max-in-flight"), QStringLiteral("2"),
                              QStringLiteral("--fetch-deadline"), QStringLiteral("8")})}
         << Scenario{
                QStringLiteral("lossy-link"),
                false,
                plainUnits(4),
                QString(),
                QStringLiteral("completed"),
                [toolRun](Trial &t) {
                    // Between two addresses of one namespace the kernel delivers locally: the
                    // veth (and its queue) is crossed only with the units in a namespace of their own.
                    const QString unitsSide = qEnvironmentVariable("BRYX_UNITS_NETNS");
                    if (unitsSide.isEmpty())
                        return void(t.skipped = QStringLiteral("skipped (no shaped link: set BRYX_NETNS_LINK_MBIT)"));
                    const QStringList netem{QStringLiteral("qdisc"), QStringLiteral("replace"), QStringLiteral("dev"),
                                            QStringLiteral("bryx0"), QStringLiteral("root"),    QStringLiteral("netem"),
                                            QStringLiteral("loss"),  QStringLiteral("5%"),      QStringLiteral("delay"),
                                            QStringLiteral("50ms"),  QStringLiteral("20ms")};
                    QStringList unitsNetem = netem;
                    unitsNetem[3] = QStringLiteral("bryx1");
                    if (QProcess::execute(QStringLiteral("tc"), netem) != 0
                        || QProcess::execute(QStringLiteral("nsenter"),
                                             QStringList{QStringLiteral("--net=") + unitsSide, QStringLiteral("tc")}
                                                 + unitsNetem)
                               != 0)
                        return void(t.skipped = QStringLiteral("skipped (no netem)"));
                    toolRun({})(t);
                }};
    return list;
}

// Every claim of one scenario's account against its wire.
Tally judge(const Scenario &scenario, const Trial &t)
{
    Tally tally;
    for (const Account &account : t.readings.value(t.readings.size() - 1))
        checkAccount(account, t.sim, t.unitOfMac, t.trusted, tally);
    if (t.toolUsed) {
        if (const std::optional<Account> report = readReport(t.reportPath()))
            checkAccount(*report, t.sim, t.unitOfMac, t.trusted, tally);
        Account json = readToolJson(t.toolLines);
        checkAccount(json, t.sim, t.unitOfMac, t.trusted, tally);
    }
    checkStable(t.readings, tally);
    const QList<Account> last = t.readings.value(t.readings.size() - 1);
    tally.check(!last.isEmpty(), scenario.name, QStringLiteral("batch recorded"), QStringLiteral("no batch"),
                QStringLiteral("%1 update commands").arg(t.sim.count(QStringLiteral("FETCH-START"))));
    for (qsizetype i = 0; i < last.size(); ++i) {
        QString expected = i + 1 == last.size() ? scenario.end : QStringLiteral("completed");
        if (i + 1 == last.size() && last.at(i).end == t.alsoEnd)
            expected = t.alsoEnd;
        tally.check(last.at(i).end == expected, QStringLiteral("history batch %1").arg(last.at(i).batchId),
                    QStringLiteral("end"), last.at(i).end, expected);
    }
    return tally;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The in-process core's debug lines would bury the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    const qsizetype named = arguments.indexOf(QStringLiteral("--scenario"));
    const QString only = named >= 0 ? arguments.value(named + 1) : QString();
    if (qEnvironmentVariable("BRYX_IN_NETNS") != QLatin1String("1")) {
        std::fprintf(stderr, "recordcheck starts updaters, which broadcast: run it through tests/netns-run.sh\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int runs = 0;
    int claims = 0;
    int discrepancies = 0;
    int failures = 0;
    int skipped = 0;
    for (const Scenario &scenario : scenarios()) {
        if ((quick && !scenario.quick) || (!only.isEmpty() && scenario.name != only))
            continue;
        std::printf("== %s\n", qPrintable(scenario.name));
        Trial trial(scenario);
        if (trial.failure.isEmpty())
            scenario.play(trial);
        trial.stopTool();
        if (!trial.skipped.isEmpty()) {
            std::printf("  %s\n", qPrintable(trial.skipped));
            ++skipped;
            continue;
        }
        // Every scenario ends with the window started once more and the history read again.
        if (trial.failure.isEmpty()) {
            trial.nextStart();
            trial.read();
        }
        ++runs;
        if (!trial.failure.isEmpty()) {
            ++failures;
            std::printf("  did not run as planned: %s\n", qPrintable(trial.failure));
        }
        const Tally tally = judge(scenario, trial);
        for (const QString &line : tally.discrepancies)
            std::printf("  DISCREPANCY %s\n", qPrintable(line));
        std::printf("  %s: runs 1  claims %d  discrepancies %lld\n", qPrintable(scenario.name), tally.claims,
                    qint64(tally.discrepancies.size()));
        claims += tally.claims;
        discrepancies += int(tally.discrepancies.size());
    }
    std::printf("scenario-runs %d  claims %d  discrepancies %d\n", runs, claims, discrepancies);
    return discrepancies == 0 && failures == 0 && runs + skipped > 0 ? 0 : 1;
}
