#include "preflightdialog.h"

#include "app/wholefile.h"
#include "app/window/operatorquestions.h"
#include "update/window/unittableproxy.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

enum Column { kName, kIp, kMac, kType, kVerdict, kReasons, kColumns };
// What a column is sorted by: the verdict by its severity, the address by its number, the rest
// by their text.
constexpr int kSortRole = Qt::UserRole + 1;

QStandardItem *cell(const QString &text, const QVariant &sortKey)
{
    auto *item = new QStandardItem(text);
    item->setEditable(false);
    item->setData(sortKey, kSortRole);
    return item;
}

QList<QStandardItem *> rowOf(const UnitPreflight &unit)
{
    QStringList reasons;
    for (const PreflightReason &reason : unit.reasons)
        reasons << reason.text;
    QList<QStandardItem *> row{cell(unit.name, unit.name),
                               cell(unit.ip, QHostAddress(unit.ip).toIPv4Address()),
                               cell(unit.mac, unit.mac),
                               cell(unit.type, unit.type),
                               cell(verdictKey(unit.verdict), int(unit.verdict)),
                               cell(reasons.join(QStringLiteral("; ")), reasons.join(QStringLiteral("; ")))};
    row.at(kReasons)->setToolTip(reasons.join(QLatin1Char('\n')));
    // The colour of the verdict's mark in the unit table.
    const CellColour colour = UnitTableProxy::colourOf(unit.verdict);
    row.at(kVerdict)->setBackground(UnitTableProxy::background(colour));
    row.at(kVerdict)->setForeground(UnitTableProxy::text(colour));
    return row;
}

} // namespace

PreflightDialog::PreflightDialog(QWidget *parent) : QDialog(parent), exportFolder(QDir::homePath())
{
    setObjectName(QStringLiteral("preflightDialog"));
    setWindowTitle(QStringLiteral("Check of Selected Units"));
    summaryLabel = new QLabel(this);
    summaryLabel->setObjectName(QStringLiteral("preflightSummaryLabel"));
    summaryLabel->setTextFormat(Qt::PlainText);

    model = new QStandardItemModel(0, kColumns, this);
    model->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("IP"), QStringLiteral("MAC"),
                                      QStringLiteral("Type"), QStringLiteral("Verdict"), QStringLiteral("Reasons")});
    model->setSortRole(kSortRole);
    table = new QTableView(this);
    table->setObjectName(QStringLiteral("preflightTable"));
    table->setAccessibleName(QStringLiteral("Verdicts"));
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    // The worst first; within a verdict, the order of the check (the sort is stable).
    table->horizontalHeader()->setSortIndicator(kVerdict, Qt::DescendingOrder);
    table->setSortingEnabled(true);

    exportButton = new QPushButton(QStringLiteral("Export CSV..."), this);
    exportButton->setObjectName(QStringLiteral("preflightExportButton"));
    exportButton->setToolTip(
        QStringLiteral("Save the verdicts as a CSV file: a row per unit, its reasons in one cell"));
    auto *closeButton = new QPushButton(QStringLiteral("Close"), this);
    closeButton->setObjectName(QStringLiteral("preflightCloseButton"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(exportButton);
    buttons->addStretch();
    buttons->addWidget(closeButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(summaryLabel);
    layout->addWidget(table, 1);
    layout->addLayout(buttons);
    resize(900, 400);

    connect(exportButton, &QPushButton::clicked, this, &PreflightDialog::exportCsv);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
}

PreflightDialog::~PreflightDialog() = default;

void PreflightDialog::showResults(const QList<UnitPreflight> &results)
{
    shown = results;
    model->removeRows(0, model->rowCount());
    for (const UnitPreflight &unit : results)
        model->appendRow(rowOf(unit));
    const QHeaderView *header = table->horizontalHeader();
    table->sortByColumn(header->sortIndicatorSection(), header->sortIndicatorOrder());
    table->resizeColumnsToContents();
    summaryLabel->setText(preflightSummary(results));
    exportButton->setEnabled(!results.isEmpty());
}

// Every unit's verdict and reasons, in the order of the check.
void PreflightDialog::exportCsv()
{
    OperatorQuestions::FileQuestion question;
    question.caption = QStringLiteral("Export Check");
    question.folder = exportFolder + QStringLiteral("/unit-check-")
                      + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmm"))
                      + QStringLiteral(".csv");
    question.filter = QStringLiteral("CSV files (*.csv)");
    const QString target = OperatorQuestions::current().askSaveFileName(this, question);
    if (target.isEmpty())
        return;
    exportFolder = QFileInfo(target).absolutePath();
    QString error;
    if (!writeWholeFile(target, preflightCsv(shown).toUtf8(), &error)) {
        Q_EMIT exportTold(QStringLiteral("The check could not be exported to ") + target + QStringLiteral(": ")
                          + error);
        askOperator(this, QMessageBox::Warning, QStringLiteral("Check not exported"),
                    QStringLiteral("The check could not be exported to ") + target + QStringLiteral(": ") + error,
                    QMessageBox::Ok);
        return;
    }
    Q_EMIT exportTold(QStringLiteral("Check of %1 units exported to ").arg(shown.size()) + target);
}
