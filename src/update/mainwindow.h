#pragma once

#include "net/marluneconnectreduced.h"
#include "packages/packagecatalogue.h"
#include "units/marluneunit.h"
#include "update/unitstatus.h"

#include <QDateTime>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QModelIndex>
#include <QPointer>
#include <QStringList>

class QTableWidgetItem;
class QTcpServer;
class QTcpSocket;
class QThread;
class QTimer;

namespace Ui {
class MainWindow;
}

// The updater's one top-level window and the owner of all update state: the unit lists that
// make up the update pipeline, the firmware file server, the unit table and the status log.
// Its implementation is split by concern: mainwindow.cpp (construction, status log, buttons),
// pipeline.cpp (the refresh tick), reachability.cpp (TCP tests), fileserver.cpp (the file
// server) and unittable.cpp (the table and the update/remove buttons).
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Appends one line to the status log: the time, the unit's name and IP (or "From Updater"
    // when source names no listed unit) and the message.
    void toStatusLog(const QString &source, const QString &message);

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
    void on_clearButton_clicked();
    void on_clearLogButton_clicked();
    void on_debugButton_clicked();
    void on_unitTable_itemSelectionChanged();
    void on_removeButton_clicked();
    void on_addByIPButton_clicked();
    void on_unitTable_doubleClicked(QModelIndex index);
    void on_csvImportButton_clicked();
    bool isAliveTCPCheck(MarluneUnit unit);

private:
    friend class MainWindowTestAccess;

    // Table
    void refreshUnitTable();
    void placeUpdateBlurb(int row, int column, const UpdatePackage &package, const MarluneUnit &unit);
    QTableWidgetItem *makeUnitItem(const QString &text, const QString &mac) const;
    QTableWidgetItem *makeStatusItem(const StatusCell &cell, const QString &mac) const;
    PipelineView pipelineView() const;
    void showOnceWarnings(const MarluneUnit &unit, const QList<QHostAddress> &localAddresses);

    // File server
    void serveRequest(QTcpSocket *socket, const QString &peer);
    void recordFetch(const QString &peer);
    void closeSession(QTcpSocket *socket, const QString &peer);

    // Pipeline
    void startTcpTest(const MarluneUnit &unit);
    QString foreverKey(const MarluneUnit &unit) const;
    static void removeUnitByMac(const QString &mac, QList<MarluneUnit> &list);
    void scanPackages();

    Ui::MainWindow *ui = nullptr;
    QTcpServer *fileServer = nullptr;
    MarluneConnect connection;
    QList<MarluneUnit> vUnitsIncoming;
    QList<MarluneUnit> vUnits;
    QList<MarluneUnit> vUnitsUpdateFetched;
    QList<MarluneUnit> vUnitsUpdate;
    QList<MarluneUnit> vUnitsRebooted;
    QList<MarluneUnit> vUnitsConfirm;
    QList<MarluneUnit> vUnitsFinished;
    QList<MarluneUnit> vUnitsEDID;
    QMap<QString, int> edidAttempts;
    QMap<QString, QDateTime> fetchTimeByMac;
    QMap<QString, bool> tcpAlive;
    QMap<QString, int> foreverCount;
    QStringList foreverMACList;
    QTimer *refreshTimer = nullptr;
    bool knownUnitsOnly = false;
    PackageCatalogue catalogue;
    QList<UpdatePackage *> packages;
    bool firewallWarned = false;
    bool serverContacted = false;
    bool fileServed = false;
    bool updateCommanded = false;
    QDateTime lastUpdateCommandTime;
    bool tableDirty = false;

    // Run-wide state of the reachability tests, the warnings and the pipeline.
    QMap<QString, QDateTime> lastTestStart;
    QList<QPointer<QThread>> testThreads;
    bool subnetWarned = false;
    bool manualUpdateWarned = false;
    bool powerWarningShown = false;
    QDateTime lastConfirmTime;
    int lastRebootedCount = 0;
    bool tickRunning = false;
};
