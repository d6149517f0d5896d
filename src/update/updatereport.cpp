#include "updatereport.h"

#include "app/outputtext.h"
#include "app/wholefile.h"
#include "packages/packagecatalogue.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/pipelinestate.h"
#include "update/unitstatus.h"

namespace {

// RFC 4180: a field with a comma, quote or line break is quoted, its quotes doubled. Unit
// names and serials come from the units themselves: their control characters are escaped as in
// every other output (line feeds stay, quoted), and one that a spreadsheet would read as a
// formula gets a leading apostrophe, so opening the file never runs anything. A semicolon is
// quoted too: spreadsheets set up for it split fields there, and the part after it would start
// a field of its own.
QByteArray csvField(const QString &text)
{
    QString field = escapedControls(text, LineFeeds::Kept);
    if (!field.isEmpty() && QStringLiteral("=+-@").contains(field.front()))
        field.prepend(QLatin1Char('\''));
    QByteArray bytes = field.toUtf8();
    if (bytes.contains(',') || bytes.contains(';') || bytes.contains('"') || bytes.contains('\n'))
        bytes = '"' + bytes.replace("\"", "\"\"") + '"';
    return bytes;
}

} // namespace

QByteArray csvRow(const QStringList &fields)
{
    QByteArrayList cells;
    for (const QString &field : fields)
        cells.append(csvField(field));
    return cells.join(',') + "\r\n";
}

QString isoTime(const QDateTime &time)
{
    return time.isValid() ? time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate) : QString();
}

namespace {

QString flag(bool set)
{
    return set ? QStringLiteral("yes") : QString();
}

} // namespace

QString imageSha256(const PackageCatalogue &packages, const QString &fileName)
{
    for (const UpdatePackage *package : packages.packages) {
        if (!fileName.isEmpty() && package->newFilename == fileName)
            return package->imageSha256;
    }
    return QString();
}

RunRecord runRecord(const QString &mac, const PipelineState &pipeline, const PackageCatalogue &packages,
                    const PipelineIndex &index)
{
    const UnitRun run = pipeline.runs.value(mac);
    const MarluneUnit *listed = run.removed ? nullptr : index.firstListed(mac);
    const MarluneUnit &now = listed ? *listed : run.before;
    RunRecord record;
    record.mac = mac;
    record.name = now.name;
    record.type = typeCodeForUnit(now);
    record.ip = now.ip;
    record.serial = now.sn;
    record.swBefore = run.before.swversion;
    record.webBefore = run.before.webversion;
    if (listed) {
        record.swAfter = listed->swversion;
        record.webAfter = listed->webversion;
    }
    record.image = run.packageFile;
    record.imageSha256 = imageSha256(packages, run.packageFile);
    record.bytesServed = run.bytesServed;
    record.commanded = run.commanded;
    record.fetched = run.fetched;
    record.rebootSeen = run.rebootSeen;
    record.confirmed = run.confirmed;
    record.finalStatus = listed ? unitStatus(*listed, pipeline, packages, index).text
                                : QStringLiteral("Removed from the list.");
    record.overdue = run.wasOverdue;
    record.retried = run.retried;
    record.rollout = run.rolloutPlan;
    record.canary = run.canary;
    record.held = run.held;
    record.takenOut = run.takenOut;
    return record;
}

QStringList reportHeader()
{
    return {QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"), QStringLiteral("IP"),
            QStringLiteral("Serial"), QStringLiteral("SW before"), QStringLiteral("WEB before"),
            QStringLiteral("SW after"), QStringLiteral("WEB after"), QStringLiteral("Package"),
            QStringLiteral("Package SHA-256"), QStringLiteral("Bytes served"), QStringLiteral("Commanded"),
            QStringLiteral("Fetched"), QStringLiteral("Reboot seen"), QStringLiteral("Confirmed"),
            QStringLiteral("Final status"), QStringLiteral("Overdue"), QStringLiteral("Retried"),
            QStringLiteral("Rollout"), QStringLiteral("Canary"), QStringLiteral("Held"), QStringLiteral("Taken out")};
}

QStringList reportFields(const RunRecord &run)
{
    return {run.name, run.type, run.mac, run.ip, run.serial, run.swBefore, run.webBefore, run.swAfter,
            run.webAfter, run.image, run.imageSha256, QString::number(run.bytesServed), isoTime(run.commanded),
            isoTime(run.fetched), isoTime(run.rebootSeen), isoTime(run.confirmed), run.finalStatus,
            flag(run.overdue), flag(run.retried), run.rollout, flag(run.canary), flag(run.held), flag(run.takenOut)};
}

QByteArray reportCsv(const QList<RunRecord> &runs)
{
    QByteArray csv = csvRow(reportHeader());
    for (const RunRecord &run : runs)
        csv += csvRow(reportFields(run));
    return csv;
}

QList<RunRecord> updateReportRuns(const PipelineState &pipeline, const PackageCatalogue &packages)
{
    const PipelineIndex index(pipeline);
    QList<RunRecord> runs;
    runs.reserve(pipeline.runOrder.size());
    for (const QString &mac : pipeline.runOrder)
        runs.append(runRecord(mac, pipeline, packages, index));
    return runs;
}

QByteArray updateReportCsv(const PipelineState &pipeline, const PackageCatalogue &packages)
{
    return reportCsv(updateReportRuns(pipeline, packages));
}

// The report of this run and a batch exported from the history are written by one writer.
bool writeUpdateReport(const QString &path, const PipelineState &pipeline, const PackageCatalogue &packages,
                       QString *error)
{
    return writeReport(path, updateReportRuns(pipeline, packages), error);
}

bool writeReport(const QString &path, const QList<RunRecord> &runs, QString *error)
{
    return writeWholeFile(path, reportCsv(runs), error);
}
