// MainWindow: the unit table, the operator's view of the pipeline, and the actions on it:
// selection, update, remove and double-click. What a row shows is worked out by the status
// rules (unitstatus); this file only turns the results into table items and boxes.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/window/operatorquestions.h"
#include "units/devicecatalogue.h"
#include "units/unitlookup.h"
#include "update/window/statuscelldelegate.h"
#include "update/window/tableroles.h"
#include "update/unitstatus.h"
#include "update/updatercore.h"

#include <QBitArray>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

static const char kLogSource[] = "mainwindow";

namespace {

using namespace TableRoles;

constexpr int kSummaryDelayMs = 250;
// A redraw asked for between ticks comes this long after the first request, and for a fleet
// of several times kRedrawnAtOnce units that many times longer: a large fleet's redraw costs more.
constexpr int kRedrawDelayMs = 100;
constexpr int kCellDelayMs = 50;
// A fleet up to this size is redrawn at once; a larger one kRowsPerTurn rows per event-loop turn.
constexpr int kRedrawnAtOnce = 250;
constexpr int kRowsPerTurn = 50;

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
    batchLabel->setToolTip(QStringLiteral("Click a part to show those units in the table"));
    batchLabel->setCursor(Qt::PointingHandCursor);
    batchLabel->installEventFilter(this);
    batchTimeLabel = new QLabel(this);
    batchTimeLabel->setObjectName(QStringLiteral("batchTimeLabel"));
    ui->statusBar->addPermanentWidget(batchLabel);
    ui->statusBar->addPermanentWidget(batchTimeLabel);
    summaryDelay = new QTimer(this);
    summaryDelay->setObjectName(QStringLiteral("summaryDelay"));
    summaryDelay->setSingleShot(true);
    summaryDelay->setInterval(kSummaryDelayMs);
    connect(summaryDelay, &QTimer::timeout, this, &MainWindow::showBatchProgress);
    cellDelay = new QTimer(this);
    cellDelay->setObjectName(QStringLiteral("cellDelay"));
    cellDelay->setSingleShot(true);
    cellDelay->setInterval(kCellDelayMs);
    connect(cellDelay, &QTimer::timeout, this, &MainWindow::showChangedCells);
    redrawDelay = new QTimer(this);
    redrawDelay->setObjectName(QStringLiteral("redrawDelay"));
    redrawDelay->setSingleShot(true);
    connect(redrawDelay, &QTimer::timeout, this, &MainWindow::refreshUnitTable);
    redrawStep = new QTimer(this);
    redrawStep->setObjectName(QStringLiteral("redrawStep"));
    redrawStep->setSingleShot(true);
    redrawStep->setInterval(0);
    connect(redrawStep, &QTimer::timeout, this, [this] {
        if (redraw && !takeRedrawStep())
            redrawStep->start();
    });
}

void MainWindow::refreshUnitTableSoon()
{
    if (!redrawDelay->isActive())
        redrawDelay->start(kRedrawDelayMs * int(qMax<qsizetype>(1, engine->state().vUnits.size() / kRedrawnAtOnce)));
}

// Brings one cell to what it should show, touching its item only where it differs: a redraw of a
// large fleet then repaints only the cells that changed. True when the cell's text or icon
// changed (the column may need another width).
bool MainWindow::showCell(int row, int column, const CellLook &look)
{
    QTableWidget *table = ui->unitTable;
    const QString text = look.text.trimmed();
    QTableWidgetItem *item = table->item(row, column);
    bool changed = false;
    if (!item) {
        item = new QTableWidgetItem(text);
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        table->setItem(row, column, item);
        changed = true;
    } else if (item->text() != text) {
        item->setText(text);
        changed = true;
    }
    const auto setRole = [item](int role, const QVariant &value) {
        if (item->data(role) != value)
            item->setData(role, value);
    };
    setRole(kMacRole, look.mac);
    setRole(kDisableRole, look.disableMarker);
    setRole(kMinimumDateRole, look.minimumDate.isEmpty() ? QVariant() : QVariant(look.minimumDate));
    setRole(kProgressRole, look.progress >= 0 ? QVariant(look.progress) : QVariant());
    const QColor background = colourOf(look.colour);
    setRole(Qt::BackgroundRole, background.isValid() ? QVariant(QBrush(background)) : QVariant());
    if (column == 0 && item->data(kIconPathRole).toString() != look.iconPath) {
        item->setData(kIconPathRole, look.iconPath);
        item->setIcon(look.iconPath.isEmpty() ? QIcon() : QIcon(look.iconPath));
        changed = true;
    }
    return changed;
}

void MainWindow::refreshUnitTable()
{
    // The redraws a tick asks for (one per pass) are made once, just after it, in an event-loop
    // turn of their own: with a thousand units the tick and a redraw each take a while.
    if (engine->inTick() && sender() != redrawDelay) {
        redrawDelay->start(0);
        return;
    }
    redrawDelay->stop();
    if (redraw) {
        redrawAgain = true;
        return;
    }
    engine->prepareTableRedraw();
    redraw = std::make_unique<TableRedraw>(engine->state());
    const QList<MarluneUnit> &units = redraw->state.vUnits;

    if (units.isEmpty())
        ui->unitsLabel->setText(QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units."));
    else
        ui->unitsLabel->setText(QString::number(units.size()) + QStringLiteral(" units"));
    ui->answeredLabel->setText(answeredText(int(units.size()), int(redraw->state.withoutPackage.size())));

    QTableWidget *table = ui->unitTable;
    if (table->columnCount() != 8) {
        table->setColumnCount(8);
        table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"),
                                          QStringLiteral("IP"), QStringLiteral("SN"), QStringLiteral("SW"),
                                          QStringLiteral("WEB"), QStringLiteral("Status")});
        table->verticalHeader()->show();
        table->horizontalHeader()->setStretchLastSection(true);
        explainHeaders();
    }
    // Rows are written in listing order; an order the operator chose by a column header is
    // restored afterwards, so no row moves while the rows are written.
    redraw->resort = table->isSortingEnabled() && table->horizontalHeader()->sortIndicatorSection() >= 0;
    if (redraw->resort)
        table->setSortingEnabled(false);
    redraw->rowsBefore = table->rowCount();
    table->setRowCount(int(units.size()));

    // A large fleet's rows start in the next turn: taking the pipeline's picture was this one's.
    if (units.size() <= kRedrawnAtOnce) {
        while (!takeRedrawStep()) {
        }
    } else {
        redrawStep->start();
    }
}

bool MainWindow::takeRedrawStep()
{
    TableRedraw &step = *redraw;
    QTableWidget *table = ui->unitTable;
    const QList<MarluneUnit> &units = step.state.vUnits;
    if (!step.rowsWritten) {
        const qsizetype end = qMin(units.size(), qsizetype(step.nextRow) + kRowsPerTurn);
        for (; step.nextRow < end; ++step.nextRow) {
            const MarluneUnit &unit = units.at(step.nextRow);
            if (fillRow(step.nextRow, unit, step, &step.columnsChanged))
                step.awaitingReachability.append(unit);
        }
        if (step.nextRow < units.size())
            return false;
        step.rowsWritten = true;
        if (step.resort)
            table->setSortingEnabled(true);
        rowOfMac.clear();
    }

    // Each column is fitted again only when one of its texts changed.
    const bool rowsChanged = table->rowCount() != step.rowsBefore;
    while (step.nextColumn < 8) {
        const int column = step.nextColumn++;
        if (step.columnsChanged.testBit(column) || rowsChanged) {
            table->resizeColumnToContents(column);
            return false;
        }
    }
    if (rowsChanged)
        table->resizeRowsToContents();

    applyRowFilter();
    const QList<MarluneUnit> awaiting = step.awaitingReachability;
    redraw.reset();
    for (const MarluneUnit &unit : awaiting)
        engine->testUnit(unit);
    showBatchProgress();
    showTableWarnings();
    if (redrawAgain) {
        redrawAgain = false;
        refreshUnitTableSoon();
    }
    return true;
}

void MainWindow::refreshStatusCell(const QString &mac)
{
    if (mac.isEmpty())
        return;
    changedCells.insert(mac);
    if (!cellDelay->isActive())
        cellDelay->start();
}

// The status cells of the units whose transfers reported since the last look, together: a
// fleet fetching at once reports thousands of times a second.
void MainWindow::showChangedCells()
{
    const PipelineState &state = engine->state();
    const PipelineIndex index(state);
    for (const QString &mac : std::as_const(changedCells)) {
        const MarluneUnit *unit = index.firstListed(mac);
        const int row = unit ? rowShowing(mac) : -1;
        if (row < 0)
            continue;
        const StatusCell cell = unitStatus(*unit, state, engine->catalogue(), index);
        showCell(row, kStatusColumn, statusLook(cell, mac, rowColour(mac, index)));
    }
    changedCells.clear();
    // The summary follows them more slowly still.
    if (!summaryDelay->isActive())
        summaryDelay->start();
}

// The row that shows the unit with this MAC, or -1; looked up through a map made again after
// each redraw and whenever a row is not where the map says.
int MainWindow::rowShowing(const QString &mac)
{
    QTableWidget *table = ui->unitTable;
    const auto showsMac = [table, &mac](int row) {
        const QTableWidgetItem *item = table->item(row, kStatusColumn);
        return item && item->data(kMacRole).toString() == mac;
    };
    const auto known = rowOfMac.constFind(mac);
    if (known != rowOfMac.cend() && *known < table->rowCount() && showsMac(*known))
        return *known;
    rowOfMac.clear();
    for (int row = table->rowCount() - 1; row >= 0; --row) {
        if (const QTableWidgetItem *item = table->item(row, kStatusColumn))
            rowOfMac.insert(item->data(kMacRole).toString(), row);
    }
    return rowOfMac.value(mac, -1);
}

void MainWindow::showBatchProgress()
{
    const PipelineState &state = engine->state();
    const BatchCounts counts = batchCounts(state, engine->catalogue());
    batchLabel->setText(batchSummary(state, counts));
    batchTimeLabel->setText(batchTiming(state, counts, QDateTime::currentDateTime()));
    batchLabel->setVisible(!batchLabel->text().isEmpty());
    batchTimeLabel->setVisible(!batchTimeLabel->text().isEmpty());
    ui->retryButton->setEnabled(!engine->retryCandidates().isEmpty());
    showRolloutState();
}

MainWindow::CellLook MainWindow::statusLook(const StatusCell &cell, const QString &mac, CellColour rowColour)
{
    CellLook look{cell.text, mac, rowColour};
    look.disableMarker = cell.disableMarker;
    look.minimumDate = cell.minimumDate;
    if (cell.colour != CellColour::Default)
        look.colour = cell.colour;
    look.progress = cell.progress;
    return look;
}

// One row of the table; true when the status rules ask for the unit's reachability (they do while
// units wait for confirmation). A second request for the same address within 5 seconds would only
// repeat the last result, so one per unit and redraw is enough.
bool MainWindow::fillRow(int row, const MarluneUnit &unit, const TableRedraw &redraw, QBitArray *columnsChanged)
{
    const PipelineIndex &index = redraw.index;
    const CellColour colour = rowColour(unit.mac, index);
    CellLook name{unit.name, unit.mac, colour};
    name.iconPath = iconPathForUnit(unit);
    int testsWanted = 0;
    const StatusCell cell =
        unitStatus(unit, redraw.state, engine->catalogue(), index, &testsWanted);
    const CellLook looks[] = {name,
                              {typeCodeForUnit(unit), unit.mac, colour},
                              {unit.mac, unit.mac, colour},
                              {unit.ip, unit.mac, colour},
                              {unit.sn, unit.mac, colour},
                              {unit.swversion, unit.mac, colour},
                              {unit.webversion, unit.mac, colour},
                              statusLook(cell, unit.mac, colour)};
    for (int column = 0; column < 8; ++column) {
        if (showCell(row, column, looks[column]))
            columnsChanged->setBit(column);
    }
    noteRowKind(row, rowKind(unit, cell, redraw.state, engine->catalogue(), index));
    if (cell.noWebVersion)
        BLOG << unit.name << "has no web version";
    if (cell.belowMinimum)
        BLOG << unit.name << " sw=" << unit.swversion << "pkg min version is " << cell.minimumDate << "unit web date"
             << unit.webversion;
    return testsWanted > 0;
}

// The one-time warnings, each shown at most once per run. Ticks and redraws go on while a box is
// open, and a redraw meanwhile works out the warnings due again: every flag of the boxes due is
// set before the first of them opens.
void MainWindow::showTableWarnings()
{
    const TableWarnings due = engine->takeWarningsDue();
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

void MainWindow::on_unitTable_itemSelectionChanged()
{
    if (!ui->updateButton->isEnabled())
        return;
    const QModelIndexList indexes = ui->unitTable->selectionModel()->selectedIndexes();
    BLOG << "indexes.count()" << indexes.count();
    // Every listed unit by MAC, each with its records in listing order; made when first needed.
    QHash<QString, QList<const MarluneUnit *>> listed;
    const QDateTime now = QDateTime::currentDateTime();
    for (const QModelIndex &index : indexes) {
        const QString mac = index.data(kMacRole).toString();
        const QString marker = index.data(kDisableRole).toString();
        const QString minimumDate = index.data(kMinimumDateRole).toString().trimmed();
        if (marker.isEmpty()) {
            if (listed.isEmpty()) {
                for (const MarluneUnit &unit : std::as_const(engine->state().vUnits))
                    listed[unit.mac].append(&unit);
            }
            for (const MarluneUnit *unit : listed.value(mac)) {
                if (!unit->isOnline(now)) {
                    askOperator(this, QMessageBox::Warning, QStringLiteral("Warning."),
                                QStringLiteral("Updater is still establishing communication with ") + unit->name,
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
