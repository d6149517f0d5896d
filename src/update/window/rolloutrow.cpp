// MainWindow: the rollout row beside the update button: the plan of the next batch, and Resume
// and Stop Batch for the batch under way.

#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "windowform.h"

#include "app/window/operatorquestions.h"
#include "app/updatersettings.h"
#include "update/updatercore.h"

void MainWindow::setUpRollout()
{
    showRolloutPlan(*ui, UpdaterSettings::rolloutPlan());
    // The notice comes after the tick that halted the batch: while the operator reads it, the
    // ticks go on confirming the units already commanded.
    connect(engine, &UpdaterCore::batchHalted, this, &MainWindow::showBatchHalted, Qt::QueuedConnection);
}

RolloutPlan MainWindow::rolloutPlanShown() const
{
    RolloutPlan plan;
    plan.canary = ui->canarySpin->value();
    plan.maxInFlight = ui->maxInFlightSpin->value();
    plan.stopAfterFailures = ui->stopAfterSpin->value();
    return plan;
}

// The plan shown is the one a new batch starts with; it is remembered for the next start.
void MainWindow::takeRolloutPlan()
{
    const RolloutPlan plan = rolloutPlanShown();
    engine->setRolloutPlan(plan);
    if (plan != UpdaterSettings::rolloutPlan())
        UpdaterSettings::setRolloutPlan(plan);
}

void MainWindow::showRolloutState()
{
    const PipelineState &state = engine->state();
    ui->resumeButton->setEnabled(state.rollout.halted);
    ui->stopBatchButton->setEnabled(!state.vUnitsUpdate.isEmpty());
}

void MainWindow::showBatchHalted(const QString &text)
{
    tellBatchHalted(this, text);
}

void MainWindow::on_resumeButton_clicked()
{
    engine->resumeRollout();
    refreshUnitTable();
}

void MainWindow::on_stopBatchButton_clicked()
{
    const qsizetype waiting = engine->state().vUnitsUpdate.size();
    if (waiting == 0)
        return;
    if (!askYes(this, QMessageBox::Question, QStringLiteral("Stop Batch"),
                QStringLiteral("Take the units not commanded yet out of the queue? Units already commanded finish "
                               "their update."),
                QMessageBox::No))
        return;
    engine->stopBatch();
    refreshUnitTable();
}
