#pragma once

#include "net/localsubnets.h"
#include "net/marluneconnectreduced.h"
#include "net/reachability.h"
#include "units/marluneunit.h"
#include "units/unitlistfile.h"
#include "update/pipelineport.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"

#include <QBitArray>
#include <QMainWindow>
#include <QModelIndex>
#include <QSet>

#include <memory>
#include <optional>

class FileServer;
class QLabel;
class QTimer;

namespace Ui {
class MainWindow;
}

// The updater's one top-level window. It builds the form, binds the widgets' slots, shows what
// the engines report and asks the operator; the engines do the work: the update pipeline
// (lists, package rule, refresh tick), the file server, the endpoint toward the units and the
// reachability tests. The window is the pipeline's PipelinePort.
// mainwindow.cpp: construction, status log, small buttons, the port; unittable.cpp: the unit
// table and the update and remove buttons.
class MainWindow final : public QMainWindow, public PipelinePort
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Appends one line to the status log: the time, the unit's name and IP (or "From Updater"
    // when source names no listed unit) and the message.
    void toStatusLog(const QString &source, const QString &message) override;

    // The update engine, for tools and tests that read or arrange its state.
    UpdatePipeline &pipeline() { return updatePipeline; }

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
    void on_debugButton_clicked();
    void on_unitTable_itemSelectionChanged();
    void on_removeButton_clicked();
    void on_addByIPButton_clicked();
    void on_unitTable_doubleClicked(QModelIndex index);
    void on_csvImportButton_clicked();
    bool isAliveTCPCheck(MarluneUnit unit);

private:
    // PipelinePort
    void getStatus(const MarluneUnit &unit, bool useTcp) override;
    void discover() override;
    void sendConfig(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                    ExchangeDone done) override;
    QString localAddressFor(const MarluneUnit &unit) override;
    QString localAddressFor(const QString &ip, const QString &netmask) override;
    void startTcpTest(const MarluneUnit &unit) override;
    void refreshUnitTable() override;
    void refreshUnitTableSoon() override;
    void showPowerOffWarning() override;
    void enableButtons() override;
    bool statusOverTcp() const override;
    bool resetEdidTicked() const override;
    bool discovering() const override;
    void nextTurn(std::function<void()> work) override;

    void startFileServer();
    void reportImageTrouble();
    void scanPackages();
    // A tick, or a part of one: redraws asked for meanwhile wait until it is over.
    void runTickPart(const std::function<void()> &work);

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
    // A child of the window, but destroyed first, explicitly: see ~MainWindow.
    FileServer *fileServer = nullptr;
    // Images refused because they changed on disk, already told in the status log.
    QSet<QString> changedImagesReported;
    // Writes "units.ini" on a thread of its own; made before the endpoint that stores units
    // and gone after it, writing what is left.
    UnitListWriter unitList;
    MarluneConnect connection;
    // The unit lists, maps and run-wide flags (vUnits, vUnitsUpdate, ..., tcpAlive) and the
    // package catalogue live in the pipeline: state() and catalogue().
    UpdatePipeline updatePipeline;
    Reachability reachability;
    QTimer *refreshTimer = nullptr;
    // This workstation's addresses while a tick's part runs, listed when it first asks.
    std::optional<LocalSubnets> tickSubnets;
    bool inTick = false;
    // The batch summary, on the right of the status bar, beside its passing messages; between
    // redraws, transfer progress updates it at most every kSummaryDelayMs.
    QLabel *batchLabel = nullptr;
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
};
