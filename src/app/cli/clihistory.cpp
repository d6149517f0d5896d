#include "clihistory.h"

#include "app/cli/clioptions.h"
#include "app/outputtext.h"
#include "units/marluneunit.h"
#include "update/updatereport.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <algorithm>

namespace {

QString sameMac(const QString &mac)
{
    return mac.toUpper().replace(QLatin1Char('-'), QLatin1Char(':'));
}

QString shortTime(const QDateTime &time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QStringLiteral("-");
}

// A unit's run with the keys the tool's other JSON gives a unit, each version text beside the date
// read from it.
QJsonObject runObject(const HistoryStore::UnitRun &run)
{
    return {{QStringLiteral("mac"), run.mac},
            {QStringLiteral("ip"), run.ip},
            {QStringLiteral("name"), run.name},
            {QStringLiteral("type"), run.type},
            {QStringLiteral("serial"), run.serial},
            {QStringLiteral("softwareBefore"), run.swBefore},
            {QStringLiteral("softwareBeforeDate"), jsonDate(dateFromVersionText(run.swBefore))},
            {QStringLiteral("webBefore"), run.webBefore},
            {QStringLiteral("webBeforeDate"), jsonDate(dateFromVersionText(run.webBefore))},
            {QStringLiteral("softwareAfter"), run.swAfter},
            {QStringLiteral("softwareAfterDate"), jsonDate(dateFromVersionText(run.swAfter))},
            {QStringLiteral("webAfter"), run.webAfter},
            {QStringLiteral("webAfterDate"), jsonDate(dateFromVersionText(run.webAfter))},
            {QStringLiteral("package"), run.image},
            {QStringLiteral("packageSha256"), run.imageSha256},
            {QStringLiteral("bytesServed"), run.bytesServed},
            {QStringLiteral("commanded"), jsonTime(run.commanded)},
            {QStringLiteral("fetched"), jsonTime(run.fetched)},
            {QStringLiteral("rebootSeen"), jsonTime(run.rebootSeen)},
            {QStringLiteral("confirmed"), jsonTime(run.confirmed)},
            {QStringLiteral("status"), run.finalStatus},
            {QStringLiteral("step"), run.step},
            {QStringLiteral("overdue"), run.overdue},
            {QStringLiteral("retried"), run.retried},
            {QStringLiteral("rollout"), run.rollout},
            {QStringLiteral("canary"), run.canary},
            {QStringLiteral("held"), run.held},
            {QStringLiteral("takenOut"), run.takenOut}};
}

// How the batch ended; a file that does not say tells an interrupted batch and an open one from
// the others, which ran to their end.
QJsonValue batchEnd(const HistoryStore::Batch &batch)
{
    if (!batch.end.isEmpty())
        return batch.end;
    if (batch.interrupted)
        return QStringLiteral("interrupted");
    return batch.ended.isValid() ? QJsonValue(QStringLiteral("completed")) : QJsonValue();
}

// " (stopped)" and the like after the end time of a batch that did not complete.
QString endNote(const HistoryStore::Batch &batch)
{
    const QJsonValue end = batchEnd(batch);
    return end.isString() && end.toString() != QLatin1String("completed")
               ? QStringLiteral(" (") + end.toString() + QLatin1Char(')')
               : QString();
}

} // namespace

HistoryListing readHistory(const HistoryStore &store, const CliOptions &options)
{
    HistoryListing listing;
    listing.batchFound = options.batchId == 0;
    const QString unit = sameMac(options.unitMac);
    const auto failed = [&store, &listing] {
        listing.error = store.lastError();
        return !listing.error.isEmpty();
    };
    const QList<HistoryStore::Batch> batches = store.batches(options.since);
    if (failed())
        return listing;
    const QDateTime now = QDateTime::currentDateTime();
    for (HistoryStore::Batch batch : batches) {
        if (options.batchId != 0 && batch.id != options.batchId)
            continue;
        listing.batchFound = true;
        // Unended and not written to for a while: the updater that ran it is gone. The next start
        // of an updater marks it so in the file; the listing says so already.
        if (!batch.ended.isValid() && batch.lastWrite.isValid()
            && batch.lastWrite.secsTo(now) > HistoryStore::kPresumedGoneSecs) {
            batch.ended = batch.lastWrite;
            batch.end = QStringLiteral("interrupted");
            batch.interrupted = true;
        }
        HistoryListing::Entry entry{batch, store.unitRuns(batch.id), {}};
        if (failed())
            return listing;
        if (!unit.isEmpty()) {
            entry.runs.removeIf([&unit](const HistoryStore::UnitRun &run) { return sameMac(run.mac) != unit; });
            if (entry.runs.isEmpty())
                continue;
            entry.events = store.events(entry.runs.first().mac, batch.id);
            if (failed())
                return listing;
        }
        listing.entries.append(entry);
    }
    return listing;
}

QByteArray historyBatchLines(const HistoryListing &listing)
{
    int idWidth = 1;
    for (const HistoryListing::Entry &entry : listing.entries)
        idWidth = qMax(idWidth, int(QString::number(entry.batch.id).size()));
    QString text;
    for (const HistoryListing::Entry &entry : listing.entries) {
        const HistoryStore::Batch &batch = entry.batch;
        // Each unit by the last step it reached, the most frequent first.
        QMap<QString, int> byStep;
        for (const HistoryStore::UnitRun &run : entry.runs)
            ++byStep[run.step.isEmpty() ? QStringLiteral("no step") : run.step];
        QList<std::pair<QString, int>> counted(byStep.keyValueBegin(), byStep.keyValueEnd());
        std::stable_sort(counted.begin(), counted.end(),
                         [](const auto &a, const auto &b) { return a.second > b.second; });
        QStringList counts;
        for (const auto &[step, count] : std::as_const(counted))
            counts.append(QStringLiteral("%1 %2").arg(count).arg(step));
        const QJsonValue end = batchEnd(batch);
        text +=
            escapedControls(
                QStringLiteral("%1  %2  %3 units%4  %5")
                    .arg(batch.id, idWidth)
                    .arg(batch.started.isValid() ? batch.started.toString(QStringLiteral("yyyy-MM-dd hh:mm"))
                                                 : QStringLiteral("-"))
                    .arg(entry.runs.size())
                    .arg(counts.isEmpty() ? QString() : QStringLiteral(": ") + counts.join(QStringLiteral(", ")))
                    .arg(end.isString() ? QStringLiteral("ended: ") + end.toString() : QStringLiteral("still open")))
            + (batch.resumes > 0 ? QStringLiteral("  resumes %1").arg(batch.resumes) : QString()) + QLatin1Char('\n');
    }
    return text.toUtf8();
}

QByteArray historyText(const HistoryListing &listing)
{
    QString text;
    // Names, hosts and status-log texts came from units and other computers: a line shows their
    // control characters as text.
    const auto line = [&text](const QString &shown) { text += escapedControls(shown) + QLatin1Char('\n'); };
    for (const HistoryListing::Entry &entry : listing.entries) {
        const HistoryStore::Batch &batch = entry.batch;
        line(QStringLiteral("Batch %1: begun %2, ended %3%4 on %5, %6 units%7%8")
                 .arg(batch.id)
                 .arg(shortTime(batch.started), shortTime(batch.ended), endNote(batch), batch.host)
                 .arg(batch.units)
                 .arg(batch.plan.isEmpty() ? QString() : QStringLiteral(", rollout ") + batch.plan,
                      batch.resumes > 0 ? QStringLiteral(", resumes %1").arg(batch.resumes) : QString()));
        for (const QString &package : batch.packages)
            line(QStringLiteral("  package ") + package);
        for (const HistoryStore::UnitRun &run : entry.runs)
            line(QStringLiteral("  %1  %2  %3  %4").arg(run.mac, run.ip, run.name, run.finalStatus));
        for (const HistoryStore::Event &event : entry.events)
            line(QStringLiteral("    %1  %2  %3")
                     .arg(event.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")), event.kind, event.text));
    }
    return text.toUtf8();
}

QByteArray historyJson(const HistoryListing &listing)
{
    QJsonArray batches;
    for (const HistoryListing::Entry &entry : listing.entries) {
        const HistoryStore::Batch &batch = entry.batch;
        QJsonArray packages;
        for (const QString &package : batch.packages)
            packages.append(QJsonObject{{QStringLiteral("file"), package.section(QLatin1Char(' '), 0, 0)},
                                        {QStringLiteral("sha256"), package.section(QLatin1Char(' '), 1)}});
        QJsonArray units;
        for (const HistoryStore::UnitRun &run : entry.runs)
            units.append(runObject(run));
        QJsonArray events;
        for (const HistoryStore::Event &event : entry.events)
            events.append(QJsonObject{{QStringLiteral("time"), jsonTime(event.time)},
                                      {QStringLiteral("step"), event.kind},
                                      {QStringLiteral("text"), event.text}});
        QJsonObject object{{QStringLiteral("batch"), batch.id},
                           {QStringLiteral("started"), jsonTime(batch.started)},
                           {QStringLiteral("ended"), jsonTime(batch.ended)},
                           {QStringLiteral("end"), batchEnd(batch)},
                           {QStringLiteral("host"), batch.host},
                           {QStringLiteral("plan"), batch.plan},
                           {QStringLiteral("resumes"), batch.resumes > 0 ? QJsonValue(batch.resumes) : QJsonValue()},
                           {QStringLiteral("packages"), packages},
                           {QStringLiteral("units"), units}};
        if (!entry.events.isEmpty())
            object.insert(QStringLiteral("events"), events);
        batches.append(object);
    }
    return jsonText(
        QJsonDocument(QJsonObject{{QStringLiteral("schema"), kJsonSchema}, {QStringLiteral("batches"), batches}}),
        QJsonDocument::Indented);
}

QByteArray historyCsv(const HistoryListing &listing)
{
    QByteArray csv = csvRow(QStringList{QStringLiteral("Batch"), QStringLiteral("Batch started")} + reportHeader());
    for (const HistoryListing::Entry &entry : listing.entries) {
        for (const HistoryStore::UnitRun &run : entry.runs)
            csv += csvRow(QStringList{QString::number(entry.batch.id), isoTime(entry.batch.started)}
                          + reportFields(run));
    }
    return csv;
}

int runHistory(const CliOptions &options, const QString &path, FILE *out, FILE *err)
{
    const auto print = [](FILE *file, const QByteArray &bytes) {
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
        std::fflush(file);
    };
    HistoryListing listing;
    listing.batchFound = options.batchId == 0;
    if (QFileInfo::exists(path)) {
        const auto cannotRead = [&](const QString &why) {
            print(err, (QStringLiteral("Cannot read the history: ") + why + QLatin1Char('\n')).toUtf8());
            return kExitCannotStart;
        };
        HistoryStore store(QStringLiteral("cli-history"));
        QString error;
        if (!store.openForReading(path, &error))
            return cannotRead(error);
        // A damaged page may hold rows no query of this listing reads; the whole file is checked.
        if (!store.checkWhole(&error))
            return cannotRead(path + QStringLiteral(": ") + error);
        listing = readHistory(store, options);
        if (!listing.error.isEmpty())
            return cannotRead(path + QStringLiteral(": ") + listing.error);
    }
    if (!listing.batchFound) {
        print(err, QStringLiteral("No batch %1 in the history.\n").arg(options.batchId).toUtf8());
        return kExitBadUsage;
    }
    switch (options.format) {
    case CliOptions::Format::Json:
        print(out, historyJson(listing));
        break;
    case CliOptions::Format::Csv:
        print(out, historyCsv(listing));
        break;
    case CliOptions::Format::Text:
        // The batches a line each; one batch, or one unit's runs, in full.
        print(out, listing.entries.isEmpty() ? QByteArrayLiteral("No batches in the history.\n")
                   : options.batchId == 0 && options.unitMac.isEmpty() ? historyBatchLines(listing)
                                                                       : historyText(listing));
        break;
    }
    return kExitConfirmed;
}
