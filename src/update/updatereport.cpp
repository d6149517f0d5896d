#include "updatereport.h"

#include "app/outputtext.h"
#include "app/wholefile.h"
#include "packages/packagecatalogue.h"

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

// The report of this run and a batch exported from the history are written by one writer.
bool writeReport(const QString &path, const QList<RunRecord> &runs, QString *error)
{
    return writeWholeFile(path, reportCsv(runs), error);
}
