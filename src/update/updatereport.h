#pragma once

#include "update/runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class PackageCatalogue;
class PipelineIndex;
struct PipelineState;

// The update report: a CSV file (RFC 4180 quoting, UTF-8, CRLF line ends, a header row) with
// one row per unit queued for update in this run, in the order first queued: what it was before
// and after, the image it was sent and that image's SHA-256, the bytes served, the times of its
// steps (ISO 8601 with the UTC offset), its status text, whether it was overdue or retried, and its batch's rollout plan and whether
// it was a canary, held after a halt or taken out of the queue.
QByteArray updateReportCsv(const PipelineState &pipeline, const PackageCatalogue &packages);
// Its rows: the run of every unit queued in this run, in the order first queued.
QList<RunRecord> updateReportRuns(const PipelineState &pipeline, const PackageCatalogue &packages);
// The same CSV of any runs, e.g. a batch read back from the history.
QByteArray reportCsv(const QList<RunRecord> &runs);
// Its header and one run's fields, for a CSV with more columns.
QStringList reportHeader();
QStringList reportFields(const RunRecord &run);
// A time as the report writes it: ISO 8601 with the UTC offset; "" for none.
QString isoTime(const QDateTime &time);
// One CSV line of these fields, quoted where needed, with its CRLF; every CSV the updater writes
// (the report, a batch exported from the history, the tool's list and history) is made of these.
QByteArray csvRow(const QStringList &fields);

// Where the unit with this MAC stands in this run, as a report row: its record now (or when it
// was first queued, if it left the list), its status text and the times of its steps.
RunRecord runRecord(const QString &mac, const PipelineState &pipeline, const PackageCatalogue &packages,
                    const PipelineIndex &index);
// The image's SHA-256 as the packages give it; "" when no package has that image.
QString imageSha256(const PackageCatalogue &packages, const QString &fileName);

// Writes the report to path; false with *error set when it cannot be written whole.
bool writeUpdateReport(const QString &path, const PipelineState &pipeline, const PackageCatalogue &packages,
                       QString *error);
bool writeReport(const QString &path, const QList<RunRecord> &runs, QString *error);
