// MainWindow: construction, the status log, the small buttons and the slots that receive
// status records.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/folders.h"
#include "app/operatorquestions.h"
#include "adding/addbyip.h"
#include "adding/excelimport.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QThread>
#include <QTime>
#include <QTimer>

static const char kLogSource[] = "mainwindow";

namespace {
constexpr quint16 kFileServerPort = 50005;
constexpr int kRefreshIntervalMs = 5000;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), refreshTimer(new QTimer)
{
    ui->setupUi(this);
    ui->udpRadio->hide();
    ui->tcpRadio->hide();
    ui->csvImportButton->hide();
    setWindowTitle(QStringLiteral("Bryx Updater"));
    ui->debugButton->hide();
    ui->menuBar->hide();
    ui->unitTable->setSortingEnabled(false);

    ui->versionLabel->setText(QStringLiteral("Updater Version: ") + QString::fromLatin1(__DATE__).simplified());
    knownUnitsOnly = true;

    fileServer = new QTcpServer(this);
    const bool listening = fileServer->listen(QHostAddress::AnyIPv4, kFileServerPort);
    const bool connected = bool(connect(fileServer, &QTcpServer::newConnection, this, &MainWindow::newSession));
    BLOG << "signal/slot TCP connect:" << connected;

    ui->statusEdit->setReadOnly(true);
    ui->statusEdit->setPlainText(listening
                                     ? QStringLiteral("Update Server running...")
                                     : QStringLiteral("Update Server NOT running. Could not bind to port 50005!"));

    connection.init();

    vUnitsUpdate.clear();
    vUnitsConfirm.clear();
    vUnitsUpdateFetched.clear();
    vUnitsFinished.clear();
    vUnitsEDID.clear();
    edidAttempts.clear();

    scanPackages();

    const bool unitsConnected =
        bool(connect(&connection, &MarluneConnect::unitChangedSignal, this, &MainWindow::unitChangedSlot));
    BLOG << ": marlune connection attempt" << unitsConnected;

    refreshUnitTable();

    refreshTimer->setInterval(kRefreshIntervalMs);
    const bool timerConnected =
        bool(connect(refreshTimer, &QTimer::timeout, this, &MainWindow::refreshTimerTimeout));
    BLOG << ": refreshTimer Connection attempt" << timerConnected;
    refreshTimer->start();

    for (const UpdatePackage *package : std::as_const(packages))
        BLOG << package->name << package->newFilename << package->includes;

    firewallWarned = false;
    serverContacted = false;
    fileServed = false;
    updateCommanded = false;
    lastUpdateCommandTime = QDateTime::currentDateTime();

    refreshTimerTimeout();
    on_discoverButton_clicked();
    tableDirty = true;
}

MainWindow::~MainWindow()
{
    delete refreshTimer;
    // Reachability tests still running report to nobody; let them end first.
    for (const QPointer<QThread> &thread : std::as_const(testThreads)) {
        if (thread) {
            thread->quit();
            thread->wait();
        }
    }
    delete ui;
}

void MainWindow::scanPackages()
{
    catalogue.resetAll();
    packages = catalogue.packages;
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
        for (const UpdatePackage *package : std::as_const(packages)) {
            if (!package->newFilename.isEmpty()) {
                BLOG << "packagePtr->newFilename" << package->newFilename;
                break;
            }
        }
        ui->versionsBlurb->setText(catalogue.versionsText());
    }
    for (const UpdatePackage *package : std::as_const(packages))
        BLOG << package->name << package->newFilename << package->includes;
}

void MainWindow::toStatusLog(const QString &source, const QString &message)
{
    QString name;
    for (const MarluneUnit &unit : std::as_const(vUnits)) {
        if (unit.ip == source) {
            name = unit.name;
            break;
        }
    }
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    const QString line = name.isEmpty()
                             ? time + QStringLiteral(" From Updater ") + QStringLiteral(": ") + message
                             : time + QLatin1Char(' ') + name + QStringLiteral(" (") + source + QStringLiteral(")")
                                   + QStringLiteral(": ") + message;
    ui->statusEdit->appendPlainText(line);
    BLOG << "Status bar message:" << line;
}

void MainWindow::appIsQuitting()
{
    // A missing lock file is not an error.
    QFile::remove(Folders::lockFilePath());
}

void MainWindow::unitChangedSlot(MarluneUnit unit)
{
    if (knownUnitsOnly) {
        bool known = false;
        for (const MarluneUnit &listed : std::as_const(vUnits))
            if (listed.mac == unit.mac)
                known = true;
        if (!known)
            return;
    }
    const int admissions = catalogue.admissions(unit);
    for (int i = 0; i < admissions; ++i)
        vUnitsIncoming.append(unit);
}

void MainWindow::unitChangedSlotForced(MarluneUnit unit)
{
    for (const MarluneUnit &listed : std::as_const(vUnits))
        if (listed.mac == unit.mac)
            return;
    vUnitsUpdate.clear();
    vUnitsIncoming.clear();
    vUnitsConfirm.clear();
    vUnitsUpdateFetched.clear();
    vUnitsFinished.clear();
    vUnitsEDID.clear();
    edidAttempts.clear();
    toStatusLog(QStringLiteral("CSV Import"), QStringLiteral("Ignoring ") + unit.name + QStringLiteral(" (") + unit.ip
                                                  + QStringLiteral(") No update available."));
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
    knownUnitsOnly = false;
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

void MainWindow::on_debugButton_clicked()
{
    const struct
    {
        const char *label;
        const QList<MarluneUnit> &list;
    } lists[] = {{"vUnits.size()", vUnits},
                 {"vUnitsUpdate.size()", vUnitsUpdate},
                 {"vUnitsUpdateFetched.size()", vUnitsUpdateFetched},
                 {"vUnitsConfirm.size()", vUnitsConfirm},
                 {"vUnitsFinished.size()", vUnitsFinished}};
    for (const auto &entry : lists) {
        BLOG << entry.label << entry.list.size();
        for (const MarluneUnit &unit : entry.list)
            BLOG << QStringLiteral("\"%1\"").arg(unit.name) << unit.updateStatus;
    }
}

void MainWindow::on_addByIPButton_clicked()
{
    // The dialog deletes itself when dismissed; the pointer tells whether that happened yet.
    QPointer<AddByIP> dialog = new AddByIP(nullptr);
    dialog->setModal(true);
    dialog->connection = &connection;
    dialog->udp = ui->udpRadio->isChecked();
    const bool connected =
        bool(connect(dialog, &AddByIP::unitChangedSignal, this, &MainWindow::unitChangedSlot));
    BLOG << ": marlune connection attempt" << connected;
    knownUnitsOnly = false;
    BLOG << "addbyIp.udp" << dialog->udp;
    dialog->exec();
    knownUnitsOnly = true;
    delete dialog;
}

void MainWindow::on_csvImportButton_clicked()
{
    auto *dialog = new ExcelImport(this);
    bool connected =
        bool(connect(dialog, &ExcelImport::unitChangedSignal, this, &MainWindow::unitChangedSlotForced));
    BLOG << ": importExcel connection attempt" << connected;
    connected = bool(connect(dialog, &ExcelImport::NeedRefreshSignal, this, &MainWindow::forceRefresh));
    BLOG << ": importExcel connection attempt" << connected;
    dialog->setExistingUnits(vUnits);
    dialog->show();
}
