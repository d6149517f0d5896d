#include "updatereport.h"

#include "app/wholefile.h"
#include "packages/packagecatalogue.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/pipelinestate.h"
#include "update/unitstatus.h"


namespace {

// RFC 4180: a field with a comma, quote or line break is quoted, its quotes doubled. Unit
// names and serials come from the units themselves; one that a spreadsheet would read as a
// formula gets a leading apostrophe, so opening the report never runs anything. A semicolon is
// quoted too: spreadsheets set up for it split fields there, and the part after it would start
// a field of its own.
QByteArray csvField(const QString &text)
{
    QString field = text;
    if (!field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.front()))
        field.prepend(QLatin1Char('\''));
    QByteArray bytes = field.toUtf8();
    if (bytes.contains(',') || bytes.contains(';') || bytes.contains('"') || bytes.contains('\r')
        || bytes.contains('\n'))
        bytes = '"' + bytes.replace("\"", "\"\"") + '"';
    return bytes;
}

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

QString imageHash(const PackageCatalogue &packages, const QString &fileName)
{
    for (const UpdatePackage *package : packages.packages) {
        if (!fileName.isEmpty() && package->newFilename == fileName)
            return package->imageSha256;
    }
    return QString();
}

QString flag(bool set)
{
    return set ? QStringLiteral("yes") : QString();
}

} // namespace

QByteArray updateReportCsv(const PipelineState &pipeline, const PackageCatalogue &packages)
{
    QByteArray csv = csvRow({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"), QStringLiteral("IP"),
                             QStringLiteral("Serial"), QStringLiteral("SW before"), QStringLiteral("WEB before"),
                             QStringLiteral("SW after"), QStringLiteral("WEB after"), QStringLiteral("Package"),
                             QStringLiteral("Package SHA-256"), QStringLiteral("Bytes served"),
                             QStringLiteral("Commanded"), QStringLiteral("Fetched"), QStringLiteral("Reboot seen"),
                             QStringLiteral("Confirmed"), QStringLiteral("Final status"), QStringLiteral("Overdue"),
                             QStringLiteral("Retried"), QStringLiteral("Rollout"), QStringLiteral("Canary"),
                             QStringLiteral("Held"), QStringLiteral("Taken out")});
    for (const QString &mac : pipeline.runOrder) {
        const UnitRun run = pipeline.runs.value(mac);
        const MarluneUnit *listed = run.removed ? nullptr : findUnit(pipeline.vUnits, &MarluneUnit::mac, mac);
        const MarluneUnit &now = listed ? *listed : run.before;
        const QString status = listed ? unitStatus(*listed, pipeline, packages).text
                                      : QStringLiteral("Removed from the list.");
        csv += csvRow({now.name, typeCodeForUnit(now), mac, now.ip, now.sn, run.before.swversion,
                       run.before.webversion, listed ? listed->swversion : QString(),
                       listed ? listed->webversion : QString(), run.packageFile, imageHash(packages, run.packageFile),
                       QString::number(run.bytesServed), isoTime(run.commanded), isoTime(run.fetched),
                       isoTime(run.rebootSeen), isoTime(run.confirmed), status, flag(run.wasOverdue),
                       flag(run.retried), run.rolloutPlan, flag(run.canary), flag(run.held), flag(run.takenOut)});
    }
    return csv;
}

bool writeUpdateReport(const QString &path, const PipelineState &pipeline, const PackageCatalogue &packages,
                       QString *error)
{
    return writeWholeFile(path, updateReportCsv(pipeline, packages), error);
}
