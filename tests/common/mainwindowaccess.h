#pragma once

#include "update/mainwindow.h"

// Lets tests read and arrange the window's pipeline state (the window befriends this class).
class MainWindowTestAccess
{
public:
    explicit MainWindowTestAccess(MainWindow &window) : w(window) {}

    QList<MarluneUnit> &vUnits() { return w.vUnits; }
    QList<MarluneUnit> &vUnitsIncoming() { return w.vUnitsIncoming; }
    QList<MarluneUnit> &vUnitsUpdate() { return w.vUnitsUpdate; }
    QList<MarluneUnit> &vUnitsConfirm() { return w.vUnitsConfirm; }
    QList<MarluneUnit> &vUnitsRebooted() { return w.vUnitsRebooted; }
    QList<MarluneUnit> &vUnitsEDID() { return w.vUnitsEDID; }
    QList<MarluneUnit> &vUnitsFinished() { return w.vUnitsFinished; }
    QList<MarluneUnit> &vUnitsUpdateFetched() { return w.vUnitsUpdateFetched; }
    QMap<QString, bool> &tcpAlive() { return w.tcpAlive; }
    QMap<QString, int> &edidAttempts() { return w.edidAttempts; }
    QMap<QString, int> &foreverCount() { return w.foreverCount; }
    QMap<QString, QDateTime> &fetchTimeByMac() { return w.fetchTimeByMac; }
    QStringList &foreverMACList() { return w.foreverMACList; }
    bool &knownUnitsOnly() { return w.knownUnitsOnly; }
    bool &serverContacted() { return w.serverContacted; }
    bool &updateCommanded() { return w.updateCommanded; }
    bool &fileServed() { return w.fileServed; }
    QDateTime &lastUpdateCommandTime() { return w.lastUpdateCommandTime; }
    QDateTime &lastConfirmTime() { return w.lastConfirmTime; }
    PackageCatalogue &catalogue() { return w.catalogue; }
    MarluneConnect &connection() { return w.connection; }
    QTimer *refreshTimer() { return w.refreshTimer; }

    void refreshUnitTable() { w.refreshUnitTable(); }
    void tick() { w.refreshTimerTimeout(); }
    void unitChanged(const MarluneUnit &unit) { w.unitChangedSlot(unit); }
    void unitChangedForced(const MarluneUnit &unit) { w.unitChangedSlotForced(unit); }
    void startTcpTest(const MarluneUnit &unit) { w.startTcpTest(unit); }
    bool isAlive(const MarluneUnit &unit) { return w.isAliveTCPCheck(unit); }

private:
    MainWindow &w;
};
