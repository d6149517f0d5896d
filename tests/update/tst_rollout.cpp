#include "update/rollout.h"

#include <QtTest>

namespace {

// A batch written one character per unit, in table order: W waiting, F in flight, C confirmed,
// X failed, O out (taken out of the queue or off the list).
QList<RolloutUnit> batchOf(const QString &steps)
{
    QList<RolloutUnit> units;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const char step = steps.at(i).toLatin1();
        units.append({QString::number(i), step == 'F'   ? RolloutStep::InFlight
                                          : step == 'C' ? RolloutStep::Confirmed
                                          : step == 'X' ? RolloutStep::Failed
                                          : step == 'O' ? RolloutStep::Out
                                                        : RolloutStep::Waiting});
    }
    return units;
}

// What a decision did to each unit, one character each: + commanded, c waiting for the canaries,
// n waiting for the cap, h held, . anything else.
QString outcomeOf(const RolloutDecision &decision, qsizetype units)
{
    QString outcome;
    for (qsizetype i = 0; i < units; ++i) {
        const QString mac = QString::number(i);
        QChar c = QLatin1Char('.');
        if (decision.command.contains(mac))
            c = QLatin1Char('+');
        else if (decision.waiting.contains(mac))
            c = QLatin1Char(decision.waiting.value(mac) == WaitReason::Canary ? 'c'
                            : decision.waiting.value(mac) == WaitReason::Cap  ? 'n'
                                                                              : 'h');
        outcome += c;
    }
    return outcome;
}

} // namespace

class TestRollout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decisions_data();
    void decisions();
    void texts();
};

void TestRollout::decisions_data()
{
    QTest::addColumn<int>("canary");
    QTest::addColumn<int>("cap");
    QTest::addColumn<int>("stopAfter");
    QTest::addColumn<QString>("chosen"); // canaries chosen by an earlier decision ("-": none yet)
    QTest::addColumn<bool>("halted");    // halted by an earlier decision
    QTest::addColumn<bool>("resume");    // the operator resumes before this decision
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("haltedAfter");

    QTest::newRow("no-plan-every-unit-goes") << 0 << 0 << 0 << "-" << false << false << "WWWW"
                                             << "++++" << false;
    QTest::newRow("canaries-first-in-table-order") << 2 << 0 << 0 << "-" << false << false << "OWWWW"
                                                   << ".++cc" << false;
    QTest::newRow("canary-in-flight-holds-the-rest") << 1 << 0 << 0 << "0" << false << false << "FWWW"
                                                     << ".ccc" << false;
    QTest::newRow("canary-under-the-cap") << 3 << 2 << 0 << "-" << false << false << "WWWW"
                                          << "++nc" << false;
    QTest::newRow("canary-confirmed-the-rest-under-the-cap") << 1 << 2 << 0 << "0" << false << false << "CWWW"
                                                             << ".++n" << false;
    QTest::newRow("canary-taken-out-holds-nothing") << 1 << 0 << 0 << "0" << false << false << "OWW"
                                                    << ".++" << false;
    QTest::newRow("canary-failed-halts") << 1 << 0 << 0 << "0" << false << false << "XWW"
                                         << ".hh" << true;
    QTest::newRow("canary-failed-with-nothing-waiting") << 1 << 0 << 0 << "0" << false << false << "XCF"
                                                        << "..." << false;
    QTest::newRow("cap-full") << 0 << 3 << 0 << "-" << false << false << "FFFWW"
                              << "...nn" << false;
    QTest::newRow("cap-a-confirmed-unit-frees-a-place") << 0 << 3 << 0 << "-" << false << false << "CFFWW"
                                                        << "...+n" << false;
    QTest::newRow("cap-a-failed-unit-frees-a-place") << 0 << 2 << 0 << "-" << false << false << "XFWW"
                                                     << "..+n" << false;
    QTest::newRow("threshold-not-reached") << 0 << 0 << 2 << "-" << false << false << "XCFWW"
                                           << "...++" << false;
    QTest::newRow("threshold-reached") << 0 << 0 << 2 << "-" << false << false << "XCXWW"
                                       << "...hh" << true;
    QTest::newRow("threshold-over-the-cap") << 0 << 1 << 1 << "-" << false << false << "XWW"
                                            << ".hh" << true;
    // The last unit fails after every other was commanded: nothing is held, so nothing halts.
    QTest::newRow("threshold-reached-with-nothing-waiting") << 0 << 1 << 1 << "-" << false << false << "CCX"
                                                            << "..." << false;
    QTest::newRow("halt-stays-when-a-failed-unit-recovers") << 0 << 0 << 2 << "-" << true << false << "XCCWW"
                                                            << "...hh" << true;
    QTest::newRow("resume-forgives-the-failures-so-far") << 0 << 0 << 1 << "-" << true << true << "XWW"
                                                         << ".++" << false;
    QTest::newRow("resume-past-a-failed-canary") << 1 << 2 << 0 << "0" << true << true << "XWWW"
                                                 << ".++n" << false;
    QTest::newRow("stopped-units-are-never-commanded") << 0 << 0 << 1 << "-" << false << false << "FOO"
                                                       << "..." << false;
}

void TestRollout::decisions()
{
    QFETCH(int, canary);
    QFETCH(int, cap);
    QFETCH(int, stopAfter);
    QFETCH(QString, chosen);
    QFETCH(bool, halted);
    QFETCH(bool, resume);
    QFETCH(QString, steps);
    QFETCH(QString, outcome);
    QFETCH(bool, haltedAfter);

    RolloutProgress progress;
    progress.plan = {canary, cap, stopAfter};
    if (chosen != QLatin1String("-")) {
        progress.canariesChosen = true;
        progress.canaries = chosen.split(QLatin1Char(','));
    }
    progress.halted = halted;
    const QList<RolloutUnit> units = batchOf(steps);
    if (resume)
        resumeRollout(progress, units);
    const RolloutDecision decision = decideRollout(progress, units);
    QCOMPARE(outcomeOf(decision, units.size()), outcome);
    QCOMPARE(decision.halted, haltedAfter);
    if (!progress.canariesChosen)
        QCOMPARE(decision.canaries.size(), qMin<qsizetype>(canary, steps.size() - steps.count(QLatin1Char('O'))));
    // Nothing commanded ever takes the units in flight past the cap.
    if (cap > 0)
        QVERIFY(decision.inFlight <= qMax<qsizetype>(cap, steps.count(QLatin1Char('F'))));
}

void TestRollout::texts()
{
    RolloutProgress progress;
    progress.inFlight = 8;
    progress.haltFailures = 2;
    QCOMPARE(waitingText(WaitReason::Canary, progress), QStringLiteral("Waiting (canary)"));
    QCOMPARE(waitingText(WaitReason::Cap, progress), QStringLiteral("Waiting: 8 in flight"));
    QCOMPARE(waitingText(WaitReason::Held, progress), QStringLiteral("Held: rollout stopped after 2 failed units"));
    progress.haltFailures = 1;
    QCOMPARE(waitingText(WaitReason::Held, progress), QStringLiteral("Held: rollout stopped after 1 failed unit"));
    QCOMPARE((RolloutPlan{1, 4, 1}).text(),
             QString::fromUtf8("canary 1 \u00b7 4 at a time \u00b7 stop after 1 failed unit"));
    QVERIFY((RolloutPlan{}).text().isEmpty());
}

QTEST_GUILESS_MAIN(TestRollout)
#include "tst_rollout.moc"
