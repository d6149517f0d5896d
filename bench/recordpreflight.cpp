#include "recordpreflight.h"

#include "recordwire.h"
#include "update/preflight.h"
#include "update/updatercore.h"

namespace recordcheck {

void PredictionTally::add(const PredictionTally &other)
{
    failFailed += other.failFailed;
    failSucceeded += other.failSucceeded;
    okFailed += other.okFailed;
    okFailedListed += other.okFailedListed;
}

QString PredictionTally::counts() const
{
    return QStringLiteral("predicted-fail-failed %1  predicted-fail-succeeded %2  predicted-ok-failed %3 "
                          "(for a reason the check looks for: %4)")
        .arg(failFailed)
        .arg(failSucceeded)
        .arg(okFailed)
        .arg(okFailedListed);
}

bool predict(UpdaterCore &core, const QStringList &macs, Prediction *prediction)
{
    PreflightRun run(core, macs, RolloutPlan());
    run.start();
    if (!waitFor([&] { return run.isFinished(); }, 60000))
        return false;
    for (const UnitPreflight &unit : run.results()) {
        prediction->verdicts.insert(unit.mac, verdictKey(unit.verdict));
        QStringList keys;
        for (const PreflightReason &reason : unit.reasons)
            keys << reasonKey(reason.code);
        prediction->reasons.insert(unit.mac, keys);
    }
    return true;
}

namespace {

// The unit's run in the last batch of the reading, if the history has one.
const RunRecord *lastRun(const QList<Account> &reading, const QString &mac)
{
    if (reading.isEmpty())
        return nullptr;
    for (const RunRecord &run : reading.last().runs)
        if (run.mac == mac)
            return &run;
    return nullptr;
}

// Why a unit that was not confirmed was not, as its account tells it, and whether that is
// something the check looks for (its command port, its subnet, the image, this computer).
std::pair<QString, bool> failureOf(const RunRecord *run, const QString &end)
{
    if (!run)
        return {QStringLiteral("no run recorded"), false};
    QString why = run->step.isEmpty() ? QStringLiteral("not commanded") : run->step;
    if (run->overdue && run->step != QLatin1String("overdue"))
        why += QStringLiteral(", overdue");
    if (!run->finalStatus.isEmpty())
        why += QStringLiteral(" (") + run->finalStatus + QLatin1Char(')');
    const bool cut = end != QLatin1String("completed");
    if (cut && !run->overdue)
        return {QStringLiteral("its batch ended ") + end + QStringLiteral(" at: ") + why, false};
    // A unit that did not answer its command, at once or until its deadline, failed on its command
    // port; a refused one on what the selection rules or the check refused it for.
    const bool listed = run->step == QLatin1String("command unanswered") || run->step == QLatin1String("refused")
                        || run->finalStatus.contains(QLatin1String("did not answer the update command"));
    return {why, listed};
}

} // namespace

PredictionTally scorePrediction(const Prediction &prediction, const Simulator &sim,
                                const QHash<QString, QString> &unitOfMac, const QList<Account> &lastReading,
                                const QString &end)
{
    PredictionTally tally;
    for (auto it = prediction.verdicts.cbegin(); it != prediction.verdicts.cend(); ++it) {
        const QString unit = unitOfMac.value(it.key());
        const bool succeeded = !sim.of(unit, QStringLiteral("CONFIRMED"), 0, kNever).isEmpty();
        const bool predictedFail = it.value() == QLatin1String("fail");
        const QString said = it.value() + QStringLiteral(" [") + prediction.reasons.value(it.key()).join(QLatin1Char(','))
                             + QLatin1Char(']');
        if (predictedFail && succeeded) {
            ++tally.failSucceeded;
            tally.lines << unit + QStringLiteral(": predicted ") + said + QStringLiteral(", confirmed");
        } else if (predictedFail) {
            ++tally.failFailed;
        } else if (!succeeded) {
            const auto [why, listed] = failureOf(lastRun(lastReading, it.key()), end);
            ++tally.okFailed;
            tally.okFailedListed += listed ? 1 : 0;
            tally.lines << unit + QStringLiteral(": predicted ") + said + QStringLiteral(", not confirmed: ") + why;
        }
    }
    tally.lines.sort();
    return tally;
}

} // namespace recordcheck
