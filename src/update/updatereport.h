#pragma once

#include <QByteArray>
#include <QString>

class PackageCatalogue;
struct PipelineState;

// The update report: a CSV file (RFC 4180 quoting, UTF-8, CRLF line ends, a header row) with
// one row per unit queued for update in this run, in the order first queued: what it was before
// and after, the image it was sent and that image's SHA-256, the bytes served, the times of its
// steps (ISO 8601 with the UTC offset), its status text, whether it was overdue or retried, and its batch's rollout plan and whether
// it was a canary, held after a halt or taken out of the queue.
QByteArray updateReportCsv(const PipelineState &pipeline, const PackageCatalogue &packages);

// Writes the report to path; false with *error set when it cannot be written whole.
bool writeUpdateReport(const QString &path, const PipelineState &pipeline, const PackageCatalogue &packages,
                       QString *error);
