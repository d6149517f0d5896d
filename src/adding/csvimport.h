#pragma once

#include "units/marluneunit.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Reading a CSV export of the sibling configuration tool into unit records: the header, quoted
// fields, unknown serial numbers, units already known, and conflicting addresses. Pure: the CSV
// import dialog shows the outcome.

struct CsvImportResult
{
    enum Outcome {
        Imported,  // every line was read
        BadHeader, // the header lacks "MAC" or "SN": nothing was read
        Abandoned, // a line's serial number decides no unit type: reading stopped there
        TooLarge,  // the file is larger than any export: nothing was read
    };
    Outcome outcome = Imported;
    // Column names of the header line.
    QStringList headers;
    // The line that stopped the import, its fields joined with ",".
    QString abandonedLine;
    // The units to hand to the main window.
    QList<MarluneUnit> unitsToAdd;
    // Lines for the report, in order (rich text).
    QStringList report;
};

// The file's bytes as text: UTF-8 when they are valid UTF-8 (a byte-order mark is dropped),
// otherwise Latin-1, as older exports are.
QString decodeCsvText(const QByteArray &bytes);

// Joins fields that a quoted value split at its commas back into one, without the quotes. A
// span whose closing quote never comes is dropped; when nothing is left the fields are kept.
QStringList rejoinQuotedFields(const QStringList &fields);

// Reads the whole text of an export against the units already listed.
CsvImportResult importCsv(const QString &text, const QList<MarluneUnit> &existing);

// An export is a table of one line per unit, a few hundred bytes each: 1 MiB holds thousands of
// units. A larger file is refused whole rather than cut, which could shorten its last line.
inline constexpr qint64 kMaxCsvFileSize = 1024 * 1024;

// Reads an export file, refusing one larger than kMaxCsvFileSize; an unreadable file reads as
// empty.
CsvImportResult importCsvFile(const QString &path, const QList<MarluneUnit> &existing);
