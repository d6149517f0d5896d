#pragma once

#include "history/historystore.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The batches kept in the history file, for the operator to look back on: every batch, newest
// first; the units of the one selected with their final status; the steps of the unit selected.
// The selected batch can be exported as the same CSV as the update report.
//
// A viewer: it reads the file through a connection of its own on the window's thread (reads are
// short, and the file's write-ahead log lets them run beside the history's writing thread) and
// never creates a file that is not there.
class HistoryWindow final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryWindow)

public:
    explicit HistoryWindow(const QString &historyPath, QWidget *parent = nullptr);
    ~HistoryWindow() override;

Q_SIGNALS:
    // What became of an export, for the status log: where the batch was saved, or why not.
    void exportTold(const QString &text);

public Q_SLOTS:
    // Reads the history again, keeping the selected batch and unit when they are still there.
    void refresh();

private:
    void buildForm();
    bool openStore();
    void showBatches(qint64 selectBatch);
    void showBatch();
    void applyFilter();
    void showSteps();
    void exportBatch();
    int selectedBatchRow() const;
    int selectedRunRow() const;
    void showNotice(const QString &text);

    const QString path;
    const QString connectionName;
    // Opened again at each refresh: the file may have been created, replaced or removed since.
    std::unique_ptr<HistoryStore> store;
    QList<HistoryStore::Batch> batchList;
    // The runs of the selected batch, in the rows of the unit table.
    QList<HistoryStore::UnitRun> runs;
    QString exportFolder;

    QLabel *noticeLabel = nullptr;
    QTableWidget *batchTable = nullptr;
    QLineEdit *filterEdit = nullptr;
    QTableWidget *runTable = nullptr;
    QTableWidget *stepTable = nullptr;
    QPushButton *exportButton = nullptr;
};
