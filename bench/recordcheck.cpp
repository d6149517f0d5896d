// recordcheck: plays batches against the unit simulator, through the command-line tool and through
// an in-process core driven as the window drives it, and holds the updater's account of each batch
// (the history, the update report, the tool's JSON lines) against the simulator's own log of what
// every unit received and did. Run inside the private namespace of tests/netns-run.sh:
//
//   BRYX_NETNS_PEERS=10 tests/netns-run.sh build/bin/recordcheck [--quick] [--scenario NAME] [--preflight]
//
// With --preflight, each scenario's units are first checked as "Check Selected Units" checks them,
// the tool updates with --force (so units judged to fail are tried all the same), and each verdict
// is set beside how its unit's batch went: three counts per scenario and in all.
//
// Prints each claim the account makes that the wire does not bear out, per scenario, and one line
// at the end: "scenario-runs N  claims M  discrepancies D". Exits 0 only without discrepancies.

#include "app/folders.h"
#include "history/historystore.h"
#include "update/rollout.h"
#include "update/updatercore.h"

#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>

#include "recordclaims.h"
#include "recordpreflight.h"

using namespace recordcheck;

namespace {

// ---- A scenario's run: its folders, fleet, front-end and readings ----

struct Scenario;

// --preflight: the tool is given --force, so the check's verdicts are put to the test.
bool gForce = false;

class Trial
{
public:
    explicit Trial(const Scenario &scenario);
    ~Trial()
    {
        stopTool();
        core.reset();
        sim.stop();
    }

    // The tool, with the options every scenario gives it.
    bool startTool(const QStringList &options);
    bool waitTool(int timeoutMs = 180000)
    {
        return waitFor([this] { return tool.state() == QProcess::NotRunning; }, timeoutMs);
    }
    void signalTool(int signal);
    void stopTool();

    // The window's core, made and started as the window does; true once every unit is listed.
    bool startCore(const RolloutPlan &plan = RolloutPlan(), int fetchSecs = 0);
    // The Update button with every unit selected, answered Yes.
    void updateAll()
    {
        core->clearEdidAttempts();
        core->queueForUpdate(macs);
        core->announceUpdate();
    }
    // The window closes: the core is taken apart with whatever is on its way.
    void closeWindow() { core.reset(); }
    // The next start of the window: the history opened (a batch a killed updater left is marked
    // interrupted then), a discovery, and closed again.
    void nextStart()
    {
        startCore();
        pause(500);
        closeWindow();
    }

    bool waitSim(const std::function<bool(const Simulator &)> &done, int timeoutMs)
    {
        return waitFor([&] { return done(sim); }, timeoutMs);
    }
    // The history is written every half second; a reading waits a little longer than that.
    void read()
    {
        pause(1200);
        readings.append(readHistory(historyPath()));
    }

    QString folder(const QString &name) const { return dir.filePath(name); }
    QString historyPath() const { return folder(QStringLiteral("data/bryx-updater/history.sqlite")); }
    QString reportPath() const { return folder(QStringLiteral("report.csv")); }

    QTemporaryDir dir;
    Simulator sim;
    QProcess tool;
    QByteArray toolPending;
    QList<QJsonObject> toolLines;
    bool toolUsed = false;
    std::unique_ptr<UpdaterCore> core;
    QStringList macs;
    QHash<QString, QString> unitOfMac;
    QList<QList<Account>> readings;
    qint64 startedMs = nowMs();
    qint64 trusted = kNever;
    // An end the last batch may also have for what the scenario did (a kill after every unit was
    // confirmed may find the batch already completed).
    QString alsoEnd;
    QString skipped;
    QString failure;
};

bool Trial::startTool(const QStringList &options)
{
    QObject::connect(&tool, &QProcess::readyReadStandardOutput, &tool, [this] {
        toolPending += tool.readAllStandardOutput();
        qsizetype end;
        while ((end = toolPending.indexOf('\n')) >= 0) {
            const QJsonObject line = QJsonDocument::fromJson(toolPending.left(end)).object();
            toolPending.remove(0, end + 1);
            if (!line.isEmpty())
                toolLines.append(line);
        }
    });
    // Its lines for people go to a file of the trial's, as the in-process core's are dropped.
    tool.setStandardErrorFile(folder(QStringLiteral("tool-stderr.txt")));
    tool.setWorkingDirectory(folder(QStringLiteral("work")));
    tool.start(QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"),
               QStringList{QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"),
                           QStringLiteral("--json"), QStringLiteral("--report"), reportPath(),
                           QStringLiteral("--packages"), folder(QStringLiteral("packages")),
                           QStringLiteral("--wait"), QStringLiteral("3"), QStringLiteral("--fetch-deadline"),
                           QStringLiteral("10"), QStringLiteral("--reboot-deadline"), QStringLiteral("15"),
                           QStringLiteral("--back-deadline"), QStringLiteral("15")}
                   + options + (gForce ? QStringList{QStringLiteral("--force")} : QStringList()));
    toolUsed = true;
    return tool.waitForStarted(10000);
}

void Trial::signalTool(int signal)
{
    if (tool.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(tool.processId()), signal);
    if (signal == SIGKILL)
        trusted = nowMs() - kLossMs;
}

void Trial::stopTool()
{
    if (tool.state() == QProcess::NotRunning)
        return;
    tool.kill();
    tool.waitForFinished(5000);
}

bool Trial::startCore(const RolloutPlan &plan, int fetchSecs)
{
    core = std::make_unique<UpdaterCore>();
    core->keepHistory(historyPath());
    if (fetchSecs > 0) {
        StepDeadlines deadlines;
        deadlines.fetchSecs = fetchSecs;
        deadlines.rebootSecs = 15;
        deadlines.returnSecs = 15;
        core->setDeadlines(deadlines);
    }
    core->setRolloutPlan(plan);
    core->start();
    return waitFor(
        [this] {
            QSet<QString> listed;
            for (const MarluneUnit &unit : core->state().vUnits)
                listed.insert(unit.mac);
            return std::all_of(macs.cbegin(), macs.cend(),
                               [&](const QString &mac) { return listed.contains(mac); });
        },
        30000);
}

struct Scenario
{
    QString name;
    bool quick;
    QStringList units; // each unit's own settings, "" for a plain unit
    QString fleet;     // settings of every unit
    QString end;       // how the last batch ends; every earlier one completes
    std::function<void(Trial &)> play;
};

Trial::Trial(const Scenario &scenario)
{
    for (const char *name : {"packages", "data", "config", "runtime", "tmp", "work"})
        QDir().mkpath(folder(QLatin1String(name)));
    QFile::setPermissions(folder(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // The tool inherits these; the in-process core reads them too.
    qputenv("XDG_DATA_HOME", folder(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", folder(QStringLiteral("config")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", folder(QStringLiteral("runtime")).toUtf8());
    qputenv("TMPDIR", folder(QStringLiteral("tmp")).toUtf8());
    Folders::setPackagesFolder(folder(QStringLiteral("packages")));
    Folders::createStartupFolders();

    QByteArray lines = "SWVER:" + kPackageSw.toLatin1() + "\nWEBVER:" + QByteArray::number(kPackageWeb) + "\n";
    QFile ver(folder(QStringLiteral("packages/k220_lab.ver")));
    QFile bin(folder(QStringLiteral("packages/k220_lab.bin")));
    const QByteArray image = lines + QByteArray(kImageSize - lines.size(), '\x5a');
    if (!ver.open(QIODevice::WriteOnly) || ver.write(lines) != lines.size() || !bin.open(QIODevice::WriteOnly)
        || bin.write(image) != image.size())
        failure = QStringLiteral("cannot write the package");
    ver.close();
    bin.close();

    QString fleet = QStringLiteral("[fleet]\nwebversion=1388534400\nrebootSeconds=1\n") + scenario.fleet;
    for (int i = 1; i <= scenario.units.size(); ++i) {
        const QString id = QStringLiteral("u%1").arg(i);
        macs << macOf(i);
        unitOfMac.insert(macOf(i), id);
        fleet += QStringLiteral("\n[%1]\nfamily=k220-decoder\nip=10.77.1.%2\nmac=%3\n%4\n")
                     .arg(id)
                     .arg(i)
                     .arg(macOf(i), scenario.units.at(i - 1));
    }
    QFile file(folder(QStringLiteral("fleet.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(fleet.toUtf8()) < 0)
        failure = QStringLiteral("cannot write the fleet");
    file.close();
    if (failure.isEmpty() && !sim.start(file.fileName()))
        failure = QStringLiteral("the simulator did not start");
}

// ---- The scenarios ----

QStringList plainUnits(int n, const QHash<int, QString> &special = {})
{
    QStringList list;
    for (int i = 1; i <= n; ++i)
        list << special.value(i);
    return list;
}

// The tool killed with SIGKILL a seeded moment after the wire showed `after`.
Scenario killed(int seed, const QString &name, bool quick, const std::function<bool(const Simulator &)> &after)
{
    return {name,
            quick,
            plainUnits(4),
            QStringLiteral("fetchKiBps=256\n"),
            QStringLiteral("interrupted"),
            [seed, after](Trial &t) {
                if (!t.startTool({}))
                    return;
                QRandomGenerator random{quint32(seed)};
                const int delayMs = int(random.bounded(1500));
                if (!t.waitSim(after, 120000))
                    t.failure = QStringLiteral("the moment to kill never came");
                pause(delayMs);
                std::printf("  killed %d ms after its moment\n", delayMs);
                if (t.sim.count(QStringLiteral("CONFIRMED")) >= t.macs.size())
                    t.alsoEnd = QStringLiteral("completed");
                t.signalTool(SIGKILL);
                t.waitTool(10000);
                t.read();
            }};
}

// The tool updates with these options, then the account is read.
std::function<void(Trial &)> toolRun(const QStringList &options)
{
    return [options](Trial &t) {
        if (t.startTool(options) && !t.waitTool())
            t.failure = QStringLiteral("the tool did not finish");
        t.read();
    };
}

std::function<bool(const Simulator &)> confirmedAll(int n)
{
    return [n](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= n; };
}

// Batches the operator ends as they please: to the end, retried, stopped, halted, closed.
QList<Scenario> operatorScenarios()
{
    return {
        {QStringLiteral("plain"), false, plainUnits(4), QString(), QStringLiteral("completed"), toolRun({})},
        {QStringLiteral("retry"), false, plainUnits(4, {{4, QStringLiteral("behaviour=neverFetches")}}), QString(),
         QStringLiteral("closed"),
         [](Trial &t) {
             if (!t.startCore(RolloutPlan(), 6))
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!waitFor(
                     [&] {
                         return t.sim.count(QStringLiteral("CONFIRMED")) >= 3 && !t.core->retryCandidates().isEmpty();
                     },
                     90000))
                 t.failure = QStringLiteral("no unit overdue");
             t.read();
             t.core->retryUnits(t.core->retryCandidates());
             const auto commands = [&] {
                 return t.sim
                     .of(QStringLiteral("u4"), QStringLiteral("TCP"), 0, kNever,
                         QStringLiteral("setSettings:updateUnit:"))
                     .size();
             };
             if (!waitFor([&] { return commands() >= 2 && !t.core->retryCandidates().isEmpty(); }, 60000))
                 t.failure = QStringLiteral("the retried unit was not overdue again");
             t.read();
             t.closeWindow();
             t.read();
         }},
        {QStringLiteral("stop-batch"), false, plainUnits(6), QStringLiteral("fetchKiBps=256\n"),
         QStringLiteral("stopped"),
         [](Trial &t) {
             RolloutPlan plan;
             plan.maxInFlight = 2;
             if (!t.startCore(plan))
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= 1; }, 90000))
                 t.failure = QStringLiteral("no unit confirmed");
             t.core->stopBatch();
             const auto commanded = [&] { return t.sim.count(QStringLiteral("FETCH-START")); };
             waitFor([&] { return t.sim.count(QStringLiteral("CONFIRMED")) >= commanded(); }, 60000);
             pause(8000); // the batch ends once its last unit is confirmed and polled
             t.read();
             t.closeWindow();
             t.read();
         }},
        {QStringLiteral("halt"), false, plainUnits(5, {{1, QStringLiteral("behaviour=neverFetches")}}), QString(),
         QStringLiteral("halted"),
         toolRun({QStringLiteral("--max-in-flight"), QStringLiteral("1"), QStringLiteral("--stop-after-failures"),
                  QStringLiteral("1"), QStringLiteral("--fetch-deadline"), QStringLiteral("6")})},
        {QStringLiteral("window-closed"), true, plainUnits(5), QStringLiteral("fetchKiBps=128\n"),
         QStringLiteral("closed"),
         [](Trial &t) {
             if (!t.startCore())
                 return void(t.failure = QStringLiteral("units not listed"));
             t.updateAll();
             if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("FETCH-START")) >= 5; }, 60000))
                 t.failure = QStringLiteral("no unit fetching");
             pause(1000);
             t.closeWindow();
             t.read();
         }},
    };
}

// Batches the world disturbs: the updater killed or signalled, units that misbehave, a poor link.
QList<Scenario> disturbedScenarios()
{
    QList<Scenario> list;
    list << killed(1, QStringLiteral("kill-fetching"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("FETCH-START")) >= 1; })
         << killed(2, QStringLiteral("kill-rebooting"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("REBOOTING")) >= 1; })
         << killed(3, QStringLiteral("kill-back"), false,
                   [](const Simulator &s) { return s.count(QStringLiteral("UP")) >= 1; })
         << killed(4, QStringLiteral("kill-confirming"), false, confirmedAll(1))
         << killed(5, QStringLiteral("kill-all-confirmed"), true, confirmedAll(4));
    list << Scenario{QStringLiteral("sigterm"),
                     false,
                     plainUnits(6),
                     QStringLiteral("fetchKiBps=256\n"),
                     QStringLiteral("stopped"),
                     [](Trial &t) {
                         if (!t.startTool({QStringLiteral("--max-in-flight"), QStringLiteral("2")}))
                             return;
                         if (!t.waitSim([](const Simulator &s) { return s.count(QStringLiteral("CONFIRMED")) >= 1; },
                                        120000))
                             t.failure = QStringLiteral("no unit confirmed");
                         t.signalTool(SIGTERM);
                         t.trusted = kNever; // a stopped tool still writes its account
                         if (!t.waitTool())
                             t.failure = QStringLiteral("the tool did not finish after SIGTERM");
                         t.read();
                     }}
         << Scenario{QStringLiteral("tcp-hangs"),
                     true,
                     plainUnits(4, {{2, QStringLiteral("tcp=hangs")}}),
                     QString(),
                     QStringLiteral("completed"),
                     toolRun({QStringLiteral("--fetch-deadline"), QStringLiteral("8")})}
         << Scenario{QStringLiteral("reboots-twice"),
                     false,
                     plainUnits(4, {{3, QStringLiteral("reboots=2")}}),
                     QStringLiteral("rebootSeconds=2\n"),
                     QStringLiteral("completed"),
                     toolRun({})}
         << Scenario{QStringLiteral("vanishes-waiting"),
                     false,
                     plainUnits(6, {{6, QStringLiteral("vanishAfterSeconds=12")}}),
                     QStringLiteral("fetchKiBps=256\n"),
                     QStringLiteral("completed"),
                     toolRun({QStringLiteral("--max-in-flight"), QStringLiteral("2"),
                              QStringLiteral("--fetch-deadline"), QStringLiteral("8")})}
         << Scenario{
                QStringLiteral("lossy-link"),
                false,
                plainUnits(4),
                QString(),
                QStringLiteral("completed"),
                [](Trial &t) {
                    // Between two addresses of one namespace the kernel delivers locally: the
                    // veth (and its queue) is crossed only with the units in a namespace of their own.
                    const QString unitsSide = qEnvironmentVariable("BRYX_UNITS_NETNS");
                    if (unitsSide.isEmpty())
                        return void(t.skipped = QStringLiteral("skipped (no shaped link: set BRYX_NETNS_LINK_MBIT)"));
                    const QStringList netem{QStringLiteral("qdisc"), QStringLiteral("replace"), QStringLiteral("dev"),
                                            QStringLiteral("bryx0"), QStringLiteral("root"),    QStringLiteral("netem"),
                                            QStringLiteral("loss"),  QStringLiteral("5%"),      QStringLiteral("delay"),
                                            QStringLiteral("50ms"),  QStringLiteral("20ms")};
                    QStringList unitsNetem = netem;
                    unitsNetem[3] = QStringLiteral("bryx1");
                    if (QProcess::execute(QStringLiteral("tc"), netem) != 0
                        || QProcess::execute(QStringLiteral("nsenter"),
                                             QStringList{QStringLiteral("--net=") + unitsSide, QStringLiteral("tc")}
                                                 + unitsNetem)
                               != 0)
                        return void(t.skipped = QStringLiteral("skipped (no netem)"));
                    toolRun({})(t);
                }};
    return list;
}

// Units the check should judge: one whose TCP side hangs, one with its command port elsewhere,
// one that never fetches and one that never takes its image.
QList<Scenario> doubtfulScenarios()
{
    return {Scenario{QStringLiteral("doubtful-units"), false,
                     plainUnits(5, {{2, QStringLiteral("tcp=hangs")},
                                    {3, QStringLiteral("behaviour=port50002")},
                                    {4, QStringLiteral("behaviour=neverFetches")},
                                    {5, QStringLiteral("behaviour=neverReboots")}}),
                     QString(), QStringLiteral("completed"),
                     toolRun({QStringLiteral("--fetch-deadline"), QStringLiteral("8")})}};
}

QList<Scenario> scenarios()
{
    return operatorScenarios() + disturbedScenarios() + doubtfulScenarios();
}

// Every claim of one scenario's account against its wire.
Tally judge(const Scenario &scenario, const Trial &t)
{
    Tally tally;
    for (const Account &account : t.readings.value(t.readings.size() - 1))
        checkAccount(account, t.sim, t.unitOfMac, t.trusted, tally);
    if (t.toolUsed) {
        if (const std::optional<Account> report = readReport(t.reportPath()))
            checkAccount(*report, t.sim, t.unitOfMac, t.trusted, tally);
        Account json = readToolJson(t.toolLines);
        checkAccount(json, t.sim, t.unitOfMac, t.trusted, tally);
    }
    checkStable(t.readings, tally);
    const QList<Account> last = t.readings.value(t.readings.size() - 1);
    tally.check(!last.isEmpty(), scenario.name, QStringLiteral("batch recorded"), QStringLiteral("no batch"),
                QStringLiteral("%1 update commands").arg(t.sim.count(QStringLiteral("FETCH-START"))));
    for (qsizetype i = 0; i < last.size(); ++i) {
        QString expected = i + 1 == last.size() ? scenario.end : QStringLiteral("completed");
        if (i + 1 == last.size() && last.at(i).end == t.alsoEnd)
            expected = t.alsoEnd;
        tally.check(last.at(i).end == expected, QStringLiteral("history batch %1").arg(last.at(i).batchId),
                    QStringLiteral("end"), last.at(i).end, expected);
    }
    return tally;
}

// What the runs of the scenarios add up to.
struct Totals
{
    int runs = 0;
    int claims = 0;
    int discrepancies = 0;
    int failures = 0;
    int skipped = 0;
    PredictionTally predictions;
};

// Plays one scenario (after a check of its units, with preflight) and judges its account.
void runScenario(const Scenario &scenario, bool preflight, Totals &totals)
{
    std::printf("== %s\n", qPrintable(scenario.name));
    Trial trial(scenario);
    Prediction prediction;
    if (preflight && trial.failure.isEmpty()) {
        if (!trial.startCore() || !predict(*trial.core, trial.macs, &prediction))
            trial.failure = QStringLiteral("the check did not finish");
        trial.closeWindow();
    }
    if (trial.failure.isEmpty())
        scenario.play(trial);
    trial.stopTool();
    if (!trial.skipped.isEmpty()) {
        std::printf("  %s\n", qPrintable(trial.skipped));
        ++totals.skipped;
        return;
    }
    // Every scenario ends with the window started once more and the history read again.
    if (trial.failure.isEmpty()) {
        trial.nextStart();
        trial.read();
    }
    ++totals.runs;
    if (!trial.failure.isEmpty()) {
        ++totals.failures;
        std::printf("  did not run as planned: %s\n", qPrintable(trial.failure));
    }
    const Tally tally = judge(scenario, trial);
    for (const QString &line : tally.discrepancies)
        std::printf("  DISCREPANCY %s\n", qPrintable(line));
    std::printf("  %s: runs 1  claims %d  discrepancies %lld\n", qPrintable(scenario.name), tally.claims,
                qint64(tally.discrepancies.size()));
    totals.claims += tally.claims;
    totals.discrepancies += int(tally.discrepancies.size());
    if (preflight) {
        const QList<Account> last = trial.readings.value(trial.readings.size() - 1);
        const PredictionTally scored =
            scorePrediction(prediction, trial.sim, trial.unitOfMac, last, last.isEmpty() ? QString() : last.last().end);
        for (const QString &line : scored.lines)
            std::printf("  check: %s\n", qPrintable(line));
        std::printf("  %s: %s\n", qPrintable(scenario.name), qPrintable(scored.counts()));
        totals.predictions.add(scored);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The in-process core's debug lines would bury the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool quick = arguments.contains(QStringLiteral("--quick"));
    const bool preflight = arguments.contains(QStringLiteral("--preflight"));
    gForce = preflight;
    const qsizetype named = arguments.indexOf(QStringLiteral("--scenario"));
    const QString only = named >= 0 ? arguments.value(named + 1) : QString();
    if (qEnvironmentVariable("BRYX_IN_NETNS") != QLatin1String("1")) {
        std::fprintf(stderr, "recordcheck starts updaters, which broadcast: run it through tests/netns-run.sh\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Totals totals;
    for (const Scenario &scenario : scenarios()) {
        if ((quick && !scenario.quick) || (!only.isEmpty() && scenario.name != only))
            continue;
        runScenario(scenario, preflight, totals);
    }
    std::printf("scenario-runs %d  claims %d  discrepancies %d\n", totals.runs, totals.claims, totals.discrepancies);
    if (preflight)
        std::printf("check %s\n", qPrintable(totals.predictions.counts()));
    return totals.discrepancies == 0 && totals.failures == 0 && totals.runs + totals.skipped > 0 ? 0 : 1;
}
