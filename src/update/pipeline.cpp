// MainWindow: the update pipeline, one tick of the refresh timer every 5 seconds. Each tick
// polls the listed units, merges newly admitted status records and moves units one step along
// queued -> commanded -> rebooted -> confirmed (-> EDID reset) -> finished.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/debuglog.h"
#include "app/operatorquestions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

static const char kLogSource[] = "mainwindow";

namespace {

constexpr int kFreshStatusSecs = 15;
constexpr int kOutOfSyncDelaySecs = 10;
constexpr int kEdidAttempts = 3;

QString nameAndIp(const MarluneUnit &unit)
{
    return unit.name + QStringLiteral(" (") + unit.ip + QStringLiteral(")");
}

// Clears the first entry with this MAC in place, so that a walk by index stays valid; cleared
// entries are erased when the walk is over.
void clearEntry(QList<MarluneUnit> &list, const QString &mac)
{
    for (MarluneUnit &entry : list) {
        if (entry.mac == mac) {
            entry.reset();
            return;
        }
    }
}

void eraseCleared(QList<MarluneUnit> &list)
{
    list.removeIf([](const MarluneUnit &unit) { return unit.mac.isEmpty(); });
}

// Ticks never overlap: sendConfig lets events run while it waits for a unit, and a second
// tick started in that wait would command the same queued units again.
class TickGuard
{
public:
    explicit TickGuard(bool &running) : running(running), entered(!running) { running = true; }
    ~TickGuard()
    {
        if (entered)
            running = false;
    }
    bool alreadyRunning() const { return !entered; }

private:
    bool &running;
    bool entered;
};

} // namespace

void MainWindow::removeUnitByMac(const QString &mac, QList<MarluneUnit> &list)
{
    for (MarluneUnit &entry : list)
        if (entry.mac == mac)
            entry.reset();
    eraseCleared(list);
}

QString MainWindow::foreverKey(const MarluneUnit &unit) const
{
    if (foreverMACList.contains(unit.mac) || foreverMACList.contains(unit.name))
        return unit.mac;
    return QString();
}

void MainWindow::refreshTimerTimeout()
{
    const TickGuard guard(tickRunning);
    if (guard.alreadyRunning()) {
        BLOG << "tick skipped: the previous tick is still waiting for a unit";
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();

    ui->discoverButton->setEnabled(true);
    ui->updateButton->setEnabled(true);
    if (!lastConfirmTime.isValid())
        lastConfirmTime = now;

    if (!powerWarningShown && !vUnits.isEmpty()) {
        powerWarningShown = true;
        QCoreApplication::processEvents();
        askOperator(this, QMessageBox::Warning, QStringLiteral("Power Off Warning"),
                    QStringLiteral("Do not power down equipment during update! \n\n"
                                   "Doing so may render it inoperable."),
                    QMessageBox::Ok);
    }

    // FOREVER mode: units named in FOREVER.txt are updated again and again, one per tick.
    QFile foreverFile(QDir::currentPath() + QDir::separator() + QStringLiteral("FOREVER.txt"));
    if (foreverFile.exists()) {
        const QString text = foreverFile.open(QIODevice::ReadOnly)
                                 ? QString::fromLatin1(foreverFile.read(64 * 1024)).simplified().toUpper()
                                 : QString();
        foreverMACList = text.isEmpty() ? QStringList() : text.split(QLatin1Char(' '), Qt::KeepEmptyParts);
        BLOG << "foreverMACList" << foreverMACList;
        for (int i = 0; i < vUnitsFinished.size(); ++i) {
            const QString key = foreverKey(vUnitsFinished.at(i));
            if (key.isEmpty())
                continue;
            vUnitsUpdate.append(vUnitsFinished.at(i));
            foreverCount[key] += 1;
            vUnitsFinished.removeAt(i);
            return;
        }
    }

    // Status poll.
    const QList<MarluneUnit> polled = vUnits;
    bool someoneOffline = false;
    for (const MarluneUnit &unit : polled) {
        connection.getStatus(unit, ui->tcpRadio->isChecked());
        if (!unit.isOnline())
            someoneOffline = true;
    }
    if (someoneOffline)
        connection.discover();

    // Merge the records the package rule admitted since the last tick.
    for (const MarluneUnit &record : std::as_const(vUnitsIncoming)) {
        bool matched = false;
        for (MarluneUnit &listed : vUnits) {
            if (listed.mac == record.mac) {
                listed = record;
                matched = true;
                tableDirty = true;
            }
        }
        if (!matched) {
            vUnits.append(record);
            tcpAlive[record.ip] = true;
            tableDirty = true;
        }
    }
    vUnitsIncoming.clear();

    if (ui->statusBar->currentMessage().contains(QLatin1String("Discover")))
        connection.discover();
    else if (tableDirty)
        refreshUnitTable();

    // EDID pass.
    if (!vUnitsEDID.isEmpty()) {
        for (int i = 0; i < vUnitsEDID.size(); ++i) {
            const MarluneUnit unit = vUnitsEDID.at(i);
            if (unit.mac.isEmpty())
                continue;
            QByteArray command = QByteArrayLiteral("setSettings:resetedid\r");
            if (unit.isGen2FourK())
                command += QByteArrayLiteral("setSettings:resetedidanalog\r");
            toStatusLog(QStringLiteral("Updater"), QStringLiteral("Resetting EDID ") + nameAndIp(unit));
            QByteArray reply = QByteArrayLiteral("Need response");
            connection.sendConfig(unit, command, &reply);

            if (reply.contains("Failed To Reset EDID")) {
                const int attempts = edidAttempts.value(unit.ip, 0) + 1;
                toStatusLog(unit.ip, QStringLiteral("Failed To Reset EDID (") + unit.ip
                                         + QStringLiteral(") ... Updater will try again (")
                                         + QString::number(attempts) + QStringLiteral(" / 3)"));
                edidAttempts[unit.ip] = attempts;
                if (attempts >= kEdidAttempts) {
                    toStatusLog(QStringLiteral("Updater"),
                                QStringLiteral("Updater has abandoned Reset EDID for ") + nameAndIp(unit));
                    vUnitsFinished.append(unit);
                    clearEntry(vUnitsEDID, unit.mac);
                }
            }
            if (reply.contains("Successfully Reset EDID")) {
                toStatusLog(unit.ip, QStringLiteral("Successfully Reset EDID (") + unit.ip + QLatin1Char(')'));
                vUnitsFinished.append(unit);
                clearEntry(vUnitsEDID, unit.mac);
            }
        }
        eraseCleared(vUnitsEDID);
        refreshUnitTable();
    }

    // Reboot bookkeeping: a unit that reports a pending update and answers on TCP has rebooted,
    // whether or not a reachability test saw it go down.
    if (!vUnitsConfirm.isEmpty()) {
        BLOG << "vUnitsConfirm:" << vUnitsConfirm.size() << vUnitsRebooted.size();
        const QList<MarluneUnit> listed = vUnits;
        for (const MarluneUnit &unit : listed) {
            if (unit.updateStatus != 0 && tcpAlive.value(unit.ip, false)) {
                removeUnitByMac(unit.mac, vUnitsRebooted);
                vUnitsRebooted.append(unit);
                BLOG << "vUnitsRebooted force append:" << unit.name;
            }
        }
    }
    if (vUnitsRebooted.size() != lastRebootedCount) {
        lastRebootedCount = int(vUnitsRebooted.size());
        refreshUnitTable();
    }

    // Confirm pass.
    if (!vUnitsConfirm.isEmpty() && !vUnitsRebooted.isEmpty()) {
        bool confirmSent = false;
        for (int i = 0; i < vUnitsConfirm.size(); ++i) {
            const MarluneUnit commanded = vUnitsConfirm.at(i);
            if (commanded.mac.isEmpty())
                continue;
            MarluneUnit current;
            for (const MarluneUnit &listed : std::as_const(vUnits))
                if (listed.mac == commanded.mac)
                    current = listed;
            connection.getStatus(current, false);

            if (!containsMac(vUnitsRebooted, current.mac)) {
                BLOG << current.name << "has not rebooted yet";
                continue;
            }
            if (!tcpAlive.value(current.ip, false)) {
                BLOG << "Cannot confirm yet. Cannot access TCP on" << current.name;
                startTcpTest(current);
                continue;
            }
            if (current.lastSeen.addSecs(kFreshStatusSecs) < QDateTime::currentDateTime()) {
                BLOG << "Data is stale with" << current.name;
                startTcpTest(current);
                continue;
            }
            BLOG << "Checking Confirmation of" << current.name;
            if (current.updateStatus != 0) {
                toStatusLog(QStringLiteral("Updater"), QStringLiteral("Confirming ") + nameAndIp(current));
                QByteArray noReply;
                connection.sendConfig(current, QByteArrayLiteral("setSettings:confirmUpdate\r"), &noReply);
                lastConfirmTime = QDateTime::currentDateTime();
                confirmSent = true;
            } else {
                BLOG << "Confirm update is " << 0 << " should I confirm anyway?";
                if (catalogue.unitMatchesPackage(current))
                    toStatusLog(QStringLiteral("Updater"),
                                QStringLiteral("Another device (perhaps K-Director or K-Relay) confirmed the update for ")
                                    + nameAndIp(current));
                else
                    toStatusLog(QStringLiteral("Updater"),
                                QStringLiteral("Update was not applied for ") + nameAndIp(current));
            }
            if (current.isEncoder() && ui->resetEDIDCheck->isChecked())
                vUnitsEDID.append(current);
            else
                vUnitsFinished.append(current);
            clearEntry(vUnitsConfirm, commanded.mac);
        }
        eraseCleared(vUnitsConfirm);
        refreshUnitTable();
        if (confirmSent)
            return;
    }

    // Update pass: command every queued unit to fetch its image from this workstation.
    if (!vUnitsUpdate.isEmpty()) {
        BLOG << "Checking vUnitsUpdate";
        for (int i = 0; i < vUnitsUpdate.size(); ++i) {
            const MarluneUnit unit = vUnitsUpdate.at(i);
            if (unit.mac.isEmpty())
                continue;
            QString address = connection.localAddressFor(unit);
            if (address.isEmpty() && unit.isVod())
                address = connection.localAddressFor(unit.eth1_ipAddr, unit.eth1_netMask);
            if (address.isEmpty())
                toStatusLog(QStringLiteral("Updater"), QStringLiteral("Warning! Not in subnet: ") + nameAndIp(unit));

            const QString command = QStringLiteral("setSettings:updateUnit:") + address + QLatin1Char('\r');
            toStatusLog(QStringLiteral("Updater"), QStringLiteral("Commanding ") + nameAndIp(unit));
            updateCommanded = true;
            lastUpdateCommandTime = QDateTime::currentDateTime();
            BLOG << "command:" << command << unit.ip;
            QByteArray noReply;
            connection.sendConfig(unit, command.toLatin1(), &noReply);
            serverContacted = true;

            vUnitsConfirm.append(unit);
            clearEntry(vUnitsUpdate, unit.mac);
        }
        eraseCleared(vUnitsUpdate);
        refreshUnitTable();
        return;
    }

    // Out-of-sync pass: confirm units that report a pending update nobody is waiting for, and
    // save trial IP settings.
    if (!vUnits.isEmpty() && vUnitsConfirm.isEmpty()
        && lastConfirmTime.addSecs(kOutOfSyncDelaySecs) < QDateTime::currentDateTime()) {
        bool sent = false;
        const QList<MarluneUnit> listed = vUnits;
        for (const MarluneUnit &unit : listed) {
            if (unit.updateStatus == 0)
                continue;
            toStatusLog(QStringLiteral("Updater"), QStringLiteral("Confirming update (out-of-sync) ") + nameAndIp(unit));
            QByteArray noReply;
            connection.sendConfig(unit, QByteArrayLiteral("setSettings:confirmUpdate\r"), &noReply);
            sent = true;
        }
        for (const MarluneUnit &unit : listed) {
            if (unit.ipTrial == 0)
                continue;
            toStatusLog(QStringLiteral("Updater"), QStringLiteral("Confirming IP ") + nameAndIp(unit));
            QByteArray noReply;
            connection.sendConfig(unit, QByteArrayLiteral("setSettings:ipsave\r"), &noReply);
            sent = true;
        }
        if (sent)
            refreshUnitTable();
    }
}
