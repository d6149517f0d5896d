#include "batchaccount.h"

#include "update/unitevent.h"

void BatchAccount::apply(const UnitEvent &event)
{
    if (event.batch <= 0 || event.mac.isEmpty())
        return;
    Batch &batch = batches[event.batch];
    auto row = batch.rows.find(event.mac);
    if (row == batch.rows.end()) {
        batch.order.append(event.mac);
        row = batch.rows.insert(event.mac, RunRecord());
        if (!latestBatch.contains(event.mac))
            firstQueued.append(event.mac);
    }
    int &latest = latestBatch[event.mac];
    latest = qMax(latest, event.batch);
    applyEvent(*row, event);
}

QList<RunRecord> BatchAccount::rows(int batch) const
{
    QList<RunRecord> rows;
    const auto found = batches.constFind(batch);
    if (found == batches.cend())
        return rows;
    rows.reserve(found->order.size());
    for (const QString &mac : found->order)
        rows.append(found->rows.value(mac));
    return rows;
}

const RunRecord *BatchAccount::row(int batch, const QString &mac) const
{
    const auto found = batches.constFind(batch);
    if (found == batches.cend())
        return nullptr;
    const auto row = found->rows.constFind(mac);
    return row == found->rows.cend() ? nullptr : &*row;
}

QList<RunRecord> BatchAccount::latestRows() const
{
    QList<RunRecord> rows;
    rows.reserve(firstQueued.size());
    for (const QString &mac : firstQueued) {
        if (const RunRecord *latest = row(latestBatch.value(mac), mac))
            rows.append(*latest);
    }
    return rows;
}
