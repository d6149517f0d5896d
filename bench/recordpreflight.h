#pragma once

// The preflight's prediction held against how each batch went: before a scenario plays, the
// window's check runs over its units; afterwards each unit's verdict is set beside what the wire
// says became of it (confirmed or not) and, for a unit that was not, why its account says so.
#include "recordaccount.h"

#include <QHash>
#include <QString>
#include <QStringList>

class UpdaterCore;

namespace recordcheck {

class Simulator;

// Each unit's verdict ("ok", "warn", "fail") and its reasons' keys, by MAC.
struct Prediction
{
    QHash<QString, QString> verdicts;
    QHash<QString, QStringList> reasons;
};

struct PredictionTally
{
    int failFailed = 0;
    int failSucceeded = 0;
    int okFailed = 0;
    // Of okFailed: those whose failure is of a kind the check looks for.
    int okFailedListed = 0;
    QStringList lines;

    void add(const PredictionTally &other);
    QString counts() const;
};

// Checks macs as the window's "Check Selected Units" does, on a started core; false when the
// check did not finish in time.
bool predict(UpdaterCore &core, const QStringList &macs, Prediction *prediction);

// lastReading: the history's accounts at the end of the scenario; end: how its last batch ended.
PredictionTally scorePrediction(const Prediction &prediction, const Simulator &sim,
                                const QHash<QString, QString> &unitOfMac, const QList<Account> &lastReading,
                                const QString &end);

} // namespace recordcheck
