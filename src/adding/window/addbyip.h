#pragma once

#include "adding/addressrange.h"
#include "units/marluneunit.h"

#include <QDialog>
#include <QHostAddress>

class MarluneConnect;

namespace Ui {
class AddByIP;
}

// Finds units that discovery cannot reach by probing a range of addresses one by one, over UDP
// (the status queries of every kind; the replies come back through the endpoint) or over TCP.
class AddByIP final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AddByIP)

public:
    explicit AddByIP(QWidget *parent = nullptr);
    ~AddByIP() override;

    MarluneConnect *connection = nullptr;
    bool udp = true;

Q_SIGNALS:
    void unitChangedSignal(MarluneUnit vUnit);

private Q_SLOTS:
    void on_finished();
    void on_discoverButton_clicked();

private:
    void offerRecentRanges();
    void fillRange(int index);
    void appendStatus(const QString &message);
    void probeOverUdp(const QString &ip, quint32 left);
    void probeOverTcp(const QString &ip, quint32 left);

    Ui::AddByIP *ui;
    // Set when the dialog is dismissed: a running probe stops at the next address.
    bool stopping = false;
};
