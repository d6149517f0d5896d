#include "unitstatus.h"

#include "net/localsubnets.h"
#include "net/marluneconnectreduced.h"
#include "packages/packagecatalogue.h"
#include "units/unitlookup.h"

namespace {

// Windowing processors older than this cannot be updated automatically.
const QDate kOldestAutomaticWp(2013, 1, 29);
constexpr int kFirewallWarningDelaySecs = 25;

// Every rule that applies replaces the cell outright: text, item data and colour.
StatusCell fresh(const QString &text)
{
    StatusCell cell;
    cell.text = text;
    return cell;
}

// The reachability and pending-update rules; false when the status is final and no package is
// compared.
bool statusBeforeComparison(StatusCell &cell, const MarluneUnit &u, const PipelineState &pipeline,
                            const PipelineIndex &index)
{
    cell = fresh(QStringLiteral("No update needed."));

    // Unreachable on TCP: nothing else is known for sure.
    if (!pipeline.tcpAlive.value(u.ip, false)) {
        cell = fresh(QStringLiteral("Status Unknown."));
        if (index.isCommanded(u.mac))
            cell = fresh(QStringLiteral("Unit is rebooting..."));
        return false;
    }

    // The unit reports an update waiting for confirmation.
    if (u.updateStatus != 0) {
        cell = fresh(QStringLiteral("Need to Confirm Update"));
        if (index.isQueued(u.mac))
            cell = fresh(QStringLiteral("Error!"));
        if (index.isCommanded(u.mac))
            cell = fresh(QStringLiteral("Confirming update"));
        return false;
    }

    if (u.isDvr() && u.fwversion == QLatin1String("0/0/0")) {
        cell = fresh(QStringLiteral("Cannot update. This DVR uses original updater."));
        cell.colour = CellColour::Red;
        cell.disableMarker = kDisableMarker;
    }
    return true;
}

// The rules of the pipeline states, after the package comparison.
void statusAfterComparison(StatusCell &cell, const MarluneUnit &u, const PipelineState &pipeline,
                           const PackageCatalogue &packages, const PipelineIndex &index, int *testsWanted)
{
    if (index.isQueued(u.mac)) {
        cell = fresh(QStringLiteral("Queued for Update"));
        // A rollout plan holds some queued units back; the cell says why.
        const auto reason = pipeline.rollout.waiting.constFind(u.mac);
        if (reason != pipeline.rollout.waiting.cend())
            cell = fresh(waitingText(*reason, pipeline.rollout));
    }
    if (index.isResettingEdid(u.mac))
        cell = fresh(QStringLiteral("Resetting EDID."));
    if (testsWanted)
        *testsWanted += int(pipeline.vUnitsConfirm.size());
    if (index.isCommanded(u.mac))
        cell = fresh(QStringLiteral("Waiting for reboot"));
    // Of several finished entries, the last one tells.
    if (const MarluneUnit *f = index.lastFinished(u.mac)) {
        if (packages.hasAddOnFor(*f)) {
            cell = fresh(QStringLiteral("Add-on sent."));
            return;
        }
        cell = fresh(QStringLiteral("Update completed with mismatched dates."));
        if (packages.unitMatchesPackage(*f)) {
            const QString confirmed = confirmationText(*f, pipeline.edidAttempts.value(u.ip, 0) > 2);
            if (!confirmed.isEmpty())
                cell = fresh(confirmed);
        }
    }
}

// A commanded unit's transfer and deadlines, over the pipeline texts: the overdue mark first,
// then a running transfer, then one that broke off and was not fetched again.
void showRun(StatusCell &cell, const MarluneUnit &u, const PipelineState &pipeline, const PipelineIndex &index)
{
    // A unit fetches while its command exchange is still under way, before it leaves the queue.
    const auto run = pipeline.runs.constFind(u.mac);
    if (run == pipeline.runs.cend() || !(index.isCommanded(u.mac) || index.isQueued(u.mac)))
        return;
    StatusCell shown;
    if (run->overdue != Overdue::None) {
        shown = fresh(overdueText(run->overdue, pipeline.deadlines));
        shown.colour = CellColour::Orange;
    } else if (run->fetching) {
        shown = fresh(QStringLiteral("Fetching image %1%").arg(run->percentServed()));
        shown.progress = run->percentServed();
    } else if (run->brokeOffPercent >= 0) {
        shown = fresh(QStringLiteral("Image transfer broke off at %1%").arg(run->brokeOffPercent));
    } else {
        return;
    }
    shown.noWebVersion = cell.noWebVersion;
    shown.belowMinimum = cell.belowMinimum;
    cell = shown;
}

// A failed command exchange, beside the text of where the unit stands; an overdue mark or a
// running transfer stands alone, as it says more.
void showExchangeFailure(StatusCell &cell, const MarluneUnit &u, const PipelineState &pipeline)
{
    const auto note = pipeline.exchangeFailures.constFind(u.mac);
    if (note == pipeline.exchangeFailures.cend() || cell.colour == CellColour::Orange || cell.progress >= 0)
        return;
    cell.text += QStringLiteral(" \u00b7 ") + *note;
}

// The units a rollout plan holds back: "20 waiting (8 at a time)", "5 held".
void addRolloutParts(QList<SummaryPart> &parts, const RolloutProgress &rollout, const BatchCounts &counts)
{
    if (counts.waiting > 0) {
        QStringList why;
        const auto isCanary = [](WaitReason reason) { return reason == WaitReason::Canary; };
        if (std::any_of(rollout.waiting.cbegin(), rollout.waiting.cend(), isCanary))
            why << QStringLiteral("canary");
        if (rollout.plan.maxInFlight > 0)
            why << QStringLiteral("%1 at a time").arg(rollout.plan.maxInFlight);
        QString part = QStringLiteral("%1 waiting").arg(counts.waiting);
        if (!why.isEmpty())
            part += QStringLiteral(" (") + why.join(QStringLiteral(", ")) + QLatin1Char(')');
        parts.append({part, SummaryPart::Underway});
    }
    if (counts.held > 0)
        parts.append({QStringLiteral("%1 held").arg(counts.held), SummaryPart::Trouble});
}

StatusCell pipelineStatus(const MarluneUnit &u, const PipelineState &pipeline, const PackageCatalogue &packages,
                          const PipelineIndex &index, int *testsWanted)
{
    if (testsWanted)
        *testsWanted = 0;
    StatusCell cell;
    if (!statusBeforeComparison(cell, u, pipeline, index))
        return cell;
    bool noWebVersion = false;
    bool belowMinimum = false;
    for (const UpdatePackage *package : packages.packagesToCompare(u)) {
        if (placeUpdateBlurb(cell, *package, u)) {
            noWebVersion = noWebVersion || cell.noWebVersion;
            belowMinimum = belowMinimum || cell.belowMinimum;
        }
    }
    statusAfterComparison(cell, u, pipeline, packages, index, testsWanted);
    cell.noWebVersion = noWebVersion;
    cell.belowMinimum = belowMinimum;
    return cell;
}

} // namespace

bool placeUpdateBlurb(StatusCell &cell, const UpdatePackage &package, const MarluneUnit &unit)
{
    const QDate swDate = unit.swDate();
    const QDate webDate = unit.webDate();
    if (!(swDate < package.swVer.date()) && !(webDate < package.webVer.date()) && package.addOn.isEmpty())
        return false;

    cell = fresh(package.addOn.isEmpty() ? QStringLiteral("Update Available") : package.addOn);
    cell.noWebVersion = !webDate.isValid();

    const QDate minimum = package.minSwVer.date();
    if (swDate < minimum || (webDate.isValid() && webDate < minimum)) {
        const QString minimumText = minimum.toString(QStringLiteral("MM/dd/yyyy"));
        const bool noWebVersion = cell.noWebVersion;
        cell = fresh(QStringLiteral("Cannot update. Min SW is ") + minimumText);
        cell.colour = CellColour::DarkYellow;
        cell.disableMarker = kDisableMarker;
        cell.minimumDate = minimumText;
        cell.noWebVersion = noWebVersion;
        cell.belowMinimum = true;
    }
    return true;
}

QString confirmationText(const MarluneUnit &f, bool edidGivenUp)
{
    const QString suffix = edidGivenUp ? QStringLiteral(" EDID Reset Failed.") : QString();
    QString text;
    if (f.isWpc())
        text = QStringLiteral("WPC Update Confirmed.");
    if (f.isVod())
        text = QStringLiteral("VOD Update Confirmed.");
    if (f.isGen3())
        text = QStringLiteral("K330 Update Confirmed.") + suffix;
    if (f.isAtr() && !f.isK4Audio())
        text = QStringLiteral("ATR Update Confirmed.");
    if (f.isK4Audio())
        text = QStringLiteral("K4 Update Confirmed.");
    if (f.isKSeries())
        text = QStringLiteral("K-Series Update Confirmed.") + suffix;
    if (f.isWp())
        text = QStringLiteral("WP Update Confirmed.");
    if (f.isDvr())
        text = QStringLiteral("DVR Update Confirmed.");
    return text;
}

PipelineIndex::PipelineIndex(const PipelineState &pipeline)
{
    for (const MarluneUnit &unit : pipeline.vUnitsUpdate)
        queued.insert(unit.mac);
    for (const MarluneUnit &unit : pipeline.vUnitsConfirm)
        commanded.insert(unit.mac);
    for (const MarluneUnit &unit : pipeline.vUnitsEDID)
        resettingEdid.insert(unit.mac);
    inBatch = QSet<QString>(pipeline.batch.cbegin(), pipeline.batch.cend());
    for (const MarluneUnit &unit : pipeline.vUnitsFinished)
        finished.insert(unit.mac, &unit);
    for (const MarluneUnit &unit : pipeline.vUnits)
        if (!listed.contains(unit.mac))
            listed.insert(unit.mac, &unit);
}

PipelineIndex::PipelineIndex(const PipelineState &pipeline, const QSet<QString> &only)
{
    const auto wanted = [&only](const MarluneUnit &unit) { return only.contains(unit.mac); };
    for (const MarluneUnit &unit : pipeline.vUnitsUpdate)
        if (wanted(unit))
            queued.insert(unit.mac);
    for (const MarluneUnit &unit : pipeline.vUnitsConfirm)
        if (wanted(unit))
            commanded.insert(unit.mac);
    for (const MarluneUnit &unit : pipeline.vUnitsEDID)
        if (wanted(unit))
            resettingEdid.insert(unit.mac);
    for (const QString &mac : pipeline.batch)
        if (only.contains(mac))
            inBatch.insert(mac);
    for (const MarluneUnit &unit : pipeline.vUnitsFinished)
        if (wanted(unit))
            finished.insert(unit.mac, &unit);
    for (const MarluneUnit &unit : pipeline.vUnits)
        if (wanted(unit) && !listed.contains(unit.mac))
            listed.insert(unit.mac, &unit);
}

StatusCell unitStatus(const MarluneUnit &u, const PipelineState &pipeline, const PackageCatalogue &packages,
                      int *testsWanted)
{
    return unitStatus(u, pipeline, packages, PipelineIndex(pipeline), testsWanted);
}

StatusCell unitStatus(const MarluneUnit &u, const PipelineState &pipeline, const PackageCatalogue &packages,
                      const PipelineIndex &index, int *testsWanted)
{
    StatusCell cell = pipelineStatus(u, pipeline, packages, index, testsWanted);
    showRun(cell, u, pipeline, index);
    showExchangeFailure(cell, u, pipeline);
    return cell;
}

bool finishedWell(const MarluneUnit &finished, const PipelineState &pipeline, const PackageCatalogue &packages)
{
    if (packages.hasAddOnFor(finished))
        return true;
    return packages.unitMatchesPackage(finished) && pipeline.edidAttempts.value(finished.ip, 0) <= 2;
}

FinishVerdict finishVerdict(const MarluneUnit &finished, const PipelineState &pipeline,
                            const PackageCatalogue &packages)
{
    if (finishedWell(finished, pipeline, packages))
        return FinishVerdict::Confirmed;
    // An EDID reset given up happened after the verdict, in this batch: a failure either way.
    const bool edidGivenUp = pipeline.edidAttempts.value(finished.ip, 0) > 2;
    const auto run = pipeline.runs.constFind(finished.mac);
    if (!edidGivenUp && run != pipeline.runs.cend() && run->judgedOnEarlierReboot)
        return FinishVerdict::NotJudged;
    return FinishVerdict::Failed;
}

BatchStanding batchStanding(const QString &mac, const PipelineState &pipeline, const PackageCatalogue &packages,
                            const PipelineIndex &index)
{
    const auto run = pipeline.runs.constFind(mac);
    const bool hasRun = run != pipeline.runs.cend();
    const bool begun = hasRun && run->commandedMs >= 0;
    if (index.isResettingEdid(mac))
        return BatchStanding::Confirming;
    if (index.isCommanded(mac) || (index.isQueued(mac) && begun)) {
        if (!hasRun)
            return BatchStanding::Commanded;
        const MarluneUnit *listed = index.firstListed(mac);
        const bool back = listed && pipeline.tcpAlive.value(listed->ip, false);
        if (run->overdue != Overdue::None)
            return BatchStanding::Overdue;
        if (run->fetching)
            return BatchStanding::Fetching;
        if (run->rebootSeenMs >= 0 && back)
            return BatchStanding::Confirming;
        if (run->rebootSeenMs >= 0 || run->fetchedMs >= 0)
            return BatchStanding::Rebooting;
        return BatchStanding::Commanded;
    }
    if (index.isQueued(mac)) {
        const auto waiting = pipeline.rollout.waiting.constFind(mac);
        if (waiting == pipeline.rollout.waiting.cend())
            return BatchStanding::Queued;
        return *waiting == WaitReason::Held ? BatchStanding::Held : BatchStanding::Waiting;
    }
    if (const MarluneUnit *finished = index.lastFinished(mac)) {
        switch (finishVerdict(*finished, pipeline, packages)) {
        case FinishVerdict::Confirmed:
            return BatchStanding::Confirmed;
        case FinishVerdict::Failed:
            return BatchStanding::Failed;
        case FinishVerdict::NotJudged:
            return BatchStanding::NotJudged;
        }
    }
    return BatchStanding::TakenOut;
}

BatchCounts batchCounts(const PipelineState &pipeline, const PackageCatalogue &packages)
{
    BatchCounts counts;
    counts.total = int(pipeline.batch.size());
    const PipelineIndex index(pipeline);
    for (const QString &mac : pipeline.batch) {
        switch (batchStanding(mac, pipeline, packages, index)) {
        case BatchStanding::Queued:
            ++counts.queued;
            break;
        case BatchStanding::Waiting:
            ++counts.waiting;
            break;
        case BatchStanding::Held:
            ++counts.held;
            break;
        case BatchStanding::Commanded:
            ++counts.commanded;
            break;
        case BatchStanding::Fetching:
            ++counts.fetching;
            break;
        case BatchStanding::Rebooting:
            ++counts.rebooting;
            break;
        case BatchStanding::Confirming:
            ++counts.confirming;
            break;
        case BatchStanding::Confirmed:
            ++counts.confirmed;
            break;
        case BatchStanding::Overdue:
            ++counts.overdue;
            break;
        case BatchStanding::Failed:
            ++counts.failed;
            break;
        case BatchStanding::NotJudged:
            ++counts.notJudged;
            break;
        case BatchStanding::TakenOut:
            ++counts.takenOut;
            break;
        }
    }
    return counts;
}

QString batchSummary(const PipelineState &pipeline, const PackageCatalogue &packages)
{
    return pipeline.batch.isEmpty() ? QString() : batchSummary(pipeline, batchCounts(pipeline, packages));
}

QList<SummaryPart> batchSummaryParts(const PipelineState &pipeline, const BatchCounts &counts)
{
    if (pipeline.batch.isEmpty())
        return {};
    QList<SummaryPart> parts{
        {QStringLiteral("Batch: %1 of %2 confirmed").arg(counts.confirmed).arg(counts.total), SummaryPart::Confirmed}};
    const struct
    {
        int count;
        const char *name;
        SummaryPart::Kind kind;
    } counted[] = {{counts.queued, "queued", SummaryPart::Underway},         {counts.commanded, "commanded", SummaryPart::Underway},
                   {counts.fetching, "fetching", SummaryPart::Underway},     {counts.rebooting, "rebooting", SummaryPart::Underway},
                   {counts.confirming, "confirming", SummaryPart::Underway}, {counts.overdue, "overdue", SummaryPart::Trouble},
                   {counts.failed, "failed", SummaryPart::Trouble},          {counts.notJudged, "not judged", SummaryPart::Trouble}};
    for (const auto &part : counted) {
        if (part.count > 0)
            parts.append({QString::number(part.count) + QLatin1Char(' ') + QLatin1String(part.name), part.kind});
    }
    addRolloutParts(parts, pipeline.rollout, counts);
    if (counts.takenOut > 0)
        parts.append({QStringLiteral("%1 taken out").arg(counts.takenOut), SummaryPart::TakenOut});
    return parts;
}

QString batchSummary(const PipelineState &pipeline, const BatchCounts &counts)
{
    QStringList texts;
    for (const SummaryPart &part : batchSummaryParts(pipeline, counts))
        texts.append(part.text);
    return texts.join(kSummarySeparator);
}

DeadlineWait deadlineWait(const PipelineState &pipeline, const QDateTime &now)
{
    DeadlineWait wait;
    const PipelineIndex index(pipeline);
    for (const QString &mac : pipeline.batch) {
        const auto run = pipeline.runs.constFind(mac);
        // A unit taking its image moves, whatever step it is in.
        if (run == pipeline.runs.cend() || !index.isCommanded(mac) || index.isResettingEdid(mac)
            || run->overdue != Overdue::None || run->fetching)
            continue;
        const DeadlineStep step = run->deadlineStep(pipeline.deadlines);
        if (!step.isValid())
            continue;
        const bool unanswered = run->fetchedMs < 0 && run->rebootSeenMs < 0
                                && (run->commandUnread || pipeline.exchangeFailures.contains(mac));
        if (!unanswered && step.began.secsTo(now) < step.secs / 3)
            continue;
        ++wait.units;
        wait.longestSecs = qMax(wait.longestSecs, qMax<qint64>(0, now.secsTo(step.due())));
    }
    return wait;
}

namespace {

// When the last unit of the batch that no longer moves reached its end: its verdict, or the
// deadline it went overdue at. Invalid when none did.
QDateTime lastUnitEnded(const PipelineState &pipeline)
{
    QDateTime last;
    for (const QString &mac : pipeline.batch) {
        const auto run = pipeline.runs.constFind(mac);
        if (run == pipeline.runs.cend())
            continue;
        QDateTime ended = run->confirmed;
        if (run->overdue != Overdue::None)
            ended = run->deadlineStep(pipeline.deadlines).due();
        if (ended.isValid() && (!last.isValid() || last < ended))
            last = ended;
    }
    return last;
}

QString elapsedText(qint64 secs)
{
    return QStringLiteral("%1:%2 elapsed").arg(secs / 60).arg(secs % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString batchTiming(const PipelineState &pipeline, const BatchCounts &counts, const QDateTime &now)
{
    if (pipeline.batch.isEmpty() || !pipeline.batchStarted.isValid())
        return QString();
    const DeadlineWait waiting = deadlineWait(pipeline, now);
    const int moving = counts.queued + counts.waiting + counts.commanded + counts.fetching + counts.rebooting
                       + counts.confirming - waiting.units;
    if (moving <= 0 && waiting.units == 0) {
        const QDateTime ended = lastUnitEnded(pipeline);
        if (ended.isValid() && ended < now)
            return elapsedText(qMax<qint64>(0, pipeline.batchStarted.secsTo(ended)))
                   + QStringLiteral(", no unit moving");
    }
    const qint64 elapsed = qMax<qint64>(0, pipeline.batchStarted.secsTo(now));
    QString timing = elapsedText(elapsed);
    // The pace comes from the units that moved through their steps to a verdict: one that went
    // overdue, was held or taken out says nothing of how fast the others move. An estimate only
    // once a few units have ended.
    const int ended = counts.confirmed + counts.failed + counts.notJudged;
    if (ended >= kUnitsBeforeEstimate && moving > 0) {
        const qint64 leftSecs = elapsed * moving / ended;
        timing += leftSecs < 60 ? QStringLiteral(", under a minute left")
                                : QStringLiteral(", about %1 min left").arg((leftSecs + 59) / 60);
    }
    if (waiting.units > 0) {
        timing += (waiting.units == 1 ? QStringLiteral("; 1 unit waits for its deadline")
                                      : QStringLiteral("; %1 units wait for their deadline").arg(waiting.units))
                  + QStringLiteral(", up to %1 min").arg(qMax<qint64>(1, (waiting.longestSecs + 59) / 60));
    }
    return timing;
}

CellColour rowColour(const QString &mac, const PipelineState &pipeline)
{
    return rowColour(mac, PipelineIndex(pipeline));
}

CellColour rowColour(const QString &mac, const PipelineIndex &index)
{
    CellColour colour = CellColour::Default;
    if (index.isQueued(mac))
        colour = CellColour::Yellow;
    if (index.isCommanded(mac))
        colour = CellColour::Red;
    if (index.isResettingEdid(mac))
        colour = CellColour::Magenta;
    if (index.lastFinished(mac)) {
        const MarluneUnit *listed = index.firstListed(mac);
        const quint32 updateStatus = listed ? listed->updateStatus : 0;
        colour = updateStatus == 0 ? CellColour::Green : CellColour::Yellow;
    }
    return colour;
}

TableWarnings warningsDue(const PipelineState &pipeline, const QList<QHostAddress> &localAddresses,
                          const QDateTime &now)
{
    TableWarnings due;
    LocalSubnets local(localAddresses);
    due.firewall = !pipeline.firewallWarned && !pipeline.vUnits.isEmpty() && pipeline.serverContacted
                   && pipeline.updateCommanded && !pipeline.fileServed
                   && pipeline.lastUpdateCommandTime.addSecs(kFirewallWarningDelaySecs) < now;
    for (const MarluneUnit &unit : pipeline.vUnits) {
        if (!pipeline.subnetWarned && !due.outsideSubnet
            && !local.reach(unit))
            due.outsideSubnet = unit;
        if (!pipeline.manualUpdateWarned && unit.isWp() && unit.swDate() < kOldestAutomaticWp && unit.isOnline(now))
            due.tooOld = unit;
    }
    return due;
}
