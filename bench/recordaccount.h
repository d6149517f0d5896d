#pragma once

// The updater's account of a batch, read in one small function per source: the history (through
// HistoryStore), the update report's CSV and the tool's JSON lines.
#include "recordwire.h"
#include "update/runrecord.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <type_traits>

namespace recordcheck {

// ---- The account: what the updater recorded, read in one small function per source ----

// The end of a batch as the history gives it: its own "end" where the history keeps one (a
// completed, stopped, halted, closed or interrupted batch), else inferred from the interrupted
// flag and the end time.
template <typename B, typename = void> struct KeepsEnd : std::false_type
{
};
template <typename B> struct KeepsEnd<B, std::void_t<decltype(std::declval<B>().end)>> : std::true_type
{
};

template <typename B> QString endOf(const B &batch)
{
    if constexpr (KeepsEnd<B>::value) {
        if (!batch.end.isEmpty())
            return batch.end;
    }
    return batch.interrupted       ? QStringLiteral("interrupted")
           : batch.ended.isValid() ? QStringLiteral("completed")
                                   : QStringLiteral("open");
}

// One source's account of one batch.
struct Account
{
    QString source;
    qint64 batchId = 0;
    QString end;
    qint64 from = 0;
    qint64 to = kNever;
    QList<RunRecord> runs;
    QHash<QString, QStringList> kinds; // each unit's event kinds
    bool bytesKnown = true;            // the source tells the bytes served
    bool datesKnown = true;            // ... and the dates after
    bool timesKnown = true;            // ... and the time of each step
    bool whole = true;                 // names every unit of its batch
};

QList<Account> readHistory(const QString &path);
std::optional<Account> readReport(const QString &path);
Account readToolJson(const QList<QJsonObject> &lines);
// A run's fields as text, to compare two readings of one row field by field.
QList<std::pair<QString, QString>> fieldsOf(const RunRecord &run);

} // namespace recordcheck
