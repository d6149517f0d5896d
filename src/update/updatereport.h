#pragma once

#include "update/runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class PackageCatalogue;

// The update report: a CSV file (RFC 4180 quoting, UTF-8, CRLF line ends, a header row) with
// one row per unit's run, as the batch account keeps it: what the unit was before and after, the
// image it was sent and that image's SHA-256, the bytes served, the times of its steps (ISO 8601
// with the UTC offset), its status text, whether it was overdue or retried, and its batch's rollout
// plan and whether it was a canary, held after a halt or taken out of the queue. Also a batch read
// back from the history.
QByteArray reportCsv(const QList<RunRecord> &runs);
// Its header and one run's fields, for a CSV with more columns.
QStringList reportHeader();
QStringList reportFields(const RunRecord &run);
// A time as the report writes it: ISO 8601 with the UTC offset; "" for none.
QString isoTime(const QDateTime &time);
// One CSV line of these fields, quoted where needed, with its CRLF; every CSV the updater writes
// (the report, a batch exported from the history, the tool's list and history) is made of these.
QByteArray csvRow(const QStringList &fields);

// The image's SHA-256 as the packages give it; "" when no package has that image.
QString imageSha256(const PackageCatalogue &packages, const QString &fileName);

// Writes the report to path; false with *error set when it cannot be written whole.
bool writeReport(const QString &path, const QList<RunRecord> &runs, QString *error);
