#include "rollout.h"

#include <QRegularExpression>

#include <limits>

QString RolloutPlan::text() const
{
    QStringList parts;
    if (canary > 0)
        parts << QStringLiteral("canary %1").arg(canary);
    if (maxInFlight > 0)
        parts << QStringLiteral("%1 at a time").arg(maxInFlight);
    if (stopAfterFailures > 0)
        parts << QStringLiteral("stop after ") + failedUnitsText(stopAfterFailures);
    return parts.join(QStringLiteral(" \u00b7 "));
}

RolloutPlan RolloutPlan::fromText(const QString &text)
{
    RolloutPlan plan;
    static const QRegularExpression canaryPart(QStringLiteral("^canary (\\d{1,6})$"));
    static const QRegularExpression capPart(QStringLiteral("^(\\d{1,6}) at a time$"));
    static const QRegularExpression stopPart(QStringLiteral("^stop after (\\d{1,6}) failed units?$"));
    for (const QString &part : text.split(QStringLiteral(" \u00b7 "), Qt::SkipEmptyParts)) {
        if (const auto match = canaryPart.match(part); match.hasMatch())
            plan.canary = match.captured(1).toInt();
        else if (const auto cap = capPart.match(part); cap.hasMatch())
            plan.maxInFlight = cap.captured(1).toInt();
        else if (const auto stop = stopPart.match(part); stop.hasMatch())
            plan.stopAfterFailures = stop.captured(1).toInt();
    }
    return plan;
}

QString failedUnitsText(int failures)
{
    return failures == 1 ? QStringLiteral("1 failed unit") : QStringLiteral("%1 failed units").arg(failures);
}

QString waitingText(WaitReason reason, const RolloutProgress &progress)
{
    switch (reason) {
    case WaitReason::Canary:
        return QStringLiteral("Waiting (canary)");
    case WaitReason::Cap:
        return QStringLiteral("Waiting: %1 in flight").arg(progress.inFlight);
    case WaitReason::Held:
        return QStringLiteral("Held: rollout stopped after ") + failedUnitsText(progress.haltFailures);
    }
    return QString();
}

RolloutDecision decideRollout(const RolloutProgress &progress, const QList<RolloutUnit> &units)
{
    RolloutDecision decision;
    const RolloutPlan &plan = progress.plan;
    decision.canaries = progress.canaries;
    if (!progress.canariesChosen) {
        for (const RolloutUnit &unit : units) {
            if (decision.canaries.size() >= plan.canary)
                break;
            if (unit.step != RolloutStep::Out)
                decision.canaries.append(unit.mac);
        }
    }
    const QSet<QString> canaries(decision.canaries.cbegin(), decision.canaries.cend());

    bool canaryFailed = false;
    bool canaryPending = false;
    bool anyWaiting = false;
    for (const RolloutUnit &unit : units) {
        const bool canary = canaries.contains(unit.mac);
        switch (unit.step) {
        case RolloutStep::Failed:
            if (!progress.forgiven.contains(unit.mac)) {
                ++decision.failures;
                canaryFailed = canaryFailed || canary;
            }
            break;
        case RolloutStep::InFlight:
            ++decision.inFlight;
            canaryPending = canaryPending || canary;
            break;
        case RolloutStep::Waiting:
            anyWaiting = true;
            canaryPending = canaryPending || canary;
            break;
        case RolloutStep::Confirmed:
        case RolloutStep::Out:
            break;
        }
    }

    const bool thresholdReached = plan.stopAfterFailures > 0 && decision.failures >= plan.stopAfterFailures;
    decision.halted = progress.halted || (anyWaiting && (canaryFailed || thresholdReached));
    int room = plan.maxInFlight > 0 ? qMax(0, plan.maxInFlight - decision.inFlight) : std::numeric_limits<int>::max();
    for (const RolloutUnit &unit : units) {
        if (unit.step != RolloutStep::Waiting)
            continue;
        if (decision.halted) {
            decision.waiting.insert(unit.mac, WaitReason::Held);
        } else if (canaryPending && !canaries.contains(unit.mac)) {
            decision.waiting.insert(unit.mac, WaitReason::Canary);
        } else if (room > 0) {
            decision.command.append(unit.mac);
            --room;
            ++decision.inFlight;
        } else {
            decision.waiting.insert(unit.mac, WaitReason::Cap);
        }
    }
    return decision;
}

void resumeRollout(RolloutProgress &progress, const QList<RolloutUnit> &units)
{
    progress.halted = false;
    progress.haltFailures = 0;
    for (const RolloutUnit &unit : units) {
        if (unit.step == RolloutStep::Failed)
            progress.forgiven.insert(unit.mac);
    }
}
