#pragma once

#include "units/marluneunit.h"
#include "update/rollout.h"
#include "update/unitrun.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// Everything the update pipeline knows, for the whole run. A unit's place in the pipeline is the
// list that holds its record: vUnitsUpdate (queued) -> vUnitsConfirm (commanded; also in
// vUnitsRebooted once seen going down) -> vUnitsEDID (encoders, optional) -> vUnitsFinished.
// Lists hold records by value and a unit's identity is its MAC; some maps are keyed by IP.
struct PipelineState
{
    // Records the package rule admitted since the last tick; merged into vUnits at the next one.
    QList<MarluneUnit> vUnitsIncoming;
    // Every unit shown in the unit table, with its latest status.
    QList<MarluneUnit> vUnits;
    // Units that fetched their image from the file server.
    QList<MarluneUnit> vUnitsUpdateFetched;
    QList<MarluneUnit> vUnitsUpdate;
    QList<MarluneUnit> vUnitsRebooted;
    QList<MarluneUnit> vUnitsConfirm;
    QList<MarluneUnit> vUnitsFinished;
    QList<MarluneUnit> vUnitsEDID;

    // Failed EDID resets per IP.
    QMap<QString, int> edidAttempts;
    // When the unit with this MAC was last sent its image.
    QMap<QString, QDateTime> fetchTimeByMac;
    // The latest reachability result per IP; true when a unit is first listed.
    QMap<QString, bool> tcpAlive;
    // Units whose latest command exchange brought no reply, by MAC: a few words on how
    // ("did not answer on TCP 50001"), shown beside the unit's status until its next exchange
    // begins or it is queued again.
    QHash<QString, QString> exchangeFailures;
    // How often FOREVER mode re-queued the unit with this MAC.
    QMap<QString, int> foreverCount;
    // The entries of FOREVER.txt, as last read.
    QStringList foreverMACList;

    // Every unit queued for update in this run, by MAC, in the order first queued.
    QHash<QString, UnitRun> runs;
    QStringList runOrder;
    // The MACs of the current batch: the units queued since the pipeline was last idle; its number
    // (counted from 1 in this run, 0 before the first), and the batch each unit was last queued in.
    QStringList batch;
    int batchNumber = 0;
    QHash<QString, int> batchOfUnit;
    // The plan the next batch starts with, and the rollout of the current one.
    RolloutPlan plan;
    RolloutProgress rollout;

    // Units that answered but are not listed, because no package is for them (by MAC).
    QSet<QString> withoutPackage;
    // When the current batch began, for its elapsed time.
    QDateTime batchStarted;
    // The history's id of the batch the current one picks up again (0: none).
    qint64 resumes = 0;

    // While set, status records of units not in vUnits are ignored.
    bool knownUnitsOnly = false;
    // vUnits changed since the table was last drawn.
    bool tableDirty = false;

    // Run-wide flags: what happened so far, and which one-time boxes were shown.
    bool updateCommanded = false;
    QDateTime lastUpdateCommandTime;
    // An update command was sent, or a unit connected to the file server.
    bool serverContacted = false;
    bool fileServed = false;
    bool firewallWarned = false;
    bool subnetWarned = false;
    bool manualUpdateWarned = false;
    bool powerWarningShown = false;
    // Set at the first tick and by every confirm command; the out-of-sync pass waits for it.
    QDateTime lastConfirmTime;
    int lastRebootedCount = 0;
    // How long a commanded unit's steps may take before it is marked overdue.
    StepDeadlines deadlines;
};

// Takes every record with this MAC (and any blank record) out of the list; the others keep
// their order.
void removeUnitByMac(const QString &mac, QList<MarluneUnit> &list);
