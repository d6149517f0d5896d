#pragma once

#include "units/marluneunit.h"

#include <QDialog>
#include <QHostAddress>

class MarluneConnect;

namespace Ui {
class AddByIP;
}

// A range of IPv4 addresses as the operator typed it.
struct AddressRange
{
    enum Problem { None, BadStart, BadEnd, Reversed };
    Problem problem = None;
    quint32 start = 0;
    quint32 end = 0;
};

// Reads the two address fields (already trimmed; an empty end means the start address). IPv4
// text only: IPv6 text, unless it carries an IPv4 address, is not a valid address for a range.
AddressRange parseAddressRange(const QString &start, const QString &end);

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
    void appendStatus(const QString &message);
    void probeOverUdp(const QString &ip, quint32 left);
    void probeOverTcp(const QString &ip, quint32 left);

    Ui::AddByIP *ui;
    // Set when the dialog is dismissed: a running probe stops at the next address.
    bool stopping = false;
};
