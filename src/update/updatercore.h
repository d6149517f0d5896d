#pragma once

#include "history/historystore.h"
#include "net/localsubnets.h"
#include "units/marluneunit.h"
#include "update/batchaccount.h"
#include "update/fleetmodel.h"
#include "update/pipelineport.h"
#include "update/unitevent.h"
#include "update/unitstatus.h"
#include "update/updatepipeline.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSet>

#include <memory>
#include <optional>

class FileServer;
class HistoryKeeper;
class MarluneConnect;
class Reachability;
class QTimer;
class UnitListWriter;

// One status-log line: the time, the unit's name and its address (source), or "From Updater"
// when name is empty, then the message. Names and messages may carry a unit's text: its control
// characters show as text, in the window, the tool's output, the history and the log alike.
QString statusLogLine(const QString &time, const QString &name, const QString &source, const QString &message);

// The updater without its window: the endpoint toward the units, the reachability tests, the
// file server (and its sending thread), the update pipeline, the refresh tick and the writer of
// "units.ini". The window and the command-line tool are its front-ends: it tells them what
// happened through its signals and takes their requests through its methods; questions to the
// operator stay with the front-end.
//
// Made in two steps, so that a front-end is listening before anything is said: the constructor
// starts the writer, the file server, the endpoint and the reachability threads and scans the
// packages; start() takes status records, runs the first tick and discovers. shutdown() stops
// everything in a fixed order; the destructor calls it.
class UpdaterCore final : public QObject, private PipelinePort
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdaterCore)

public:
    static constexpr quint16 kFileServerPort = 50005;
    static constexpr int kRefreshIntervalMs = 5000;

    explicit UpdaterCore(QObject *parent = nullptr);
    ~UpdaterCore() override;

    // Keeps the history of the batches in this file (before start()); without it none is kept.
    // When the file cannot be used the updater runs on and says so once in the status log.
    void keepHistory(const QString &path);
    void start();
    // Command exchanges are cancelled silently, then the tick stops, the file server closes every
    // connection and its sending thread ends, the reachability threads end, the endpoint closes
    // and the unit-list writer writes what is left. Idempotent.
    void shutdown();

    // Front-ends read the pipeline through state() and catalogue() and change it only through the
    // requests below; tests arrange its state and clocks through this.
    UpdatePipeline &pipelineForTests() { return updatePipeline; }
    const PipelineState &state() const { return updatePipeline.state(); }
    const PackageCatalogue &catalogue() const { return updatePipeline.catalogue(); }
    // The endpoint, for the dialog that adds units by address (it sends its queries itself).
    MarluneConnect &endpoint() { return *connection; }
    bool fileServerListening() const { return listening; }
    // Why the core cannot do its work, "" when it can: a part of it that needs a thread of its
    // own got none. (Parts that can do without one, such as the image sender, carry on.)
    QString startFailure() const;
    FileServer &fileServer() { return *server; }
    // A part of a tick is running: redraws asked for meanwhile wait until it is over.
    bool inTick() const { return tickPart; }
    // The listed units as the unit table shows them; the window's table and the tool read it.
    const FleetModel &fleet() const { return *fleetModel; }
    FleetModel &fleet() { return *fleetModel; }
    // What each batch did to its units, from their events: the update report's rows.
    const BatchAccount &account() const { return batchAccount; }
    // Units commanded that have not taken their whole image yet (and are not overdue): quitting
    // now breaks their update.
    int unitsTakingImage() const;

    // Requests.
    // Broadcasts a discovery, says "Discovering..." for a tick and takes records of unlisted units.
    void discoverUnits();
    // A tick now; the timer goes on as before.
    void tick();
    // Queues the units with these MACs for the next tick. True when an encoder was queued.
    bool queueForUpdate(const QStringList &macs);
    // Forgets every unit's failed EDID resets: a finished encoder no longer reads " EDID Reset
    // Failed." nor waits to be retried for it. The update button does this first, whatever the
    // operator then selects or answers.
    void clearEdidAttempts();
    // Says "Updating N units." for the units queued.
    void announceUpdate();
    // Says in the status log how many units are queued, how many already up to date were left
    // out of the selection, and at what pace the batch's plan commands them.
    void tellUpdating(int upToDateSkipped);
    // Says in the status log on how many queued encoders the EDID is reset after their update.
    void tellEdidReset();
    // Stops commanding: every queued unit whose update command has not begun leaves the queue
    // (an exchange waiting its turn is dropped unsent); commanded units go on. Their MACs.
    QStringList stopCommanding();
    // Stop Batch: stops commanding, as above, and says so.
    QStringList stopBatch();
    // The rollout plan of the next batch; a batch under way keeps its own.
    void setRolloutPlan(const RolloutPlan &plan) { updatePipeline.setRolloutPlan(plan); }
    RolloutPlan rolloutPlan() const { return updatePipeline.state().plan; }
    // The history's last batch when it can be picked up again (batch.id 0 for none), known once
    // the history file was read at start or could not be kept (resumableChanged).
    const HistoryStore::Resumable &resumableBatch() const { return lastBatch; }
    bool lastBatchKnown() const { return lastBatchIsKnown; }
    // What picking up the last batch would do to each of its units not confirmed, as they stand.
    ResumeOutcome resumePreview() const;
    // Picks up the last batch: a new batch that names it, with its plan; said in the status log.
    // Refused (outcome.refusal) while a batch is on its way. The batch is not offered again.
    ResumeOutcome resumeLastBatch();
    // Continues a halted batch; false when none was halted.
    bool resumeRollout();
    // The front-end followed every unit of the current batch to its end: the batch ends now.
    void batchOver();
    QStringList retryCandidates() const { return updatePipeline.retryCandidates(); }
    void retryUnits(const QStringList &macs);
    void removeUnits(const QStringList &macs);
    // Takes records of units not listed yet (while a front-end adds units by address) or only of
    // listed ones.
    void setKnownUnitsOnly(bool only);
    // "Reset Encoder EDID": read when a confirmed encoder is judged.
    void setResetEdid(bool reset) { resetEdid = reset; }
    bool resetEdidChosen() const { return resetEdid; }
    void setStatusOverTcp(bool overTcp) { statusTcp = overTcp; }
    bool statusOverTcpChosen() const { return statusTcp; }
    void setDeadlines(const StepDeadlines &deadlines);
    // Shows the pipeline again now: the listing in its order and every row of the fleet, then
    // the reachability tests the rows want and the one-time warnings due (fleetShown,
    // warningsDue). Asked for during a tick, it follows the tick.
    void refreshFleet();
    // Starts a reachability test of the unit's address (a test of a moment ago is not repeated)
    // and says what the last one found.
    bool reachableNow(const MarluneUnit &unit);
    void unitChanged(const MarluneUnit &unit);
    void unitChangedForced(const MarluneUnit &unit);
    void testFinished(const QString &ip, int port, bool result);
    void newSession();

    // Formats one status-log line (the time, the unit's name and IP, or "From Updater" when
    // source names no listed unit) and hands it to statusLine.
    void toStatusLog(const QString &source, const QString &message) override;
    // One step of one unit: its status-log line (if the step has one), the batch account, the
    // history and the front-ends (unitStepped).
    void unitEvent(const UnitEvent &event) override;

Q_SIGNALS:
    void statusLine(const QString &line);
    // One step of one unit, after the status log and the account have it.
    void unitStepped(const UnitEvent &event);
    // A passing message for the status bar, shown for timeoutMs.
    void statusMessage(const QString &text, int timeoutMs);
    // The unit table should show the pipeline again: now, or shortly (one redraw for many).
    void tableChanged();
    void tableChangedSoon();
    // One unit's run changed (its transfer); its row follows shortly.
    void unitRunChanged(const QString &mac);
    // The fleet shows the pipeline again, every row worked out; the reachability tests its rows
    // asked for have started.
    void fleetShown();
    // One-time warnings due after the fleet was shown, each marked as given before it is told:
    // each is told at most once in a run.
    void warningsDue(const TableWarnings &due);
    // The power-off warning is due; the slot returns once the operator has seen it.
    void powerOffWarningDue();
    // Discovery and update may be asked for again.
    void requestsOpen();
    // The history cannot be kept, or the last run left a batch that did not complete (stopped,
    // halted, closed or interrupted): said once each, also in the status log.
    void historyNotice(const QString &text);
    // resumableBatch() is known (the history was read at start, or cannot be kept), or it is
    // gone: picked up, or another batch began.
    void resumableChanged();
    // The current batch's rollout halted; text says why. Once per halt.
    void batchHalted(const QString &text);

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
    void showPowerOffWarning() override { Q_EMIT powerOffWarningDue(); }
    void enableButtons() override { Q_EMIT requestsOpen(); }
    void rolloutHalted(const QString &text) override;
    bool statusOverTcp() const override { return statusTcp; }
    bool resetEdidTicked() const override { return resetEdid; }
    bool discovering() const override;
    void nextTurn(std::function<void()> work) override;

    void startFileServer();
    void reportImageTrouble();
    void runTickPart(const std::function<void()> &work);
    void fleetRefreshed(const QStringList &reachabilityWanted);
    void showMessage(const QString &text, int timeoutMs);
    // Writes one status-log line and returns it.
    QString writeStatusLine(const QString &source, const QString &message);

    // Made and destroyed in this order (shutdown() takes them apart in reverse): the writer of
    // "units.ini" outlives the endpoint that stores units.
    std::unique_ptr<UnitListWriter> unitList;
    std::unique_ptr<FileServer> server;
    std::unique_ptr<MarluneConnect> connection;
    UpdatePipeline updatePipeline;
    std::unique_ptr<Reachability> reachability;
    BatchAccount batchAccount;
    std::unique_ptr<HistoryKeeper> history;
    FleetModel *fleetModel = nullptr;
    QTimer *refreshTimer = nullptr;
    // A refresh of the fleet asked for during a tick, or shortly for many changes.
    QTimer *fleetDelay = nullptr;
    bool listening = false;
    bool started = false;
    bool tickPart = false;
    bool resetEdid = false;
    bool statusTcp = false;
    // This workstation's addresses while a tick's part runs, listed when it first asks.
    std::optional<LocalSubnets> tickSubnets;
    // The passing message the front-ends show, until it times out or another replaces it.
    QString message;
    QDeadlineTimer messageShown;
    // The history's last batch, while it can be picked up again.
    HistoryStore::Resumable lastBatch;
    bool lastBatchIsKnown = false;
    // Images refused because they changed on disk, already told in the status log.
    QSet<QString> changedImagesReported;
};
