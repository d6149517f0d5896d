#include "clirun.h"

#include "adding/addressrange.h"
#include "adding/rangeprobe.h"
#include "app/cli/clicheck.h"
#include "app/debuglog.h"
#include "app/outputtext.h"
#include "app/updatersettings.h"
#include "net/marluneconnectreduced.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/fleetmodel.h"
#include "update/fleetview.h"
#include "update/unitevent.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"
#include "update/updatercore.h"
#include "update/updatereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <unistd.h>

static const char kLogSource[] = "cli";

namespace {

constexpr int kFirstListMs = UpdaterCore::kRefreshIntervalMs + 1000;
// While the answers of a quiet fleet are merged over several event-loop turns, how often the list
// looks whether they all are.
constexpr int kMergeCheckMs = 100;
constexpr int kBarRedrawMs = 1000;

const QString kConfirmed = QStringLiteral("confirmed");
const QString kFailed = QStringLiteral("failed");
const QString kOverdue = QStringLiteral("overdue");
const QString kNotCommanded = QStringLiteral("not commanded");
const QString kRefused = QStringLiteral("refused");
const QString kHeld = QStringLiteral("held");
const QString kInterrupted = QStringLiteral("interrupted");
const QString kUpToDate = QStringLiteral("up to date");

QJsonValue jsonNow()
{
    return jsonTime(QDateTime::currentDateTime());
}

} // namespace

CliRun::CliRun(const CliOptions &options, UpdaterCore &core, FILE *out, FILE *err, QObject *parent)
    : QObject(parent), options(options), core(core), out(out), err(err), interactive(::isatty(fileno(err)) == 1),
      quiet(options.progress == CliOptions::Progress::Quiet),
      verbose(options.progress == CliOptions::Progress::Verbose), started(QDateTime::currentDateTime())
{
    connect(&core, &UpdaterCore::warningsDue, this, &CliRun::tellWarnings);
    // The list and the selection are made once the fleet shows every unit that answered.
    connect(&core, &UpdaterCore::fleetShown, this, [this] {
        if (std::exchange(awaitingFleet, false))
            fleetReady();
    });
    // Nobody resumes a halted batch here: the held units stay where they are, the commanded
    // ones finish, and the run ends with exit code 2.
    connect(&core, &UpdaterCore::batchHalted, this, [this](const QString &text) {
        event(QJsonObject{{QStringLiteral("event"), QStringLiteral("halted")}, {QStringLiteral("reason"), text}},
              text + QStringLiteral(" Waiting for the commanded units."));
    });
    // In JSON the notice is a log event like any other line.
    connect(&core, &UpdaterCore::historyNotice, this, [this](const QString &text) {
        if (this->options.format != CliOptions::Format::Json)
            note(text);
    });
    connect(&core, &UpdaterCore::statusLine, this, [this](const QString &line) {
        if (this->options.format == CliOptions::Format::Json)
            event(QJsonObject{{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("line"), line}},
                  QString());
    });
    connect(&core, &UpdaterCore::unitStepped, this, &CliRun::unitStepped);
    // The answers to the discovery join the list at the tick after it, 5 seconds later: --wait
    // is how long an update waits for them, and the longest a list does.
    QTimer::singleShot(qMax(options.waitSecs * 1000, kFirstListMs), this, &CliRun::discoveryOver);
    if (options.command == CliOptions::Command::List) {
        quietTimer = new QTimer(this);
        quietTimer->setSingleShot(true);
        quietTimer->setInterval(kQuietMs);
        connect(quietTimer, &QTimer::timeout, this, &CliRun::quietOver);
        connect(&core.endpoint(), &MarluneConnect::unitChangedSignal, this,
                [this](const MarluneUnit &unit) { heardFrom(unit.mac); });
    }
    if (options.command == CliOptions::Command::Update)
        core.setDeadlines(options.deadlines);
    if (!options.probeRanges.isEmpty()) {
        probe = new RangeProbe(core.endpoint(), this);
        probeSettled = false;
        connect(probe, &RangeProbe::finished, this, &CliRun::probeOver);
        // Once the event loop runs, the core has started.
        QTimer::singleShot(0, this, &CliRun::startProbe);
    }
}

// The ranges are kept for the window's Add by IP, then asked (a second time for the addresses
// that did not answer, if the first pass ends within --wait).
void CliRun::startProbe()
{
    if (done)
        return;
    QStringList texts;
    for (const auto &[start, end] : options.probeRanges)
        texts.append(addressRangeText(start, end));
    UpdaterSettings::rememberProbeRanges(texts);
    note(QStringLiteral("Asking %1 addresses for units: %2.")
             .arg(RangeProbe::addressCount(options.probeRanges))
             .arg(texts.join(QStringLiteral(", "))));
    probe->start(options.probeRanges, options.waitSecs * 1000);
}

void CliRun::probeOver()
{
    QTimer::singleShot(kFirstListMs, this, [this] {
        probeSettled = true;
        if (waitOver)
            discoveryOver();
    });
    // A list waits for quiet after the last query too, once some unit has answered.
    if (quietTimer && !heard.isEmpty())
        quietTimer->start();
}

void CliRun::tellWarnings(const TableWarnings &due)
{
    if (due.firewall)
        say(QStringLiteral("Warning: units connect, but no image could be sent to them; a firewall may block "
                           "TCP port 50005."));
    if (due.outsideSubnet)
        say(QStringLiteral("Warning: %1 (%2, %3 / %4) is outside this workstation's subnets.")
                .arg(due.outsideSubnet->name, due.outsideSubnet->mac, due.outsideSubnet->ip,
                     due.outsideSubnet->subnet));
    if (due.tooOld)
        say(QStringLiteral("Warning: %1 (%2) is too old for automatic updates; update it through its web "
                           "interface.")
                .arg(due.tooOld->name, due.tooOld->ip));
}

void CliRun::discoveryOver()
{
    waitOver = true;
    if (done || !probeSettled)
        return;
    awaitingFleet = true;
    core.refreshFleet();
}

// A unit heard from for the first time: the fleet is not quiet yet.
void CliRun::heardFrom(const QString &mac)
{
    if (done || mac.isEmpty() || heard.contains(mac))
        return;
    heard.insert(mac);
    quietTimer->start();
}

// No new unit has answered for a moment: the answers join the list now, in a tick of their own,
// rather than at the next one.
void CliRun::quietOver()
{
    if (done || awaitingFleet || (probe && probe->isRunning()))
        return;
    BLOG << "no new unit for" << kQuietMs << "ms after" << heard.size() << "answered";
    core.tick();
    listOnceMerged();
}

// The list is made once every unit heard from is listed (or has no package, and never will be).
// A tick of a large fleet merges over several turns, and one under way when the fleet fell quiet
// may leave the answers to the next.
void CliRun::listOnceMerged()
{
    if (done || awaitingFleet)
        return;
    const PipelineState &state = core.state();
    const PipelineIndex index(state);
    const bool merged = std::all_of(heard.cbegin(), heard.cend(), [&](const QString &mac) {
        return index.firstListed(mac) != nullptr || state.withoutPackage.contains(mac);
    });
    if (!merged) {
        QTimer::singleShot(kMergeCheckMs, this, &CliRun::listOnceMerged);
        return;
    }
    awaitingFleet = true;
    core.refreshFleet();
}

void CliRun::fleetReady()
{
    if (done)
        return;
    if (options.command == CliOptions::Command::List)
        listUnits();
    else if (options.command == CliOptions::Command::Check)
        checkUnits();
    else
        options.resume ? startResume() : startUpdate();
}

// A unit as every object that names one shows it: its own texts, and its dates read from them.
QJsonObject CliRun::unitObject(const MarluneUnit &unit) const
{
    return {{QStringLiteral("mac"), unit.mac},
            {QStringLiteral("ip"), unit.ip},
            {QStringLiteral("name"), unit.name},
            {QStringLiteral("type"), typeCodeForUnit(unit)},
            {QStringLiteral("serial"), unit.sn},
            {QStringLiteral("software"), unit.swversion},
            {QStringLiteral("softwareDate"), jsonDate(unit.swDate())},
            {QStringLiteral("web"), unit.webversion},
            {QStringLiteral("webDate"), jsonDate(unit.webDate())}};
}

void CliRun::listUnits()
{
    const FleetModel &fleet = core.fleet();
    const bool json = options.format == CliOptions::Format::Json;
    QList<QStringList> rows{{QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"), QStringLiteral("IP"),
                             QStringLiteral("Serial"), QStringLiteral("Software"), QStringLiteral("Web"),
                             QStringLiteral("Status")}};
    for (int row = 0; row < fleet.rowCount(); ++row) {
        const auto &texts = fleet.row(row).texts;
        const QString &status = texts[TableRoles::kStatusColumn];
        rows.append(QStringList(texts.cbegin(), texts.cend()));
        // One line per unit, as update writes its events: a script reads them as they come.
        const MarluneUnit *unit = fleet.unitAt(row);
        if (json) {
            QJsonObject object = unit ? unitObject(*unit) : QJsonObject{{QStringLiteral("mac"), fleet.row(row).mac}};
            object.insert(QStringLiteral("event"), QStringLiteral("unit"));
            object.insert(QStringLiteral("status"), status);
            event(object, QString());
        }
    }
    if (json) {
        event(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                          {QStringLiteral("command"), QStringLiteral("list")},
                          {QStringLiteral("schema"), kJsonSchema},
                          {QStringLiteral("count"), fleet.rowCount()},
                          {QStringLiteral("stopped"), stopped}},
              QString());
    } else if (options.format == CliOptions::Format::Csv) {
        for (const QStringList &row : std::as_const(rows))
            if (!write(out, csvRow(row)))
                lostOutput();
    } else if (!write(out, listTable(rows))) {
        lostOutput();
    }
    code = stopped || outputGone ? kExitStopped : kExitConfirmed;
    finish();
}

QString CliRun::listTable(const QList<QStringList> &rows)
{
    QList<QStringList> shown;
    QList<qsizetype> widths;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype column = 0; column < row.size(); ++column) {
            const QString cell = escapedControls(row.at(column));
            cells.append(column + 1 < row.size() ? shortened(cell) : cell);
            if (widths.size() <= column)
                widths.append(0);
            widths[column] = qMax(widths[column], cells.last().size());
        }
        shown.append(cells);
    }
    QString table;
    for (const QStringList &row : std::as_const(shown)) {
        for (qsizetype column = 0; column < row.size(); ++column)
            table += column + 1 < row.size() ? row.at(column).leftJustified(widths[column] + 2) : row.at(column);
        table += QLatin1Char('\n');
    }
    return table;
}

// The selection as the check left it: the refused units told, then the dry run's list or the
// batch.
void CliRun::commandSelection()
{
    const PipelineState &state = core.state();
    const PipelineIndex index(state);
    selectedSet = QSet<QString>(selected.cbegin(), selected.cend());
    for (const MarluneUnit &unit : state.vUnits) {
        const auto reason = refused.constFind(unit.mac);
        if (reason == refused.cend() || phases.contains(unit.mac))
            continue;
        phases.insert(unit.mac, kRefused);
        QJsonObject object = unitObject(unit);
        object.insert(QStringLiteral("event"), QStringLiteral("refused"));
        object.insert(QStringLiteral("reason"), *reason);
        event(object, QStringLiteral("%1 (%2): refused: %3").arg(unit.name, unit.ip, *reason));
    }
    tellSkipped();
    if (!options.yes || selected.isEmpty()) {
        endDryRun(index);
        return;
    }
    core.setResetEdid(options.resetEdid);
    core.setRolloutPlan(options.plan);
    following = true;
    core.queueForUpdate(selected);
    core.announceUpdate();
    // Said when units are about to be commanded, and only then: a list or a dry run changes
    // nothing.
    note(QStringLiteral("Do not power down equipment during update! Doing so may render it inoperable."));
    note(QStringLiteral("Updating %1 units.").arg(selected.size()));
    if (interactive && !quiet) {
        barTimer = new QTimer(this);
        connect(barTimer, &QTimer::timeout, this, &CliRun::drawBar);
        barTimer->start(kBarRedrawMs);
    }
    endIfAllEnded();
}

// A dry run, or an update with nothing to update: says what it would update and ends.
void CliRun::endDryRun(const PipelineIndex &index)
{
    // A dry run's answer is its result: the units it would update, a line each on stdout.
    for (const QString &mac : std::as_const(selected)) {
        const MarluneUnit *unit = index.firstListed(mac);
        QJsonObject object = unitObject(*unit);
        object.insert(QStringLiteral("event"), QStringLiteral("would-update"));
        event(object, QString());
        if (options.format != CliOptions::Format::Json)
            print(QStringLiteral("Would update %1 (%2, %3 %4)").arg(unit->name, unit->ip, typeCodeForUnit(*unit), mac));
    }
    note(selected.isEmpty()
             ? QStringLiteral("Nothing to update.")
             : QStringLiteral("%1 units would be updated; add --yes to update them.").arg(selected.size()));
    code = refused.isEmpty() || !options.yes ? kExitConfirmed : kExitSomeFailed;
    if (options.format == CliOptions::Format::Json) {
        QJsonArray units;
        for (const QString &mac : std::as_const(selected)) {
            QJsonObject object = unitObject(*index.firstListed(mac));
            object.insert(QStringLiteral("result"), QStringLiteral("would update"));
            units.append(object);
        }
        for (const QString &mac : std::as_const(skipped)) {
            QJsonObject object = unitObject(*index.firstListed(mac));
            object.insert(QStringLiteral("result"), kUpToDate);
            units.append(object);
        }
        event(QJsonObject{{QStringLiteral("event"), QStringLiteral("summary")},
                          {QStringLiteral("command"), QStringLiteral("update")},
                          {QStringLiteral("schema"), kJsonSchema},
                          {QStringLiteral("dryRun"), !options.yes},
                          {QStringLiteral("selected"), int(selected.size())},
                          {QStringLiteral("refused"), int(refused.size())},
                          {QStringLiteral("upToDate"), int(skipped.size())},
                          {QStringLiteral("exitCode"), code},
                          {QStringLiteral("units"), units}},
              QString());
    }
    finish();
}

// The units left out as already up to date: a line for them all (a line each with --verbose),
// and an event each in JSON.
void CliRun::tellSkipped()
{
    if (skipped.isEmpty())
        return;
    const PipelineIndex index(core.state());
    for (const QString &mac : std::as_const(skipped)) {
        const MarluneUnit *unit = index.firstListed(mac);
        QJsonObject object = unitObject(*unit);
        object.insert(QStringLiteral("event"), QStringLiteral("skipped"));
        object.insert(QStringLiteral("reason"), QStringLiteral("already up to date"));
        event(object,
              verbose ? QStringLiteral("%1 (%2): already up to date, skipped").arg(unit->name, unit->ip) : QString());
    }
    note(QStringLiteral("%1 units already up to date skipped (use --reflash to update them too).").arg(skipped.size()));
}

// Where a selected unit ends, by the step it took: "" while it is still on its way.
QString CliRun::resultOf(const UnitEvent &event, bool updatedWell)
{
    switch (event.step) {
    case UnitStep::Confirmed:
        if (event.edidFollows)
            return QString();
        return event.withPackageDates ? kConfirmed : kFailed;
    case UnitStep::ConfirmedElsewhere:
        return kConfirmed;
    case UnitStep::EdidReset:
        return updatedWell ? kConfirmed : kFailed;
    case UnitStep::NotApplied:
    case UnitStep::EdidAbandoned:
        return kFailed;
    case UnitStep::Overdue:
        return kOverdue;
    case UnitStep::TakenOut:
    case UnitStep::Removed:
        return kNotCommanded;
    case UnitStep::Held:
        return kHeld;
    default:
        return QString();
    }
}

// Each step of a selected unit is told as it happens, with the status the unit had right after
// it; a transfer's progress only moves the bar.
void CliRun::unitStepped(const UnitEvent &told)
{
    if (!following || done || !selectedSet.contains(told.mac))
        return;
    // The selected units are queued in one batch; their first steps come while they are queued.
    if (batch == 0)
        batch = told.batch;
    if (told.batch != batch)
        return;
    if (told.step == UnitStep::FetchProgress) {
        drawBar();
        return;
    }
    if (told.step == UnitStep::Confirmed)
        updatedWell.insert(told.mac, told.withPackageDates);
    const QString step = unitStepName(told.step);
    steps.insert(told.mac, step);
    statuses.insert(told.mac, told.status);
    const QString result = resultOf(told, updatedWell.value(told.mac));
    const QString before = results.value(told.mac);
    results.insert(told.mac, result);
    const MarluneUnit *unit = findUnit(core.state().vUnits, &MarluneUnit::mac, told.mac);
    QJsonObject object = unit ? unitObject(*unit) : QJsonObject{{QStringLiteral("mac"), told.mac}};
    object.insert(QStringLiteral("event"), QStringLiteral("step"));
    object.insert(QStringLiteral("step"), step);
    object.insert(QStringLiteral("status"), told.status);
    object.insert(QStringLiteral("time"), jsonTime(told.time));
    // Every step with --verbose; else a line when the unit reaches its end (again, should it move
    // on from being overdue to another end).
    const bool ended = !result.isEmpty() && result != before;
    event(object,
          verbose || ended
              ? QStringLiteral("%1 (%2): %3 \u2014 %4").arg(told.name, told.ip, verbose ? step : result, told.status)
              : QString());
    endIfAllEnded();
}

void CliRun::endIfAllEnded()
{
    drawBar();
    if (std::all_of(selected.cbegin(), selected.cend(),
                    [this](const QString &mac) { return !results.value(mac).isEmpty(); }))
        QTimer::singleShot(0, this, &CliRun::finish);
}

void CliRun::interrupt()
{
    if (done)
        return;
    if (!following || stopped) {
        note(QStringLiteral("Stopped."));
        stopped = true;
        code = kExitStopped;
        // A list says what it found so far; its summary still comes last.
        if (options.command == CliOptions::Command::List) {
            listUnits();
            return;
        }
        finish();
        return;
    }
    stopped = true;
    const QStringList withdrawn = core.stopCommanding();
    note(QStringLiteral("Stopping: %1 units will not be commanded; waiting for the commanded ones (Ctrl-C again "
                        "quits).")
             .arg(withdrawn.size()));
    endIfAllEnded();
}

// Every unit selected or refused, by the last step it took: one still on its way when the run
// ended was interrupted there. counts receives how many ended each way.
QJsonArray CliRun::accountForUnits(QHash<QString, int> &counts) const
{
    const PipelineState &state = core.state();
    const PipelineIndex index(state);
    QJsonArray units;
    QStringList ordered = selected;
    for (const MarluneUnit &unit : state.vUnits)
        if (refused.contains(unit.mac) && !ordered.contains(unit.mac))
            ordered.append(unit.mac);
    const QSet<QString> upToDate(skipped.cbegin(), skipped.cend());
    ordered += skipped;
    for (const QString &mac : std::as_const(ordered)) {
        const MarluneUnit *unit = index.firstListed(mac);
        QString result = refused.contains(mac) ? kRefused : upToDate.contains(mac) ? kUpToDate : results.value(mac);
        if (result.isEmpty())
            result = kInterrupted;
        ++counts[result];
        QJsonObject object = unit ? unitObject(*unit) : QJsonObject{{QStringLiteral("mac"), mac}};
        object.insert(QStringLiteral("result"), result);
        object.insert(QStringLiteral("step"), steps.value(mac));
        object.insert(QStringLiteral("status"), refused.contains(mac) ? refused.value(mac) : statuses.value(mac));
        units.append(object);
    }
    return units;
}

void CliRun::finish()
{
    if (done)
        return;
    done = true;
    if (probe)
        probe->stop();
    clearBar();
    // An update says how it ended, also when it was stopped before any unit was selected.
    if (following || (stopped && options.command == CliOptions::Command::Update)) {
        const PipelineState &state = core.state();
        QHash<QString, int> counts;
        const QJsonArray units = accountForUnits(counts);
        // Every unit reached its end (an overdue one too, for the tool): the batch is over, not
        // closed by the quit that follows.
        if (following && counts.value(kInterrupted) == 0)
            core.batchOver();
        // A report asked for and not written is a failure of the run: a script that keeps the
        // reports finds none, and the exit code must not say that all went well.
        bool reportSaved = true;
        QString reportError;
        if (!options.reportPath.isEmpty()) {
            reportSaved = writeReport(options.reportPath, core.account().rows(batch), &reportError);
            if (!reportSaved)
                say(QStringLiteral("The report could not be saved to ") + options.reportPath + QStringLiteral(": ")
                    + reportError);
        }
        const bool halted = state.rollout.halted;
        // The units left out as up to date need nothing: the others decide.
        const bool allConfirmed = counts.value(kConfirmed) + counts.value(kUpToDate) == units.size();
        code = stopped || halted ? kExitStopped : allConfirmed && reportSaved ? kExitConfirmed : kExitSomeFailed;
        QJsonObject summary{{QStringLiteral("event"), QStringLiteral("summary")},
                            {QStringLiteral("command"), QStringLiteral("update")},
                            {QStringLiteral("schema"), kJsonSchema},
                            {QStringLiteral("started"), jsonTime(started)},
                            {QStringLiteral("finished"), jsonNow()},
                            {QStringLiteral("selected"), int(selected.size())},
                            {QStringLiteral("confirmed"), counts.value(kConfirmed)},
                            {QStringLiteral("failed"), counts.value(kFailed)},
                            {QStringLiteral("overdue"), counts.value(kOverdue)},
                            {QStringLiteral("notCommanded"), counts.value(kNotCommanded)},
                            {QStringLiteral("refused"), counts.value(kRefused)},
                            {QStringLiteral("interrupted"), counts.value(kInterrupted)},
                            {QStringLiteral("held"), counts.value(kHeld)},
                            {QStringLiteral("upToDate"), counts.value(kUpToDate)},
                            {QStringLiteral("stopped"), stopped},
                            {QStringLiteral("halted"), halted},
                            {QStringLiteral("plan"), state.rollout.plan.text()},
                            {QStringLiteral("exitCode"), code},
                            {QStringLiteral("units"), units}};
        // The report's path, or null with the reason when it could not be saved.
        if (!options.reportPath.isEmpty()) {
            summary.insert(QStringLiteral("report"), reportSaved ? QJsonValue(options.reportPath) : QJsonValue());
            if (!reportSaved)
                summary.insert(QStringLiteral("reportError"), reportError);
        }
        QString text = QStringLiteral("%1 of %2 selected units confirmed; %3 failed, %4 overdue, %5 not commanded, "
                                      "%6 refused")
                           .arg(counts.value(kConfirmed))
                           .arg(selected.size())
                           .arg(counts.value(kFailed))
                           .arg(counts.value(kOverdue))
                           .arg(counts.value(kNotCommanded))
                           .arg(counts.value(kRefused));
        if (counts.value(kUpToDate) > 0)
            text += QStringLiteral(", %1 already up to date skipped").arg(counts.value(kUpToDate));
        if (counts.value(kInterrupted) > 0)
            text += QStringLiteral(", %1 still on their way").arg(counts.value(kInterrupted));
        if (halted)
            text += QStringLiteral("; the rollout stopped, %1 held").arg(counts.value(kHeld));
        if (!reportSaved)
            text += QStringLiteral("; no report saved");
        event(summary, QString());
        say(text + QLatin1Char('.'));
    }
    // The summary is the last line a script reads: nothing said while the tool shuts down (a
    // unit's connection closing, a notice from the history, a warning) is written after it.
    outputClosed = true;
    BLOG << "exit code" << code;
    Q_EMIT finished(code);
}
