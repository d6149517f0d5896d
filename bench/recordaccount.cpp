#include "recordaccount.h"

#include "csvreader.h"
#include "history/historystore.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

namespace recordcheck {


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


} // namespace recordcheck
