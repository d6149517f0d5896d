#include "clicheck.h"

#include "app/cli/clioptions.h"
#include "app/cli/clirun.h"
#include "app/outputtext.h"
#include "update/fleetmodel.h"
#include "update/fleetview.h"
#include "update/updatercore.h"

#include <QJsonArray>
#include <QSet>

QList<int> matchingRows(const UpdaterCore &core, const UnitSelection &selection)
{
    const FleetModel &fleet = core.fleet();
    QList<int> rows;
    QSet<QString> seen;
    for (int row = 0; row < fleet.rowCount(); ++row) {
        const MarluneUnit *unit = fleet.unitAt(row);
        if (!unit || seen.contains(unit->mac)
            || !selection.matches(*unit, packageOffersUpdate(*unit, core.catalogue())))
            continue;
        seen.insert(unit->mac);
        rows.append(row);
    }
    return rows;
}

QString checkLine(const UnitPreflight &unit)
{
    QStringList texts;
    for (const PreflightReason &reason : unit.reasons)
        texts << reason.text;
    QString line = QStringLiteral("%1 (%2): %3").arg(unit.name, unit.ip, verdictKey(unit.verdict));
    if (!texts.isEmpty())
        line += QStringLiteral(" \u2014 ") + texts.join(QStringLiteral("; "));
    return line;
}

QJsonObject checkObject(const UnitPreflight &unit)
{
    QJsonArray reasons;
    for (const PreflightReason &reason : unit.reasons)
        reasons.append(QJsonObject{{QStringLiteral("code"), reasonKey(reason.code)},
                                   {QStringLiteral("severity"), verdictKey(reason.severity)},
                                   {QStringLiteral("text"), reason.text}});
    return {{QStringLiteral("mac"), unit.mac},
            {QStringLiteral("name"), unit.name},
            {QStringLiteral("ip"), unit.ip},
            {QStringLiteral("type"), unit.type},
            {QStringLiteral("verdict"), verdictKey(unit.verdict)},
            {QStringLiteral("reasons"), reasons}};
}

QString reasonsOf(const UnitPreflight &unit, PreflightVerdict severity)
{
    QStringList texts;
    for (const PreflightReason &reason : unit.reasons)
        if (reason.severity == severity)
            texts << reason.text;
    return texts.join(QStringLiteral("; "));
}

int checkExitCode(const QList<UnitPreflight> &results)
{
    const bool someFail = std::any_of(results.cbegin(), results.cend(),
                                      [](const UnitPreflight &unit) { return unit.verdict == PreflightVerdict::Fail; });
    return someFail ? kExitSomeFailed : kExitConfirmed;
}

QJsonObject checkSummaryObject(const QList<UnitPreflight> &results, bool stopped)
{
    QJsonObject summary{{QStringLiteral("event"), QStringLiteral("summary")},
                        {QStringLiteral("command"), QStringLiteral("check")},
                        {QStringLiteral("schema"), kJsonSchema},
                        {QStringLiteral("summary"), preflightSummary(results)},
                        {QStringLiteral("checked"), int(results.size())},
                        {QStringLiteral("stopped"), stopped},
                        {QStringLiteral("exitCode"), stopped ? int(kExitStopped) : checkExitCode(results)}};
    for (const PreflightVerdict verdict : {PreflightVerdict::Ok, PreflightVerdict::Warn, PreflightVerdict::Fail})
        summary.insert(verdictKey(verdict),
                       int(std::count_if(results.cbegin(), results.cend(),
                                         [verdict](const UnitPreflight &unit) { return unit.verdict == verdict; })));
    return summary;
}

// check: the selected units, each judged before anything is sent to any of them.
void CliRun::checkUnits()
{
    QStringList macs;
    for (const int row : matchingRows(core, options.selection))
        macs << core.fleet().unitAt(row)->mac;
    startPreflight(macs, [this] {
        const QList<UnitPreflight> &judged = preflight->results();
        const bool json = options.format == CliOptions::Format::Json;
        for (const UnitPreflight &unit : judged) {
            if (json) {
                QJsonObject object = checkObject(unit);
                object.insert(QStringLiteral("event"), QStringLiteral("check"));
                event(object, QString());
            } else {
                print(checkLine(unit));
            }
        }
        code = checkExitCode(judged);
        if (json)
            event(checkSummaryObject(judged, false), QString());
        else
            print(preflightSummary(judged));
        finish();
    });
}

// The selection, refused as the window refuses it: a unit its package cannot update, one too
// old for its package, and one the updater has not heard from lately. A unit already up to date
// is left out unless --reflash is given: updating it would only send it the same image again.
void CliRun::startUpdate()
{
    const FleetModel &fleet = core.fleet();
    const QDateTime now = QDateTime::currentDateTime();
    for (const int row : matchingRows(core, options.selection)) {
        const QString &mac = fleet.unitAt(row)->mac;
        const QString refusal = fleet.selectionVerdict(row, now).text;
        if (!refusal.isEmpty())
            refused.insert(mac, refusal);
        else
            selected.append(mac);
    }
    if (!options.reflash) {
        skipped = fleet.upToDate(selected);
        for (const QString &mac : std::as_const(skipped))
            selected.removeOne(mac);
    }
    checkSelection();
}

// update: the selection is checked before anything is sent. A unit the check fails is refused as
// the selection rules refuse one, with the check's reasons (--force commands it all the same);
// a warning is told, --quiet or not.
void CliRun::checkSelection()
{
    startPreflight(selected, [this] {
        for (const UnitPreflight &unit : preflight->results()) {
            const QString failed = reasonsOf(unit, PreflightVerdict::Fail);
            if (!failed.isEmpty() && !options.force) {
                selected.removeOne(unit.mac);
                refused.insert(unit.mac, failed);
                continue;
            }
            if (unit.verdict == PreflightVerdict::Ok)
                continue;
            QJsonObject object = checkObject(unit);
            object.insert(QStringLiteral("event"), QStringLiteral("check"));
            event(object, QString());
            if (!failed.isEmpty())
                say(QStringLiteral("%1 (%2): check failed, updating it anyway (--force): %3")
                        .arg(unit.name, unit.ip, failed));
            const QString warned = reasonsOf(unit, PreflightVerdict::Warn);
            if (!warned.isEmpty())
                say(QStringLiteral("%1 (%2): warning: %3").arg(unit.name, unit.ip, warned));
        }
        commandSelection();
    });
}

void CliRun::startPreflight(const QStringList &macs, const std::function<void()> &judged)
{
    preflight = new PreflightRun(core, macs, options.plan, this);
    preflight->setReportPath(options.reportPath);
    // A signal may have ended the run meanwhile.
    connect(preflight, &PreflightRun::finished, this, [this, judged] {
        if (!done)
            judged();
    });
    preflight->start();
}
