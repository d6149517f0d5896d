#include "app/cli/clihistory.h"
#include "app/cli/clioptions.h"
#include "app/cli/clirun.h"
#include "app/fileidentity.h"
#include "app/folders.h"
#include "app/outputtext.h"
#include "history/historystore.h"
#include "packagefolder.h"
#include "simulatorprocess.h"
#include "units/marluneunit.h"
#include "update/updatercore.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The command-line tool: its arguments and selection as functions, and whole runs of the real
// program against the unit simulator, as a script or a timer would run it.
class TestCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void arguments_data();
    void arguments();
    void selection_data();
    void selection();
    void cannotStart_data();
    void cannotStart();
    void wholeUpdate_data();
    void wholeUpdate();
    void unitThatNeverFetchesIsOverdue_data();
    void unitThatNeverFetchesIsOverdue();
    void interruptedBatchCommandsNoMore();
    void stoppedBeforeTheBatchStillSaysSo();
    void summaryIsTheLastLine_data();
    void summaryIsTheLastLine();
    void historySurvivesAKill();
    void packagesFolderAloneIsServed();
    void failedOverrideLeavesTheLiveLock();
    void lockIsNeverWrittenThrough_data();
    void lockIsNeverWrittenThrough();
    void readerGoneEndsTheRunInOrder();
    void historyOfADamagedFile_data();
    void historyOfADamagedFile();
    void hostileNames_data();
    void hostileNames();
    void whatEachRunPrints_data();
    void whatEachRunPrints();
    void historyByBatch_data();
    void historyByBatch();
    void checkBeforeUpdate_data();
    void checkBeforeUpdate();

private:
    // Runs the tool to its end; its JSON Lines on stdout and its exit code.
    struct Run
    {
        int exitCode = -1;
        QList<QJsonObject> events;
        QByteArray err;
        QJsonObject summary() const { return events.isEmpty() ? QJsonObject() : events.last(); }
    };
    static void startCli(QProcess &cli, const QStringList &arguments);
    static Run finishCli(QProcess &cli, int timeoutMs = 120000);
    static QString fleet(int units, const QString &extra = QString());
    // Removes the history file the tool keeps (and any other left by an earlier case); its path.
    static QString noHistory();
    // Sends the tool SIGINT as soon as its stdout holds text; false when it did not come in time.
    static bool interruptOnceSaid(QProcess &cli, const QByteArray &text, int timeoutMs);
    // A time as every JSON output writes it: ISO 8601 with milliseconds and the UTC offset.
    static bool isJsonTime(const QJsonValue &value);

    QTemporaryDir packages;
};

void TestCli::initTestCase()
{
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_lab"), QStringLiteral("3/2/2015"), 1425384000));
    Folders::createStartupFolders();
}

void TestCli::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("detail");

    using C = CliOptions::Command;
    const auto row = [](const char *name, const QString &line, bool accepted, C command, const QString &detail) {
        QTest::newRow(name) << line.split(QLatin1Char(' '), Qt::SkipEmptyParts) << accepted << int(command) << detail;
    };
    row("no arguments", QString(), true, C::Help, QString());
    row("help after a command", QStringLiteral("update --all --help"), true, C::Help, QString());
    row("list as json", QStringLiteral("list --json --wait 30"), true, C::List, QStringLiteral("json wait=30"));
    row("list as csv", QStringLiteral("list --csv"), true, C::List, QStringLiteral("csv wait=10"));
    row("update dry run", QStringLiteral("update --needs-update"), true, C::Update, QStringLiteral("dry"));
    row("update with everything", QStringLiteral("update --type ENC --name=Lobby* --ip 10.0.0.0/30 --yes --reset-edid "
                                                 "--fetch-deadline 20 --reboot-deadline=30 --back-deadline 40 "
                                                 "--canary 1 --max-in-flight=4 --stop-after-failures 2"),
        true, C::Update, QStringLiteral("yes edid 20/30/40"));
    row("update without selection", QStringLiteral("update --yes"), false, C::Update, QStringLiteral("selection"));
    row("unknown command", QStringLiteral("flash --all"), false, C::Help, QStringLiteral("Unknown command"));
    row("selection on list", QStringLiteral("list --mac 02:B5:0A:4D:01:01"), false, C::List, QStringLiteral("Unknown option"));
    row("bad mac", QStringLiteral("update --mac 02:B5:0A"), false, C::Update, QStringLiteral("MAC"));
    row("bad range", QStringLiteral("update --ip 10.0.0.9-10.0.0.1"), false, C::Update, QStringLiteral("range"));
    row("bad subnet", QStringLiteral("update --ip 10.0.0.0/33"), false, C::Update, QStringLiteral("subnet"));
    row("zero deadline", QStringLiteral("update --all --fetch-deadline 0"), false, C::Update, QStringLiteral("seconds"));
    row("missing value", QStringLiteral("update --all --report"), false, C::Update, QStringLiteral("needs a value"));
    row("endless wait", QStringLiteral("list --wait 99999"), false, C::List, QStringLiteral("seconds"));
    row("negative canary", QStringLiteral("update --all --canary -1"), false, C::Update, QStringLiteral("number"));
    row("cap past the limit", QStringLiteral("update --all --max-in-flight 100001"), false, C::Update,
        QStringLiteral("number"));
    row("plan on list", QStringLiteral("list --canary 1"), false, C::List, QStringLiteral("Unknown option"));
    row("update without history", QStringLiteral("update --needs-update --no-history"), true, C::Update,
        QStringLiteral("no history"));
    row("history of a unit", QStringLiteral("history --since 2026-12-01 --unit 02-b5-0a-4d-01-01 --csv"), true,
        C::History, QStringLiteral("history"));
    row("history since when", QStringLiteral("history --since yesterday"), false, C::History, QStringLiteral("--since"));
    row("history with a bad MAC", QStringLiteral("history --unit 02:B5"), false, C::History, QStringLiteral("MAC"));
    row("history with a selection", QStringLiteral("history --all"), false, C::History,
        QStringLiteral("Unknown option"));
    row("name that is no pattern", QStringLiteral("update --name ["), false, C::Update, QStringLiteral("pattern"));
    row("range without its end", QStringLiteral("update --ip 10.77.1.1-"), false, C::Update, QStringLiteral("range"));
    row("empty type", QStringLiteral("update --type="), false, C::Update, QStringLiteral("--type needs a value"));
    row("empty packages folder", QStringLiteral("list --packages="), false, C::List,
        QStringLiteral("--packages needs a value"));
    row("two formats", QStringLiteral("list --csv --json"), false, C::List, QStringLiteral("--json or --csv"));
    row("version with an option", QStringLiteral("--version --bogus"), false, C::Version,
        QStringLiteral("--version takes no options"));
    row("reflash, quietly", QStringLiteral("update --all --reflash --quiet"), true, C::Update,
        QStringLiteral("reflash quiet"));
    row("quiet and verbose", QStringLiteral("update --all --quiet --verbose"), false, C::Update,
        QStringLiteral("--quiet or --verbose"));
    row("reflash on list", QStringLiteral("list --reflash"), false, C::List, QStringLiteral("Unknown option"));
    row("history of one batch", QStringLiteral("history --batch=12"), true, C::History, QStringLiteral("batch 12"));
    row("check with a plan", QStringLiteral("check --needs-update --canary 2 --max-in-flight 4"), true, C::Check,
        QString());
    row("check without a selection", QStringLiteral("check --json"), false, C::Check,
        QStringLiteral("check needs a selection"));
    row("force on check", QStringLiteral("check --all --force"), false, C::Check, QStringLiteral("Unknown option"));
    row("history of batch zero", QStringLiteral("history --batch 0"), false, C::History,
        QStringLiteral("--batch takes a batch number"));
}

void TestCli::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, accepted);
    QFETCH(int, command);
    QFETCH(QString, detail);

    CliOptions options;
    QString error;
    QCOMPARE(parseCliArguments(arguments, &options, &error), accepted);
    if (!accepted) {
        QVERIFY2(error.contains(detail), qPrintable(error));
        return;
    }
    QCOMPARE(int(options.command), command);
    if (detail.startsWith(QLatin1String("json")) || detail.startsWith(QLatin1String("csv"))) {
        QCOMPARE(options.format, detail.startsWith(QLatin1String("json")) ? CliOptions::Format::Json
                                                                          : CliOptions::Format::Csv);
        QCOMPARE(QStringLiteral("wait=%1").arg(options.waitSecs), detail.section(QLatin1Char(' '), 1));
    } else if (detail == QLatin1String("no history")) {
        QVERIFY(!options.keepHistory);
    } else if (detail == QLatin1String("history")) {
        QCOMPARE(options.since, QDate(2026, 12, 1).startOfDay());
        QCOMPARE(options.unitMac, QStringLiteral("02:B5:0A:4D:01:01"));
        QCOMPARE(options.format, CliOptions::Format::Csv);
    } else if (detail == QLatin1String("reflash quiet")) {
        QVERIFY(options.reflash && options.selection.all);
        QCOMPARE(options.progress, CliOptions::Progress::Quiet);
    } else if (detail == QLatin1String("batch 12")) {
        QCOMPARE(options.batchId, 12);
    } else if (detail == QLatin1String("dry")) {
        QVERIFY(!options.yes);
        QVERIFY(options.selection.needsUpdate);
    } else if (!detail.isEmpty()) {
        QVERIFY(options.yes && options.resetEdid);
        QCOMPARE(options.selection.types, QStringList{QStringLiteral("ENC")});
        QCOMPARE(options.selection.ranges.first(), std::make_pair(quint32(0x0a000000), quint32(0x0a000003)));
        QCOMPARE(QStringLiteral("%1/%2/%3")
                     .arg(options.deadlines.fetchSecs)
                     .arg(options.deadlines.rebootSecs)
                     .arg(options.deadlines.returnSecs),
                 QStringLiteral("20/30/40"));
        QVERIFY(options.plan == (RolloutPlan{1, 4, 2}));
    }
}

void TestCli::selection_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("updateAvailable");
    QTest::addColumn<bool>("selected");

    // The unit: "Lobby Encoder", ENC, 02:B5:0A:4D:01:07 at 10.77.1.7.
    QTest::newRow("all") << "--all" << false << true;
    QTest::newRow("needs update, has one") << "--needs-update" << true << true;
    QTest::newRow("needs update, has none") << "--needs-update" << false << false;
    QTest::newRow("mac in dashes, lower case") << "--mac 02-b5-0a-4d-01-07" << false << true;
    QTest::newRow("another mac") << "--mac 02:B5:0A:4D:01:08" << false << false;
    QTest::newRow("one of two macs") << "--mac 02:B5:0A:4D:01:08 --mac 02:B5:0A:4D:01:07" << false << true;
    QTest::newRow("address") << "--ip 10.77.1.7" << false << true;
    QTest::newRow("range") << "--ip 10.77.1.1-10.77.1.9" << false << true;
    QTest::newRow("subnet, outside") << "--ip 10.77.2.0/24" << false << false;
    QTest::newRow("type, lower case") << "--type enc" << false << true;
    QTest::newRow("name glob") << "--name lobby*" << false << true;
    QTest::newRow("name and type, type differs") << "--name Lobby* --type DEC" << false << false;
    QTest::newRow("name and needs update") << "--name *Encoder --needs-update" << true << true;
}

void TestCli::selection()
{
    QFETCH(QString, line);
    QFETCH(bool, updateAvailable);
    QFETCH(bool, selected);

    CliOptions options;
    QString error;
    QVERIFY2(parseCliArguments(QStringList{QStringLiteral("update")} + line.split(QLatin1Char(' ')), &options, &error),
             qPrintable(error));
    MarluneUnit unit;
    unit.name = QStringLiteral("Lobby Encoder");
    unit.mac = QStringLiteral("02:B5:0A:4D:01:07");
    unit.ip = QStringLiteral("10.77.1.7");
    unit.setEncoder();
    QCOMPARE(options.selection.matches(unit, updateAvailable), selected);
}

void TestCli::startCli(QProcess &cli, const QStringList &arguments)
{
    cli.start(QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"), arguments);
    QVERIFY(cli.waitForStarted(10000));
}

TestCli::Run TestCli::finishCli(QProcess &cli, int timeoutMs)
{
    Run run;
    if (!cli.waitForFinished(timeoutMs)) {
        cli.kill();
        cli.waitForFinished(5000);
    }
    run.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    run.err = cli.readAllStandardError();
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            run.events.append(QJsonDocument::fromJson(line).object());
    }
    return run;
}

bool TestCli::interruptOnceSaid(QProcess &cli, const QByteArray &text, int timeoutMs)
{
    QByteArray seen;
    if (!QTest::qWaitFor(
            [&] {
                seen += cli.readAllStandardOutput();
                return seen.contains(text);
            },
            timeoutMs))
        return false;
    return ::kill(pid_t(cli.processId()), SIGINT) == 0;
}

bool TestCli::isJsonTime(const QJsonValue &value)
{
    static const QRegularExpression time(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"));
    return time.match(value.toString()).hasMatch();
}

QString TestCli::fleet(int units, const QString &extra)
{
    QString text = QStringLiteral("[fleet]\nwebversion=1388534400\nrebootSeconds=1\n") + extra;
    for (int i = 1; i <= units; ++i)
        text += QStringLiteral("[u%1]\nfamily=k220-decoder\nip=10.77.1.%1\n").arg(i);
    return text;
}

QString TestCli::noHistory()
{
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/bryx-updater");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    return folder + QStringLiteral("/history.sqlite");
}

// Two things keep the tool from starting: another instance's lock, and the file server's port
// taken. Neither gets as far as the network.
void TestCli::cannotStart_data()
{
    QTest::addColumn<bool>("lockHeld");
    QTest::addColumn<int>("lockOwner");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("lock held") << true << -1 << QByteArray("lock file");
    // The lock folder may be shared by every user of the machine.
    QTest::newRow("another user's lock") << true << 65534 << QByteArray("belongs to another user");
    QTest::newRow("port taken") << false << -1 << QByteArray("50005");
}

void TestCli::cannotStart()
{
    QFETCH(bool, lockHeld);
    QFETCH(int, lockOwner);
    QFETCH(QByteArray, said);
    QFile lock(Folders::lockFilePath());
    QTcpServer squatter;
    if (lockHeld)
        QVERIFY(lock.open(QIODevice::WriteOnly));
    else
        QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 50005));
    if (lockOwner >= 0 && ::chown(QFile::encodeName(lock.fileName()).constData(), uid_t(lockOwner), gid_t(lockOwner)) != 0) {
        QFile::remove(Folders::lockFilePath());
        QSKIP("files cannot be given to another user here");
    }
    QProcess cli;
    startCli(cli, {QStringLiteral("list"), QStringLiteral("--packages"), packages.path()});
    const Run run = finishCli(cli, 30000);
    QFile::remove(Folders::lockFilePath());
    QCOMPARE(run.exitCode, int(kExitCannotStart));
    QVERIFY2(run.err.contains(said), run.err.constData());
}

// A whole batch, kept in the history; with a history file that is not a database the batch goes
// just the same, and the tool says once that no history is kept.
void TestCli::wholeUpdate_data()
{
    QTest::addColumn<bool>("historyBroken");
    QTest::addColumn<bool>("reportSaved");
    QTest::newRow("history kept") << false << true;
    QTest::newRow("history file is not a database") << true << true;
    // Every unit confirmed, and still not a success: a script finds no report where it asked.
    QTest::newRow("report cannot be written") << false << false;
}

void TestCli::wholeUpdate()
{
    QFETCH(bool, historyBroken);
    QFETCH(bool, reportSaved);
    const QString historyPath = noHistory();
    if (historyBroken) {
        QFile garbage(historyPath);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
    }
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(3), 3));
    QTemporaryDir reports;
    // A folder that is a file cannot hold the report, not even for root.
    QFile notAFolder(reports.filePath(QStringLiteral("file")));
    QVERIFY(notAFolder.open(QIODevice::WriteOnly));
    const QString report =
        reports.filePath(reportSaved ? QStringLiteral("report.csv") : QStringLiteral("file/report.csv"));
    QProcess cli;
    startCli(cli, {QStringLiteral("update"), QStringLiteral("--needs-update"), QStringLiteral("--yes"),
                   QStringLiteral("--json"), QStringLiteral("--report"), report, QStringLiteral("--packages"),
                   packages.path()});
    const Run run = finishCli(cli);
    const QJsonObject summary = run.summary();
    QVERIFY2(run.exitCode == (reportSaved ? kExitConfirmed : kExitSomeFailed), run.err.constData());
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("selected")).toInt(), 3);
    QCOMPARE(summary.value(QStringLiteral("confirmed")).toInt(), 3);
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), run.exitCode);
    QCOMPARE(summary.value(QStringLiteral("schema")).toInt(), 1);
    QVERIFY(isJsonTime(summary.value(QStringLiteral("started"))));
    for (const QJsonObject &event : run.events)
        QVERIFY2(isJsonTime(event.value(QStringLiteral("time"))), QJsonDocument(event).toJson().constData());
    for (const QJsonValue &value : summary.value(QStringLiteral("units")).toArray()) {
        const QJsonObject unit = value.toObject();
        QCOMPARE(unit.value(QStringLiteral("status")).toString(), QStringLiteral("K-Series Update Confirmed."));
        QCOMPARE(unit.value(QStringLiteral("software")).toString(), QStringLiteral("3/2/2015"));
        QCOMPARE(unit.value(QStringLiteral("softwareDate")).toString(), QStringLiteral("2015-03-02"));
        QVERIFY(!unit.value(QStringLiteral("serial")).toString().isEmpty());
    }
    QVERIFY(simulator.waitForLine(QStringLiteral("u3 CONFIRMED")));
    if (!reportSaved) {
        QVERIFY(summary.contains(QStringLiteral("report")) && summary.value(QStringLiteral("report")).isNull());
        QVERIFY(!summary.value(QStringLiteral("reportError")).toString().isEmpty());
        return;
    }
    QCOMPARE(summary.value(QStringLiteral("report")).toString(), report);
    QFile csv(report);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.readAll().count("K-Series Update Confirmed."), 3);
    // Every step of every unit was an event of its own, in order.
    QStringList steps;
    for (const QJsonObject &event : run.events)
        if (event.value(QStringLiteral("name")) == QLatin1String("u2") && event.value(QStringLiteral("event")) == QLatin1String("step"))
            steps.append(event.value(QStringLiteral("step")).toString());
    QCOMPARE(steps.first(), QStringLiteral("queued"));
    QCOMPARE(steps.last(), QStringLiteral("confirmed"));
    QVERIFY2(steps.contains(QStringLiteral("went down")), qPrintable(steps.join(QLatin1Char(','))));
    QVERIFY(!QFile::exists(Folders::lockFilePath()));

    const auto notKept = std::count_if(run.events.cbegin(), run.events.cend(), [](const QJsonObject &event) {
        return event.value(QStringLiteral("line")).toString().contains(QLatin1String("Update history is not being kept: "));
    });
    QCOMPARE(notKept, historyBroken ? 1 : 0);
    QProcess history;
    startCli(history, {QStringLiteral("history"), QStringLiteral("--csv")});
    QVERIFY(history.waitForFinished(30000));
    QCOMPARE(history.exitCode(), int(historyBroken ? kExitCannotStart : kExitConfirmed));
    if (!historyBroken) {
        // The batch ended, its units with their final status, in the report's own columns.
        const QByteArray kept = history.readAllStandardOutput();
        QCOMPARE(kept.count("K-Series Update Confirmed."), 3);
        csv.seek(0);
        QVERIFY(kept.startsWith("Batch,Batch started," + csv.readLine()));
        // The same batch as JSON: the unit keys of the events, times with their offset, true flags.
        startCli(history, {QStringLiteral("history"), QStringLiteral("--json")});
        QVERIFY(history.waitForFinished(30000));
        const QJsonObject document = QJsonDocument::fromJson(history.readAllStandardOutput()).object();
        QCOMPARE(document.value(QStringLiteral("schema")).toInt(), 1);
        const QJsonObject batch = document.value(QStringLiteral("batches")).toArray().first().toObject();
        QCOMPARE(batch.value(QStringLiteral("end")).toString(), QStringLiteral("completed"));
        QVERIFY(isJsonTime(batch.value(QStringLiteral("ended"))));
        const QJsonObject unit = batch.value(QStringLiteral("units")).toArray().first().toObject();
        QCOMPARE(unit.value(QStringLiteral("softwareAfterDate")).toString(), QStringLiteral("2015-03-02"));
        QVERIFY(isJsonTime(unit.value(QStringLiteral("confirmed"))));
        QVERIFY(unit.value(QStringLiteral("bytesServed")).toInteger() > 0);
        QCOMPARE(unit.value(QStringLiteral("overdue")), QJsonValue(false));
    }
}

void TestCli::unitThatNeverFetchesIsOverdue_data()
{
    QTest::addColumn<QStringList>("plan");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("confirmed");
    QTest::addColumn<int>("held");

    QTest::newRow("no plan") << QStringList() << int(kExitSomeFailed) << 3 << 0;
    // The stuck unit comes first in table order: it is the canary, and the others never hear a command.
    QTest::newRow("canary halts the batch") << QStringList{QStringLiteral("--canary"), QStringLiteral("1")}
                                            << int(kExitStopped) << 0 << 3;
}

void TestCli::unitThatNeverFetchesIsOverdue()
{
    QFETCH(QStringList, plan);
    QFETCH(int, exitCode);
    QFETCH(int, confirmed);
    QFETCH(int, held);

    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(3) + QStringLiteral("[stuck]\nfamily=k220-decoder\nip=10.77.1.4\nbehaviour=neverFetches\n"), 4));
    QProcess cli;
    startCli(cli, QStringList{QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"),
                              QStringLiteral("--json"), QStringLiteral("--fetch-deadline"), QStringLiteral("12"),
                              QStringLiteral("--packages"), packages.path()}
                      + plan);
    const Run run = finishCli(cli);
    const QJsonObject summary = run.summary();
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(summary.value(QStringLiteral("confirmed")).toInt(), confirmed);
    QCOMPARE(summary.value(QStringLiteral("overdue")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("held")).toInt(), held);
    QCOMPARE(summary.value(QStringLiteral("halted")).toBool(), held > 0);
    for (const QJsonValue &value : summary.value(QStringLiteral("units")).toArray()) {
        const QJsonObject unit = value.toObject();
        if (unit.value(QStringLiteral("name")) == QLatin1String("stuck"))
            QCOMPARE(unit.value(QStringLiteral("status")).toString(), QStringLiteral("Overdue: no image fetch after 12 s"));
    }
    if (held > 0) {
        int fetches = 0;
        for (const QString &line : simulator.lines())
            fetches += line.contains(QLatin1String(" FETCH-START ")) ? 1 : 0;
        QCOMPARE(fetches, 0);
        const auto halted = std::count_if(run.events.cbegin(), run.events.cend(), [](const QJsonObject &event) {
            return event.value(QStringLiteral("event")) == QLatin1String("halted");
        });
        QCOMPARE(halted, 1);
    }
}

// Ctrl-C while units wait their turn to be commanded: those never hear the command, the ones
// commanded finish, and the tool says it was stopped.
void TestCli::interruptedBatchCommandsNoMore()
{
    // More units than command exchanges run at once, each slow to answer: some wait their turn.
    constexpr int kUnits = 40;
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(kUnits, QStringLiteral("messageDelayMs=3000\n")), kUnits));
    QProcess cli;
    startCli(cli, {QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"), QStringLiteral("--json"),
                   QStringLiteral("--packages"), packages.path()});
    QVERIFY(interruptOnceSaid(cli, "\"step\":\"commanding\"", 60000));
    Run run = finishCli(cli);
    QCOMPARE(run.exitCode, int(kExitStopped));
    const QJsonObject summary = run.summary();
    const int notCommanded = summary.value(QStringLiteral("notCommanded")).toInt();
    QVERIFY2(notCommanded > 0, run.err.constData());
    QCOMPARE(summary.value(QStringLiteral("confirmed")).toInt() + notCommanded, kUnits);
    // The commanded ones took their image, and none of the others was asked to.
    QTest::qWait(1000);
    int commands = 0;
    for (const QString &line : simulator.lines())
        commands += line.contains(QLatin1String(" FETCH-START ")) ? 1 : 0;
    QCOMPARE(commands, kUnits - notCommanded);
}

// A signal during discovery ends the run at once, and a script still finds the summary last,
// whatever else is said as the tool shuts down.
void TestCli::stoppedBeforeTheBatchStillSaysSo()
{
    // A history that cannot be kept says so while the tool may already be shutting down.
    QFile garbage(noHistory());
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    QProcess cli;
    startCli(cli, {QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"), QStringLiteral("--json"),
                   QStringLiteral("--packages"), packages.path()});
    QVERIFY(interruptOnceSaid(cli, "Sent Discover Packet.", 30000));
    const Run run = finishCli(cli, 30000);
    QCOMPARE(run.exitCode, int(kExitStopped));
    QCOMPARE(run.summary().value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QVERIFY(run.summary().value(QStringLiteral("stopped")).toBool());
}

// A signal before the units are listed: the summary is the last line, in text on stderr as in
// JSON on stdout, and a stopped list has one too. What the core says after it (the history's
// notice, a status-log line as a connection closes) is not written.
void TestCli::summaryIsTheLastLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("last");

    QTest::newRow("update as text") << "update --all --yes" << false << "0 of 0 selected units confirmed";
    QTest::newRow("update as json") << "update --all --yes --json" << true << "update";
    QTest::newRow("list as json") << "list --json" << true << "list";
}

void TestCli::summaryIsTheLastLine()
{
    QFETCH(QString, line);
    QFETCH(bool, json);
    QFETCH(QString, last);

    CliOptions options;
    QString error;
    QVERIFY2(parseCliArguments(line.split(QLatin1Char(' ')), &options, &error), qPrintable(error));
    UpdaterCore core;
    const std::unique_ptr<FILE, int (*)(FILE *)> out(std::tmpfile(), &std::fclose);
    const std::unique_ptr<FILE, int (*)(FILE *)> err(std::tmpfile(), &std::fclose);
    {
        CliRun run(options, core, out.get(), err.get());
        QSignalSpy finished(&run, &CliRun::finished);
        run.interrupt();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), int(kExitStopped));
        Q_EMIT core.historyNotice(QStringLiteral("Update history is not being kept: the file is locked"));
        core.toStatusLog(QStringLiteral("10.77.1.3"), QStringLiteral("Connection closed."));
    }
    std::rewind(json ? out.get() : err.get());
    QFile written;
    QVERIFY(written.open(json ? out.get() : err.get(), QIODevice::ReadOnly));
    const QByteArray lastLine = written.readAll().trimmed().split('\n').last();
    if (!json) {
        QVERIFY2(lastLine.contains(last.toUtf8()), lastLine.constData());
        return;
    }
    const QJsonObject summary = QJsonDocument::fromJson(lastLine).object();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("command")).toString(), last);
    QCOMPARE(summary.value(QStringLiteral("schema")).toInt(), 1);
    QVERIFY(summary.value(QStringLiteral("stopped")).toBool());
}

// The tool killed in the middle of a batch: the steps written until then stay in the history, and
// the next start marks the batch interrupted and says so.
void TestCli::historySurvivesAKill()
{
    noHistory();
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(3) + QStringLiteral("[stuck]\nfamily=k220-decoder\nip=10.77.1.4\nbehaviour=neverFetches\n"), 4));
    QProcess cli;
    startCli(cli, {QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"), QStringLiteral("--json"),
                   QStringLiteral("--packages"), packages.path()});
    QByteArray said;
    QVERIFY(QTest::qWaitFor(
        [&] {
            said += cli.readAllStandardOutput();
            return said.count("\"step\":\"confirmed\"") == 3;
        },
        120000));
    // What happened more than a second ago is written; a little more for a loaded machine.
    QTest::qWait(2500);
    QCOMPARE(::kill(pid_t(cli.processId()), SIGKILL), 0);
    QVERIFY(cli.waitForFinished(10000));

    QProcess restart;
    startCli(restart, {QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--override-lock"),
                       QStringLiteral("--wait"), QStringLiteral("6"), QStringLiteral("--packages"), packages.path()});
    const Run listed = finishCli(restart, 60000);
    QCOMPARE(listed.exitCode, int(kExitConfirmed));
    const auto told = std::count_if(listed.events.cbegin(), listed.events.cend(), [](const QJsonObject &event) {
        return event.value(QStringLiteral("line")).toString().contains(QLatin1String("(4 units) was interrupted"));
    });
    QCOMPARE(told, 1);
    // The list is JSON Lines: a line per unit, then the summary, which counts them.
    QList<QJsonObject> listedUnits;
    std::copy_if(
        listed.events.cbegin(), listed.events.cend(), std::back_inserter(listedUnits),
        [](const QJsonObject &event) { return event.value(QStringLiteral("event")) == QLatin1String("unit"); });
    QCOMPARE(listedUnits.size(), 4);
    QCOMPARE(listed.summary().value(QStringLiteral("count")).toInt(), 4);
    QVERIFY(!listed.summary().contains(QStringLiteral("units")));
    QCOMPARE(listedUnits.first().value(QStringLiteral("webDate")).toString(), QStringLiteral("2014-01-01"));

    QProcess history;
    startCli(history, {QStringLiteral("history"), QStringLiteral("--json")});
    QVERIFY(history.waitForFinished(30000));
    QCOMPARE(history.exitCode(), int(kExitConfirmed));
    const QJsonArray batches = QJsonDocument::fromJson(history.readAllStandardOutput())
                                   .object().value(QStringLiteral("batches")).toArray();
    QCOMPARE(batches.size(), 1);
    const QJsonObject batch = batches.first().toObject();
    QCOMPARE(batch.value(QStringLiteral("end")).toString(), QStringLiteral("interrupted"));
    // Each unit's steps by name: when it was commanded, fetched its image and was confirmed.
    QMap<QString, QString> steps;
    for (const QJsonValue &value : batch.value(QStringLiteral("units")).toArray()) {
        const QJsonObject unit = value.toObject();
        QString taken;
        for (const char *step : {"commanded", "fetched", "confirmed"})
            taken += unit.value(QLatin1String(step)).isNull() ? QLatin1Char('-') : QLatin1Char('+');
        steps.insert(unit.value(QStringLiteral("name")).toString(), taken);
    }
    const QMap<QString, QString> expected{{QStringLiteral("u1"), QStringLiteral("+++")},
                                          {QStringLiteral("u2"), QStringLiteral("+++")},
                                          {QStringLiteral("u3"), QStringLiteral("+++")},
                                          {QStringLiteral("stuck"), QStringLiteral("+--")}};
    QCOMPARE(steps, expected);
}

// With --packages, that folder alone is read: a same-named image in the working folder, older
// than the unit's software, was served in its place.
void TestCli::packagesFolderAloneIsServed()
{
    QTemporaryDir working;
    QVERIFY(writePackage(working.path(), QStringLiteral("k220_lab"), QStringLiteral("1/1/2013"), 1356998400));
    QFile image(packages.filePath(QStringLiteral("k220_lab.bin")));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(image.readAll(), QCryptographicHash::Md5).toHex());
    noHistory();
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(1) + QStringLiteral("digest=1\n"), 1));
    QProcess cli;
    cli.setWorkingDirectory(working.path());
    startCli(cli, {QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--yes"), QStringLiteral("--json"),
                   QStringLiteral("--packages"), packages.path()});
    const Run run = finishCli(cli);
    QVERIFY2(run.exitCode == kExitConfirmed, run.err.constData());
    QStringList fetched;
    QVERIFY(QTest::qWaitFor(
        [&] { return !(fetched = simulator.lines().filter(QStringLiteral(" FETCH-OK "))).isEmpty(); }, 10000));
    QCOMPARE(fetched.size(), 1);
    QVERIFY2(fetched.first().endsWith(digest), qPrintable(fetched.first()));
}

// Tool A runs; B, told to override the lock, cannot start (A has the file server's port) and
// must leave A's lock as it found it, or the next updater would start beside A unasked.
void TestCli::failedOverrideLeavesTheLiveLock()
{
    noHistory();
    QProcess first;
    startCli(first, {QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--wait"), QStringLiteral("60"),
                     QStringLiteral("--packages"), packages.path()});
    QByteArray said;
    QVERIFY(QTest::qWaitFor(
        [&] {
            said += first.readAllStandardOutput();
            return said.contains("Sent Discover Packet.");
        },
        30000));
    const FileIdentity lock = FileIdentity::of(Folders::lockFilePath());
    QVERIFY(lock.exists);

    QProcess second;
    startCli(second, {QStringLiteral("list"), QStringLiteral("--override-lock"), QStringLiteral("--packages"),
                      packages.path()});
    const Run refused = finishCli(second, 30000);
    QCOMPARE(refused.exitCode, int(kExitCannotStart));
    QVERIFY2(refused.err.contains("50005"), refused.err.constData());
    QCOMPARE(FileIdentity::of(Folders::lockFilePath()), lock);

    QCOMPARE(::kill(pid_t(first.processId()), SIGTERM), 0);
    QCOMPARE(finishCli(first, 30000).exitCode, int(kExitStopped));
    QVERIFY(!QFile::exists(Folders::lockFilePath()));
}

// The lock folder may be shared by every user of the machine: a link planted at the lock's name
// is never written through, with or without --override-lock.
void TestCli::lockIsNeverWrittenThrough_data()
{
    QTest::addColumn<bool>("overrideLock");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("refused") << false << int(kExitCannotStart);
    QTest::newRow("overridden") << true << int(kExitConfirmed);
}

void TestCli::lockIsNeverWrittenThrough()
{
    QFETCH(bool, overrideLock);
    QFETCH(int, exitCode);

    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("precious.txt"));
    QFile precious(target);
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("keep me");
    precious.close();
    QFile::remove(Folders::lockFilePath());
    QVERIFY(QFile::link(target, Folders::lockFilePath()));

    QStringList arguments{QStringLiteral("list"), QStringLiteral("--json"),     QStringLiteral("--wait"),
                          QStringLiteral("6"),    QStringLiteral("--packages"), packages.path()};
    if (overrideLock)
        arguments << QStringLiteral("--override-lock");
    QProcess cli;
    startCli(cli, arguments);
    const Run run = finishCli(cli, 60000);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(precious.open(QIODevice::ReadOnly));
    QCOMPARE(precious.readAll(), QByteArray("keep me"));
    if (overrideLock) {
        QVERIFY(!QFileInfo::exists(Folders::lockFilePath()) && !QFileInfo(Folders::lockFilePath()).isSymLink());
    } else {
        QVERIFY2(run.err.contains("not a plain file"), run.err.constData());
        QVERIFY(QFileInfo(Folders::lockFilePath()).isSymLink());
        QFile::remove(Folders::lockFilePath());
    }
}

// A reader that goes away early (`| head -1`): the tool winds down as at a signal, with its lock
// removed, instead of dying of SIGPIPE.
void TestCli::readerGoneEndsTheRunInOrder()
{
    noHistory();
    QProcess shell;
    shell.start(
        QStringLiteral("bash"),
        {QStringLiteral("-c"),
         QStringLiteral("\"$0\" list --json --wait 6 --packages \"$1\" | { read -r line; }; echo \"${PIPESTATUS[0]}\""),
         QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"), packages.path()});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.readAllStandardOutput().trimmed(), QByteArray::number(kExitStopped));
    QVERIFY(shell.readAllStandardError().contains("Standard output was closed"));
    QVERIFY(!QFileInfo::exists(Folders::lockFilePath()));
}

void TestCli::historyOfADamagedFile_data()
{
    QTest::addColumn<QStringList>("arguments");
    // The table whose first page is overwritten, and where; none: the file is empty.
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("exitCode");

    const QStringList unit{QStringLiteral("--unit"), QStringLiteral("02:B5:0A:4D:01:05")};
    QTest::newRow("empty file") << QStringList() << QString() << 0 << int(kExitConfirmed);
    QTest::newRow("batches, text") << QStringList() << "batches" << 0 << int(kExitCannotStart);
    QTest::newRow("batches, json") << QStringList{"--json"} << "batches" << 0 << int(kExitCannotStart);
    QTest::newRow("batches, csv") << QStringList{"--csv"} << "batches" << 0 << int(kExitCannotStart);
    // The rows still read, from cells that point elsewhere.
    QTest::newRow("batches' cell pointers") << QStringList() << "batches" << 8 << int(kExitCannotStart);
    QTest::newRow("events of a unit") << unit << "unit_events" << 0 << int(kExitCannotStart);
}

// A history file damaged on disk is said to be so (exit code 4), not shown as an empty or partial
// history; an empty file is a history with no batches, and reading it writes nothing.
void TestCli::historyOfADamagedFile()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, damaged);
    QFETCH(int, offset);
    QFETCH(int, exitCode);

    const QString path = noHistory();
    if (damaged.isEmpty()) {
        QFile empty(path);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    } else {
        // Thirty nights of one unit, eleven steps each, written as the updater writes them.
        {
            HistoryStore store(QStringLiteral("damaged"));
            QString error;
            QVERIFY2(store.open(path, &error), qPrintable(error));
            const QString mac = QStringLiteral("02:B5:0A:4D:01:05");
            for (int night = 0; night < 30; ++night) {
                const QDateTime started = QDateTime(QDate(2026, 11, 1), QTime(2, 0)).addDays(night);
                const qint64 batch =
                    store.beginBatch({0, started, {}, QStringLiteral("bench-7"), {}, false, {}, 0, {}, {}});
                HistoryStore::UnitRun run;
                run.mac = mac;
                run.finalStatus = QStringLiteral("K-Series Update Confirmed.");
                QVERIFY(store.saveUnitRun(batch, run));
                QList<HistoryStore::Event> events;
                for (int step = 0; step < 11; ++step)
                    events.append({batch, mac, started.addSecs(step), QStringLiteral("status"),
                                   QStringLiteral("step %1").arg(step)});
                QVERIFY(store.addEvents(events));
                QVERIFY(store.endBatch(batch, started.addSecs(60)));
            }
        }
        int rootPage = 0;
        int pageSize = 0;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("pages"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("SELECT rootpage, (SELECT page_size FROM pragma_page_size) "
                                              "FROM sqlite_master WHERE name = '%1'")
                                   .arg(damaged)));
            QVERIFY(query.next());
            rootPage = query.value(0).toInt();
            pageSize = query.value(1).toInt();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pages"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(qint64(rootPage - 1) * pageSize + offset));
        QCOMPARE(file.write(QByteArray(32, '\xa5')), 32);
    }
    const QByteArray before = [&path] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    QProcess history;
    startCli(history, QStringList{QStringLiteral("history")} + arguments);
    QVERIFY(history.waitForFinished(30000));
    const QByteArray out = history.readAllStandardOutput();
    const QByteArray err = history.readAllStandardError();
    QVERIFY2(history.exitCode() == exitCode, (out.left(300) + err).constData());
    if (exitCode == kExitConfirmed) {
        QCOMPARE(out, QByteArrayLiteral("No batches in the history.\n"));
    } else {
        QCOMPARE(out, QByteArray());
        QVERIFY2(err.startsWith("Cannot read the history: "), err.constData());
    }
    // Nothing was written: no schema, no log beside the file.
    QFile after(path);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
    QVERIFY(!QFile::exists(path + QStringLiteral("-wal")));
}

// Units that name themselves to do harm, and what each output makes of them: a formula, a
// terminal's escape sequence (ESC and the 8-bit CSI), a name of 3000 characters, and one of
// 60,000 whose reply is larger than any the updater reads. Nothing reaches a terminal raw, a
// spreadsheet finds no formula, the table stays narrow, and the refused reply is named.
void TestCli::hostileNames_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("onStdout");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<int>("widest");

    const QByteArray wide(kShownTextLength, 'W');
    QTest::newRow("list") << QStringList{QStringLiteral("list")} << true
                          << QByteArrayList{"Esc\\x1b[2JClear ", "Csi\\x9b2JRed ", wide + "\u2026 "} << 300;
    QTest::newRow("list as csv") << QStringList{QStringLiteral("list"), QStringLiteral("--csv")} << true
                                 << QByteArrayList{"\r\n\"'=HYPERLINK(\"\"http://127.0.0.1/x\"\";\"\"click\"\")\",",
                                                   "\r\nEsc\\x1b[2JClear,", "\r\n" + QByteArray(3000, 'W') + ','}
                                 << -1;
    QTest::newRow("list as json") << QStringList{QStringLiteral("list"), QStringLiteral("--json")} << true
                                  << QByteArrayList{"\"Esc\\u001b[2JClear\"", "\"Csi\\u009b2JRed\"",
                                                    "bytes from 10.77.1.5 was ignored"}
                                  << -1;
    QTest::newRow("dry run") << QStringList{QStringLiteral("update"), QStringLiteral("--all")} << true
                             << QByteArrayList{"Would update Esc\\x1b[2JClear (10.77.1.2,"} << -1;
}

void TestCli::hostileNames()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, onStdout);
    QFETCH(QByteArrayList, expected);
    QFETCH(int, widest);

    const QString fleet = QStringLiteral("[fleet]\nwebversion=1388534400\n"
                                         "[formula]\nfamily=k220-decoder\nip=10.77.1.1\n"
                                         "name=\"=HYPERLINK(\\\"http://127.0.0.1/x\\\";\\\"click\\\")\"\n"
                                         "[esc]\nfamily=k220-decoder\nip=10.77.1.2\nname=Esc\\x1b[2JClear\n"
                                         "[csi]\nfamily=k220-decoder\nip=10.77.1.3\nname=Csi")
                          + QChar(0x9B) + QStringLiteral("2JRed\n[wide]\nfamily=k220-decoder\nip=10.77.1.4\nname=")
                          + QString(3000, QLatin1Char('W'))
                          + QStringLiteral("\n[huge]\nfamily=k220-decoder\nip=10.77.1.5\nname=")
                          + QString(60000, QLatin1Char('L')) + QLatin1Char('\n');
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet, 5));
    QProcess cli;
    startCli(cli, arguments
                      + QStringList{QStringLiteral("--wait"), QStringLiteral("6"), QStringLiteral("--packages"),
                                    packages.path()});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), int(kExitConfirmed));
    const QByteArray out = cli.readAllStandardOutput();
    const QByteArray err = cli.readAllStandardError();
    const QByteArray said = onStdout ? out : err;
    for (const QByteArray &text : expected)
        QVERIFY2(said.contains(text), (text + "\n" + said.left(2000)).constData());
    QVERIFY(!(out + err).contains('\x1b'));
    QVERIFY(!(out + err).contains("\xc2\x9b"));
    QVERIFY(!(out + err).contains(QByteArray(100, 'L')));
    for (const QByteArray &line : said.split('\n'))
        QVERIFY2(widest < 0 || line.size() <= widest, line.left(200).constData());
}

// What a run prints where: a usage error points at --help; a list returns once the fleet has
// been quiet for a moment, and warns of no power-off; a dry run's answer is on stdout; an update
// leaves out the units already up to date (unless --reflash), tells a line per unit as it ends
// (every step with --verbose, the summary alone with --quiet), and on a terminal keeps a live line
// with the time the batch has taken.
void TestCli::whatEachRunPrints_data()
{
    QTest::addColumn<QString>("line");
    // The simulator's units: old ones (u1, u2, ...) that need the update, then current ones
    // (cur1, ...) that have the package's dates already.
    QTest::addColumn<int>("old");
    QTest::addColumn<int>("current");
    // Run on a terminal (stdout and stderr both go to it).
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("onStdout");
    QTest::addColumn<QByteArrayList>("onStderr");
    QTest::addColumn<QByteArrayList>("notOnStderr");
    // How many lines stderr holds; -1: any number.
    QTest::addColumn<int>("stderrLines");
    // The run ends within this many seconds; 0: not timed.
    QTest::addColumn<int>("withinSecs");

    const QByteArray dash = "\xe2\x80\x94";
    QTest::newRow("usage error") << "flash --all" << 0 << 0 << false << int(kExitBadUsage) << QByteArrayList()
                                 << QByteArrayList{"Unknown command: flash\nTry 'bryx-updater-cli --help' for more "
                                                   "information.\n"}
                                 << QByteArrayList{"Usage:"} << 2 << 0;
    // --wait is the upper bound: 20 units that answer at once are listed long before it.
    QTest::newRow("list once quiet") << "list --wait 60" << 20 << 0 << false << int(kExitConfirmed)
                                     << QByteArrayList{"\nu20 "} << QByteArrayList()
                                     << QByteArrayList{"Do not power down"} << 0 << 30;
    QTest::newRow("dry run") << "update --all --wait 6" << 2 << 1 << false << int(kExitConfirmed)
                             << QByteArrayList{"Would update u1 (10.77.1.1, K2-DEC 02:B5:0A:4D:01:01)\n",
                                               "Would update u2 (10.77.1.2, "}
                             << QByteArrayList{"2 units would be updated",
                                               "1 units already up to date skipped (use --reflash"}
                             << QByteArrayList{"Would update", "Do not power down"} << 2 << 0;
    QTest::newRow("up to date skipped, a line per unit")
        << "update --all --yes --wait 6 --json" << 2 << 2 << false << int(kExitConfirmed)
        << QByteArrayList{"\"event\":\"skipped\"", "\"upToDate\":2"}
        << QByteArrayList{"u1 (10.77.1.1): confirmed " + dash + " K-Series Update Confirmed.\n",
                          "2 units already up to date skipped (use --reflash to update them too).\n",
                          "Do not power down equipment during update!",
                          "2 of 2 selected units confirmed; 0 failed, 0 overdue, 0 not commanded, 0 refused, 2 "
                          "already up to date skipped.\n"}
        << QByteArrayList{"cur1", "cur2", "): queued"} << 6 << 0;
    QTest::newRow("reflash, every step") << "update --all --yes --wait 6 --reflash --verbose" << 1 << 1 << false
                                         << int(kExitConfirmed) << QByteArrayList()
                                         << QByteArrayList{"cur1 (10.77.1.2): queued " + dash,
                                                           "cur1 (10.77.1.2): fetched " + dash,
                                                           "cur1 (10.77.1.2): confirmed",
                                                           "2 of 2 selected units confirmed"}
                                         << QByteArrayList{"already up to date"} << -1 << 0;
    QTest::newRow("quiet") << "update --all --yes --wait 6 --quiet" << 2 << 1 << false << int(kExitConfirmed)
                           << QByteArrayList()
                           << QByteArrayList{"2 of 2 selected units confirmed; 0 failed, 0 overdue, 0 not commanded, "
                                             "0 refused, 1 already up to date skipped.\n"}
                           << QByteArrayList() << 1 << 0;
    QTest::newRow("live line on a terminal")
        << "update --all --yes --wait 6" << 3 << 0 << true << int(kExitConfirmed) << QByteArrayList()
        << QByteArrayList{" elapsed"} << QByteArrayList() << -1 << 0;
}

void TestCli::whatEachRunPrints()
{
    QFETCH(QString, line);
    QFETCH(int, old);
    QFETCH(int, current);
    QFETCH(bool, terminal);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, onStdout);
    QFETCH(QByteArrayList, onStderr);
    QFETCH(QByteArrayList, notOnStderr);
    QFETCH(int, stderrLines);
    QFETCH(int, withinSecs);

    noHistory();
    SimulatorProcess simulator;
    if (old + current > 0) {
        QString units = fleet(old);
        for (int i = 1; i <= current; ++i)
            units += QStringLiteral("[cur%1]\nfamily=k220-decoder\nip=10.77.1.%2\nswversion=3/2/2015\n"
                                    "webversion=1425384000\n")
                         .arg(i)
                         .arg(old + i);
        QVERIFY(simulator.start(units, old + current));
    }
    const QStringList arguments =
        line.split(QLatin1Char(' ')) + QStringList{QStringLiteral("--packages"), packages.path()};
    QProcess cli;
    QElapsedTimer took;
    took.start();
    if (terminal) {
        if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty())
            QSKIP("no script(1) to give the tool a terminal");
        cli.start(QStringLiteral("script"),
                  {QStringLiteral("-qec"),
                   QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli ") + arguments.join(QLatin1Char(' ')),
                   QStringLiteral("/dev/null")});
    } else {
        startCli(cli, arguments);
    }
    QVERIFY(cli.waitForFinished(120000));
    const qint64 seconds = took.elapsed() / 1000;
    const QByteArray out = cli.readAllStandardOutput();
    // On a terminal both go to it, and script(1) gives it on its stdout.
    const QByteArray err = terminal ? out : cli.readAllStandardError();
    QVERIFY2(cli.exitCode() == exitCode, (out.left(1000) + err).constData());
    for (const QByteArray &text : onStdout)
        QVERIFY2(out.contains(text), (text + "\nnot in:\n" + out.left(3000)).constData());
    for (const QByteArray &text : onStderr)
        QVERIFY2(err.contains(text), (text + "\nnot in:\n" + err.left(3000)).constData());
    for (const QByteArray &text : notOnStderr)
        QVERIFY2(!err.contains(text), (text + "\nin:\n" + err.left(3000)).constData());
    if (stderrLines >= 0)
        QVERIFY2(err.count('\n') == stderrLines, err.constData());
    QVERIFY2(withinSecs == 0 || seconds < withinSecs, QByteArray::number(seconds).constData());
}

// history lists a line per batch, with its units counted by the last step each reached and how
// the batch ended; --batch shows one batch and its units, and a batch it does not have is an error.
void TestCli::historyByBatch_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("outHas");
    QTest::addColumn<QByteArrayList>("outHasNot");
    QTest::addColumn<int>("outLines");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("a line per batch")
        << "history" << int(kExitConfirmed)
        << QByteArrayList{"2  2026-11-02 02:00  2 units: 1 confirmed, 1 taken out  ended: stopped\n"
                          "1  2026-11-01 02:00  3 units: 2 confirmed, 1 overdue  ended: completed\n"}
        << QByteArrayList() << 2 << QByteArray();
    QTest::newRow("one batch, its units")
        << "history --batch 1" << int(kExitConfirmed)
        << QByteArrayList{"Batch 1: begun 2026-11-01 02:00:00, ended 2026-11-01 02:01:00 on bench-7, 3 units\n",
                          "  02:B5:0A:4D:01:03  10.77.1.3  u3  Overdue: no image fetch after 12 s\n"}
        << QByteArrayList{"Batch 2"} << 4 << QByteArray();
    QTest::newRow("one batch as json") << "history --batch 2 --json" << int(kExitConfirmed)
                                       << QByteArrayList{"\"batch\": 2,"} << QByteArrayList{"\"batch\": 1,"} << -1
                                       << QByteArray();
    QTest::newRow("no such batch") << "history --batch 3" << int(kExitBadUsage) << QByteArrayList() << QByteArrayList()
                                   << 0 << QByteArray("No batch 3 in the history.\n");
}

void TestCli::historyByBatch()
{
    QFETCH(QString, line);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, outHas);
    QFETCH(QByteArrayList, outHasNot);
    QFETCH(int, outLines);
    QFETCH(QByteArray, err);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("history.sqlite"));
    {
        HistoryStore store(QStringLiteral("byBatch"));
        QString error;
        QVERIFY2(store.open(path, &error), qPrintable(error));
        // Two nights: three units, one of them overdue; then two, one taken out as it was stopped.
        const QList<QStringList> nights{
            {QStringLiteral("confirmed"), QStringLiteral("confirmed"), QStringLiteral("overdue")},
            {QStringLiteral("confirmed"), QStringLiteral("taken out")}};
        for (int night = 0; night < nights.size(); ++night) {
            const QDateTime started = QDateTime(QDate(2026, 11, 1), QTime(2, 0)).addDays(night);
            const qint64 batch = store.beginBatch(
                {0, started, {}, QStringLiteral("bench-7"), {}, false, {}, int(nights.at(night).size()), {}, {}});
            for (int unit = 1; unit <= nights.at(night).size(); ++unit) {
                HistoryStore::UnitRun run;
                run.mac = QStringLiteral("02:B5:0A:4D:01:0%1").arg(unit);
                run.ip = QStringLiteral("10.77.1.%1").arg(unit);
                run.name = QStringLiteral("u%1").arg(unit);
                run.step = nights.at(night).at(unit - 1);
                run.finalStatus = run.step == QLatin1String("overdue")
                                      ? QStringLiteral("Overdue: no image fetch after 12 s")
                                      : QStringLiteral("K-Series Update Confirmed.");
                QVERIFY(store.saveUnitRun(batch, run));
            }
            QVERIFY(store.endBatch(batch, started.addSecs(60),
                                   night == 0 ? QStringLiteral("completed") : QStringLiteral("stopped")));
        }
    }
    CliOptions options;
    QString error;
    QVERIFY2(parseCliArguments(line.split(QLatin1Char(' ')), &options, &error), qPrintable(error));
    const std::unique_ptr<FILE, int (*)(FILE *)> out(std::tmpfile(), &std::fclose);
    const std::unique_ptr<FILE, int (*)(FILE *)> errors(std::tmpfile(), &std::fclose);
    QCOMPARE(runHistory(options, path, out.get(), errors.get()), exitCode);
    const auto read = [](FILE *file) {
        std::rewind(file);
        QFile written;
        return written.open(file, QIODevice::ReadOnly) ? written.readAll() : QByteArray();
    };
    const QByteArray printed = read(out.get());
    for (const QByteArray &text : outHas)
        QVERIFY2(printed.contains(text), printed.constData());
    for (const QByteArray &text : outHasNot)
        QVERIFY2(!printed.contains(text), printed.constData());
    QVERIFY2(outLines < 0 || printed.count('\n') == outLines, printed.constData());
    QCOMPARE(read(errors.get()), err);
}

// check judges each selected unit before anything is sent: a line (or a JSON object) per unit and
// the summary last, exit 1 when one fails. update runs the same check and refuses what it fails,
// unless --force. The units: one ready, one whose command port hangs, one whose family has a
// description but no image.
void TestCli::checkBeforeUpdate_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArrayList>("outHas");
    // The last line on stdout contains this.
    QTest::addColumn<QByteArray>("outLast");
    QTest::addColumn<QByteArrayList>("errHas");
    QTest::addColumn<QByteArrayList>("simulatorHas");
    QTest::addColumn<QByteArrayList>("simulatorHasNot");

    const QByteArray dash = " \xe2\x80\x94 ";
    QTest::newRow("check") << "check --all --wait 6"
                           << QByteArrayList{"u1 (10.77.1.1): ok\n",
                                             "hangs (10.77.1.2): fail" + dash
                                                 + "TCP port 50001 did not answer within 3 s.\n",
                                             "old (10.77.1.3): fail" + dash
                                                 + "No package with an image for its family.\n"}
                           << QByteArray("3 units checked: 1 ok, 0 warn, 2 fail") << QByteArrayList()
                           << QByteArrayList() << QByteArrayList{" TCP ", " FETCH"};
    QTest::newRow("check as json")
        << "check --all --wait 6 --json"
        << QByteArrayList{"\"name\":\"u1\",\"reasons\":[],", "\"verdict\":\"ok\"",
                          "\"reasons\":[{\"code\":\"port-closed\",\"severity\":\"fail\",\"text\":\"TCP port 50001 did "
                          "not answer within 3 s.\"}]",
                          "{\"code\":\"no-package\",\"severity\":\"fail\""}
        << QByteArray("\"summary\":\"3 units checked: 1 ok, 0 warn, 2 fail\"") << QByteArrayList()
        << QByteArrayList() << QByteArrayList{" TCP ", " FETCH"};
    QTest::newRow("update refuses what the check fails")
        << "update --all --wait 6 --yes" << QByteArrayList() << QByteArray()
        << QByteArrayList{"hangs (10.77.1.2): refused: TCP port 50001 did not answer within 3 s.\n",
                          "old (10.77.1.3): refused: No package with an image for its family.\n",
                          "u1 (10.77.1.1): confirmed",
                          "1 of 1 selected units confirmed; 0 failed, 0 overdue, 0 not commanded, 2 refused."}
        << QByteArrayList{"u1 FETCH-START"} << QByteArrayList{"old FETCH-START", "old TCP setSettings"};
    QTest::newRow("forced") << "update --mac 02:B5:0A:4D:01:03 --wait 6 --yes --force --fetch-deadline 3"
                            << QByteArrayList() << QByteArray()
                            << QByteArrayList{"old (10.77.1.3): check failed, updating it anyway (--force): No "
                                              "package with an image for its family.\n",
                                              "0 of 1 selected units confirmed"}
                            << QByteArrayList{"old FETCH-START"} << QByteArrayList();
}

void TestCli::checkBeforeUpdate()
{
    QFETCH(QString, line);
    QFETCH(QByteArrayList, outHas);
    QFETCH(QByteArray, outLast);
    QFETCH(QByteArrayList, errHas);
    QFETCH(QByteArrayList, simulatorHas);
    QFETCH(QByteArrayList, simulatorHasNot);

    noHistory();
    QTemporaryDir folder;
    QVERIFY(writePackage(folder.path(), QStringLiteral("k220_lab"), QStringLiteral("3/2/2015"), 1425384000));
    QVERIFY(writePackage(folder.path(), QStringLiteral("k110_lab"), QStringLiteral("3/2/2015"), 1425384000));
    QVERIFY(QFile::remove(folder.filePath(QStringLiteral("k110_lab.bin"))));
    SimulatorProcess simulator;
    QVERIFY(simulator.start(fleet(1) + QStringLiteral("[hangs]\nfamily=k220-decoder\nip=10.77.1.2\ntcp=hangs\n"
                                                      "[old]\nfamily=k110-decoder\nip=10.77.1.3\n"),
                            3));
    QProcess cli;
    startCli(cli, line.split(QLatin1Char(' ')) + QStringList{QStringLiteral("--packages"), folder.path()});
    QVERIFY(cli.waitForFinished(120000));
    const QByteArray out = cli.readAllStandardOutput();
    const QByteArray err = cli.readAllStandardError();
    QVERIFY2(cli.exitCode() == kExitSomeFailed, (out + err).constData());
    for (const QByteArray &text : outHas)
        QVERIFY2(out.contains(text), (text + "\nnot in:\n" + out).constData());
    QVERIFY2(out.trimmed().split('\n').last().contains(outLast), out.constData());
    for (const QByteArray &text : errHas)
        QVERIFY2(err.contains(text), (text + "\nnot in:\n" + err).constData());
    for (const QByteArray &text : simulatorHas)
        QVERIFY2(!simulator.waitForPrefix(QString::fromUtf8(text), 10000).isEmpty(), text.constData());
    // What the simulator printed while the tool ran is in its pipe by now.
    QCoreApplication::processEvents();
    const QString said = simulator.lines().join(QLatin1Char('\n'));
    for (const QByteArray &text : simulatorHasNot)
        QVERIFY2(!said.contains(QString::fromUtf8(text)), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
