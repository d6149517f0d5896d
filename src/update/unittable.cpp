// MainWindow: the unit table, the operator's view of the pipeline, and the actions on it:
// selection, update, remove and double-click. What a row shows is worked out by the status
// rules (unitstatus); this file only turns the results into table items and boxes.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/operatorquestions.h"
#include "units/devicecatalogue.h"
#include "units/uniticon.h"
#include "units/unitlookup.h"
#include "update/statuscelldelegate.h"
#include "update/unitstatus.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

static const char kLogSource[] = "mainwindow";

namespace {

// Item data of every cell: the unit's MAC; of the status cell also the disable marker and the
// minimum software date of a unit too old for its package.
constexpr int kMacRole = Qt::UserRole;
constexpr int kDisableRole = Qt::UserRole + 5;
constexpr int kMinimumDateRole = Qt::UserRole + 6;
// Of a status cell while its unit fetches: the percent handed over, drawn as a bar.
constexpr int kProgressRole = Qt::UserRole + 7;
constexpr int kSummaryDelayMs = 250;
constexpr int kRedrawDelayMs = 100;
constexpr int kStatusColumn = 7;

QColor colourOf(CellColour colour)
{
    switch (colour) {
    case CellColour::Yellow:
        return Qt::yellow;
    case CellColour::Red:
        return Qt::red;
    case CellColour::Magenta:
        return Qt::magenta;
    case CellColour::Green:
        return Qt::green;
    case CellColour::DarkYellow:
        return Qt::darkYellow;
    case CellColour::Orange:
        return QColor(255, 165, 0);
    case CellColour::Default:
        break;
    }
    return QColor();
}

} // namespace

void MainWindow::setUpTable()
{
    ui->unitTable->setItemDelegateForColumn(kStatusColumn, new StatusCellDelegate(kProgressRole, ui->unitTable));
    // Keyboard first: the table has the focus (Ctrl+A selects every unit), Ctrl+U updates.
    ui->unitTable->setFocus();
    ui->updateButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    ui->updateButton->setToolTip(QStringLiteral("Update the selected units (Ctrl+U)"));
    // Names for screen readers and for tools that drive the window.
    ui->unitTable->setAccessibleName(QStringLiteral("Units"));
    ui->statusEdit->setAccessibleName(QStringLiteral("Status Log"));
    ui->versionsBlurb->setAccessibleName(QStringLiteral("Versions"));
    const QList<QAbstractButton *> buttons{ui->updateButton, ui->retryButton, ui->clearButton, ui->removeButton,
                                           ui->addByIPButton, ui->discoverButton, ui->saveReportButton,
                                           ui->clearLogButton, ui->resetEDIDCheck};
    for (QAbstractButton *button : buttons)
        button->setAccessibleName(button->text());
    batchLabel = new QLabel(this);
    batchLabel->setObjectName(QStringLiteral("batchLabel"));
    ui->statusBar->addPermanentWidget(batchLabel);
    summaryDelay = new QTimer(this);
    summaryDelay->setSingleShot(true);
    summaryDelay->setInterval(kSummaryDelayMs);
    connect(summaryDelay, &QTimer::timeout, this, &MainWindow::showBatchProgress);
    redrawDelay = new QTimer(this);
    redrawDelay->setSingleShot(true);
    redrawDelay->setInterval(kRedrawDelayMs);
    connect(redrawDelay, &QTimer::timeout, this, &MainWindow::refreshUnitTable);
}

void MainWindow::refreshUnitTableSoon()
{
    if (!redrawDelay->isActive())
        redrawDelay->start();
}

QTableWidgetItem *MainWindow::makeUnitItem(const QString &text, const QString &mac) const
{
    auto *item = new QTableWidgetItem(text.trimmed());
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    item->setData(kMacRole, mac);
    item->setData(kDisableRole, QString());
    const CellColour colour = rowColour(mac, updatePipeline.state());
    if (colour != CellColour::Default)
        item->setBackground(colourOf(colour));
    return item;
}

QTableWidgetItem *MainWindow::makeStatusItem(const StatusCell &cell, const QString &mac) const
{
    QTableWidgetItem *item = makeUnitItem(cell.text, mac);
    item->setData(kDisableRole, cell.disableMarker);
    if (!cell.minimumDate.isEmpty())
        item->setData(kMinimumDateRole, cell.minimumDate);
    if (cell.colour != CellColour::Default)
        item->setBackground(colourOf(cell.colour));
    if (cell.progress >= 0)
        item->setData(kProgressRole, cell.progress);
    return item;
}

void MainWindow::refreshUnitTable()
{
    redrawDelay->stop();
    updatePipeline.prepareTableRedraw();
    const QList<MarluneUnit> units = updatePipeline.state().vUnits;

    if (units.isEmpty())
        ui->unitsLabel->setText(QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units."));
    else
        ui->unitsLabel->setText(QString::number(units.size()) + QStringLiteral(" units"));

    QTableWidget *table = ui->unitTable;
    table->setColumnCount(8);
    table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"),
                                      QStringLiteral("IP"), QStringLiteral("SN"), QStringLiteral("SW"),
                                      QStringLiteral("WEB"), QStringLiteral("Status")});
    table->verticalHeader()->show();
    table->setRowCount(int(units.size()));

    QList<MarluneUnit> awaitingReachability;
    for (int row = 0; row < units.size(); ++row) {
        if (fillRow(row, units.at(row)))
            awaitingReachability.append(units.at(row));
    }

    table->resizeColumnsToContents();
    table->resizeRowsToContents();
    table->horizontalHeader()->setStretchLastSection(true);

    for (const MarluneUnit &unit : std::as_const(awaitingReachability))
        startTcpTest(unit);
    showBatchProgress();
    showTableWarnings();
}

void MainWindow::refreshStatusCell(const QString &mac)
{
    if (mac.isEmpty())
        return;
    const PipelineState &state = updatePipeline.state();
    const MarluneUnit *unit = findUnit(state.vUnits, &MarluneUnit::mac, mac);
    QTableWidget *table = ui->unitTable;
    for (int row = 0; unit && row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, kStatusColumn);
        if (item && item->data(kMacRole).toString() == mac) {
            const StatusCell cell = unitStatus(*unit, state, updatePipeline.catalogue());
            const QVariant shown = item->data(kProgressRole);
            if (cell.text != item->text() || cell.progress != (shown.isValid() ? shown.toInt() : -1))
                table->setItem(row, kStatusColumn, makeStatusItem(cell, mac));
            break;
        }
    }
    // Many units report progress several times a second: the summary follows them together.
    if (!summaryDelay->isActive())
        summaryDelay->start();
}

void MainWindow::showBatchProgress()
{
    batchLabel->setText(batchSummary(updatePipeline.state(), updatePipeline.catalogue()));
    ui->retryButton->setEnabled(!updatePipeline.retryCandidates().isEmpty());
}

// One row of the table; true when the status rules ask for the unit's reachability (they do while
// units wait for confirmation). A second request for the same address within 5 seconds would only
// repeat the last result, so one per unit and redraw is enough.
bool MainWindow::fillRow(int row, const MarluneUnit &unit)
{
    QTableWidget *table = ui->unitTable;
    QTableWidgetItem *nameItem = makeUnitItem(unit.name, unit.mac);
    nameItem->setIcon(iconForUnit(unit));
    table->setItem(row, 0, nameItem);
    table->setItem(row, 1, makeUnitItem(typeCodeForUnit(unit), unit.mac));
    table->setItem(row, 2, makeUnitItem(unit.mac, unit.mac));
    table->setItem(row, 3, makeUnitItem(unit.ip, unit.mac));
    table->setItem(row, 4, makeUnitItem(unit.sn, unit.mac));
    table->setItem(row, 5, makeUnitItem(unit.swversion, unit.mac));
    table->setItem(row, 6, makeUnitItem(unit.webversion, unit.mac));

    int testsWanted = 0;
    const StatusCell cell = unitStatus(unit, updatePipeline.state(), updatePipeline.catalogue(), &testsWanted);
    table->setItem(row, kStatusColumn, makeStatusItem(cell, unit.mac));
    if (cell.noWebVersion)
        BLOG << unit.name << "has no web version";
    if (cell.belowMinimum)
        BLOG << unit.name << " sw=" << unit.swversion << "pkg min version is " << cell.minimumDate << "unit web date"
             << unit.webversion;
    return testsWanted > 0;
}

// The one-time warnings, each shown at most once per run; the flag is set before a box opens,
// since ticks and redraws go on while it is open.
void MainWindow::showTableWarnings()
{
    PipelineState &state = updatePipeline.state();
    const TableWarnings due = warningsDue(state, MarluneConnect::localAddresses(), QDateTime::currentDateTime());
    if (due.firewall) {
        state.firewallWarned = true;
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a possible problem with your firewall. <br><br>Units "
                                   "are trying to connect, but the updater cannot send the requested file. This is "
                                   "usually a firewall problem. Try disabling your firewall and restarting the "
                                   "updater. <br><br>When finished, re-enable your firewall."),
                    QMessageBox::Ok);
    }
    if (const std::optional<MarluneUnit> &unit = due.outsideSubnet) {
        state.subnetWarned = true;
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
        state.manualUpdateWarned = true;
    }
}

QStringList MainWindow::selectedMacs() const
{
    QStringList macs;
    for (const QModelIndex &index : ui->unitTable->selectionModel()->selectedIndexes())
        macs.append(index.data(kMacRole).toString());
    return macs;
}

void MainWindow::on_unitTable_itemSelectionChanged()
{
    if (!ui->updateButton->isEnabled())
        return;
    const QModelIndexList indexes = ui->unitTable->selectionModel()->selectedIndexes();
    BLOG << "indexes.count()" << indexes.count();
    for (const QModelIndex &index : indexes) {
        const QString mac = index.data(kMacRole).toString();
        const QString marker = index.data(kDisableRole).toString();
        const QString minimumDate = index.data(kMinimumDateRole).toString().trimmed();
        if (marker.isEmpty()) {
            for (const MarluneUnit &unit : std::as_const(updatePipeline.state().vUnits)) {
                if (unit.mac == mac && !unit.isOnline()) {
                    askOperator(this, QMessageBox::Warning, QStringLiteral("Warning."),
                                QStringLiteral("Updater is still establishing communication with ") + unit.name,
                                QMessageBox::Ok);
                    QCoreApplication::processEvents();
                    return;
                }
            }
        } else if (marker == kDisableMarker) {
            if (!minimumDate.isEmpty())
                askOperator(this, QMessageBox::Warning, QStringLiteral("Warning."),
                            QStringLiteral("Unit needs to first be updated to SW version ") + minimumDate
                                + QStringLiteral(" before running this update."),
                            QMessageBox::Ok);
            else
                askOperator(this, QMessageBox::Warning, QStringLiteral("Cannot update."),
                            QStringLiteral("Unit cannot be updated with this Updater."), QMessageBox::Ok);
            QCoreApplication::processEvents();
            ui->unitTable->clearSelection();
            return;
        }
    }
}

void MainWindow::on_updateButton_clicked()
{
    PipelineState &state = updatePipeline.state();
    state.edidAttempts.clear();
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

    const bool encoderQueued = updatePipeline.queueForUpdate(macs);
    if (encoderQueued && !ui->resetEDIDCheck->isChecked()) {
        if (askOperator(this, QMessageBox::Question, QStringLiteral("Reset EDID?"),
                        QStringLiteral("Reset EDID on encoders?"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
            == QMessageBox::Yes)
            ui->resetEDIDCheck->setChecked(true);
    }

    ui->statusBar->showMessage(
        QStringLiteral("Updating ") + QString::number(state.vUnitsUpdate.size()) + QStringLiteral(" units."), 5000);
    ui->unitTable->clearSelection();
    refreshUnitTable();
}

void MainWindow::on_retryButton_clicked()
{
    const QStringList macs = updatePipeline.retryCandidates();
    if (macs.isEmpty())
        return;
    if (askOperator(this, QMessageBox::Question, QStringLiteral("Retry Failed Units"),
                    QStringLiteral("Retry the update of %1 units?").arg(macs.size()),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    updatePipeline.retryUnits(macs);
    refreshUnitTable();
}

void MainWindow::on_removeButton_clicked()
{
    if (!ui->updateButton->isEnabled())
        return;
    updatePipeline.removeUnits(selectedMacs());
    refreshUnitTable();
    ui->unitTable->clearSelection();
}

void MainWindow::on_unitTable_doubleClicked(QModelIndex index)
{
    const QString mac = index.data(kMacRole).toString();
    const QList<MarluneUnit> units = updatePipeline.state().vUnits;
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
