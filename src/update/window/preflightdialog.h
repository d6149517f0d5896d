#pragma once

#include "update/preflight.h"

#include <QDialog>
#include <QList>
#include <QString>

class QLabel;
class QPushButton;
class QStandardItemModel;
class QTableView;

// The verdicts of the last check of selected units: one row per unit (Name, IP, MAC, Type,
// Verdict, Reasons), sorted by any column (the verdict from fail to ok), and saved as CSV.
// Not modal: the window and its ticks go on while it is open.
class PreflightDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PreflightDialog)

public:
    explicit PreflightDialog(QWidget *parent = nullptr);
    ~PreflightDialog() override;

    // Shows these verdicts in place of the last ones, in their order.
    void showResults(const QList<UnitPreflight> &results);

Q_SIGNALS:
    // What became of an export, for the status log: where the verdicts were saved, or why not.
    void exportTold(const QString &text);

private:
    void exportCsv();

    QList<UnitPreflight> shown;
    QString exportFolder;
    QLabel *summaryLabel = nullptr;
    QStandardItemModel *model = nullptr;
    QTableView *table = nullptr;
    QPushButton *exportButton = nullptr;
};
