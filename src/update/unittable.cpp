// MainWindow: the unit table, the operator's view of the pipeline, and the actions on it:
// selection, update, remove, clear and double-click.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/operatorquestions.h"
#include "units/devicecatalogue.h"
#include "units/uniticon.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QSet>
#include <QUrl>

static const char kLogSource[] = "mainwindow";

namespace {

constexpr int kMacRole = Qt::UserRole;
constexpr int kDisableRole = Qt::UserRole + 5;
constexpr int kMinimumDateRole = Qt::UserRole + 6;
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
    case CellColour::Default:
        break;
    }
    return QColor();
}

} // namespace

PipelineView MainWindow::pipelineView() const
{
    return PipelineView{vUnits, vUnitsUpdate, vUnitsConfirm, vUnitsEDID, vUnitsFinished, tcpAlive, edidAttempts};
}

QTableWidgetItem *MainWindow::makeUnitItem(const QString &text, const QString &mac) const
{
    auto *item = new QTableWidgetItem(text.trimmed());
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    item->setData(kMacRole, mac);
    item->setData(kDisableRole, QString());
    const CellColour colour = rowColour(mac, pipelineView());
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
    return item;
}

void MainWindow::placeUpdateBlurb(int row, int column, const UpdatePackage &package, const MarluneUnit &unit)
{
    StatusCell cell;
    if (const QTableWidgetItem *current = ui->unitTable->item(row, column)) {
        cell.text = current->text();
        cell.disableMarker = current->data(kDisableRole).toString();
        cell.minimumDate = current->data(kMinimumDateRole).toString();
    }
    if (!comparePackage(cell, package, unit))
        return;
    if (cell.noWebVersion)
        BLOG << unit.name << "has no web version";
    if (cell.belowMinimum)
        BLOG << unit.name << " sw=" << unit.swversion << "pkg min version is " << cell.minimumDate
             << "unit web date" << unit.webversion;
    ui->unitTable->setItem(row, column, makeStatusItem(cell, unit.mac));
}

void MainWindow::refreshUnitTable()
{
    tableDirty = false;
    std::sort(vUnits.begin(), vUnits.end());

    if (vUnits.isEmpty())
        ui->unitsLabel->setText(QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units."));
    else
        ui->unitsLabel->setText(QString::number(vUnits.size()) + QStringLiteral(" units"));

    for (MarluneUnit &unit : vUnits) {
        const QString key = foreverKey(unit);
        if (!key.isEmpty() && !unit.name.contains(QLatin1Char('[')))
            unit.name += QStringLiteral(" [") + QString::number(foreverCount.value(key, 0)) + QLatin1Char(']');
    }

    QTableWidget *table = ui->unitTable;
    table->setColumnCount(8);
    table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("MAC"),
                                      QStringLiteral("IP"), QStringLiteral("SN"), QStringLiteral("SW"),
                                      QStringLiteral("WEB"), QStringLiteral("Status")});
    table->verticalHeader()->show();
    table->setRowCount(int(vUnits.size()));

    bool foundTooOld = false;
    MarluneUnit tooOld;
    const QList<MarluneUnit> units = vUnits;
    const QList<QHostAddress> localAddresses = MarluneConnect::localAddresses();
    for (int row = 0; row < units.size(); ++row) {
        const MarluneUnit &unit = units.at(row);
        QTableWidgetItem *nameItem = makeUnitItem(unit.name, unit.mac);
        nameItem->setIcon(iconForUnit(unit));
        table->setItem(row, 0, nameItem);
        table->setItem(row, 1, makeUnitItem(typeCodeForUnit(unit), unit.mac));
        table->setItem(row, 2, makeUnitItem(unit.mac, unit.mac));
        table->setItem(row, 3, makeUnitItem(unit.ip, unit.mac));
        table->setItem(row, 4, makeUnitItem(unit.sn, unit.mac));
        table->setItem(row, 5, makeUnitItem(unit.swversion, unit.mac));
        table->setItem(row, 6, makeUnitItem(unit.webversion, unit.mac));

        StatusCell cell;
        const bool compare = statusBeforeComparison(cell, unit, pipelineView());
        table->setItem(row, kStatusColumn, makeStatusItem(cell, unit.mac));
        if (compare) {
            for (const UpdatePackage *package : catalogue.packagesToCompare(unit))
                placeUpdateBlurb(row, kStatusColumn, *package, unit);
            const QTableWidgetItem *compared = table->item(row, kStatusColumn);
            cell = StatusCell{compared->text(), compared->data(kDisableRole).toString(),
                              compared->data(kMinimumDateRole).toString(), CellColour::Default, false, false};
            int testsWanted = 0;
            const QString before = cell.text;
            statusAfterComparison(cell, unit, pipelineView(), catalogue, &testsWanted);
            for (int i = 0; i < testsWanted; ++i)
                startTcpTest(unit);
            if (cell.text != before)
                table->setItem(row, kStatusColumn, makeStatusItem(cell, unit.mac));
        }

        showOnceWarnings(unit, localAddresses);
        if (!manualUpdateWarned && unit.isWp() && unit.swDate() < QDate(2013, 1, 29) && unit.isOnline()) {
            foundTooOld = true;
            tooOld = unit;
        }
    }

    table->resizeColumnsToContents();
    table->resizeRowsToContents();
    table->horizontalHeader()->setStretchLastSection(true);

    if (foundTooOld) {
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QStringLiteral("Manual Update Needed."),
                    QStringLiteral("Updater found one or more units too old for automatic updates. Please use unit "
                                   "web interface to update. Then future updates can be automated.\n\nGo to: \n")
                        + tooOld.name + QLatin1Char('\n') + tooOld.ip,
                    QMessageBox::Ok, QMessageBox::Ok);
        manualUpdateWarned = true;
    }
}

void MainWindow::showOnceWarnings(const MarluneUnit &unit, const QList<QHostAddress> &localAddresses)
{
    if (!firewallWarned && serverContacted && updateCommanded && !fileServed
        && lastUpdateCommandTime.addSecs(25) < QDateTime::currentDateTime()) {
        firewallWarned = true;
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a possible problem with your firewall. <br><br>Units "
                                   "are trying to connect, but the updater cannot send the requested file. This is "
                                   "usually a firewall problem. Try disabling your firewall and restarting the "
                                   "updater. <br><br>When finished, re-enable your firewall."),
                    QMessageBox::Ok);
    }
    if (!subnetWarned && MarluneConnect::localAddressFor(unit, localAddresses).isEmpty()) {
        subnetWarned = true;
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a unit that is outside your subnet. This is often an "
                                   "IP configuration problem. Please check your network settings. <br><br>You may "
                                   "want to give your computer a second IP address so that it can talk to this "
                                   "unit:<br><br>")
                        + unit.deviceType + QStringLiteral(":<b><font color='red'>") + unit.name
                        + QStringLiteral("</font></b>&nbsp;(") + unit.mac + QStringLiteral(")&nbsp;&nbsp;<b>")
                        + unit.ip + QStringLiteral(" / ") + unit.subnet + QStringLiteral(" </b>")
                        + QStringLiteral("<br><br><i>Broadcast IP Reset</i> in Quillet can reset this unit to "
                                         "AUTO-IP a 169.254.X.X address."),
                    QMessageBox::Ok);
    }
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
            for (const MarluneUnit &unit : std::as_const(vUnits)) {
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
    edidAttempts.clear();
    const QModelIndexList indexes = ui->unitTable->selectionModel()->selectedIndexes();
    if (indexes.isEmpty()) {
        askOperator(this, QMessageBox::Information, QStringLiteral("No units selected"),
                    QStringLiteral("Please select at least 1 unit."), QMessageBox::Ok);
        return;
    }
    if (askOperator(this, QMessageBox::Question, QStringLiteral("Update Units?"),
                    QStringLiteral("Update selected units?"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes)
        return;

    QSet<QString> handled;
    bool encoderQueued = false;
    for (const QModelIndex &index : indexes) {
        const QString mac = index.data(kMacRole).toString();
        if (handled.contains(mac))
            continue;
        handled.insert(mac);
        BLOG << "appending" << mac;
        // A unit already queued is not queued twice: it would be commanded twice.
        if (!containsMac(vUnitsUpdate, mac)) {
            for (const MarluneUnit &unit : std::as_const(vUnits)) {
                if (unit.mac != mac)
                    continue;
                vUnitsUpdate.append(unit);
                if (unit.isEncoder())
                    encoderQueued = true;
            }
        }
        fetchTimeByMac.remove(mac);
    }

    if (encoderQueued && !ui->resetEDIDCheck->isChecked()) {
        if (askOperator(this, QMessageBox::Question, QStringLiteral("Reset EDID?"),
                        QStringLiteral("Reset EDID on encoders?"), QMessageBox::Yes | QMessageBox::No,
                        QMessageBox::Yes)
            == QMessageBox::Yes)
            ui->resetEDIDCheck->setChecked(true);
    }

    ui->statusBar->showMessage(QStringLiteral("Updating ") + QString::number(vUnitsUpdate.size())
                                   + QStringLiteral(" units."),
                               5000);
    ui->unitTable->clearSelection();
    refreshUnitTable();
}

void MainWindow::on_removeButton_clicked()
{
    if (!ui->updateButton->isEnabled())
        return;
    QStringList macs;
    for (const QModelIndex &index : ui->unitTable->selectionModel()->selectedIndexes())
        macs.append(index.data(kMacRole).toString());
    for (const QString &mac : std::as_const(macs)) {
        removeUnitByMac(mac, vUnits);
        removeUnitByMac(mac, vUnitsUpdateFetched);
        removeUnitByMac(mac, vUnitsIncoming);
        removeUnitByMac(mac, vUnitsConfirm);
        removeUnitByMac(mac, vUnitsFinished);
        removeUnitByMac(mac, vUnitsEDID);
        // A unit the operator took off the list is never commanded.
        removeUnitByMac(mac, vUnitsUpdate);
        fetchTimeByMac.remove(mac);
        edidAttempts.clear();
    }
    refreshUnitTable();
    ui->unitTable->clearSelection();
}

void MainWindow::on_unitTable_doubleClicked(QModelIndex index)
{
    const QString mac = index.data(kMacRole).toString();
    const QList<MarluneUnit> units = vUnits;
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
