// The history's last batch, when it was cut short: the one a batch may pick up.
#include "historystore.h"
#include "update/batchresume.h"

HistoryStore::Resumable HistoryStore::resumableBatch() const
{
    Resumable resumable;
    const QList<Batch> last = batches(QDateTime(), 1);
    if (last.isEmpty()
        || !(last.first().end == QLatin1String("closed") || last.first().end == QLatin1String("interrupted")
             || last.first().end == QLatin1String("stopped")))
        return resumable;
    for (const UnitRun &run : unitRuns(last.first().id)) {
        if (!runConfirmed(run))
            resumable.unconfirmed.append(run);
    }
    if (!resumable.unconfirmed.isEmpty())
        resumable.batch = last.first();
    return resumable;
}
