// MainWindow: construction, what the core reports, the status log, the small buttons and the
// slots that receive status records.

#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "windowform.h"

#include "adding/window/addbyip.h"
#include "adding/window/excelimport.h"
#include "app/debuglog.h"
#include "app/folders.h"
#include "app/instancelock.h"
#include "app/window/operatorquestions.h"
#include "app/updatersettings.h"
#include "units/unitlookup.h"
#include "update/preflight.h"
#include "update/window/historywindow.h"
#include "update/updatercore.h"
#include "update/updatereport.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStatusBar>

static const char kLogSource[] = "mainwindow";

MainWindow::MainWindow(QWidget *parent, History history) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    setUpForm(*ui, this);
    engine = new UpdaterCore(this);
    listenToCore();
    setUpTable();
    if (history == History::Kept && UpdaterSettings::keepHistory())
        engine->keepHistory(UpdaterSettings::historyPath());
    setUpRollout();
    setUpOperatorView();
    setUpCheck();
    // Long or repeated batches must not grow the log without bound; every line is also in the
    // debug log.
    statusLines = {engine->fileServerListening()
                       ? QStringLiteral("Update Server running...")
                       : QStringLiteral("Update Server NOT running. Could not bind to port 50005!")};
    startStatusLog(*ui, int(kStatusLogKept), statusLines.first());
    if (!engine->startFailure().isEmpty())
        toStatusLog(QStringLiteral("Updater"),
                    QStringLiteral("Reachability tests cannot run: ") + engine->startFailure());
    showPackages();

    // The first tick, then the first discovery: the discover button waits for it.
    engine->start();
    ui->discoverButton->setEnabled(false);
}

MainWindow::~MainWindow()
{
    // A window still up when the run ends (a signal to quit) remembers its place here; one that
    // was closed did so as it closed, and one never shown has no place to remember.
    if (isVisible())
        rememberWindowPlace();
    // A check under way reads the core: it goes before it.
    delete checkRun;
    checkRun = nullptr;
    // The core goes first: no unit's connection may report to a window that is being taken apart.
    engine->shutdown();
    delete engine;
    engine = nullptr;
    // The widgets outlive the form's pointers by a moment: the filters that read them go first.
    ui->statusEdit->viewport()->removeEventFilter(this);
    batchLabel->removeEventFilter(this);
    delete ui;
}

UpdatePipeline &MainWindow::pipelineForTests()
{
    return engine->pipelineForTests();
}

// What the core reports becomes the status log, the status bar, the table and the boxes; the
// operator's choices on the form go to the core as they are made.
void MainWindow::listenToCore()
{
    connect(engine, &UpdaterCore::statusLine, this, &MainWindow::addStatusLine);
    connect(engine, &UpdaterCore::statusMessage, ui->statusBar, &QStatusBar::showMessage);
    connect(engine, &UpdaterCore::powerOffWarningDue, this, &MainWindow::showPowerOffWarning);
    connect(engine, &UpdaterCore::requestsOpen, this, &MainWindow::enableButtons);
    connect(engine, &UpdaterCore::resumableChanged, this, &MainWindow::showResumable);
    connect(ui->resetEDIDCheck, &QCheckBox::toggled, engine, &UpdaterCore::setResetEdid);
    connect(ui->tcpRadio, &QRadioButton::toggled, engine, &UpdaterCore::setStatusOverTcp);
    engine->setResetEdid(ui->resetEDIDCheck->isChecked());
    engine->setStatusOverTcp(ui->tcpRadio->isChecked());
}

void MainWindow::showPackages()
{
    const PackageCatalogue &catalogue = engine->catalogue();
    if (!catalogue.hasImage()) {
        tellNoUpdates(*ui, this);
    } else {
        for (const UpdatePackage *package : std::as_const(catalogue.packages)) {
            if (!package->newFilename.isEmpty()) {
                BLOG << "packagePtr->newFilename" << package->newFilename;
                break;
            }
        }
        ui->versionsBlurb->setText(catalogue.versionsText());
    }
    for (const UpdatePackage *package : std::as_const(catalogue.packages))
        BLOG << package->name << package->newFilename << package->includes;

    ui->versionsBlurb->setToolTip(packagesToolTip(catalogue));
}

void MainWindow::toStatusLog(const QString &source, const QString &message)
{
    engine->toStatusLog(source, message);
}

void MainWindow::appIsQuitting()
{
    // Only the lock this updater made goes: a missing one is not an error, and one that another
    // updater has since put in its place stays.
    if (InstanceLock *lock = InstanceLock::ofThisProcess())
        lock->release();
}

void MainWindow::newSession()
{
    engine->newSession();
}

void MainWindow::refreshTimerTimeout()
{
    engine->tick();
}

void MainWindow::testFinished(QString ip, int port, bool result)
{
    engine->testFinished(ip, port, result);
}

bool MainWindow::isAliveTCPCheck(MarluneUnit unit)
{
    return engine->reachableNow(unit);
}

void MainWindow::unitChangedSlot(MarluneUnit unit)
{
    engine->unitChanged(unit);
}

void MainWindow::unitChangedSlotForced(MarluneUnit unit)
{
    engine->unitChangedForced(unit);
}

void MainWindow::forceRefresh()
{
    refreshUnitTable();
}

// Exit (Ctrl+Q) closes the window, as its close button does: the same question first, and the
// application quits as its last window closes.
void MainWindow::on_actionExit_triggered()
{
    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!quitAllowed()) {
        event->ignore();
        return;
    }
    rememberWindowPlace();
    event->accept();
}

bool MainWindow::quitAllowed()
{
    const int taking = engine->unitsTakingImage();
    if (taking == 0)
        return true;
    return askYes(this, QMessageBox::Warning, QStringLiteral("Units Taking Their Image"),
                  QStringLiteral("%1 units are taking their image from this computer; quitting now breaks their "
                                 "update. Quit anyway?")
                      .arg(taking),
                  QMessageBox::No);
}

void MainWindow::on_discoverButton_clicked()
{
    ui->discoverButton->setEnabled(false);
    engine->discoverUnits();
}

void MainWindow::on_clearButton_clicked()
{
    ui->unitTable->clearSelection();
}

void MainWindow::on_clearLogButton_clicked()
{
    statusLines.clear();
    ui->statusEdit->clear();
}

void MainWindow::on_saveReportButton_clicked()
{
    const QString path = askReportPath(this);
    if (path.isEmpty())
        return;
    QString error;
    if (!writeReport(path, engine->account().latestRows(), &error)) {
        askOperator(this, QMessageBox::Warning, QStringLiteral("Report not saved"),
                    QStringLiteral("The report could not be saved to ") + path + QStringLiteral(": ") + error,
                    QMessageBox::Ok);
        return;
    }
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Report saved to ") + path);
}

// One window, not modal: pressed again, it is read again and brought to the front.
void MainWindow::on_historyButton_clicked()
{
    if (!historyWindow) {
        historyWindow = new HistoryWindow(UpdaterSettings::historyPath(), this);
        connect(historyWindow, &HistoryWindow::exportTold, this,
                [this](const QString &text) { toStatusLog(QStringLiteral("Updater"), text); });
    } else
        historyWindow->refresh();
    historyWindow->show();
    historyWindow->raise();
    historyWindow->activateWindow();
}

void MainWindow::showResumable()
{
    const HistoryStore::Resumable &last = engine->resumableBatch();
    ui->resumeLastBatchButton->setVisible(last.batch.id != 0);
    if (last.batch.id == 0 || std::exchange(resumeOffered, true))
        return;
    toStatusLog(QStringLiteral("Updater"),
                QStringLiteral("Batch %1 ended %2 with %3 of %4 units not confirmed: Resume Last Batch picks it up.")
                    .arg(last.batch.id)
                    .arg(last.batch.end)
                    .arg(last.unconfirmed.size())
                    .arg(last.batch.units));
}

// The core decides what becomes of each unit; the operator sees it first and says yes.
void MainWindow::on_resumeLastBatchButton_clicked()
{
    const ResumeOutcome preview = engine->resumePreview();
    if (preview.resumes == 0) {
        showResumable();
        return;
    }
    const QString text =
        QStringLiteral("Pick up batch %1, which ended %2%3?\n\n%4 units queued again\n%5 units waited for without a "
                       "new update command (commanded before, or asking to be confirmed)\n%6 units confirmed "
                       "meanwhile, left alone\n%7 units not heard from, left alone")
            .arg(preview.resumes)
            .arg(preview.end, preview.plan.isEmpty() ? QString() : QStringLiteral(" (rollout ") + preview.plan + u')')
            .arg(preview.count(ResumeVerdict::Queue))
            .arg(preview.count(ResumeVerdict::Adopt) + preview.count(ResumeVerdict::Pending))
            .arg(preview.count(ResumeVerdict::Confirmed))
            .arg(preview.count(ResumeVerdict::NotListed));
    if (askOperator(this, QMessageBox::Question, QStringLiteral("Resume Last Batch"), text,
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    const ResumeOutcome done = engine->resumeLastBatch();
    if (!done.refusal.isEmpty())
        askOperator(this, QMessageBox::Information, QStringLiteral("Resume Last Batch"), done.refusal, QMessageBox::Ok);
    showResumable();
}

void MainWindow::on_debugButton_clicked()
{
    const PipelineState &state = engine->state();
    const struct
    {
        const char *label;
        const QList<MarluneUnit> &list;
    } lists[] = {{"vUnits.size()", state.vUnits},
                 {"vUnitsUpdate.size()", state.vUnitsUpdate},
                 {"vUnitsUpdateFetched.size()", state.vUnitsUpdateFetched},
                 {"vUnitsConfirm.size()", state.vUnitsConfirm},
                 {"vUnitsFinished.size()", state.vUnitsFinished}};
    for (const auto &entry : lists) {
        BLOG << entry.label << entry.list.size();
        for (const MarluneUnit &unit : entry.list)
            BLOG << QStringLiteral("\"%1\"").arg(unit.name) << unit.updateStatus;
    }
}

void MainWindow::on_addByIPButton_clicked()
{
    AddByIP dialog(nullptr);
    dialog.setModal(true);
    dialog.connection = &engine->endpoint();
    dialog.udp = ui->udpRadio->isChecked();
    const bool connected = bool(connect(&dialog, &AddByIP::unitChangedSignal, this, &MainWindow::unitChangedSlot));
    BLOG << ": marlune connection attempt" << connected;
    engine->setKnownUnitsOnly(false);
    BLOG << "addbyIp.udp" << dialog.udp;
    dialog.exec();
    engine->setKnownUnitsOnly(true);
}

void MainWindow::on_csvImportButton_clicked()
{
    // A child of the window that deletes itself when dismissed.
    auto *dialog = new ExcelImport(this);
    bool connected = bool(connect(dialog, &ExcelImport::unitChangedSignal, this, &MainWindow::unitChangedSlotForced));
    BLOG << ": importExcel connection attempt" << connected;
    connected = bool(connect(dialog, &ExcelImport::NeedRefreshSignal, this, &MainWindow::forceRefresh));
    BLOG << ": importExcel connection attempt" << connected;
    dialog->setExistingUnits(engine->state().vUnits);
    dialog->show();
}

// What the core asks of the operator.

void MainWindow::showPowerOffWarning()
{
    QCoreApplication::processEvents();
    askOperator(this, QMessageBox::Warning, QStringLiteral("Power Off Warning"),
                QStringLiteral("Do not power down equipment during update! \n\nDoing so may render it inoperable."),
                QMessageBox::Ok);
}

void MainWindow::enableButtons()
{
    ui->discoverButton->setEnabled(true);
    ui->updateButton->setEnabled(true);
}
