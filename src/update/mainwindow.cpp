// MainWindow: construction, the status log, the small buttons, the slots that receive status
// records, and the pipeline's port toward the units and the operator.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "adding/addbyip.h"
#include "adding/excelimport.h"
#include "app/debuglog.h"
#include "app/folders.h"
#include "app/operatorquestions.h"
#include "units/unitlookup.h"
#include "update/fileserver.h"
#include "update/updatereport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTime>
#include <QTimer>

static const char kLogSource[] = "mainwindow";

namespace {
constexpr quint16 kFileServerPort = 50005;
constexpr int kRefreshIntervalMs = 5000;
// The status log keeps this many lines, the oldest going first.
constexpr int kStatusLogLines = 20000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), updatePipeline(*this), refreshTimer(new QTimer(this))
{
    ui->setupUi(this);
    ui->udpRadio->hide();
    ui->tcpRadio->hide();
    ui->csvImportButton->hide();
    setWindowTitle(QStringLiteral("Bryx Updater"));
    ui->debugButton->hide();
    ui->menuBar->hide();
    ui->unitTable->setSortingEnabled(false);
    setUpTable();

    ui->versionLabel->setText(QStringLiteral("Updater Version: ") + QString::fromLatin1(__DATE__).simplified());
    PipelineState &state = updatePipeline.state();
    state.knownUnitsOnly = true;

    startFileServer();
    connection.init();
    scanPackages();

    const bool unitsConnected =
        bool(connect(&connection, &MarluneConnect::unitChangedSignal, this, &MainWindow::unitChangedSlot));
    BLOG << ": marlune connection attempt" << unitsConnected;
    connect(&reachability, &Reachability::testFinished, this, &MainWindow::testFinished);

    refreshUnitTable();

    refreshTimer->setObjectName(QStringLiteral("refreshTimer"));
    refreshTimer->setInterval(kRefreshIntervalMs);
    const bool timerConnected = bool(connect(refreshTimer, &QTimer::timeout, this, &MainWindow::refreshTimerTimeout));
    BLOG << ": refreshTimer Connection attempt" << timerConnected;
    refreshTimer->start();

    for (const UpdatePackage *package : std::as_const(updatePipeline.catalogue().packages))
        BLOG << package->name << package->newFilename << package->includes;

    state.lastUpdateCommandTime = QDateTime::currentDateTime();

    refreshTimerTimeout();
    on_discoverButton_clicked();
    state.tableDirty = true;
}

MainWindow::~MainWindow()
{
    // The file server and the command exchanges go first, silently: no unit's connection may
    // report to a window that is being taken apart.
    connection.cancelExchanges();
    delete fileServer;
    fileServer = nullptr;
    delete ui;
}

// The file server's events become status-log lines with the peer's address as their source.
void MainWindow::startFileServer()
{
    // A unit asking for an image it is not given learns nothing; the operator is told why.
    const auto imageFor = [this](const QString &peer) {
        const QString fileName = updatePipeline.fileNameForPeer(peer);
        if (fileName.isEmpty())
            toStatusLog(peer, updatePipeline.noImageReason(peer));
        return fileName;
    };
    fileServer = new FileServer(imageFor,
                                [this](const QString &fileName) { return updatePipeline.catalogue().scannedImage(fileName); },
                                this);
    const bool listening = fileServer->listen(QHostAddress::AnyIPv4, kFileServerPort);
    const bool connected = bool(connect(fileServer, &FileServer::newConnection, this, &MainWindow::newSession));
    BLOG << "signal/slot TCP connect:" << connected;

    PipelineState &state = updatePipeline.state();
    connect(fileServer, &FileServer::connectionOpened, this, [this, &state](const QString &peer, quint16 port) {
        toStatusLog(peer, QStringLiteral("New connection from ") + peer + QStringLiteral(": ") + QString::number(port));
        state.serverContacted = true;
    });
    reportImageTrouble();
    connect(fileServer, &FileServer::fileSent, this,
            [this, &state](const QString &peer, const QString &name, qint64 size) {
                toStatusLog(peer, name + QStringLiteral(" (") + QString::number(size) + QStringLiteral(" bytes) sent"));
                state.fileServed = true;
                refreshStatusCell(updatePipeline.recordFetch(peer, size));
            });
    connect(fileServer, &FileServer::transferProgress, this,
            [this](const QString &peer, const QString &, qint64 sent, qint64 size) {
                refreshStatusCell(updatePipeline.recordProgress(peer, sent, size));
            });
    connect(fileServer, &FileServer::transferBrokeOff, this,
            [this](const QString &peer, const QString &name, qint64 sent, qint64 size) {
                toStatusLog(peer, name + QStringLiteral(" was not sent completely (") + QString::number(sent)
                                      + QStringLiteral(" of ") + QString::number(size)
                                      + QStringLiteral(" bytes): the connection broke off."));
                refreshStatusCell(updatePipeline.recordBrokenTransfer(peer, sent, size));
            });
    connect(fileServer, &FileServer::transferStalled, this,
            [this](const QString &peer, const QString &name, qint64 accepted, qint64 size) {
                toStatusLog(peer, name + QStringLiteral(" was not sent completely (") + QString::number(accepted)
                                      + QStringLiteral(" of ") + QString::number(size)
                                      + QStringLiteral(" bytes taken): the unit took no data for ")
                                      + QString::number(fileServer->stallTimeout() / 1000)
                                      + QStringLiteral(" seconds."));
                refreshStatusCell(updatePipeline.recordBrokenTransfer(peer, accepted, size));
            });
    connect(fileServer, &FileServer::connectionClosed, this,
            [this](const QString &peer) { toStatusLog(peer, QStringLiteral("Connection closed.")); });

    ui->statusEdit->setReadOnly(true);
    // Long or repeated batches must not grow the log without bound; every line is also in the
    // debug log.
    ui->statusEdit->setMaximumBlockCount(kStatusLogLines);
    ui->statusEdit->setPlainText(listening
                                     ? QStringLiteral("Update Server running...")
                                     : QStringLiteral("Update Server NOT running. Could not bind to port 50005!"));
}

// What keeps a unit from its image: a missing, unreadable or changed file, or no descriptor
// left to serve it with. Each goes to the status log.
void MainWindow::reportImageTrouble()
{
    connect(fileServer, &FileServer::fileMissing, this, [this](const QString &peer, const QString &path) {
        toStatusLog(peer, path + QStringLiteral(" DOES NOT EXIST."));
    });
    connect(fileServer, &FileServer::fileUnreadable, this, [this](const QString &peer, const QString &name) {
        toStatusLog(peer, name + QStringLiteral(" could NOT be opened."));
    });
    connect(fileServer, &FileServer::descriptorsRanOut, this, [this](qint64 limit) {
        toStatusLog(QStringLiteral("Updater"),
                    QStringLiteral("The updater ran out of file descriptors (it may have %1 open): units that "
                                   "fetch their image wait until some are free.")
                        .arg(limit));
    });
    // Every unit that asks for a changed image is refused; the operator is told once per file.
    connect(fileServer, &FileServer::fileChanged, this, [this](const QString &peer, const QString &name) {
        if (changedImagesReported.contains(name)) {
            BLOG << name << "changed on disk; refused again for" << peer;
            return;
        }
        changedImagesReported.insert(name);
        toStatusLog(peer, name
                              + QStringLiteral(" changed on disk after the updater started; it is not served. "
                                               "Restart the updater to serve it."));
    });
    // An image rewritten while a unit took it: the unit got a short image, which it rejects.
    connect(fileServer, &FileServer::fileChangedWhileSent, this,
            [this](const QString &peer, const QString &name, qint64 sent, qint64 size) {
                changedImagesReported.insert(name);
                toStatusLog(peer, name
                                      + QStringLiteral(" changed on disk while it was sent; the transfer was cut "
                                                       "short at %1 of %2 bytes. Restart the updater to serve it.")
                                            .arg(sent)
                                            .arg(size));
                refreshStatusCell(updatePipeline.recordBrokenTransfer(peer, sent, size));
            });
}

void MainWindow::scanPackages()
{
    PackageCatalogue &catalogue = updatePipeline.catalogue();
    catalogue.resetAll();
    const QString folder = Folders::applicationFolder();
    catalogue.scan(folder);

    if (!catalogue.hasImage()) {
        askOperator(this, QMessageBox::Warning, QStringLiteral("There are no updates."),
                    QStringLiteral("Bryx Updater found no updates. The unit table will be blank. \n\n"
                                   "Check this directory for missing *.bin and *.ver files:\n\n")
                        + folder,
                    QMessageBox::Ok, QMessageBox::Ok);
        ui->versionsBlurb->setText(QStringLiteral("There are no updates available!"));
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

    // Each image's SHA-256, for the operator to hold against the one it was published with.
    QStringList hashes;
    for (const UpdatePackage *image : catalogue.images()) {
        BLOG << "image" << image->newFilename << image->imageSize << "bytes SHA-256" << image->imageSha256;
        hashes << image->newFilename + QStringLiteral("  SHA-256 ")
                      + (image->imageSha256.isEmpty() ? QStringLiteral("unknown: the file could not be read")
                                                      : image->imageSha256);
    }
    ui->versionsBlurb->setToolTip(hashes.join(QLatin1Char('\n')));
}

void MainWindow::toStatusLog(const QString &source, const QString &message)
{
    // Only an address can name a unit; "Updater" and the like are not looked for among a
    // thousand units for every line of a pass.
    const bool maybeAddress = !source.isEmpty() && source.front().isDigit();
    const MarluneUnit *listed = maybeAddress ? findUnit(updatePipeline.state().vUnits, &MarluneUnit::ip, source) : nullptr;
    const QString name = listed ? listed->name : QString();
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    const QString line = name.isEmpty() ? time + QStringLiteral(" From Updater ") + QStringLiteral(": ") + message
                                        : time + QLatin1Char(' ') + name + QStringLiteral(" (") + source
                                              + QStringLiteral(")") + QStringLiteral(": ") + message;
    ui->statusEdit->appendPlainText(line);
    BLOG << "Status bar message:" << line;
}

void MainWindow::appIsQuitting()
{
    // A missing lock file is not an error.
    QFile::remove(Folders::lockFilePath());
}

void MainWindow::newSession()
{
    fileServer->newSession();
}

void MainWindow::refreshTimerTimeout()
{
    runTickPart([this] { updatePipeline.refreshTimerTimeout(); });
}

void MainWindow::nextTurn(std::function<void()> work)
{
    QTimer::singleShot(0, this, [this, work = std::move(work)] { runTickPart(work); });
}

void MainWindow::runTickPart(const std::function<void()> &work)
{
    inTick = true;
    work();
    inTick = false;
    tickSubnets.reset();
}

void MainWindow::testFinished(QString ip, int port, bool result)
{
    if (updatePipeline.state().tcpAlive[ip] != result)
        BLOG << QStringLiteral("\"%1\"").arg(ip) << port << result;
    updatePipeline.testFinished(ip, result);
}

bool MainWindow::isAliveTCPCheck(MarluneUnit unit)
{
    startTcpTest(unit);
    return updatePipeline.state().tcpAlive[unit.ip];
}

void MainWindow::unitChangedSlot(MarluneUnit unit)
{
    updatePipeline.unitChanged(unit);
}

void MainWindow::unitChangedSlotForced(MarluneUnit unit)
{
    updatePipeline.unitChangedForced(unit);
}

void MainWindow::forceRefresh()
{
    refreshUnitTable();
}

void MainWindow::on_actionExit_triggered()
{
    QCoreApplication::quit();
}

void MainWindow::on_discoverButton_clicked()
{
    ui->discoverButton->setEnabled(false);
    updatePipeline.state().knownUnitsOnly = false;
    ui->statusBar->showMessage(QStringLiteral("Discovering..."), kRefreshIntervalMs);
    connection.discover();
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Sent Discover Packet."));
    refreshTimer->start();
}

void MainWindow::on_clearButton_clicked()
{
    ui->unitTable->clearSelection();
}

void MainWindow::on_clearLogButton_clicked()
{
    ui->statusEdit->clear();
}

void MainWindow::on_saveReportButton_clicked()
{
    // The folder of the last report, for the whole run.
    static QString folder = QDir::homePath();
    OperatorQuestions::FileQuestion question;
    question.caption = QStringLiteral("Save Report");
    question.folder = folder + QStringLiteral("/update-report-")
                      + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmm")) + QStringLiteral(".csv");
    question.filter = QStringLiteral("CSV files (*.csv)");
    const QString path = OperatorQuestions::current().askSaveFileName(this, question);
    if (path.isEmpty())
        return;
    folder = QFileInfo(path).absolutePath();
    QString error;
    if (!writeUpdateReport(path, updatePipeline.state(), updatePipeline.catalogue(), &error)) {
        askOperator(this, QMessageBox::Warning, QStringLiteral("Report not saved"),
                    QStringLiteral("The report could not be saved to ") + path + QStringLiteral(": ") + error,
                    QMessageBox::Ok);
        return;
    }
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Report saved to ") + path);
}

void MainWindow::on_debugButton_clicked()
{
    const PipelineState &state = updatePipeline.state();
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
    dialog.connection = &connection;
    dialog.udp = ui->udpRadio->isChecked();
    const bool connected = bool(connect(&dialog, &AddByIP::unitChangedSignal, this, &MainWindow::unitChangedSlot));
    BLOG << ": marlune connection attempt" << connected;
    PipelineState &state = updatePipeline.state();
    state.knownUnitsOnly = false;
    BLOG << "addbyIp.udp" << dialog.udp;
    dialog.exec();
    state.knownUnitsOnly = true;
}

void MainWindow::on_csvImportButton_clicked()
{
    // A child of the window that deletes itself when dismissed.
    auto *dialog = new ExcelImport(this);
    bool connected = bool(connect(dialog, &ExcelImport::unitChangedSignal, this, &MainWindow::unitChangedSlotForced));
    BLOG << ": importExcel connection attempt" << connected;
    connected = bool(connect(dialog, &ExcelImport::NeedRefreshSignal, this, &MainWindow::forceRefresh));
    BLOG << ": importExcel connection attempt" << connected;
    dialog->setExistingUnits(updatePipeline.state().vUnits);
    dialog->show();
}

// PipelinePort: the units.

void MainWindow::getStatus(const MarluneUnit &unit, bool useTcp)
{
    connection.getStatus(unit, useTcp);
}

void MainWindow::discover()
{
    connection.discover();
}

void MainWindow::sendConfig(const MarluneUnit &unit, const QByteArray &command, ExchangeStart starting,
                            ExchangeDone done)
{
    connection.startConfigExchange(unit, command, std::move(starting), std::move(done));
}

QString MainWindow::localAddressFor(const MarluneUnit &unit)
{
    if (!inTick)
        return connection.localAddressFor(unit);
    // The interfaces are listed once for the tick's part that asks, not once for every unit it
    // commands.
    if (!tickSubnets)
        tickSubnets.emplace(MarluneConnect::localAddresses());
    return tickSubnets->addressFor(unit);
}

QString MainWindow::localAddressFor(const QString &ip, const QString &netmask)
{
    MarluneUnit unit;
    unit.ip = ip;
    unit.subnet = netmask;
    return localAddressFor(unit);
}

void MainWindow::startTcpTest(const MarluneUnit &unit)
{
    // Tested a moment ago: the last known result is delivered again.
    if (!reachability.start(unit.ip))
        testFinished(unit.ip, kUnitPort, updatePipeline.state().tcpAlive[unit.ip]);
}

// PipelinePort: the operator.

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

bool MainWindow::statusOverTcp() const
{
    return ui->tcpRadio->isChecked();
}

bool MainWindow::resetEdidTicked() const
{
    return ui->resetEDIDCheck->isChecked();
}

bool MainWindow::discovering() const
{
    return ui->statusBar->currentMessage().contains(QLatin1String("Discover"));
}
