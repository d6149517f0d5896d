// update --resume: picks up the last batch of the history where it was cut short.
#include "clirun.h"

#include "app/outputtext.h"
#include "update/batchresume.h"
#include "update/updatercore.h"

#include <QJsonObject>
#include <QTimer>

namespace {

// "queued", "adopted", ...: what the tool calls each verdict.
QString verdictName(ResumeVerdict verdict)
{
    switch (verdict) {
    case ResumeVerdict::Queue:
        return QStringLiteral("queued");
    case ResumeVerdict::Adopt:
    case ResumeVerdict::Pending:
        return QStringLiteral("adopted");
    case ResumeVerdict::Confirmed:
        return QStringLiteral("skipped");
    case ResumeVerdict::NotListed:
        return QStringLiteral("not listed");
    }
    return QString();
}

} // namespace

// One unit of the batch picked up: what is done (or, without --yes, would be done) with it; a unit
// taken into the new batch is followed.
void CliRun::tellResumed(qint64 resumes, const ResumedUnit &unit)
{
    const QString line = QStringLiteral("%1 (%2): %3 \u2014 %4 (last step: %5)")
                             .arg(unit.name, unit.ip, verdictName(unit.verdict), resumeVerdictText(unit.verdict),
                                  unit.lastStep.isEmpty() ? QStringLiteral("none") : unit.lastStep);
    event(QJsonObject{{QStringLiteral("event"), QStringLiteral("resume")},
                      {QStringLiteral("mac"), unit.mac},
                      {QStringLiteral("name"), unit.name},
                      {QStringLiteral("ip"), unit.ip},
                      {QStringLiteral("resumes"), resumes},
                      {QStringLiteral("lastStep"), unit.lastStep},
                      {QStringLiteral("verdict"), verdictName(unit.verdict)},
                      {QStringLiteral("reason"), resumeVerdictText(unit.verdict)},
                      {QStringLiteral("dryRun"), !options.yes}},
          options.yes ? line : QString());
    // A dry run's answer is its result, a line each on stdout.
    if (!options.yes && options.format != CliOptions::Format::Json) {
        const QByteArray bytes = (escapedControls(QStringLiteral("Would resume: ") + line) + u'\n').toUtf8();
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out) != size_t(bytes.size())
            || std::fflush(out) != 0)
            lostOutput();
    }
    if (resumedInBatch(unit.verdict))
        selected.append(unit.mac);
}

// Waits until the history was read; then says what picking up its last batch does (or, without
// --yes, would do) to each unit, and follows the units taken into the new batch to their ends as
// update does.
void CliRun::startResume()
{
    if (!core.lastBatchKnown()) {
        connect(&core, &UpdaterCore::resumableChanged, this, &CliRun::startResume, Qt::SingleShotConnection);
        return;
    }
    if (done)
        return;
    if (options.yes) {
        core.setResetEdid(options.resetEdid);
        core.setRolloutPlan(RolloutPlan());
    }
    const ResumeOutcome outcome = options.yes ? core.resumeLastBatch() : core.resumePreview();
    const bool json = options.format == CliOptions::Format::Json;
    if (outcome.resumes == 0 || !outcome.refusal.isEmpty()) {
        const QString text = outcome.resumes == 0 ? QStringLiteral("No batch to resume.") : outcome.refusal;
        if (json)
            event(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                              {QStringLiteral("command"), QStringLiteral("update")},
                              {QStringLiteral("schema"), kJsonSchema},
                              {QStringLiteral("resumes"), QJsonValue()},
                              {QStringLiteral("exitCode"), int(kExitConfirmed)}},
                  QString());
        note(text);
        code = kExitConfirmed;
        finish();
        return;
    }
    note(QStringLiteral("Batch %1 ended %2 with %3 of %4 units not confirmed.")
             .arg(outcome.resumes)
             .arg(outcome.end)
             .arg(outcome.units.size())
             .arg(outcome.batchUnits));
    for (const ResumedUnit &unit : outcome.units)
        tellResumed(outcome.resumes, unit);
    selectedSet = QSet<QString>(selected.cbegin(), selected.cend());
    if (!options.yes || selected.isEmpty()) {
        note(options.yes
                 ? QStringLiteral("Nothing to resume: no unit of batch %1 needs its update.").arg(outcome.resumes)
                 : QStringLiteral("%1 units would be resumed; add --yes to resume them.").arg(selected.size()));
        if (json)
            event(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                              {QStringLiteral("command"), QStringLiteral("update")},
                              {QStringLiteral("schema"), kJsonSchema},
                              {QStringLiteral("resumes"), outcome.resumes},
                              {QStringLiteral("dryRun"), !options.yes},
                              {QStringLiteral("selected"), int(selected.size())},
                              {QStringLiteral("exitCode"), int(kExitConfirmed)}},
                  QString());
        code = kExitConfirmed;
        // The new batch of units that needed nothing is over at once.
        if (options.yes)
            core.batchOver();
        finish();
        return;
    }
    following = true;
    batch = outcome.batch;
    note(QStringLiteral("Do not power down equipment during update! Doing so may render it inoperable."));
    note(QStringLiteral("Resuming batch %1: %2 units.").arg(outcome.resumes).arg(selected.size()));
    if (interactive && !quiet) {
        barTimer = new QTimer(this);
        connect(barTimer, &QTimer::timeout, this, &CliRun::drawBar);
        barTimer->start(1000);
    }
    endIfAllEnded();
}
