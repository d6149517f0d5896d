// MainWindow: the unit table, a view on the core's fleet, and the actions on it: selection,
// update, remove and double-click. What a row shows is worked out in the core; this file only
// shows it and turns the core's verdicts into boxes.

#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "windowform.h"

#include "app/debuglog.h"
#include "app/window/operatorquestions.h"
#include "update/fleetmodel.h"
#include "update/window/statuscelldelegate.h"
#include "update/window/unittableproxy.h"
#include "update/updatercore.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSet>
#include <QTimer>
#include <QUrl>

static const char kLogSource[] = "mainwindow";

using namespace TableRoles;

// The table is made once the core is: it shows the core's fleet through the filter's proxy.
void MainWindow::setUpTable()
{
    constexpr int kSummaryDelayMs = 250;
    tableProxy = new UnitTableProxy(engine->fleet(), this);
    QTableView *table = ui->unitTable;
    table->setModel(tableProxy);
    table->setItemDelegateForColumn(kStatusColumn, new StatusCellDelegate(kProgressRole, table));
    table->setFocus();
    batchLabel = addStatusLabel(*ui, this, QStringLiteral("batchLabel"));
    batchTimeLabel = addStatusLabel(*ui, this, QStringLiteral("batchTimeLabel"));
    batchLabel->setToolTip(QStringLiteral("Click a part to show those units in the table"));
    batchLabel->setCursor(Qt::PointingHandCursor);
    batchLabel->installEventFilter(this);
    // Between refreshes, transfers move the summary at most every kSummaryDelayMs.
    summaryDelay = delayTimer(this, QStringLiteral("summaryDelay"), kSummaryDelayMs);
    connect(summaryDelay, &QTimer::timeout, this, &MainWindow::showBatchProgress);
    connect(engine, &UpdaterCore::unitRunChanged, summaryDelay, [this] {
        if (!summaryDelay->isActive())
            summaryDelay->start();
    });
    connect(engine, &UpdaterCore::fleetShown, this, &MainWindow::showFleet);
    // Each told once per run, every flag already set: ticks go on while a box is open.
    connect(engine, &UpdaterCore::warningsDue, this, [this](const TableWarnings &due) { askTableWarnings(this, due); });
}

// The core shows the pipeline again; the window then shows what the fleet's refresh brought.
void MainWindow::refreshUnitTable()
{
    engine->refreshFleet();
}

void MainWindow::showFleet()
{
    const int units = engine->fleet().rowCount();
    ui->unitsLabel->setText(unitsText(units));
    ui->answeredLabel->setText(answeredText(units, int(engine->state().withoutPackage.size())));
    // The columns are fitted to the rows in view when rows come or go.
    if (units != rowsFitted) {
        rowsFitted = units;
        ui->unitTable->resizeColumnsToContents();
    }
    showBatchProgress();
}

void MainWindow::showBatchProgress()
{
    const PipelineState &state = engine->state();
    const BatchCounts counts = batchCounts(state, engine->catalogue());
    summaryParts = batchSummaryParts(state, counts);
    batchLabel->setText(batchSummary(state, counts));
    batchTimeLabel->setText(batchTiming(state, counts, QDateTime::currentDateTime()));
    batchLabel->setVisible(!batchLabel->text().isEmpty());
    batchTimeLabel->setVisible(!batchTimeLabel->text().isEmpty());
    ui->retryButton->setEnabled(!engine->retryCandidates().isEmpty());
    showRolloutState();
}

QStringList MainWindow::selectedMacs() const
{
    QStringList macs;
    for (const QModelIndex &index : ui->unitTable->selectionModel()->selectedIndexes())
        macs.append(index.data(kMacRole).toString());
    return macs;
}

// The selection rules, as the core decides them for every front-end, row by row: the first row
// refused says why in a box.
void MainWindow::on_unitTable_itemSelectionChanged()
{
    if (!ui->updateButton->isEnabled())
        return;
    const QModelIndexList rows = ui->unitTable->selectionModel()->selectedRows();
    BLOG << "indexes.count()" << ui->unitTable->selectionModel()->selectedIndexes().count();
    const QDateTime now = QDateTime::currentDateTime();
    for (const QModelIndex &row : rows) {
        const SelectionVerdict verdict = engine->fleet().selectionVerdict(tableProxy->mapToSource(row).row(), now);
        if (verdict.kind == SelectionVerdict::Admit)
            continue;
        askOperator(this, QMessageBox::Warning, verdict.title, verdict.text, QMessageBox::Ok);
        QCoreApplication::processEvents();
        if (verdict.kind != SelectionVerdict::NotHeardFrom)
            ui->unitTable->clearSelection();
        return;
    }
}

// "Units Up to Date": Yes updates them too (Update All), No leaves them out (Skip Them, the
// default), Cancel updates nothing.
static QMessageBox::StandardButton askUpdateUpToDate(QWidget *parent, int upToDate, int selected)
{
    OperatorQuestions::Question question;
    question.icon = QMessageBox::Question;
    question.title = QStringLiteral("Units Up to Date");
    question.text = QStringLiteral("%1 of the %2 selected units are already up to date. Update them too?")
                        .arg(upToDate)
                        .arg(selected);
    question.buttons = QMessageBox::No | QMessageBox::Yes | QMessageBox::Cancel;
    question.defaultButton = QMessageBox::No;
    question.buttonTexts = {{QMessageBox::No, QStringLiteral("Skip Them")},
                            {QMessageBox::Yes, QStringLiteral("Update All")}};
    return askOperator(parent, question);
}

void MainWindow::on_updateButton_clicked()
{
    engine->clearEdidAttempts();
    const QStringList macs = selectedMacs();
    if (macs.isEmpty()) {
        askOperator(this, QMessageBox::Information, QStringLiteral("No units selected"),
                    QStringLiteral("Please select at least 1 unit."), QMessageBox::Ok);
        return;
    }
    // Units already up to date would take their image again for nothing: asked before anything.
    const QStringList upToDate = engine->fleet().upToDate(macs);
    QStringList chosen = macs;
    int skipped = 0;
    if (!upToDate.isEmpty()) {
        const qsizetype selected = QSet<QString>(macs.cbegin(), macs.cend()).size();
        switch (askUpdateUpToDate(this, int(upToDate.size()), int(selected))) {
        case QMessageBox::Yes:
            break;
        case QMessageBox::No: {
            const QSet<QString> left(upToDate.cbegin(), upToDate.cend());
            chosen.removeIf([&left](const QString &mac) { return left.contains(mac); });
            skipped = int(upToDate.size());
            if (chosen.isEmpty()) {
                toStatusLog(
                    QStringLiteral("Updater"),
                    QStringLiteral("Nothing to update: all %1 selected units are already up to date").arg(selected));
                return;
            }
            break;
        }
        default:
            return;
        }
    }
    if (!askYes(this, QMessageBox::Question, QStringLiteral("Update Units?"), QStringLiteral("Update selected units?")))
        return;
    takeRolloutPlan();
    const bool encoderQueued = engine->queueForUpdate(chosen);
    engine->tellUpdating(skipped);
    if (encoderQueued && !ui->resetEDIDCheck->isChecked()
        && askYes(this, QMessageBox::Question, QStringLiteral("Reset EDID?"),
                  QStringLiteral("Reset EDID on encoders?"))) {
        ui->resetEDIDCheck->setChecked(true);
        engine->tellEdidReset();
    }
    engine->announceUpdate();
    ui->unitTable->clearSelection();
    refreshUnitTable();
}

void MainWindow::on_retryButton_clicked()
{
    const QStringList macs = engine->retryCandidates();
    if (macs.isEmpty())
        return;
    if (!askYes(this, QMessageBox::Question, QStringLiteral("Retry Failed Units"),
                QStringLiteral("Retry the update of %1 units?").arg(macs.size())))
        return;
    engine->retryUnits(macs);
    refreshUnitTable();
}

void MainWindow::on_removeButton_clicked()
{
    if (!ui->updateButton->isEnabled())
        return;
    engine->removeUnits(selectedMacs());
    refreshUnitTable();
    ui->unitTable->clearSelection();
}

void MainWindow::on_unitTable_doubleClicked(QModelIndex index)
{
    const QString mac = index.data(kMacRole).toString();
    for (const MarluneUnit &unit : QList<MarluneUnit>(engine->state().vUnits)) {
        if (unit.mac == mac
            && askYes(this, QMessageBox::Question, unit.name, QStringLiteral("Go to http://") + unit.ip + QStringLiteral("/ ?")))
            QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + unit.ip));
    }
}
