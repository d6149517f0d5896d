// MainWindow: the operator's view of a large fleet: the state filter and the search above the
// table, "Select Units Needing Update", the keyboard, the calmer status log, the explanations on
// screen, and the window's remembered size.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/updatersettings.h"
#include "update/fleetview.h"
#include "update/fleetmodel.h"
#include "update/window/unittableproxy.h"
#include "update/updatercore.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelection>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTextBlock>
#include <QTimer>

namespace {

using namespace TableRoles;

// The row colours, as the legend shows them.
const char kLegend[] = "<span style='color:#c9b800'>&#9632;</span>&nbsp;queued&nbsp; "
                       "<span style='color:red'>&#9632;</span>&nbsp;commanded&nbsp; "
                       "<span style='color:magenta'>&#9632;</span>&nbsp;EDID reset&nbsp; "
                       "<span style='color:#00a000'>&#9632;</span>&nbsp;finished&nbsp; "
                       "<span style='color:#ffa500'>&#9632;</span>&nbsp;overdue&nbsp; "
                       "<span style='color:#808000'>&#9632;</span>&nbsp;cannot update";

} // namespace

void MainWindow::setUpOperatorView()
{
    connect(ui->stateFilter, &QComboBox::currentIndexChanged, this, &MainWindow::applyRowFilter);
    connect(ui->searchEdit, &QLineEdit::textChanged, this, &MainWindow::applyRowFilter);
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        ui->searchEdit->setFocus();
        ui->searchEdit->selectAll();
    });
    connect(ui->selectNeedingButton, &QPushButton::clicked, this, &MainWindow::selectUnitsNeedingUpdate);
    connect(ui->problemsOnlyCheck, &QCheckBox::toggled, this, &MainWindow::showStatusLog);
    logPaintDelay = new QTimer(this);
    logPaintDelay->setObjectName(QStringLiteral("logPaintDelay"));
    logPaintDelay->setSingleShot(true);
    logPaintDelay->setInterval(kLogPaintMs);
    connect(logPaintDelay, &QTimer::timeout, this, [this] { ui->statusEdit->setUpdatesEnabled(true); });
    ui->statusEdit->viewport()->installEventFilter(this);

    // Keyboard: Tab leaves the table; the buttons an operator needs in a batch have keys.
    ui->unitTable->setTabKeyNavigation(false);
    const struct
    {
        QAbstractButton *button;
        QKeySequence keys;
    } shortcuts[] = {{ui->selectNeedingButton, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)},
                     {ui->discoverButton, QKeySequence(Qt::Key_F5)},
                     {ui->retryButton, QKeySequence(Qt::CTRL | Qt::Key_R)},
                     {ui->saveReportButton, QKeySequence(Qt::CTRL | Qt::Key_S)},
                     {ui->historyButton, QKeySequence(Qt::CTRL | Qt::Key_H)},
                     {ui->clearButton, QKeySequence(Qt::CTRL | Qt::Key_D)}};
    for (const auto &shortcut : shortcuts) {
        shortcut.button->setShortcut(shortcut.keys);
        const QString tip = shortcut.button->toolTip().isEmpty() ? shortcut.button->text() : shortcut.button->toolTip();
        shortcut.button->setToolTip(tip + QStringLiteral(" (") + shortcut.keys.toString(QKeySequence::NativeText)
                                    + QLatin1Char(')'));
        shortcut.button->setAccessibleName(shortcut.button->text());
    }
    ui->selectNeedingButton->setToolTip(
        QStringLiteral("Select the shown units whose package offers them an update they may take (%1)")
            .arg(shortcuts[0].keys.toString(QKeySequence::NativeText)));
    QWidget *order[] = {ui->stateFilter,     ui->searchEdit,        ui->selectNeedingButton, ui->unitTable,
                        ui->clearButton,     ui->retryButton,       ui->updateButton,        ui->canarySpin,
                        ui->maxInFlightSpin, ui->stopAfterSpin,     ui->resumeButton,        ui->stopBatchButton,
                        ui->statusEdit,      ui->problemsOnlyCheck, ui->saveReportButton,    ui->historyButton,
                        ui->clearLogButton,  ui->resetEDIDCheck,    ui->removeButton,        ui->addByIPButton,
                        ui->discoverButton};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    // The status log takes Tab as a move to the next control, not as a character.
    ui->statusEdit->setTabChangesFocus(true);

    explainScreen();
    restoreWindowSize();
}

void MainWindow::explainScreen()
{
    ui->legendLabel->setText(QString::fromLatin1(kLegend));
    ui->legendLabel->setToolTip(
        QStringLiteral("Row colours: yellow, queued for update; red, commanded (waiting for its reboot and "
                       "confirmation); magenta, resetting its EDID; green, finished. A status cell is orange when "
                       "its unit is overdue and dark yellow when the unit cannot be updated with these packages."));
    ui->resetEDIDCheck->setToolTip(
        QStringLiteral("Once an encoder's update is confirmed, reset its EDID to the encoder's default: the "
                       "sources connected to it read the display data again, and may blank or change "
                       "resolution for a moment."));
    ui->unitsLabel->setToolTip(QStringLiteral("Units listed: those that answered and have a package here"));
}

// Rows are filtered out of the view, never removed: the selection of the rows shown, the order
// and the pipeline stay as they are.
void MainWindow::applyRowFilter()
{
    tableProxy->setRowFilter(ViewFilter(qMax(0, ui->stateFilter->currentIndex())), ui->searchEdit->text());
}

void MainWindow::showRowFilter(ViewFilter filter)
{
    ui->stateFilter->setCurrentIndex(int(filter));
}

// Selects, of the rows shown, the units whose package offers them an update they may take; the
// units offered one that the selection rules refuse are named in one status-log line.
void MainWindow::selectUnitsNeedingUpdate()
{
    QTableView *table = ui->unitTable;
    const FleetModel &fleet = engine->fleet();
    const PipelineIndex index(engine->state());
    const QDateTime now = QDateTime::currentDateTime();
    QItemSelection selection;
    QStringList skipped;
    for (int row = 0; row < tableProxy->rowCount(); ++row) {
        const int listed = tableProxy->mapToSource(tableProxy->index(row, 0)).row();
        const MarluneUnit *unit = fleet.unitAt(listed);
        if (!unit || index.isQueued(unit->mac) || index.isCommanded(unit->mac) || index.isResettingEdid(unit->mac))
            continue;
        const UpdateNeedVerdict verdict = fleet.updateNeed(listed, now);
        if (verdict.kind == UpdateNeedVerdict::Refuse)
            skipped << unit->name + QStringLiteral(" (") + unit->ip + QStringLiteral("): ") + verdict.reason;
        else if (verdict.kind == UpdateNeedVerdict::Select)
            selection.select(tableProxy->index(row, 0), tableProxy->index(row, kColumnCount - 1));
    }
    table->clearSelection();
    table->selectionModel()->select(selection, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const int selected = int(table->selectionModel()->selectedRows().size());
    QString line = QStringLiteral("Selected %1 units needing update.").arg(selected);
    if (!skipped.isEmpty())
        line += QStringLiteral(" Not selected: ") + skipped.join(QStringLiteral("; "));
    toStatusLog(QStringLiteral("Updater"), line);
    table->setFocus();
}

void MainWindow::addStatusLine(const QString &line)
{
    statusLines.append(line);
    if (statusLines.size() > kStatusLogKept)
        statusLines.removeFirst();
    if (!ui->problemsOnlyCheck->isChecked() || isProblemLine(line)) {
        // The log's updates wait until the delay ends; then it is painted once with every line
        // that came meanwhile.
        if (logPaintDelay && !logPaintDelay->isActive()) {
            ui->statusEdit->setUpdatesEnabled(false);
            logPaintDelay->start();
        }
        ui->statusEdit->appendPlainText(line);
    }
}

// The log shown again from the lines kept: all of them, or the problems alone.
void MainWindow::showStatusLog()
{
    const bool problemsOnly = ui->problemsOnlyCheck->isChecked();
    QStringList shown;
    for (const QString &line : std::as_const(statusLines)) {
        if (!problemsOnly || isProblemLine(line))
            shown << line;
    }
    ui->statusEdit->setPlainText(shown.join(QLatin1Char('\n')));
    ui->statusEdit->moveCursor(QTextCursor::End);
}

// A double click on a status-log line that names a unit shows and selects the unit's row; a
// click on a part of the batch summary shows the rows of that part.
bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->statusEdit->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        const auto *click = static_cast<QMouseEvent *>(event);
        const QString line = ui->statusEdit->cursorForPosition(click->position().toPoint()).block().text();
        selectRowOfAddress(addressInLine(line));
    } else if (watched == batchLabel && event->type() == QEvent::MouseButtonRelease) {
        const int x = static_cast<QMouseEvent *>(event)->position().toPoint().x() - batchLabel->contentsRect().left();
        showRowFilter(filterOfSummaryPart(summaryParts, batchLabel->fontMetrics(), x));
    }
    return QMainWindow::eventFilter(watched, event);
}

// The filter that shows the units of the summary's part at x pixels from its left.
ViewFilter MainWindow::filterOfSummaryPart(const QList<SummaryPart> &parts, const QFontMetrics &metrics, int x)
{
    int right = 0;
    for (const SummaryPart &part : parts) {
        right += metrics.horizontalAdvance(part.text + kSummarySeparator);
        if (x >= right)
            continue;
        switch (part.kind) {
        case SummaryPart::Confirmed:
            return ViewFilter::Done;
        case SummaryPart::Trouble:
            return ViewFilter::NeedsAttention;
        case SummaryPart::TakenOut:
            return ViewFilter::All;
        case SummaryPart::Underway:
            return ViewFilter::InProgress;
        }
    }
    return ViewFilter::All;
}

// The unit's row is shown (the filter and the search give way if they hide it) and selected.
void MainWindow::selectRowOfAddress(const QString &ip)
{
    const FleetModel &fleet = engine->fleet();
    for (int listed = 0; !ip.isEmpty() && listed < fleet.rowCount(); ++listed) {
        if (fleet.row(listed).texts[kIpColumn] != ip)
            continue;
        const QModelIndex source = fleet.index(listed, 0);
        if (!tableProxy->mapFromSource(source).isValid())
            showRowFilter(ViewFilter::All);
        if (!tableProxy->mapFromSource(source).isValid())
            ui->searchEdit->clear();
        const QModelIndex shown = tableProxy->mapFromSource(source);
        ui->unitTable->clearSelection();
        ui->unitTable->selectRow(shown.row());
        ui->unitTable->scrollTo(shown, QAbstractItemView::PositionAtCenter);
        return;
    }
}

void MainWindow::restoreWindowSize()
{
    const QByteArray geometry = UpdaterSettings::windowGeometry();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
}

void MainWindow::rememberWindowSize()
{
    UpdaterSettings::setWindowGeometry(saveGeometry());
}
