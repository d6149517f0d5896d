#pragma once

#include "units/marluneunit.h"
#include "update/fleetview.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"

#include <QBitArray>
#include <QMainWindow>
#include <QModelIndex>
#include <QSet>

#include <memory>

class HistoryWindow;
class QFontMetrics;
class QLabel;
class QTimer;
class UpdaterCore;

namespace Ui {
class MainWindow;
}

// The updater's one top-level window, a front-end of the updater's core. It builds the form,
// binds the widgets' slots, shows what the core reports and asks the operator; the core does the
// work and the window writes none of its state.
// mainwindow.cpp: construction, status log, small buttons; unittable.cpp: the unit table and
// the update and remove buttons.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    // Whether the window keeps the update history: a start that shows no window keeps none.
    enum class History { Kept, NotKept };

    explicit MainWindow(QWidget *parent = nullptr, History history = History::Kept);
    ~MainWindow() override;

    // Appends one line to the status log: the time, the unit's name and IP (or "From Updater"
    // when source names no listed unit) and the message.
    void toStatusLog(const QString &source, const QString &message);

    // The core, and its update engine, for tools and tests that read or arrange its state.
    UpdaterCore &core() { return *engine; }
    UpdatePipeline &pipeline();

public Q_SLOTS:
    void appIsQuitting();
    void testFinished(QString ip, int port, bool result);

private Q_SLOTS:
    void newSession();
    void refreshTimerTimeout();
    void unitChangedSlot(MarluneUnit unit);
    void unitChangedSlotForced(MarluneUnit unit);
    void forceRefresh();
    void on_actionExit_triggered();
    void on_discoverButton_clicked();
    void on_updateButton_clicked();
    void on_retryButton_clicked();
    void on_clearButton_clicked();
    void on_clearLogButton_clicked();
    void on_saveReportButton_clicked();
    void on_historyButton_clicked();
    void on_debugButton_clicked();
    void on_unitTable_itemSelectionChanged();
    void on_removeButton_clicked();
    void on_addByIPButton_clicked();
    void on_unitTable_doubleClicked(QModelIndex index);
    void on_csvImportButton_clicked();
    void on_resumeButton_clicked();
    void on_stopBatchButton_clicked();
    bool isAliveTCPCheck(MarluneUnit unit);

protected:
    // Closing the window while units take their image from this computer asks first.
    void closeEvent(QCloseEvent *event) override;

private:
    // False when units take their image from this computer and the operator would rather not
    // quit now.
    bool quitAllowed();
    void refreshUnitTable();
    void refreshUnitTableSoon();
    void showPowerOffWarning();
    void enableButtons();
    void listenToCore();
    void showPackages();

    // Operator's view: filter, search, selection of units needing update, keyboard, log.
    void setUpOperatorView();
    void explainScreen();
    void explainHeaders();
    void applyRowFilter();
    void showRowFilter(ViewFilter filter);
    void noteRowKind(int row, RowKind kind);
    void selectUnitsNeedingUpdate();
    void addStatusLine(const QString &line);
    void showStatusLog();
    void selectRowOfAddress(const QString &ip);
    static ViewFilter filterOfSummaryPart(const QString &summary, const QFontMetrics &metrics, int x);
    void restoreWindowSize();
    void rememberWindowSize();
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Rollout row
    void setUpRollout();
    RolloutPlan rolloutPlanShown() const;
    void takeRolloutPlan();
    void showRolloutState();
    void showBatchHalted(const QString &text);

    // Table
    void setUpTable();
    // Shows a change of one unit's run (its transfer) in its status cell without a whole redraw,
    // within kCellDelayMs and together with the other cells that changed meanwhile; the batch
    // summary follows shortly. A redraw shows the summary and the retry button at once.
    void refreshStatusCell(const QString &mac);
    void showBatchProgress();
    // What one cell shows: its text, the unit it belongs to and its background; of the status
    // cell also the disable marker, minimum date and progress; of the name cell its icon.
    struct CellLook
    {
        CellLook(const QString &text, const QString &mac, CellColour colour) : text(text), mac(mac), colour(colour) {}
        QString text;
        QString mac;
        CellColour colour = CellColour::Default;
        QString disableMarker;
        QString minimumDate;
        int progress = -1;
        QString iconPath;
    };
    static CellLook statusLook(const StatusCell &cell, const QString &mac, CellColour rowColour);
    bool showCell(int row, int column, const CellLook &look);
    // A redraw under way. It shows the pipeline as it stood when the redraw began; a fleet of
    // more than kRedrawnAtOnce units is written a slice of rows per event-loop turn, then each
    // changed column is fitted in a turn of its own, so that the window never waits long.
    struct TableRedraw
    {
        explicit TableRedraw(const PipelineState &pipeline) : state(pipeline), index(state) {}
        const PipelineState state;
        const PipelineIndex index;
        int nextRow = 0;
        bool rowsWritten = false;
        int nextColumn = 0;
        int rowsBefore = 0;
        bool resort = false;
        QBitArray columnsChanged{8};
        QList<MarluneUnit> awaitingReachability;
    };
    // Takes the next step of the redraw under way; true when it is complete.
    bool takeRedrawStep();
    bool fillRow(int row, const MarluneUnit &unit, const TableRedraw &redraw, QBitArray *columnsChanged);
    void showChangedCells();
    int rowShowing(const QString &mac);
    void showTableWarnings();
    QStringList selectedMacs() const;

    Ui::MainWindow *ui = nullptr;
    // A child of the window, shut down first, explicitly: see ~MainWindow.
    UpdaterCore *engine = nullptr;
    // The batch summary, on the right of the status bar, beside its passing messages; between
    // redraws, transfer progress updates it at most every kSummaryDelayMs.
    QLabel *batchLabel = nullptr;
    // The batch's elapsed time and estimate, beside the summary.
    QLabel *batchTimeLabel = nullptr;
    // The status log's lines, the newest last, kept so that "Problems only" can show them again;
    // the log keeps this many, the oldest going first.
    static constexpr qsizetype kStatusLogKept = 20000;
    QStringList statusLines;
    // The log takes each line at once but is painted at most every kLogPaintMs while lines keep
    // coming (a fleet's fetches each say a few): a paint per line cost more than the line.
    static constexpr int kLogPaintMs = 100;
    QTimer *logPaintDelay = nullptr;
    QTimer *summaryDelay = nullptr;
    // Collects the redraws asked for between ticks (command exchanges ending one by one).
    QTimer *redrawDelay = nullptr;
    std::unique_ptr<TableRedraw> redraw;
    // Runs the next step of a redraw written over several turns.
    QTimer *redrawStep = nullptr;
    // A redraw was asked for while one was under way: another follows it.
    bool redrawAgain = false;
    // The row of each unit's MAC as the last look found it (see rowShowing).
    QHash<QString, int> rowOfMac;
    // Units whose status cell is due to be shown again, shortly and together.
    QSet<QString> changedCells;
    QTimer *cellDelay = nullptr;
    // The history window, made when first asked for and kept, hidden, when closed.
    HistoryWindow *historyWindow = nullptr;
};
