#include "fleetview.h"

#include "packages/packagecatalogue.h"
#include "units/marluneunit.h"
#include "update/pipelinestate.h"

#include <QRegularExpression>

RowKind rowKind(const MarluneUnit &unit, const StatusCell &cell, const PipelineState &pipeline,
                const PackageCatalogue &packages, const PipelineIndex &index)
{
    const QString &mac = unit.mac;
    // A unit of the batch is where the batch summary counts it, so that a click on a part of the
    // summary shows every unit that part counts.
    if (index.isInBatch(mac)) {
        switch (batchStanding(mac, pipeline, packages, index)) {
        case BatchStanding::Confirmed:
            return RowKind::Done;
        case BatchStanding::Queued:
        case BatchStanding::Waiting:
        case BatchStanding::Commanded:
        case BatchStanding::Fetching:
        case BatchStanding::Rebooting:
        case BatchStanding::Confirming:
            return RowKind::InProgress;
        case BatchStanding::Held:
        case BatchStanding::Overdue:
        case BatchStanding::Failed:
        case BatchStanding::NotJudged:
            return RowKind::Attention;
        case BatchStanding::TakenOut:
            break;
        }
    }
    const auto run = pipeline.runs.constFind(mac);
    const bool overdue =
        run != pipeline.runs.cend() && run->overdue != Overdue::None && (index.isCommanded(mac) || index.isQueued(mac));
    const auto waiting = pipeline.rollout.waiting.constFind(mac);
    const bool held = index.isQueued(mac) && waiting != pipeline.rollout.waiting.cend() && *waiting == WaitReason::Held;
    // A unit that did not answer its last command needs attention; the note after the list's text
    // leaves the text it starts with.
    const bool unanswered = pipeline.exchangeFailures.contains(mac);
    // Unreachable on TCP and not on its way to a reboot: nothing is known of it for sure.
    const bool reachable = pipeline.tcpAlive.value(unit.ip, false);
    if (overdue || held || unanswered || !cell.disableMarker.isEmpty() || (!reachable && !index.isCommanded(mac)))
        return RowKind::Attention;
    if (index.isQueued(mac) || index.isCommanded(mac) || index.isResettingEdid(mac))
        return RowKind::InProgress;
    if (const MarluneUnit *finished = index.lastFinished(mac))
        return finishedWell(*finished, pipeline, packages) ? RowKind::Done : RowKind::Attention;
    // Reachable, asking for nothing and offered nothing by any package: up to date.
    const auto offers = [&unit](const UpdatePackage *package) {
        StatusCell scratch;
        return placeUpdateBlurb(scratch, *package, unit);
    };
    const QList<const UpdatePackage *> compared = packages.packagesToCompare(unit);
    if (unit.updateStatus == 0 && std::none_of(compared.cbegin(), compared.cend(), offers))
        return RowKind::Done;
    return RowKind::Other;
}

bool filterShows(ViewFilter filter, RowKind kind)
{
    switch (filter) {
    case ViewFilter::All:
        return true;
    case ViewFilter::NeedsAttention:
        return kind == RowKind::Attention;
    case ViewFilter::InProgress:
        return kind == RowKind::InProgress;
    case ViewFilter::Done:
        return kind == RowKind::Done;
    }
    return true;
}

ViewFilter filterOfPart(SummaryPart::Kind kind)
{
    switch (kind) {
    case SummaryPart::Confirmed:
        return ViewFilter::Done;
    case SummaryPart::Trouble:
        return ViewFilter::NeedsAttention;
    case SummaryPart::Underway:
        return ViewFilter::InProgress;
    case SummaryPart::TakenOut:
        break;
    }
    return ViewFilter::All;
}

bool searchMatches(const QString &search, const QStringList &fields)
{
    const QStringList words = search.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const auto has = [&word](const QString &field) { return field.contains(word, Qt::CaseInsensitive); };
        if (std::none_of(fields.cbegin(), fields.cend(), has))
            return false;
    }
    return true;
}

bool packageOffersUpdate(const MarluneUnit &unit, const PackageCatalogue &packages)
{
    bool offered = false;
    for (const UpdatePackage *package : packages.packagesToCompare(unit)) {
        StatusCell cell;
        if (!placeUpdateBlurb(cell, *package, unit))
            continue;
        if (!cell.disableMarker.isEmpty())
            return false;
        offered = true;
    }
    return offered;
}

bool isUpToDate(const MarluneUnit &unit, const PackageCatalogue &packages)
{
    const QList<const UpdatePackage *> compared = packages.packagesToCompare(unit);
    if (compared.isEmpty() || unit.updateStatus != 0)
        return false;
    for (const UpdatePackage *package : compared) {
        StatusCell cell;
        if (placeUpdateBlurb(cell, *package, unit))
            return false;
    }
    return true;
}

SelectionVerdict selectionVerdict(const MarluneUnit &unit, const StatusCell &cell, const QDateTime &now)
{
    const QString warning = QStringLiteral("Warning.");
    if (cell.disableMarker == kDisableMarker) {
        const QString minimum = cell.minimumDate.trimmed();
        if (minimum.isEmpty())
            return {SelectionVerdict::CannotUpdate, QStringLiteral("Cannot update."),
                    QStringLiteral("Unit cannot be updated with this Updater.")};
        return {SelectionVerdict::TooOld, warning,
                QStringLiteral("Unit needs to first be updated to SW version ") + minimum
                    + QStringLiteral(" before running this update.")};
    }
    if (!unit.isOnline(now))
        return {SelectionVerdict::NotHeardFrom, warning,
                QStringLiteral("Updater is still establishing communication with ") + unit.name};
    return {};
}

QString selectionRefusal(const MarluneUnit &unit, const StatusCell &cell, const QDateTime &now)
{
    return selectionVerdict(unit, cell, now).text;
}

UpdateNeedVerdict updateNeedVerdict(const MarluneUnit &unit, const StatusCell &cell, const PackageCatalogue &packages,
                                    const QDateTime &now)
{
    if (!packageOffersUpdate(unit, packages) && cell.disableMarker != kDisableMarker)
        return {};
    const QString refusal = selectionRefusal(unit, cell, now);
    return {refusal.isEmpty() ? UpdateNeedVerdict::Select : UpdateNeedVerdict::Refuse, refusal};
}

bool isProblemLine(const QString &line)
{
    static const QRegularExpression problem(QStringLiteral(
        "Overdue|Warning|[Ff]ail|not applied|abandoned|[Dd]id not answer|Nothing sent|Rollout stopped|refused|"
        "broke off|not sent completely|Error|No image for|Cannot|cannot|out of file descriptors|"
        "changed on disk|NOT running|not saved|mismatched"));
    return problem.match(line).hasMatch();
}

QString addressInLine(const QString &line)
{
    static const QRegularExpression address(QStringLiteral("\\((\\d{1,3}(?:\\.\\d{1,3}){3})\\)"));
    const QRegularExpressionMatch match = address.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

QString answeredText(int listed, int withoutPackage)
{
    if (withoutPackage <= 0)
        return QString();
    return QStringLiteral("%1 units answered, %2 listed (%3 without a package)")
        .arg(listed + withoutPackage)
        .arg(listed)
        .arg(withoutPackage);
}
