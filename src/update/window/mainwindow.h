#pragma once

#include "units/marluneunit.h"
#include "update/fleetview.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QSet>

#include <memory>

class HistoryWindow;
class PreflightDialog;
class PreflightRun;
class QFontMetrics;
class QLabel;
class QTimer;
class UnitTableProxy;
class UpdaterCore;

namespace Ui {
class MainWindow;
}

// The updater's one top-level window, a front-end of the updater's core. It builds the form,
// binds the widgets' slots, shows what the core reports and asks the operator; the core does the
// work and the window writes none of its state.
// mainwindow.cpp: construction, status log, small buttons; unittable.cpp: the unit table (a view
// on the core's fleet) and the update and remove buttons.
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
    UpdatePipeline &pipelineForTests();

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
    void on_resumeLastBatchButton_clicked();
    void on_debugButton_clicked();
    void on_unitTable_itemSelectionChanged();
    void on_removeButton_clicked();
    void on_addByIPButton_clicked();
    void on_unitTable_doubleClicked(QModelIndex index);
    void on_csvImportButton_clicked();
    void on_resumeButton_clicked();
    void on_stopBatchButton_clicked();
    void on_checkButton_clicked();
    bool isAliveTCPCheck(MarluneUnit unit);

protected:
    // Closing the window while units take their image from this computer asks first; a window
    // that closes remembers its place.
    void closeEvent(QCloseEvent *event) override;
    // Shown, the window makes sure its whole frame is on the screen.
    void showEvent(QShowEvent *event) override;

private:
    // False when units take their image from this computer and the operator would rather not
    // quit now.
    bool quitAllowed();
    void refreshUnitTable();
    void showPowerOffWarning();
    void enableButtons();
    void listenToCore();
    void showPackages();
    // The last batch, cut short: offered once in the status log, and the button while it can be
    // picked up.
    void showResumable();

    // Operator's view: filter, search, selection of units needing update, keyboard, log.
    void setUpOperatorView();
    void applyRowFilter();
    void showRowFilter(ViewFilter filter);
    void selectUnitsNeedingUpdate();
    void addStatusLine(const QString &line);
    void showStatusLog();
    void selectRowOfAddress(const QString &ip);
    static ViewFilter filterOfSummaryPart(const QList<SummaryPart> &parts, const QFontMetrics &metrics, int x);
    void showRowsShown();
    // The window's place: the one remembered, fitted to the screen it lands on, or at the first
    // start a size that shows kFirstStartRows rows of the table.
    void placeWindow();
    QSize firstStartSize();
    void rememberWindowPlace();
    void keepOnScreen();
    bool eventFilter(QObject *watched, QEvent *event) override;

    // Check Selected Units
    void setUpCheck();
    void showCheck();

    // Rollout row
    void setUpRollout();
    RolloutPlan rolloutPlanShown() const;
    void takeRolloutPlan();
    void showRolloutState();
    void showBatchHalted(const QString &text);

    // Table
    void setUpTable();
    void showFleet();
    void showBatchProgress();
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
    // The parts of the batch summary shown, for a click on one of them.
    QList<SummaryPart> summaryParts;
    // The table's view of the fleet: filter, search and order.
    UnitTableProxy *tableProxy = nullptr;
    // The rows the columns were last fitted to.
    int rowsFitted = -1;
    static constexpr int kFirstStartRows = 15;
    bool keptOnScreen = false;
    // The history window, made when first asked for and kept, hidden, when closed.
    HistoryWindow *historyWindow = nullptr;
    bool resumeOffered = false;
    // The check under way (a child, until its verdicts are shown), and the dialog that shows the
    // last one, made at the first check and kept, hidden, when closed.
    PreflightRun *checkRun = nullptr;
    PreflightDialog *checkDialog = nullptr;
};
