#pragma once

#include "update/runrecord.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QStringList>

struct UnitEvent;

// The account of what each batch did to its units, made of the units' events alone: a unit's row
// in a batch changes only with that batch's events, so a later batch (a retry) makes rows of its
// own and never rewrites an earlier one. The update report and the history are written from it.
class BatchAccount
{
public:
    // Takes one event into its batch's row of the unit; an event of no batch (0) is not kept.
    void apply(const UnitEvent &event);

    // The batch's rows in the order its units were first queued in it; empty for a batch it does
    // not know.
    QList<RunRecord> rows(int batch) const;
    // The unit's row in that batch, or nullptr.
    const RunRecord *row(int batch, const QString &mac) const;
    // Each unit's row in the latest batch it was in, in the order units were first queued in this
    // run: the update report of the whole run.
    QList<RunRecord> latestRows() const;

private:
    struct Batch
    {
        QStringList order;
        QHash<QString, RunRecord> rows;
    };
    QMap<int, Batch> batches;
    QStringList firstQueued;
    QHash<QString, int> latestBatch;
};
