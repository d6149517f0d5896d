#include "addbyip.h"
#include "ui_addbyip.h"

#include "adding/rangeprobe.h"
#include "app/debuglog.h"
#include "app/updatersettings.h"
#include "net/marluneconnectreduced.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>
#include <QTime>

static const char kLogSource[] = "addbyip";

AddByIP::AddByIP(QWidget *parent) : QDialog(parent), ui(new Ui::AddByIP)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Add By IP"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    const bool connected = bool(connect(this, &QDialog::rejected, this, &AddByIP::on_finished));
    BLOG << ":connection attempt" << connected;
    ui->statusTextEdit->setPlainText(QStringLiteral("Set start/stop addresses, and then click Discover."));
    udp = true;
    offerRecentRanges();
}

// The ranges probed last, newest first: the fields begin with the newest, and the list puts any
// of them back in the fields. Without any, the list is not shown.
void AddByIP::offerRecentRanges()
{
    const QStringList ranges = UpdaterSettings::probeRanges();
    ui->recentRangesLabel->setVisible(!ranges.isEmpty());
    ui->recentRangesCombo->setVisible(!ranges.isEmpty());
    ui->recentRangesCombo->addItems(ranges);
    connect(ui->recentRangesCombo, &QComboBox::activated, this, &AddByIP::fillRange);
    if (!ranges.isEmpty())
        fillRange(0);
}

void AddByIP::fillRange(int index)
{
    const QString range = ui->recentRangesCombo->itemText(index);
    ui->startIPEdit->setText(range.section(QLatin1Char('-'), 0, 0));
    ui->endIPEdit->setText(range.contains(QLatin1Char('-')) ? range.section(QLatin1Char('-'), 1, 1)
                                                            : range.section(QLatin1Char('-'), 0, 0));
}

AddByIP::~AddByIP()
{
    delete ui;
}

// The opener owns the dialog (it runs it on its stack); dismissing it only stops a running probe.
void AddByIP::on_finished()
{
    stopping = true;
}

void AddByIP::appendStatus(const QString &message)
{
    ui->statusTextEdit->appendPlainText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"))
                                        + QStringLiteral(": ") + message);
    QCoreApplication::processEvents();
}

void AddByIP::on_discoverButton_clicked()
{
    BLOG << "Attempt Discover";
    ui->discoverButton->setEnabled(false);
    ui->startIPEdit->setText(ui->startIPEdit->text().trimmed());
    ui->endIPEdit->setText(ui->endIPEdit->text().trimmed());

    const AddressRange range = parseAddressRange(ui->startIPEdit->text(), ui->endIPEdit->text());
    if (range.problem == AddressRange::BadStart) {
        BLOG << "Invalid IP Address";
        appendStatus(QStringLiteral("Invalid Start IP Address"));
        return;
    }
    BLOG << "Valid IP Address";
    if (ui->endIPEdit->text().isEmpty())
        ui->endIPEdit->setText(ui->startIPEdit->text());
    if (range.problem == AddressRange::BadEnd) {
        BLOG << "Invalid IP Address";
        appendStatus(QStringLiteral("Invalid End IP Address"));
        return;
    }
    BLOG << "Valid IP Address";
    if (range.problem == AddressRange::Reversed) {
        BLOG << "Invalid IP Range";
        appendStatus(QStringLiteral("End Address must be greater than or equal to Start."));
        return;
    }

    UpdaterSettings::rememberProbeRanges({addressRangeText(range.start, range.end)});

    // Events run after every address, so the dialog may be closed, or even destroyed, meanwhile.
    const QPointer<AddByIP> self(this);
    for (quint32 address = range.start;; ++address) {
        const QString ip = QHostAddress(address).toString();
        if (udp)
            probeOverUdp(ip, range.end - address + 1);
        else
            probeOverTcp(ip, range.end - address);
        QCoreApplication::processEvents();
        if (!self)
            return;
        if (stopping) {
            BLOG << "Probe stopped at" << ip;
            return;
        }
        // Stop after the end address, also when that is 255.255.255.255: never wrap around.
        if (address == range.end)
            break;
    }
    appendStatus(QStringLiteral("Finished."));
}

void AddByIP::probeOverUdp(const QString &ip, quint32 left)
{
    const QPointer<AddByIP> self(this);
    appendStatus(QStringLiteral("Looking via UDP for units at ") + ip + QStringLiteral(" ( ") + QString::number(left)
                 + QStringLiteral(" left to test.)"));
    if (!self || stopping || !connection)
        return;
    // One query per kind of unit, as the tool's probe sends them; the replies arrive through the
    // endpoint.
    sendStatusQueries(*connection, ip);
}

void AddByIP::probeOverTcp(const QString &ip, quint32 left)
{
    const QPointer<AddByIP> self(this);
    appendStatus(QStringLiteral("Looking via TCP for units at ") + ip + QStringLiteral(" (") + QString::number(left)
                 + QStringLiteral(" left to test.)"));
    if (!self || stopping || !connection)
        return;
    const QByteArray reply = connection->tcpOneShot(ip, QByteArrayLiteral("getStatus\r"));
    if (!self)
        return;
    if (reply.isEmpty()) {
        BLOG << "No response";
        return;
    }
    const MarluneUnit unit = connection->packetAnalyze(reply);
    if (unit.mac.size() > 5) {
        BLOG << "Got TCP status for" << unit.ip;
        Q_EMIT unitChangedSignal(unit);
    }
}
