#include "historywindow.h"

#include "app/window/operatorquestions.h"
#include "update/fleetview.h"
#include "update/updatereport.h"

#include <QBoxLayout>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTableWidget>

namespace {

enum BatchColumn { kStartedColumn, kEndedColumn, kUnitsColumn, kRolloutColumn, kHostColumn, kPackagesColumn };

QTableWidget *makeTable(QWidget *parent, const QString &name, const QString &accessibleName, const QStringList &headers)
{
    auto *table = new QTableWidget(0, int(headers.size()), parent);
    table->setObjectName(name);
    table->setAccessibleName(accessibleName);
    table->setHorizontalHeaderLabels(headers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

void setRow(QTableWidget *table, int row, const QStringList &texts)
{
    for (int column = 0; column < int(texts.size()); ++column)
        table->setItem(row, column, new QTableWidgetItem(texts.at(column)));
}

QString localTime(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

QString flag(bool set)
{
    return set ? QStringLiteral("yes") : QString();
}

QStringList batchFields(const HistoryStore::Batch &batch)
{
    QStringList files;
    for (const QString &package : batch.packages)
        files << package.section(QLatin1Char(' '), 0, 0);
    // When it ended and how, unless it completed: "14:07:12 (stopped)".
    QString ended = batch.ended.isValid() ? localTime(batch.ended) : QStringLiteral("running");
    if (batch.ended.isValid() && !batch.end.isEmpty() && batch.end != QLatin1String("completed"))
        ended += QStringLiteral(" (") + batch.end + QLatin1Char(')');
    const QString units = QString::number(batch.units);
    // A batch that picks up another names it beside its plan.
    QString plan = batch.plan;
    if (batch.resumes > 0)
        plan += (plan.isEmpty() ? QString() : QStringLiteral(" \u00b7 ")) + QStringLiteral("resumes %1").arg(batch.resumes);
    return {localTime(batch.started), ended, units, plan, batch.host, files.join(QStringLiteral(", "))};
}

// Each package file with its SHA-256, as the main window's versions tooltip gives them.
QString packagesTip(const HistoryStore::Batch &batch)
{
    QStringList lines;
    for (const QString &package : batch.packages)
        lines << package.section(QLatin1Char(' '), 0, 0) + QStringLiteral("  SHA-256 ")
                     + package.section(QLatin1Char(' '), 1);
    return lines.join(QLatin1Char('\n'));
}

QStringList runFields(const HistoryStore::UnitRun &run)
{
    return {run.name,
            run.mac,
            run.ip,
            run.type,
            run.swBefore,
            run.swAfter,
            run.finalStatus,
            localTime(run.commanded),
            localTime(run.confirmed),
            flag(run.overdue),
            flag(run.retried)};
}

} // namespace

HistoryWindow::HistoryWindow(const QString &historyPath, QWidget *parent)
    : QDialog(parent), path(historyPath),
      connectionName(QStringLiteral("historywindow-") + QString::number(quintptr(this), 16)),
      exportFolder(QDir::homePath())
{
    buildForm();
    refresh();
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::buildForm()
{
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(QStringLiteral("Update History"));
    noticeLabel = new QLabel(this);
    noticeLabel->setObjectName(QStringLiteral("historyNoticeLabel"));
    // Paths and the database's errors are shown as they are, never as markup.
    noticeLabel->setTextFormat(Qt::PlainText);
    noticeLabel->setWordWrap(true);
    noticeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    batchTable = makeTable(this, QStringLiteral("historyBatchTable"), QStringLiteral("Batches"),
                           {QStringLiteral("Started"), QStringLiteral("Ended"), QStringLiteral("Units"),
                            QStringLiteral("Rollout"), QStringLiteral("Host"), QStringLiteral("Packages")});
    filterEdit = new QLineEdit(this);
    filterEdit->setObjectName(QStringLiteral("historyFilterEdit"));
    filterEdit->setPlaceholderText(QStringLiteral("Filter by name, MAC, IP or status"));
    filterEdit->setClearButtonEnabled(true);
    runTable = makeTable(this, QStringLiteral("historyRunTable"), QStringLiteral("Units of the batch"),
                         {QStringLiteral("Name"), QStringLiteral("MAC"), QStringLiteral("IP"), QStringLiteral("Type"),
                          QStringLiteral("SW before"), QStringLiteral("SW after"), QStringLiteral("Final status"),
                          QStringLiteral("Commanded"), QStringLiteral("Confirmed"), QStringLiteral("Overdue"),
                          QStringLiteral("Retried")});
    stepTable = makeTable(this, QStringLiteral("historyStepTable"), QStringLiteral("Steps of the unit"),
                          {QStringLiteral("Time"), QStringLiteral("Kind"), QStringLiteral("Text")});

    auto *units = new QWidget(this);
    auto *unitsLayout = new QVBoxLayout(units);
    unitsLayout->setContentsMargins(0, 0, 0, 0);
    unitsLayout->addWidget(filterEdit);
    unitsLayout->addWidget(runTable);
    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(batchTable);
    splitter->addWidget(units);
    splitter->addWidget(stepTable);
    splitter->setSizes({200, 300, 200});

    exportButton = new QPushButton(QStringLiteral("Export..."), this);
    exportButton->setObjectName(QStringLiteral("historyExportButton"));
    exportButton->setToolTip(QStringLiteral("Save the selected batch's units as a CSV report, as Save Report does"));
    auto *refreshButton = new QPushButton(QStringLiteral("Refresh"), this);
    refreshButton->setObjectName(QStringLiteral("historyRefreshButton"));
    auto *closeButton = new QPushButton(QStringLiteral("Close"), this);
    closeButton->setObjectName(QStringLiteral("historyCloseButton"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(exportButton);
    buttons->addStretch();
    buttons->addWidget(refreshButton);
    buttons->addWidget(closeButton);
    // Return in the filter field must not press a button.
    for (QPushButton *button : {exportButton, refreshButton, closeButton})
        button->setAutoDefault(false);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(noticeLabel);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    resize(1100, 720);

    connect(batchTable, &QTableWidget::itemSelectionChanged, this, &HistoryWindow::showBatch);
    connect(runTable, &QTableWidget::itemSelectionChanged, this, &HistoryWindow::showSteps);
    connect(filterEdit, &QLineEdit::textChanged, this, &HistoryWindow::applyFilter);
    connect(exportButton, &QPushButton::clicked, this, &HistoryWindow::exportBatch);
    connect(refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
}

void HistoryWindow::showNotice(const QString &text)
{
    noticeLabel->setText(text);
    noticeLabel->setVisible(!text.isEmpty());
}

// A file that is not there is not created: there is no history to show yet.
bool HistoryWindow::openStore()
{
    // The old connection goes before a new one of the same name is made.
    store.reset();
    if (!QFileInfo::exists(path)) {
        showNotice(QStringLiteral("No history has been kept yet (%1).").arg(QDir::toNativeSeparators(path)));
        return false;
    }
    store = std::make_unique<HistoryStore>(connectionName);
    QString error;
    if (!store->openForReading(path, &error)) {
        store.reset();
        showNotice(QStringLiteral("The history cannot be read: ") + error);
        return false;
    }
    showNotice(QString());
    return true;
}

void HistoryWindow::refresh()
{
    const int row = selectedBatchRow();
    const qint64 selected = row >= 0 ? batchList.at(row).id : 0;
    batchList.clear();
    if (openStore()) {
        batchList = store->batches();
        if (!store->lastError().isEmpty())
            showNotice(QStringLiteral("The history cannot be read: ") + store->lastError());
    }
    showBatches(selected);
}

// Selects the batch with the id selectBatch, or the newest when it is no longer there.
void HistoryWindow::showBatches(qint64 selectBatch)
{
    {
        const QSignalBlocker blocker(batchTable);
        batchTable->clearSelection();
        batchTable->setRowCount(int(batchList.size()));
        int selectRow = batchList.isEmpty() ? -1 : 0;
        for (int row = 0; row < int(batchList.size()); ++row) {
            const HistoryStore::Batch &batch = batchList.at(row);
            setRow(batchTable, row, batchFields(batch));
            batchTable->item(row, kPackagesColumn)->setToolTip(packagesTip(batch));
            if (batch.id == selectBatch)
                selectRow = row;
        }
        if (selectRow >= 0)
            batchTable->selectRow(selectRow);
        batchTable->resizeColumnsToContents();
    }
    showBatch();
}

// The selected batch's units; the unit selected before stays selected when it is in this batch.
void HistoryWindow::showBatch()
{
    const int runRow = selectedRunRow();
    const QString selectedMac = runRow >= 0 ? runs.at(runRow).mac : QString();
    const int row = selectedBatchRow();
    runs = store && row >= 0 ? store->unitRuns(batchList.at(row).id) : QList<HistoryStore::UnitRun>();
    if (store && !store->lastError().isEmpty())
        showNotice(QStringLiteral("The history cannot be read: ") + store->lastError());
    {
        const QSignalBlocker blocker(runTable);
        runTable->clearSelection();
        runTable->setRowCount(int(runs.size()));
        for (int run = 0; run < int(runs.size()); ++run) {
            setRow(runTable, run, runFields(runs.at(run)));
            if (runs.at(run).mac == selectedMac)
                runTable->selectRow(run);
        }
        runTable->resizeColumnsToContents();
    }
    exportButton->setEnabled(row >= 0);
    applyFilter();
    showSteps();
}

// Rows are hidden, never removed: the rows stay those of the runs.
void HistoryWindow::applyFilter()
{
    const QString search = filterEdit->text();
    for (int row = 0; row < int(runs.size()); ++row) {
        const HistoryStore::UnitRun &run = runs.at(row);
        runTable->setRowHidden(row, !searchMatches(search, {run.name, run.mac, run.ip, run.finalStatus}));
    }
}

void HistoryWindow::showSteps()
{
    const int batchRow = selectedBatchRow();
    const int runRow = selectedRunRow();
    QList<HistoryStore::Event> events;
    if (store && batchRow >= 0 && runRow >= 0)
        events = store->events(runs.at(runRow).mac, batchList.at(batchRow).id);
    stepTable->setRowCount(int(events.size()));
    for (int row = 0; row < int(events.size()); ++row) {
        const HistoryStore::Event &event = events.at(row);
        setRow(stepTable, row,
               {event.time.toLocalTime().toString(QStringLiteral("hh:mm:ss.zzz")), event.kind, event.text});
    }
    stepTable->resizeColumnsToContents();
}

// The batch's runs as shown, through the update report's own writer.
void HistoryWindow::exportBatch()
{
    const int row = selectedBatchRow();
    if (row < 0)
        return;
    OperatorQuestions::FileQuestion question;
    question.caption = QStringLiteral("Export Batch");
    question.folder = exportFolder + QStringLiteral("/batch-")
                      + batchList.at(row).started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd-HHmm"))
                      + QStringLiteral(".csv");
    question.filter = QStringLiteral("CSV files (*.csv)");
    const QString target = OperatorQuestions::current().askSaveFileName(this, question);
    if (target.isEmpty())
        return;
    exportFolder = QFileInfo(target).absolutePath();
    const QString batch = QStringLiteral("Batch %1").arg(batchList.at(row).id);
    QString error;
    if (!writeReport(target, runs, &error)) {
        const QString told =
            batch + QStringLiteral(" could not be exported to ") + target + QStringLiteral(": ") + error;
        showNotice(told);
        Q_EMIT exportTold(told);
        askOperator(this, QMessageBox::Warning, QStringLiteral("Batch not exported"),
                    QStringLiteral("The batch could not be exported to ") + target + QStringLiteral(": ") + error,
                    QMessageBox::Ok);
        return;
    }
    const QString told = batch + QStringLiteral(" exported to ") + target;
    showNotice(told);
    Q_EMIT exportTold(told);
}

int HistoryWindow::selectedBatchRow() const
{
    const QModelIndexList rows = batchTable->selectionModel()->selectedRows();
    return rows.isEmpty() || rows.first().row() >= int(batchList.size()) ? -1 : rows.first().row();
}

int HistoryWindow::selectedRunRow() const
{
    const QModelIndexList rows = runTable->selectionModel()->selectedRows();
    return rows.isEmpty() || rows.first().row() >= int(runs.size()) ? -1 : rows.first().row();
}
