#pragma once

#include "units/marluneunit.h"

#include <QDialog>
#include <QList>
#include <QStringList>

namespace Ui {
class ExcelImport;
}

// The CSV import dialog: reads an export of the sibling configuration tool, reports what it
// found and hands the new units to the main window one by one. Modeless; closing it deletes it.
class ExcelImport final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExcelImport)

public:
    explicit ExcelImport(QWidget *parent = nullptr);
    ~ExcelImport() override;

    // The main window's units, to leave out units it already lists.
    void setExistingUnits(const QList<MarluneUnit> &units) { existingUnits = units; }

Q_SIGNALS:
    void NeedRefreshSignal();
    void unitChangedSignal(MarluneUnit vUnit);

private Q_SLOTS:
    void on_browseFileButton_clicked();
    void on_importButton_clicked();
    void on_finished();

private:
    friend class ExcelImportTestAccess;

    void appendResult(const QString &text);

    QList<MarluneUnit> existingUnits;
    QStringList importHeaderList;
    QList<MarluneUnit> unitsToAdd;
    Ui::ExcelImport *ui;
};
