#include "csvreader.h"
#include "updatelab.h"
#include "units/unitlookup.h"
#include "update/window/historywindow.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QScopeGuard>
#include <QtTest>

namespace {

const QString kConfirmed = QStringLiteral("K-Series Update Confirmed.");
// The updater's UDP port, fixed through its settings so that the flood knows where to go.
constexpr int kUpdaterUdpPort = 51300;
// Large enough that a unit breaking off at 90 % leaves the server more to send than the
// connection holds in flight: the server must see the break.
constexpr qint64 kLargeImage = 64 * 1024 * 1024;
// The window's tick, shortened from 5 s: every step of an update waits for one.
constexpr int kTickMs = 1000;
constexpr int kUpdateTimeoutMs = 60000;

// The longest an event-loop turn may take while the updater is flooded. The 100 ms target is
// held by the faults benchmark on a quiet machine; here the test jobs share the cores, so the
// bound only has to tell a working updater from one the flood freezes (which took seconds).
constexpr qint64 kStallLimitMs = 1000;

QString unitGroup(const QString &name, const QString &family, int address, const QString &extra = QString())
{
    return QStringLiteral("[%1]\nfamily=%2\nname=%1\nip=10.77.1.%3\n%4").arg(name, family).arg(address).arg(extra);
}

QStringList numbered(const QString &prefix, int count)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names << prefix + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
    return names;
}

// The longest gap between the turns of a 10 ms timer on the test's (the updater's) event loop.
class StallProbe
{
public:
    StallProbe()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { longest = qMax(longest, sinceLast.restart()); });
        sinceLast.start();
        timer.start();
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer timer;
    QElapsedTimer sinceLast;
    qint64 longest = 0;
};

} // namespace

// Units and their network misbehaving during a whole update through the real window: an image
// fetch that breaks off, units that stop half way, garbage datagrams and idle connections.
class TestInjectedFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unitInBatch_data();
    void unitInBatch();
    void stuckUnitsGoOverdueAndAreRetried();
    void reportSavedFromTheWindow();
    void batchInHistoryWindow();
    void updateWhileDisturbed_data();
    void updateWhileDisturbed();
    void deadUnitsDoNotHoldUpTheLive();

private:
    QString ipOf(const QString &name) { return findUnit(lab.state().vUnits, &MarluneUnit::name, name)->ip; }
    bool finished(const QString &name)
    {
        return findUnit(lab.state().vUnitsFinished, &MarluneUnit::name, name) != nullptr;
    }
    bool waitTicks(int count)
    {
        const int until = ticks + count;
        return QTest::qWaitFor([&] { return ticks >= until; }, count * kTickMs * 20);
    }

    UpdateLab lab;
    int ticks = 0;
    // Every text each unit's status cell showed, in order, without repeats.
    QMap<QString, QStringList> statusesSeen;
    const QStringList batchFinishing = {"drop10", "drop50", "drop90", "plain1", "plain2"};
    const QStringList batchStuck = {"nofetch", "noreboot", "noreturn"};
    // Listed (they answer status queries) but never complete a TCP connection, or never answer on one.
    const QStringList deadUnits = {"hangs1", "hangs2", "mute1"};
};

void TestInjectedFaults::initTestCase()
{
    // The broken-off fetches need an image larger than the lab's usual ones.
    QVERIFY(writePackage(lab.packages.path(), QStringLiteral("k110_lab"), QStringLiteral("3/2/2015"),
                         UpdateLab::kPackageWeb, QString(), QByteArray(), kLargeImage));
    QSettings settings(Folders::settingsPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("forceUDPPortBind"), 1);
    settings.setValue(QStringLiteral("UDPPortBind"), kUpdaterUdpPort);
    settings.sync();

    const QString k110 = QStringLiteral("k110-decoder");
    const QString k220 = QStringLiteral("k220-decoder");
    QString fleet = unitGroup("drop10", k110, 1, "dropAtPercent=10\ndigest=1\n")
                    + unitGroup("drop50", k110, 2, "dropAtPercent=50\ndigest=1\n")
                    + unitGroup("drop90", k110, 3, "dropAtPercent=90\ndigest=1\n")
                    + unitGroup("nofetch", k220, 4, "behaviour=neverFetches\n")
                    + unitGroup("noreboot", k220, 5, "behaviour=neverReboots\n")
                    + unitGroup("noreturn", k220, 6, "behaviour=neverReturns\n") + unitGroup("plain1", k220, 7)
                    + unitGroup("plain2", k220, 8);
    int address = 9;
    const QStringList others =
        numbered(QStringLiteral("flood"), 20) + numbered(QStringLiteral("idle"), 5) + numbered(QStringLiteral("live"), 9);
    for (const QString &name : others)
        fleet += unitGroup(name, k220, address++);
    for (const QString &name : deadUnits)
        fleet += unitGroup(name, k220, address++, name.startsWith(QLatin1String("mute")) ? "tcp=mute\n" : "tcp=hangs\n");
    const int units = 8 + int(others.size() + deadUnits.size());
    QVERIFY(lab.start(fleet, units, units));
    connect(lab.table()->model(), &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &index) {
        const auto name = lab.table()->item(index.row(), 0);
        QStringList &seen = statusesSeen[name ? name->text() : QString()];
        const QString text = index.siblingAtColumn(7).data().toString();
        if (seen.isEmpty() || seen.last() != text)
            seen.append(text);
    });
    auto *refresh = lab.window->findChild<QTimer *>(QStringLiteral("refreshTimer"));
    refresh->setInterval(kTickMs);
    connect(refresh, &QTimer::timeout, this, [this] { ++ticks; });

    // One batch: the units that behave finish whatever the others do.
    lab.update(batchFinishing + batchStuck);
    for (const QString &name : batchFinishing)
        QVERIFY2(lab.waitForStatus(name, kConfirmed, kUpdateTimeoutMs), qPrintable(name + ": " + lab.statusOf(name)));
    // The stuck units get a few more ticks to show that they stay stuck.
    QVERIFY(waitTicks(3));
    QCOMPARE(lab.simulator.process().state(), QProcess::Running);
}

void TestInjectedFaults::unitInBatch_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("event"); // what the unit did instead of a plain update
    QTest::addColumn<QString>("status"); // what the table says of it in the end
    QTest::addColumn<int>("dropPercent");

    QTest::newRow("drops-fetch-at-10%") << "drop10" << "FETCH-DROPPED" << kConfirmed << 10;
    QTest::newRow("drops-fetch-at-50%") << "drop50" << "FETCH-DROPPED" << kConfirmed << 50;
    QTest::newRow("drops-fetch-at-90%") << "drop90" << "FETCH-DROPPED" << kConfirmed << 90;
    QTest::newRow("takes-command-never-fetches") << "nofetch" << "NO-FETCH" << "Waiting for reboot" << 0;
    QTest::newRow("fetches-never-reboots") << "noreboot" << "NO-REBOOT" << "Waiting for reboot" << 0;
    QTest::newRow("reboots-never-returns") << "noreturn" << "GONE" << "Unit is rebooting..." << 0;
}

void TestInjectedFaults::unitInBatch()
{
    QFETCH(QString, unit);
    QFETCH(QString, event);
    QFETCH(QString, status);
    QFETCH(int, dropPercent);
    const QString unitLog = lab.simulator.lines().filter(unit + QLatin1Char(' ')).join(QLatin1Char('\n'));
    QVERIFY2(lab.simulator.hasLineStartingWith(unit + QLatin1Char(' ') + event), qPrintable(unitLog));
    QTRY_COMPARE_WITH_TIMEOUT(lab.statusOf(unit), status, 30000);

    if (dropPercent == 0) {
        QVERIFY(!finished(unit));
        QCOMPARE(lab.rowColourOf(unit), QColor(Qt::red));
        // The cell that showed a transfer's bar no longer carries one.
        QVERIFY(!lab.table()->item(lab.rowOf(unit), 7)->data(Qt::UserRole + 7).isValid());
        QVERIFY(!lab.simulator.hasLineStartingWith(unit + QStringLiteral(" CONFIRMED")));
        return;
    }

    // Broke off at the given share of the image, fetched it again whole and was confirmed.
    QFile image(lab.packages.filePath(QStringLiteral("k110_lab.bin")));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCryptographicHash md5(QCryptographicHash::Md5);
    QVERIFY(md5.addData(&image));
    QVERIFY2(lab.simulator.hasLineStartingWith(QStringLiteral("%1 FETCH-DROPPED %2 %3")
                                                   .arg(unit)
                                                   .arg(kLargeImage * dropPercent / 100)
                                                   .arg(kLargeImage)),
             qPrintable(unitLog));
    QVERIFY2(lab.simulator.lines().filter(QRegularExpression(QStringLiteral("^%1 FETCH-OK %2 \\d+ %3$")
                                                                 .arg(unit)
                                                                 .arg(kLargeImage)
                                                                 .arg(QString::fromLatin1(md5.result().toHex()))))
                     .size()
                 == 1,
             qPrintable(unitLog));
    QVERIFY(lab.simulator.hasLineStartingWith(unit + QStringLiteral(" CONFIRMED")));
    QVERIFY(finished(unit));

    const QString source = unit + QStringLiteral(" (") + ipOf(unit) + QStringLiteral("): k110_lab.bin ");
    const QString log = lab.log();
    const QRegularExpression brokeOff(QRegularExpression::escape(source)
                                      + QStringLiteral("was not sent completely \\(\\d+ of %1 bytes\\): the connection "
                                                       "broke off\\.")
                                            .arg(kLargeImage));
    QVERIFY2(log.contains(brokeOff), qPrintable(log));
    QVERIFY(log.contains(source + QStringLiteral("(%1 bytes) sent").arg(kLargeImage)));

    // The cell followed the transfers: under way, broken off, under way again, then done.
    const QString seen = statusesSeen.value(unit).join(QLatin1Char('|'));
    QVERIFY2(QRegularExpression(QStringLiteral("Image transfer broke off at \\d+%\\|Fetching image \\d+%.*"
                                               "\\|Waiting for reboot\\|"))
                 .match(seen)
                 .hasMatch(),
             qPrintable(seen));
}

// Eleven minutes on, each stuck unit is past the deadline of the step where it stopped; the
// operator retries them and they are commanded again.
void TestInjectedFaults::stuckUnitsGoOverdueAndAreRetried()
{
    // Both clocks: the deadlines are measured on the steady one.
    UpdatePipeline &pipeline = lab.window->pipelineForTests();
    const qint64 steadyNow = pipeline.steadyMs();
    QElapsedTimer since;
    since.start();
    pipeline.setSteadyClock([steadyNow, since] { return steadyNow + since.elapsed() + 11 * 60 * 1000; });
    pipeline.setClock([] { return QDateTime::currentDateTime().addSecs(11 * 60); });
    // Put back whatever happens below: the later tests share this window.
    const auto restore = qScopeGuard([&pipeline] {
        pipeline.setClock(nullptr);
        pipeline.setSteadyClock(nullptr);
    });
    const QMap<QString, QString> overdue{{"nofetch", "Overdue: no image fetch after 3 min"},
                                         {"noreboot", "Overdue: no reboot after 10 min"},
                                         {"noreturn", "Overdue: not back after 10 min"}};
    for (auto it = overdue.cbegin(); it != overdue.cend(); ++it) {
        QVERIFY2(lab.waitForStatus(it.key(), it.value(), 30000), qPrintable(it.key() + ": " + lab.statusOf(it.key())));
        QCOMPARE(lab.table()->item(lab.rowOf(it.key()), 7)->background().color(), QColor(255, 165, 0));
        QCOMPARE(lab.log().count(it.key() + " (" + ipOf(it.key()) + "): " + it.value() + '.'), 1);
    }
    QCOMPARE(lab.window->findChild<QLabel *>(QStringLiteral("batchLabel"))->text(),
             QString::fromUtf8("Batch: 5 of 8 confirmed \u00b7 3 overdue"));
    pipeline.setClock(nullptr);
    pipeline.setSteadyClock(nullptr);

    auto *retry = lab.window->findChild<QPushButton *>(QStringLiteral("retryButton"));
    QVERIFY(retry->isEnabled());
    lab.questions.answersByTitle.insert(QStringLiteral("Retry Failed Units"), QMessageBox::Yes);
    QTest::mouseClick(retry, Qt::LeftButton);
    QCOMPARE(lab.questions.texts().last(), QStringLiteral("Retry the update of 3 units?"));
    QVERIFY(lab.log().contains(QStringLiteral("Retrying 3 units")));
    for (const QString &name : batchStuck) {
        const QString commanding = QStringLiteral("Commanding %1 (%2)").arg(name, ipOf(name));
        QVERIFY(QTest::qWaitFor([&] { return lab.log().count(commanding) == 2; }, 30000));
        QVERIFY(lab.state().runs.value(findUnit(lab.state().vUnits, &MarluneUnit::name, name)->mac).retried);
    }
    QVERIFY(lab.waitForStatus(QStringLiteral("nofetch"), QStringLiteral("Waiting for reboot"), 30000));
    QVERIFY(!retry->isEnabled());
}

// The report holds every unit of the batch, read back from the file the operator chose; the
// next report is offered in the same folder.
void TestInjectedFaults::reportSavedFromTheWindow()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("batch.csv"));
    lab.questions.fileAnswers = {path, QString()};
    auto *save = lab.window->findChild<QPushButton *>(QStringLiteral("saveReportButton"));
    QTest::mouseClick(save, Qt::LeftButton);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QStringList> rows = readCsv(file.readAll());
    QVERIFY(lab.log().contains(QStringLiteral("Report saved to ") + path));

    QMap<QString, QStringList> byName;
    for (const QStringList &row : rows.mid(1))
        byName.insert(row.first(), row);
    QCOMPARE(QStringList(byName.keys()), (QStringList{"drop10", "drop50", "drop90", "nofetch", "noreboot", "noreturn",
                                                       "plain1", "plain2"}));
    QFile image(lab.packages.filePath(QStringLiteral("k110_lab.bin")));
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    QVERIFY(sha256.addData(&image));
    const QStringList drop = byName.value(QStringLiteral("drop10"));
    QCOMPARE(drop.mid(9, 3), (QStringList{"k110_lab.bin", QString::fromLatin1(sha256.result().toHex()),
                                          QString::number(kLargeImage)}));
    QCOMPARE(drop.at(16), kConfirmed);
    // Its row is the retry's: overdue was its first batch, which keeps that row.
    QCOMPARE(byName.value(QStringLiteral("nofetch")).mid(17, 2), (QStringList{"", "yes"}));
    QCOMPARE(byName.value(QStringLiteral("plain1")).mid(17, 2), (QStringList{"", ""}));

    QTest::mouseClick(save, Qt::LeftButton);
    QVERIFY(lab.questions.filesAsked.last().folder.startsWith(folder.path() + QLatin1Char('/')));
}

// The batches as the history window shows them: the retry of the stuck units is the newest,
// after the first batch; its units with their final status, a filter that hides units, the steps
// of the unit selected, and an export that is the very CSV Save Report writes of the same units.
void TestInjectedFaults::batchInHistoryWindow()
{
    QTest::mouseClick(lab.window->findChild<QPushButton *>(QStringLiteral("historyButton")), Qt::LeftButton);
    auto *history = lab.window->findChild<HistoryWindow *>();
    QVERIFY(history && history->isVisible());
    auto *batches = history->findChild<QTableWidget *>(QStringLiteral("historyBatchTable"));
    auto *runs = history->findChild<QTableWidget *>(QStringLiteral("historyRunTable"));
    auto *steps = history->findChild<QTableWidget *>(QStringLiteral("historyStepTable"));
    const auto column = [](const QTableWidget *table, int column) {
        QStringList texts;
        for (int row = 0; row < table->rowCount(); ++row)
            texts << table->item(row, column)->text();
        return texts;
    };
    QCOMPARE(batches->rowCount(), 2);
    QCOMPARE(batches->selectionModel()->selectedRows().value(0).row(), 0);
    // The stuck units are commanded again: their batch has not ended; the first one has.
    QCOMPARE(column(batches, 1).first(), QStringLiteral("running"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                 .match(column(batches, 1).last())
                 .hasMatch(),
             qPrintable(column(batches, 1).last()));
    QCOMPARE(column(batches, 2), (QStringList{"3", "8"}));
    // In the order the retry queued them.
    QStringList names = column(runs, 0);
    names.sort();
    QCOMPARE(names, batchStuck);

    // The history is written within half a second of a change: the two files agree once it
    // has caught up with the batch.
    QTemporaryDir folder;
    const QString reportPath = folder.filePath(QStringLiteral("report.csv"));
    const QString exportPath = folder.filePath(QStringLiteral("export.csv"));
    // The header, then the stuck units' rows by name: the report keeps the order in which the
    // units were first queued in this run, the batch the order in which the retry queued them.
    const auto rowsOfBatch = [&](const QString &path) {
        QFile file(path);
        QList<QStringList> rows = file.open(QIODevice::ReadOnly) ? readCsv(file.readAll()) : QList<QStringList>();
        rows.removeIf(
            [&](const QStringList &row) { return row.first() != "Name" && !batchStuck.contains(row.first()); });
        if (!rows.isEmpty())
            std::sort(rows.begin() + 1, rows.end());
        return rows;
    };
    const auto exportAsReport = [&] {
        lab.questions.fileAnswers = {reportPath, exportPath};
        QTest::mouseClick(lab.window->findChild<QPushButton *>(QStringLiteral("saveReportButton")), Qt::LeftButton);
        QTest::mouseClick(history->findChild<QPushButton *>(QStringLiteral("historyRefreshButton")), Qt::LeftButton);
        QTest::mouseClick(history->findChild<QPushButton *>(QStringLiteral("historyExportButton")), Qt::LeftButton);
        return rowsOfBatch(exportPath) == rowsOfBatch(reportPath);
    };
    const bool agreed = QTest::qWaitFor(exportAsReport, 15000);
    QCOMPARE(rowsOfBatch(exportPath), rowsOfBatch(reportPath));
    QVERIFY(agreed);
    QCOMPARE(rowsOfBatch(exportPath).size(), 4);
    const OperatorQuestions::FileQuestion asked = lab.questions.filesAsked.last();
    QCOMPARE(asked.caption, QStringLiteral("Export Batch"));
    QVERIFY2(
        QRegularExpression(QStringLiteral("/batch-\\d{4}-\\d\\d-\\d\\d-\\d{4}\\.csv$")).match(asked.folder).hasMatch(),
        qPrintable(asked.folder));
    QCOMPARE(asked.filter, QStringLiteral("CSV files (*.csv)"));
    // Where it went is told in the window and in the status log.
    const QString told = history->findChild<QLabel *>(QStringLiteral("historyNoticeLabel"))->text();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Batch \\d+ exported to ") + QRegularExpression::escape(exportPath) + '$')
            .match(told)
            .hasMatch(),
        qPrintable(told));
    QVERIFY(lab.log().contains(told));

    const int nofetch = int(column(runs, 0).indexOf(QStringLiteral("nofetch")));
    QCOMPARE(runs->item(nofetch, 6)->text(), QStringLiteral("Waiting for reboot"));
    auto *filter = history->findChild<QLineEdit *>(QStringLiteral("historyFilterEdit"));
    QTest::keyClicks(filter, QStringLiteral("NOFETCH"));
    for (int row = 0; row < runs->rowCount(); ++row)
        QCOMPARE(runs->isRowHidden(row), row != nofetch);
    filter->clear();
    runs->selectRow(nofetch);
    QVERIFY2(column(steps, 1).contains(QStringLiteral("commanded")), qPrintable(column(steps, 1).join(", ")));

    // Closed, and asked for again: the same window.
    QTest::mouseClick(history->findChild<QPushButton *>(QStringLiteral("historyCloseButton")), Qt::LeftButton);
    QVERIFY(!history->isVisible());
    QTest::mouseClick(lab.window->findChild<QPushButton *>(QStringLiteral("historyButton")), Qt::LeftButton);
    QCOMPARE(lab.window->findChildren<HistoryWindow *>(), QList<HistoryWindow *>{history});
    QVERIFY(history->isVisible());
    history->close();
}

void TestInjectedFaults::updateWhileDisturbed_data()
{
    QTest::addColumn<QString>("prefix"); // the units updated: the fleet's units of that name
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("disturbance"); // unitsim arguments
    QTest::addColumn<QString>("underWay");        // the disturbance's line once it is in full swing
    QTest::addColumn<int>("heldOpen");            // idle connections open at every report meanwhile
    QTest::addColumn<qint64>("stallLimitMs");

    // The file server gives up on a silent connection after a while; the connections, opened 20 a
    // second, are closed and opened again throughout the update. The window must keep ticking:
    // no turn of its event loop may take a whole tick.
    QTest::newRow("200-idle-connections") << "idle" << 5 << QStringList{"--idle", "10.77.0.1:50005", "200", "300"}
                                          << "IDLE-OPEN 200" << 190 << qint64(kTickMs);
    // Last: a flood that harms the updater for good would take the rows after it down too.
    // 2000 a second: the kernel's per-processor backlog of received packets is shared with the
    // tests running beside this one, and a flood that fills it loses their packets and the
    // units' replies before the updater could see them. The faults benchmark floods at 5000.
    QTest::newRow("garbage-datagram-flood")
        << "flood" << 20 << QStringList{"--flood", QStringLiteral("10.77.0.1:%1").arg(kUpdaterUdpPort), "2000", "300"}
        << "FLOOD-START" << 0 << kStallLimitMs;
}

void TestInjectedFaults::updateWhileDisturbed()
{
    QFETCH(QString, prefix);
    QFETCH(int, count);
    QFETCH(QStringList, disturbance);
    QFETCH(QString, underWay);
    QFETCH(int, heldOpen);
    QFETCH(qint64, stallLimitMs);
    // A flood can swallow a unit's confirm datagram; the updater sends it again once no
    // commanded unit is left waiting, which the stuck units of the first batch would prevent
    // for ever. They leave the pipeline here, as they would with a restart of the updater.
    lab.state().vUnitsConfirm.removeIf(
        [this](const MarluneUnit &unit) { return batchStuck.contains(unit.name); });
    SimulatorProcess nuisance;
    QVERIFY(nuisance.run(disturbance));
    QVERIFY(!nuisance.waitForPrefix(underWay, 60000).isEmpty());
    const qsizetype linesBefore = nuisance.lines().size();
    const int ticksBefore = ticks;
    StallProbe probe;
    const QStringList units = numbered(prefix, count);
    lab.update(units);
    for (const QString &name : units)
        QVERIFY2(lab.waitForStatus(name, kConfirmed, kUpdateTimeoutMs), qPrintable(name + ": " + lab.statusOf(name)));
    const qint64 stall = probe.longestMs();
    const QStringList reports = nuisance.lines().mid(linesBefore).filter(QRegularExpression(QStringLiteral("^IDLE \\d")));
    nuisance.stop();
    qInfo().noquote() << QStringLiteral("%1 units confirmed in %2 ticks; longest event-loop stall %3 ms; %4")
                             .arg(count)
                             .arg(ticks - ticksBefore)
                             .arg(stall)
                             .arg(nuisance.lines().filter(QRegularExpression(QStringLiteral("-DONE "))).join(' '));

    for (const QString &name : units)
        QVERIFY(lab.simulator.hasLineStartingWith(name + QStringLiteral(" FETCH-OK ")));
    QCOMPARE(nuisance.process().exitStatus(), QProcess::NormalExit);
    // "FLOOD-DONE <datagrams> datagrams <bytes> bytes <rate>/s <refused> refused": thousands a second.
    const QString flood = nuisance.waitForPrefix(QStringLiteral("FLOOD-DONE "), 0);
    if (!flood.isEmpty())
        QVERIFY2(flood.section(QLatin1Char(' '), 5, 5).chopped(2).toInt() >= 1000, qPrintable(flood));
    // "IDLE <open> open <reopened> reopened", once a second. The server gives the silent
    // connections up as their wait ends and the disturbance opens them again a moment later: on a
    // loaded machine the server's timeouts come in bursts, and a report may catch a few of them
    // reopening. The disturbance held its connections throughout: all of them at some report,
    // and never fewer than half.
    int mostOpen = 0;
    for (const QString &report : reports) {
        const int open = report.section(QLatin1Char(' '), 1, 1).toInt();
        mostOpen = qMax(mostOpen, open);
        QVERIFY2(open >= heldOpen / 2, qPrintable(report));
    }
    QVERIFY2(mostOpen >= heldOpen, qPrintable(reports.join(QLatin1String("; "))));
    QVERIFY2(stall < stallLimitMs, qPrintable(QStringLiteral("stalled %1 ms").arg(stall)));
    QCOMPARE(lab.simulator.process().state(), QProcess::Running);
}

// 12 units in one batch, the three dead ones first: the live ones are commanded, fetch and are
// confirmed while the dead ones' exchanges still wait out their time limits (5 s for a connection,
// 10 s for each of a mute unit's two replies), and the dead ones are never confirmed.
void TestInjectedFaults::deadUnitsDoNotHoldUpTheLive()
{
    const QStringList live = numbered(QStringLiteral("live"), 9);
    lab.update(deadUnits + live);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(live.cbegin(), live.cend(), [&](const QString &name) {
                return lab.simulator.hasLineStartingWith(name + QStringLiteral(" FETCH-START"));
            });
        },
        kUpdateTimeoutMs));
    // Commanded before the mute unit's exchange, started first, is over.
    QVERIFY(findUnit(lab.state().vUnitsUpdate, &MarluneUnit::name, QStringLiteral("mute1")));
    for (const QString &name : live)
        QVERIFY2(lab.waitForStatus(name, kConfirmed, kUpdateTimeoutMs), qPrintable(name + ": " + lab.statusOf(name)));
    QVERIFY(waitTicks(3));
    for (const QString &name : deadUnits) {
        QVERIFY(!finished(name));
        QVERIFY(!lab.simulator.hasLineStartingWith(name + QStringLiteral(" FETCH-START")));
        // One status-log line says how its command went unanswered, and its row says so.
        const QString line =
            QStringLiteral("%1 (%2): Did not answer on TCP 50001 (%3).")
                .arg(name, ipOf(name),
                     name.startsWith(QLatin1String("mute")) ? QStringLiteral("connected, no reply in 10 s")
                                                            : QStringLiteral("no connection in 5 s"));
        QVERIFY2(lab.waitForLog(line, kUpdateTimeoutMs), qPrintable(line));
        QCOMPARE(lab.log().count(name + QStringLiteral(" (") + ipOf(name) + QStringLiteral("): Did not answer")), 1);
        const QString note = QString::fromUtf8(" \u00b7 did not answer on TCP 50001");
        QVERIFY2(QTest::qWaitFor([&] { return lab.statusOf(name).endsWith(note); }, kUpdateTimeoutMs),
                 qPrintable(lab.statusOf(name)));
    }
}

QTEST_MAIN(TestInjectedFaults)
#include "tst_injectedfaults.moc"
