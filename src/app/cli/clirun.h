#pragma once

#include "app/cli/clioptions.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <cstdio>
#include <functional>

class MarluneUnit;
class PackageCatalogue;
class PipelineIndex;
class PreflightRun;
class QTimer;
class RangeProbe;
class UpdaterCore;
struct PipelineState;
struct TableWarnings;
struct ResumedUnit;
struct UnitEvent;

// The command-line tool's front-end of the core: waits for discovery, then lists the units,
// checks the selected ones (clicheck.cpp), or selects, checks, queues and follows an update until every selected unit has ended (confirmed, failed,
// overdue or not commanded), printing a line per unit as it ends (per step with --verbose, none
// with --quiet; JSON Lines with --json) and a summary. A list is made once the fleet has been
// quiet for a moment. The result is an exit code; finished() says when it is known.
class CliRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliRun)

public:
    CliRun(const CliOptions &options, UpdaterCore &core, FILE *out, FILE *err, QObject *parent = nullptr);

    int exitCode() const { return code; }
    // A signal to stop: the first takes the units not commanded yet out of the queue and lets the
    // commanded ones finish; the second ends the run at once.
    void interrupt();

    // How a selected unit ended, by the step it took ("confirmed", "failed", "overdue", "not
    // commanded", "held"); "" while it is on its way. updatedWell: an earlier step of the unit
    // confirmed it with its package's dates.
    static QString resultOf(const UnitEvent &event, bool updatedWell);
    // The table list prints: a header row and a row per unit, in columns. Control characters
    // show as text, and every column but the last is cut to a readable width.
    static QString listTable(const QList<QStringList> &rows);

    // A list is made once no new unit has answered for this long after the first answer (--wait
    // still bounds it).
    static constexpr int kQuietMs = 1500;

Q_SIGNALS:
    void finished(int exitCode);

private:
    void startProbe();
    void probeOver();
    void discoveryOver();
    void heardFrom(const QString &mac);
    void quietOver();
    void listOnceMerged();
    void fleetReady();
    void tellWarnings(const TableWarnings &due);
    void listUnits();
    void startUpdate();
    void commandSelection();
    // clicheck.cpp: the check command, and the check of update's selection.
    void checkUnits();
    void checkSelection();
    void startPreflight(const QStringList &macs, const std::function<void()> &judged);
    // update --resume (cliresume.cpp).
    void startResume();
    void tellResumed(qint64 resumes, const ResumedUnit &unit);
    void endDryRun(const PipelineIndex &index);
    void unitStepped(const UnitEvent &event);
    void endIfAllEnded();
    QJsonArray accountForUnits(QHash<QString, int> &counts) const;
    void finish();
    QJsonObject unitObject(const MarluneUnit &unit) const;
    void event(const QJsonObject &object, const QString &text);
    void drawBar();
    void clearBar();
    void say(const QString &text);
    // A line of the result on stdout.
    void print(const QString &line);
    void note(const QString &text);
    void tellSkipped();
    void lostOutput();

    const CliOptions options;
    UpdaterCore &core;
    FILE *out;
    FILE *err;
    bool interactive = false;
    bool quiet = false;
    bool verbose = false;
    bool barShown = false;
    bool following = false;
    bool stopped = false;
    bool done = false;
    // Set once the summary (or the list) is out: nothing is written after it.
    bool outputClosed = false;
    // Standard output's reader went away.
    bool outputGone = false;
    int code = kExitConfirmed;
    QDateTime started;
    // The discovery's wait is over; the list or the selection waits for the fleet to be shown.
    bool awaitingFleet = false;
    // --probe: the addresses asked besides the broadcast. The wait ends no sooner than a refresh
    // period after the probe is over (settled), so that a tick has listed the units it found.
    RangeProbe *probe = nullptr;
    bool probeSettled = true;
    bool waitOver = false;
    // The selected units in table order and the batch they were queued in; the units the
    // selection rules refused with the reason, and those told as refused.
    QStringList selected;
    QSet<QString> selectedSet;
    int batch = 0;
    QHash<QString, QString> refused;
    // The check of the selection before anything is sent (check, and update before it queues).
    PreflightRun *preflight = nullptr;
    // The units the selection chose that are already up to date, left out without --reflash.
    QStringList skipped;
    // list: the units that answered, and the wait for a moment without a new one.
    QSet<QString> heard;
    QTimer *quietTimer = nullptr;
    // On a terminal: the live line is drawn again each second, for its elapsed time.
    QTimer *barTimer = nullptr;
    QHash<QString, QString> phases;
    // Each selected unit's last step, its status then and how it ended ("" while on its way);
    // whether its update was confirmed with the package's dates.
    QHash<QString, QString> steps;
    QHash<QString, QString> statuses;
    QHash<QString, QString> results;
    QHash<QString, bool> updatedWell;
};

// Writes all the bytes (a text as UTF-8) and flushes them: false when they could not all be
// written, because the reader went away (SIGPIPE is ignored, so a closed pipe is an error here)
// or the disk is full.
bool write(FILE *file, const QByteArray &bytes);
bool write(FILE *file, const QString &text);

