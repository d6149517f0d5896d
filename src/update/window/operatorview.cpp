// MainWindow: the operator's view of a large fleet: the state filter and the search above the
// table, "Select Units Needing Update", the keyboard, the calmer status log, the explanations on
// screen, and the window's place.

#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "windowform.h"

#include "app/updatersettings.h"
#include "update/fleetview.h"
#include "update/fleetmodel.h"
#include "update/window/unittableproxy.h"
#include "update/updatercore.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelection>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTextBlock>
#include <QTimer>

using namespace TableRoles;

void MainWindow::setUpOperatorView()
{
    connect(ui->stateFilter, &QComboBox::currentIndexChanged, this, &MainWindow::applyRowFilter);
    connect(ui->searchEdit, &QLineEdit::textChanged, this, &MainWindow::applyRowFilter);
    // The rows shown follow the filter, the search and the fleet alike.
    connect(tableProxy, &QAbstractItemModel::rowsInserted, this, &MainWindow::showRowsShown);
    connect(tableProxy, &QAbstractItemModel::rowsRemoved, this, &MainWindow::showRowsShown);
    connect(tableProxy, &QAbstractItemModel::modelReset, this, &MainWindow::showRowsShown);
    connect(tableProxy, &QAbstractItemModel::layoutChanged, this, &MainWindow::showRowsShown);
    showRowsShown();
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        ui->searchEdit->setFocus();
        ui->searchEdit->selectAll();
    });
    connect(ui->selectNeedingButton, &QPushButton::clicked, this, &MainWindow::selectUnitsNeedingUpdate);
    connect(ui->problemsOnlyCheck, &QCheckBox::toggled, this, &MainWindow::showStatusLog);
    logPaintDelay = delayTimer(this, QStringLiteral("logPaintDelay"), kLogPaintMs);
    connect(logPaintDelay, &QTimer::timeout, this, [this] { ui->statusEdit->setUpdatesEnabled(true); });
    ui->statusEdit->viewport()->installEventFilter(this);

    setUpKeys(*ui);
    explainScreen(*ui);
    placeWindow();
}

// Rows are filtered out of the view, never removed: the selection of the rows shown, the order
// and the pipeline stay as they are.
void MainWindow::applyRowFilter()
{
    tableProxy->setRowFilter(ViewFilter(qMax(0, ui->stateFilter->currentIndex())), ui->searchEdit->text());
}

// "Showing 5 of 300 units" beside the filter while it or the search hides rows.
void MainWindow::showRowsShown()
{
    const int shown = tableProxy->rowCount();
    const int listed = engine->fleet().rowCount();
    ui->shownLabel->setText(QStringLiteral("Showing %1 of %2 units").arg(shown).arg(listed));
    ui->shownLabel->setVisible(shown < listed);
}

void MainWindow::showRowFilter(ViewFilter filter)
{
    ui->stateFilter->setCurrentIndex(int(filter));
}

// Selects, of the rows shown, the units whose package offers them an update they may take; the
// units offered one that the selection rules refuse are named in one status-log line.
void MainWindow::selectUnitsNeedingUpdate()
{
    QList<int> shown;
    for (int row = 0; row < tableProxy->rowCount(); ++row)
        shown.append(tableProxy->mapToSource(tableProxy->index(row, 0)).row());
    const FleetModel::NeedingUpdate needing = engine->fleet().needingUpdate(shown, QDateTime::currentDateTime());
    QItemSelection selection;
    for (const int row : needing.rows)
        selection.select(tableProxy->mapFromSource(engine->fleet().index(row, 0)),
                         tableProxy->mapFromSource(engine->fleet().index(row, kColumnCount - 1)));
    ui->unitTable->clearSelection();
    ui->unitTable->selectionModel()->select(selection, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const int selected = int(ui->unitTable->selectionModel()->selectedRows().size());
    QString line = QStringLiteral("Selected %1 units needing update.").arg(selected);
    if (!needing.refused.isEmpty())
        line += QStringLiteral(" Not selected: ") + needing.refused.join(QStringLiteral("; "));
    toStatusLog(QStringLiteral("Updater"), line);
    ui->unitTable->setFocus();
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
        if (x < right)
            return filterOfPart(part.kind);
    }
    return ViewFilter::All;
}

// The unit's row is shown (the filter and the search give way if they hide it) and selected.
void MainWindow::selectRowOfAddress(const QString &ip)
{
    const int listed = engine->fleet().rowOfAddress(ip);
    if (listed < 0)
        return;
    const QModelIndex source = engine->fleet().index(listed, 0);
    if (!tableProxy->mapFromSource(source).isValid())
        showRowFilter(ViewFilter::All);
    if (!tableProxy->mapFromSource(source).isValid())
        ui->searchEdit->clear();
    const QModelIndex shown = tableProxy->mapFromSource(source);
    ui->unitTable->clearSelection();
    ui->unitTable->selectRow(shown.row());
    ui->unitTable->scrollTo(shown, QAbstractItemView::PositionAtCenter);
}

namespace {

// The screen most of this rectangle lies on; the primary screen when it lies on none.
QScreen *screenOf(const QRect &frame)
{
    if (QScreen *screen = QGuiApplication::screenAt(frame.center()))
        return screen;
    QScreen *best = QGuiApplication::primaryScreen();
    qint64 bestArea = 0;
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect common = screen->availableGeometry().intersected(frame);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    return best;
}

// The frame made no larger than the available area, then moved as little as it takes to lie
// wholly inside it.
QRect fitInto(const QRect &frame, const QRect &available)
{
    QRect fitted(frame.topLeft(), frame.size().boundedTo(available.size()));
    fitted.moveLeft(qBound(available.left(), fitted.left(), available.right() - fitted.width() + 1));
    fitted.moveTop(qBound(available.top(), fitted.top(), available.bottom() - fitted.height() + 1));
    return fitted;
}

// How far the frame reaches beyond the contents on each side.
QMargins framing(const QRect &frame, const QRect &client)
{
    return {client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
            frame.bottom() - client.bottom()};
}

} // namespace

// The place is set on the contents, as the frame around them is only known once the window is
// shown: the remembered frame, fitted to the screen, less the frame it had then.
void MainWindow::placeWindow()
{
    const UpdaterSettings::WindowPlace place = UpdaterSettings::windowPlace();
    if (place.isEmpty()) {
        resize(firstStartSize());
        return;
    }
    const QRect frame = fitInto(place.frame, screenOf(place.frame)->availableGeometry());
    setGeometry(frame.marginsRemoved(framing(place.frame, place.client)));
    if (place.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

// Everything but the table keeps the height it asks for; the table takes what is left. The
// height is what kFirstStartRows rows, the header and a horizontal scroll bar need, as far as
// the screen allows with room for a title bar.
QSize MainWindow::firstStartSize()
{
    ensurePolished();
    const QTableView *table = ui->unitTable;
    const int tableWanted = 2 * table->frameWidth() + table->horizontalHeader()->sizeHint().height()
                            + kFirstStartRows * table->verticalHeader()->defaultSectionSize()
                            + table->horizontalScrollBar()->sizeHint().height();
    const int others = sizeHint().height() - table->sizeHint().height();
    const QRect available = screen()->availableGeometry();
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    const int tall = qMin(others + tableWanted, available.height() - titleBar);
    return {qMax(width(), minimumSizeHint().width()), qMax(height(), tall)};
}

void MainWindow::rememberWindowPlace()
{
    UpdaterSettings::WindowPlace place;
    place.maximized = isMaximized();
    place.client = normalGeometry();
    place.frame = place.client.marginsAdded(framing(frameGeometry(), geometry()));
    UpdaterSettings::setWindowPlace(place);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!keptOnScreen) {
        keptOnScreen = true;
        // Once the window is up, its frame is known.
        QTimer::singleShot(0, this, &MainWindow::keepOnScreen);
    }
}

// The whole frame, summary bar and all, within the available area of the screen the window is on.
void MainWindow::keepOnScreen()
{
    if (isMaximized() || isFullScreen() || !isVisible())
        return;
    const QRect frame = frameGeometry();
    const QRect fitted = fitInto(frame, screenOf(frame)->availableGeometry());
    if (fitted != frame)
        setGeometry(fitted.marginsRemoved(framing(frame, geometry())));
}
