#include "csvimport.h"

#include "app/debuglog.h"

#include <QSet>
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
// before it.
class Columns
{
public:
    explicit Columns(const QStringList &headers) : headers(headers) {}
    QString value(const QStringList &fields, const char *column) const
    {
        const qsizetype index = headers.indexOf(QLatin1String(column));
        return index >= 0 && index < fields.size() ? cleaned(fields.at(index)) : QString();
    }

private:
    const QStringList &headers;
};

bool onlyCommasAndWhiteSpace(const QString &line)
{
    for (const QChar c : line)
        if (c != QLatin1Char(',') && !c.isSpace())
            return false;
    return true;
}

void removeDiscarded(QList<MarluneUnit> &units, bool logRemovals)
{
    for (qsizetype i = 0; i < units.size();) {
        if (!units.at(i).name.isEmpty()) {
            ++i;
            continue;
        }
        if (logRemovals) {
            BLOG << "Old size" << units.size();
            BLOG << "Delete " << units.at(i).name;
        }
        units.removeAt(i);
        if (logRemovals)
            BLOG << "New size" << units.size();
    }
}

QString discardLine(const QString &name)
{
    return QStringLiteral("Discarding tasks for <b>") + name + QStringLiteral("</b>")
           + QStringLiteral(" because of errors.");
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

        bool known = false;
        for (const MarluneUnit &listed : existing)
            if (listed.mac == unit.mac && listed.sn == unit.sn)
                known = true;
        if (known)
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

    // Two units to configure with the same static address: the first one keeps it.
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
    removeDiscarded(result.unitsToAdd, false);

    // A unit whose address another listed unit already has, whatever the address mode.
    for (const MarluneUnit &listed : existing) {
        for (MarluneUnit &unit : result.unitsToAdd) {
            if (listed.mac == unit.mac || listed.ip.trimmed() != unit.ip.trimmed())
                continue;
            result.report.append(QStringLiteral("\n<b>Error</b> Duplicate static IP with existing units: ")
                                 + listed.name + QStringLiteral(" and ") + unit.name + QStringLiteral(" :")
                                 + listed.ip);
            result.report.append(discardLine(unit.name));
            unit.reset();
        }
    }
    removeDiscarded(result.unitsToAdd, true);

    result.report.append(QStringLiteral("\n"));
    if (!result.unitsToAdd.isEmpty())
        result.report.append(QString::number(result.unitsToAdd.size())
                             + QStringLiteral(" units to be checked and added. Click \"Add Units\" to add them."));
    return result;
}
