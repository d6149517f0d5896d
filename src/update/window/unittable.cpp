// MainWindow: the unit table, a view on the core's fleet, and the actions on it: selection,
// update, remove and double-click. What a row shows is worked out in the core; this file only
// shows it and turns the core's verdicts into boxes.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/window/operatorquestions.h"
#include "update/fleetmodel.h"
#include "update/window/statuscelldelegate.h"
#include "update/window/unittableproxy.h"
#include "update/updatercore.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QStatusBar>
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
    table->verticalHeader()->show();
    table->horizontalHeader()->setStretchLastSection(true);
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::on_unitTable_itemSelectionChanged);
    // Keyboard first: the table has the focus (Ctrl+A selects every unit), Ctrl+U updates.
    table->setFocus();
    ui->updateButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    ui->updateButton->setToolTip(QStringLiteral("Update the selected units (Ctrl+U)"));
    // Names for screen readers and for tools that drive the window.
    table->setAccessibleName(QStringLiteral("Units"));
    ui->statusEdit->setAccessibleName(QStringLiteral("Status Log"));
    ui->versionsBlurb->setAccessibleName(QStringLiteral("Versions"));
    const QList<QAbstractButton *> buttons{ui->updateButton, ui->retryButton, ui->clearButton, ui->removeButton,
                                           ui->addByIPButton, ui->discoverButton, ui->saveReportButton,
                                           ui->clearLogButton, ui->resetEDIDCheck};
    for (QAbstractButton *button : buttons)
        button->setAccessibleName(button->text());
    batchLabel = new QLabel(this);
    batchLabel->setObjectName(QStringLiteral("batchLabel"));
    batchLabel->setToolTip(QStringLiteral("Click a part to show those units in the table"));
    batchLabel->setCursor(Qt::PointingHandCursor);
    batchLabel->installEventFilter(this);
    batchTimeLabel = new QLabel(this);
    batchTimeLabel->setObjectName(QStringLiteral("batchTimeLabel"));
    ui->statusBar->addPermanentWidget(batchLabel);
    ui->statusBar->addPermanentWidget(batchTimeLabel);
    // Between refreshes, transfers move the summary at most every kSummaryDelayMs.
    summaryDelay = new QTimer(this);
    summaryDelay->setObjectName(QStringLiteral("summaryDelay"));
    summaryDelay->setSingleShot(true);
    summaryDelay->setInterval(kSummaryDelayMs);
    connect(summaryDelay, &QTimer::timeout, this, &MainWindow::showBatchProgress);
    connect(engine, &UpdaterCore::unitRunChanged, summaryDelay, [this] {
        if (!summaryDelay->isActive())
            summaryDelay->start();
    });
    connect(engine, &UpdaterCore::fleetShown, this, &MainWindow::showFleet);
    connect(engine, &UpdaterCore::warningsDue, this, &MainWindow::showTableWarnings);
}

// The core shows the pipeline again; the window then shows what the fleet's refresh brought.
void MainWindow::refreshUnitTable()
{
    engine->refreshFleet();
}

void MainWindow::showFleet()
{
    const int units = engine->fleet().rowCount();
    if (units == 0)
        ui->unitsLabel->setText(QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units."));
    else
        ui->unitsLabel->setText(QString::number(units) + QStringLiteral(" units"));
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

// The one-time warnings, each told once per run with every flag already set: ticks go on while a
// box is open.
void MainWindow::showTableWarnings(const TableWarnings &due)
{
    if (due.firewall) {
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a possible problem with your firewall. <br><br>Units "
                                   "are trying to connect, but the updater cannot send the requested file. This is "
                                   "usually a firewall problem. Try disabling your firewall and restarting the "
                                   "updater. <br><br>When finished, re-enable your firewall."),
                    QMessageBox::Ok);
    }
    if (const std::optional<MarluneUnit> &unit = due.outsideSubnet) {
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a unit that is outside your subnet. This is often an "
                                   "IP configuration problem. Please check your network settings. <br><br>You may "
                                   "want to give your computer a second IP address so that it can talk to this "
                                   "unit:<br><br>")
                        + unit->deviceType + QStringLiteral(":<b><font color='red'>") + unit->name
                        + QStringLiteral("</font></b>&nbsp;(") + unit->mac + QStringLiteral(")&nbsp;&nbsp;<b>")
                        + unit->ip + QStringLiteral(" / ") + unit->subnet + QStringLiteral(" </b>")
                        + QStringLiteral("<br><br><i>Broadcast IP Reset</i> in Quillet can reset this unit to "
                                         "AUTO-IP a 169.254.X.X address."),
                    QMessageBox::Ok);
    }
    if (const std::optional<MarluneUnit> &unit = due.tooOld) {
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QStringLiteral("Manual Update Needed."),
                    QStringLiteral("Updater found one or more units too old for automatic updates. Please use unit "
                                   "web interface to update. Then future updates can be automated.\n\nGo to: \n")
                        + unit->name + QLatin1Char('\n') + unit->ip,
                    QMessageBox::Ok, QMessageBox::Ok);
    }
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

void MainWindow::on_updateButton_clicked()
{
    engine->clearEdidAttempts();
    const QStringList macs = selectedMacs();
    if (macs.isEmpty()) {
        askOperator(this, QMessageBox::Information, QStringLiteral("No units selected"),
                    QStringLiteral("Please select at least 1 unit."), QMessageBox::Ok);
        return;
    }
    if (askOperator(this, QMessageBox::Question, QStringLiteral("Update Units?"),
                    QStringLiteral("Update selected units?"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes)
        return;

    takeRolloutPlan();
    const bool encoderQueued = engine->queueForUpdate(macs);
    if (encoderQueued && !ui->resetEDIDCheck->isChecked()) {
        if (askOperator(this, QMessageBox::Question, QStringLiteral("Reset EDID?"),
                        QStringLiteral("Reset EDID on encoders?"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
            == QMessageBox::Yes)
            ui->resetEDIDCheck->setChecked(true);
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
    if (askOperator(this, QMessageBox::Question, QStringLiteral("Retry Failed Units"),
                    QStringLiteral("Retry the update of %1 units?").arg(macs.size()),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes)
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
    const QList<MarluneUnit> units = engine->state().vUnits;
    for (const MarluneUnit &unit : units) {
        if (unit.mac != mac)
            continue;
        if (askOperator(this, QMessageBox::Question, unit.name,
                        QStringLiteral("Go to http://") + unit.ip + QStringLiteral("/ ?"),
                        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
            == QMessageBox::Yes)
            QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + unit.ip));
    }
}
