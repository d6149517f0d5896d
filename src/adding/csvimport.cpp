#include "csvimport.h"

#include "app/debuglog.h"

#include <QFile>
#include <QHash>
#include <QMultiMap>
#include <QSet>

#include <algorithm>
#include <QStringDecoder>

static const char kLogSource[] = "excelimport";

namespace {

QString cleaned(QString value)
{
    value = value.trimmed();
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    value.remove(QLatin1Char('"'));
    return value;
}

// A column's cleaned value in a line; "" when the header has no such column or the line ends
// before it. Each column's place is looked up once, not once per line.
class Columns
{
public:
    explicit Columns(const QStringList &headers)
    {
        for (qsizetype i = headers.size() - 1; i >= 0; --i)
            index.insert(headers.at(i), i); // the first of equal names wins
    }
    QString value(const QStringList &fields, const char *column) const
    {
        const qsizetype at = index.value(QLatin1String(column), -1);
        return at >= 0 && at < fields.size() ? cleaned(fields.at(at)) : QString();
    }

private:
    QHash<QString, qsizetype> index;
};

bool onlyCommasAndWhiteSpace(const QString &line)
{
    for (const QChar c : line)
        if (c != QLatin1Char(',') && !c.isSpace())
            return false;
    return true;
}

// Drops the records that were reset (their name is empty), in one pass.
void removeDiscarded(QList<MarluneUnit> &units, bool logRemovals)
{
    qsizetype size = units.size();
    const auto discarded = [&](const MarluneUnit &unit) {
        if (!unit.name.isEmpty())
            return false;
        if (logRemovals) {
            BLOG << "Old size" << size;
            BLOG << "Delete " << unit.name;
            BLOG << "New size" << --size;
        }
        return true;
    };
    units.erase(std::remove_if(units.begin(), units.end(), discarded), units.end());
}

QString discardLine(const QString &name)
{
    return QStringLiteral("Discarding tasks for <b>") + name + QStringLiteral("</b>")
           + QStringLiteral(" because of errors.");
}

// Two units to configure with the same static address: the first one keeps it.
void discardDuplicateStaticAddresses(CsvImportResult &result)
{
    QSet<QString> staticAddresses;
    for (MarluneUnit &unit : result.unitsToAdd) {
        if (unit.ipType != QLatin1String("Static IP"))
            continue;
        const QString address = unit.ip.trimmed();
        if (staticAddresses.contains(address)) {
            result.report.append(QStringLiteral("\n<b>Error</b> Duplicate static IP with other units to configure: ")
                                 + unit.name + QStringLiteral(" at ") + unit.ip);
            result.report.append(discardLine(unit.name));
            unit.reset();
        }
        staticAddresses.insert(address);
    }
}

// A unit whose address another listed unit already has, whatever the address mode, is reset
// (discarded). The report names them in the order of the listed units.
void discardAddressesOfListedUnits(CsvImportResult &result, const QList<MarluneUnit> &existing)
{
    QHash<QString, QList<qsizetype>> listedAt;
    for (qsizetype i = 0; i < existing.size(); ++i)
        listedAt[existing.at(i).ip.trimmed()].append(i);
    QMultiMap<qsizetype, qsizetype> clashes; // listed unit -> unit to add
    for (qsizetype j = 0; j < result.unitsToAdd.size(); ++j) {
        const MarluneUnit &unit = result.unitsToAdd.at(j);
        for (const qsizetype i : listedAt.value(unit.ip.trimmed())) {
            if (existing.at(i).mac != unit.mac) {
                clashes.insert(i, j);
                break;
            }
        }
    }
    // QMultiMap keeps equal keys newest first.
    for (const qsizetype i : clashes.uniqueKeys()) {
        QList<qsizetype> units = clashes.values(i);
        std::reverse(units.begin(), units.end());
        for (const qsizetype j : units) {
            MarluneUnit &unit = result.unitsToAdd[j];
            const MarluneUnit &listed = existing.at(i);
            result.report.append(QStringLiteral("\n<b>Error</b> Duplicate static IP with existing units: ")
                                 + listed.name + QStringLiteral(" and ") + unit.name + QStringLiteral(" :")
                                 + listed.ip);
            result.report.append(discardLine(unit.name));
            unit.reset();
        }
    }
}

} // namespace

QString decodeCsvText(const QByteArray &bytes)
{
    QByteArray data = bytes;
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(data);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(data);
}

QStringList rejoinQuotedFields(const QStringList &fields)
{
    QStringList rebuilt;
    QStringList span;
    bool open = false;
    const auto closeSpan = [&] {
        QString joined = span.join(QLatin1Char(','));
        rebuilt.append(joined.remove(QLatin1Char('"')));
        span.clear();
        open = false;
    };
    for (const QString &field : fields) {
        if (!open) {
            if (!field.contains(QLatin1Char('"'))) {
                rebuilt.append(field);
                continue;
            }
            open = true;
            span.append(field);
            if (field.count(QLatin1Char('"')) >= 2) {
                BLOG << "Contains stop quote too.";
                closeSpan();
            }
        } else {
            span.append(field);
            if (field.contains(QLatin1Char('"')))
                closeSpan();
        }
    }
    // A span still open at the end of the line is dropped.
    return rebuilt.isEmpty() ? fields : rebuilt;
}

CsvImportResult importCsv(const QString &text, const QList<MarluneUnit> &existing)
{
    CsvImportResult result;
    QStringList lines = text.trimmed().split(QLatin1Char('\n'), Qt::KeepEmptyParts);

    QString header = lines.first().trimmed();
    header.remove(QLatin1Char(' '));
    header.remove(QLatin1Char('"'));
    result.headers = header.split(QLatin1Char(','));
    if (!result.headers.contains(QLatin1String("MAC")) || !result.headers.contains(QLatin1String("SN"))) {
        result.outcome = CsvImportResult::BadHeader;
        return result;
    }
    lines.removeFirst();
    const Columns columns(result.headers);
    QSet<QString> listedMacAndSerial;
    for (const MarluneUnit &listed : existing)
        listedMacAndSerial.insert(listed.mac + QLatin1Char('\n') + listed.sn);

    for (const QString &rawLine : std::as_const(lines)) {
        const QString line = rawLine.trimmed();
        if (onlyCommasAndWhiteSpace(line))
            continue;
        QStringList fields = line.split(QLatin1Char(','));
        if (line.contains(QLatin1Char('"'))) {
            BLOG << "Found quote";
            fields = rejoinQuotedFields(fields);
        }

        MarluneUnit unit;
        unit.sn = columns.value(fields, "SN");
        unit.typeFromSerial();
        if (unit.deviceType.isEmpty()) {
            result.outcome = CsvImportResult::Abandoned;
            result.abandonedLine = fields.join(QLatin1Char(','));
            return result;
        }
        unit.setMac(columns.value(fields, "MAC"));

        if (listedMacAndSerial.contains(unit.mac + QLatin1Char('\n') + unit.sn))
            continue;

        unit.stream = columns.value(fields, "STREAM").toUInt();
        unit.ipType = columns.value(fields, "IPMODE");
        unit.ip = columns.value(fields, "IP");
        unit.subnet = columns.value(fields, "SUBNET");
        unit.gateway = columns.value(fields, "GW");
        unit.name = columns.value(fields, "NAME");
        unit.swversion = QStringLiteral("1/1/2009");
        unit.fwversion = QStringLiteral("0/0/0");
        unit.webversion = QStringLiteral("0/0/0");

        if (unit.mac.isEmpty() || unit.sn.isEmpty() || unit.deviceType.isEmpty())
            continue;
        result.report.append(QStringLiteral("\n<b>") + unit.deviceType + QStringLiteral(":</b> ") + unit.name
                             + QStringLiteral(" at ") + unit.ip);
        result.unitsToAdd.append(unit);
    }

    discardDuplicateStaticAddresses(result);
    removeDiscarded(result.unitsToAdd, false);

    discardAddressesOfListedUnits(result, existing);
    removeDiscarded(result.unitsToAdd, true);

    result.report.append(QStringLiteral("\n"));
    if (!result.unitsToAdd.isEmpty())
        result.report.append(QString::number(result.unitsToAdd.size())
                             + QStringLiteral(" units to be checked and added. Click \"Add Units\" to add them."));
    return result;
}

CsvImportResult importCsvFile(const QString &path, const QList<MarluneUnit> &existing)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.read(kMaxCsvFileSize + 1) : QByteArray();
    if (bytes.size() > kMaxCsvFileSize) {
        BLOG << "Refused" << path << ": larger than" << kMaxCsvFileSize << "bytes";
        CsvImportResult result;
        result.outcome = CsvImportResult::TooLarge;
        result.report.append(QStringLiteral("<b>Error</b> This file is larger than %1 MiB, far larger than an "
                                            "export of units. Nothing was imported from it.")
                                 .arg(kMaxCsvFileSize / (1024 * 1024)));
        return result;
    }
    return importCsv(decodeCsvText(bytes), existing);
}
