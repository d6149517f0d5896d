#pragma once

#include "update/rollout.h"
#include "update/unitrun.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class MarluneUnit;

// The command-line tool's exit codes.
enum CliExit : int {
    kExitConfirmed = 0,    // every selected unit confirmed (or a list, a dry run, --help)
    kExitSomeFailed = 1,   // some unit failed, was overdue or was refused; check: some unit fails
    kExitStopped = 2,      // the batch was stopped (a signal), or its rollout halted
    kExitBadUsage = 3,     // bad arguments or input
    kExitCannotStart = 4,  // another instance holds the lock, or a port is taken
};

// Which listed units an update is for: a unit is selected when it passes every kind of criterion
// given (any MAC of --mac, any address of --ip, ...). --all selects every unit; --needs-update
// those whose package offers an update they may take.
struct UnitSelection
{
    bool all = false;
    bool needsUpdate = false;
    QStringList macs;
    // Inclusive ranges of IPv4 addresses.
    QList<std::pair<quint32, quint32>> ranges;
    QStringList types;
    QStringList nameGlobs;

    bool isEmpty() const
    {
        return !all && !needsUpdate && macs.isEmpty() && ranges.isEmpty() && types.isEmpty() && nameGlobs.isEmpty();
    }
    // updateAvailable: the package rule offers the unit an update it may take.
    bool matches(const MarluneUnit &unit, bool updateAvailable) const;
};

struct CliOptions
{
    enum class Command { Help, Version, List, Update, History, Check };
    Command command = Command::Help;
    enum class Format { Text, Json, Csv };
    Format format = Format::Text;
    // How long discovery and the first polls run before the units are listed or selected.
    int waitSecs = 10;
    UnitSelection selection;
    bool yes = false;
    // update: command units that are already up to date as well (without it they are skipped).
    bool reflash = false;
    // update: command the units the check before it fails as well (without it they are refused).
    bool force = false;
    // update: what stderr tells of the batch. Plain: a line per unit as it ends; Quiet: the
    // summary alone; Verbose: a line per step of each unit.
    enum class Progress { Plain, Quiet, Verbose };
    Progress progress = Progress::Plain;
    bool resetEdid = false;
    bool overrideLock = false;
    QString reportPath;
    QString packagesFolder;
    StepDeadlines deadlines;
    // --canary, --max-in-flight, --stop-after-failures; none given: every unit at once.
    RolloutPlan plan;
    // update: keep the history of the batch (--no-history: not).
    bool keepHistory = true;
    // history: batches begun since (all when invalid); the runs of one unit (normalised MAC).
    QDateTime since;
    QString unitMac;
    // history --batch: that batch alone, with its units (0: every batch, a line each).
    qint64 batchId = 0;
};

// Reads the arguments after the program's name. False with a message for the operator when they
// cannot be used.
bool parseCliArguments(const QStringList &arguments, CliOptions *options, QString *error);

// Reads "10.0.0.5", "10.0.0.5-10.0.0.9" or "10.0.0.0/24" into an inclusive range.
bool parseAddressSelection(const QString &text, std::pair<quint32, quint32> *range);

// The usage text of --help.
QString cliUsage();
// What a usage error prints after its message: where the usage is.
QString cliUsageHint();
