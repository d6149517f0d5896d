#include "app/updatersettings.h"
#include "update/updatercore.h"
#include "updatelab.h"

#include <QLabel>
#include <QSettings>
#include <QSpinBox>
#include <QtTest>

// A rolled-out batch through the real window: one canary, then at most four units at a time; a
// unit of the second group never fetches its image, so the batch halts on its first failure. The
// operator leaves the notice open for a while (the commanded units go on meanwhile, no held unit
// is commanded), then resumes, and the rest of the batch is confirmed.
class TestUpdateRollout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void canaryCapAndHaltThenResume();
};

void TestUpdateRollout::canaryCapAndHaltThenResume()
{
    UpdateLab lab;
    QString fleet;
    QStringList names;
    for (int i = 1; i <= 12; ++i) {
        names << QStringLiteral("Unit %1").arg(i, 2, 10, QLatin1Char('0'));
        fleet += QStringLiteral("[u%1]\nfamily=k220-decoder\nname=%2\nip=10.77.1.%1\nswversion=1/1/2014\n%3")
                     .arg(i)
                     .arg(names.last(), i == 4 ? QStringLiteral("behaviour=neverFetches\n") : QString());
    }
    QVERIFY(lab.start(fleet, 12, 12));
    UpdaterCore &core = lab.window->core();
    StepDeadlines deadlines;
    deadlines.fetchSecs = 15;
    core.setDeadlines(deadlines);
    lab.window->findChild<QSpinBox *>(QStringLiteral("canarySpin"))->setValue(1);
    lab.window->findChild<QSpinBox *>(QStringLiteral("maxInFlightSpin"))->setValue(4);
    lab.window->findChild<QSpinBox *>(QStringLiteral("stopAfterSpin"))->setValue(1);

    const PipelineState &state = core.state();
    const auto commanded = [&] {
        QStringList macs;
        for (auto run = state.runs.cbegin(); run != state.runs.cend(); ++run)
            if (run->commanded.isValid())
                macs << run.key();
        std::sort(macs.begin(), macs.end());
        return macs;
    };
    // Units between command and confirmation, looked at whenever the pipeline changes.
    int mostInFlight = 0;
    const auto countInFlight = [&] {
        int inFlight = 0;
        for (const QList<MarluneUnit> *list : {&state.vUnitsUpdate, &state.vUnitsConfirm}) {
            for (const MarluneUnit &unit : *list) {
                const UnitRun run = state.runs.value(unit.mac);
                inFlight += run.commandedMs >= 0 && run.overdue == Overdue::None ? 1 : 0;
            }
        }
        mostInFlight = qMax(mostInFlight, inFlight);
    };
    connect(&core, &UpdaterCore::tableChanged, this, countInFlight);
    connect(&core, &UpdaterCore::tableChangedSoon, this, countInFlight);
    QStringList commandedAtHalt;
    QString summaryAtHalt;
    int notices = 0;
    lab.questions.onAsk = [&](const OperatorQuestions::Question &question) {
        if (question.title != QLatin1String("Rollout Stopped"))
            return;
        ++notices;
        commandedAtHalt = commanded();
        // A slow operator: two ticks and more go by with the notice open.
        QTest::qWait(2 * UpdaterCore::kRefreshIntervalMs + 1000);
        summaryAtHalt = lab.window->findChild<QLabel *>(QStringLiteral("batchLabel"))->text();
    };
    lab.update(names);

    // The canary goes alone; the others say why they wait.
    QVERIFY(lab.waitForStatus(names.at(1), QStringLiteral("Waiting (canary)"), 30000));
    QCOMPARE(commanded().size(), 1);
    QVERIFY(lab.waitForStatus(names.at(0), QStringLiteral("K-Series Update Confirmed."), 90000));

    QVERIFY(QTest::qWaitFor([&] { return notices == 1 && !summaryAtHalt.isEmpty(); }, 120000));
    QCOMPARE(commanded(), commandedAtHalt);
    QVERIFY2(summaryAtHalt.contains(QStringLiteral(" held")), qPrintable(summaryAtHalt));
    QCOMPARE(lab.statusOf(names.at(3)), QStringLiteral("Overdue: no image fetch after 15 s"));
    const QString held = QStringLiteral("Held: rollout stopped after 1 failed unit");
    QStringList heldNames;
    for (const QString &name : names)
        if (lab.statusOf(name) == held)
            heldNames << name;
    QVERIFY(!heldNames.isEmpty());
    QCOMPARE(commandedAtHalt.size() + heldNames.size(), names.size());
    QVERIFY(lab.log().contains(QStringLiteral("Rollout stopped after 1 failed unit: ")));

    QTest::mouseClick(lab.window->findChild<QPushButton *>(QStringLiteral("resumeButton")), Qt::LeftButton);
    for (const QString &name : names.mid(4))
        QVERIFY2(lab.waitForStatus(name, QStringLiteral("K-Series Update Confirmed."), 120000), qPrintable(name));
    QCOMPARE(notices, 1);
    // Never more than four units between command and confirmation, and the canary first.
    QVERIFY2(mostInFlight > 1 && mostInFlight <= 4, qPrintable(QString::number(mostInFlight)));
    const UnitRun canary = state.runs.value(state.vUnits.first().mac);
    for (const MarluneUnit &unit : state.vUnits) {
        const UnitRun run = state.runs.value(unit.mac);
        if (unit.name != names.first())
            QVERIFY(run.commanded >= canary.confirmed);
    }
    // The plan is remembered in the updater's own settings.
    const QSettings settings(UpdaterSettings::path(), QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("rollout/maxInFlight")).toInt(), 4);
    QVERIFY(!QFile::exists(Folders::dataFolder() + QStringLiteral("updater.ini")));
}

QTEST_MAIN(TestUpdateRollout)
#include "tst_updaterollout.moc"
