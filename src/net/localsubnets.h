#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

class MarluneUnit;

// This workstation's address in a unit's subnet, for many units at once: the addresses are
// masked once per prefix length, and each unit's network is then looked up, not compared with
// every address. The answers are those of MarluneConnect::localAddressFor(unit, addresses):
// the first of the addresses, in their order, inside the unit's subnet.
class LocalSubnets
{
public:
    explicit LocalSubnets(const QList<QHostAddress> &localAddresses);

    // The address as text, or "" when none is in the unit's subnet.
    QString addressFor(const MarluneUnit &unit);
    bool reach(const MarluneUnit &unit) { return !addressFor(unit).isEmpty(); }

private:
    QList<QHostAddress> addresses;
    // Per prefix length: each masked network -> the first address in it (index into addresses).
    QHash<int, QHash<quint32, qsizetype>> byPrefix;
};
