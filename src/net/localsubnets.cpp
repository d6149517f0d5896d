#include "localsubnets.h"

#include "marluneconnectreduced.h"
#include "units/marluneunit.h"

LocalSubnets::LocalSubnets(const QList<QHostAddress> &localAddresses) : addresses(localAddresses) {}

QString LocalSubnets::addressFor(const MarluneUnit &unit)
{
    const auto subnet = QHostAddress::parseSubnet(unit.ip + QLatin1Char('/') + unit.subnet);
    const int prefix = subnet.second;
    // Anything but an IPv4 subnet (an IPv6 unit, a mask that does not parse) is rare: the
    // addresses are compared one by one.
    if (subnet.first.protocol() != QAbstractSocket::IPv4Protocol || prefix < 0 || prefix > 32)
        return MarluneConnect::localAddressFor(unit, addresses);
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    auto networks = byPrefix.find(prefix);
    if (networks == byPrefix.end()) {
        networks = byPrefix.insert(prefix, {});
        for (qsizetype i = 0; i < addresses.size(); ++i) {
            if (addresses.at(i).protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const quint32 network = addresses.at(i).toIPv4Address() & mask;
            if (!networks->contains(network))
                networks->insert(network, i);
        }
    }
    const auto found = networks->constFind(subnet.first.toIPv4Address() & mask);
    return found == networks->cend() ? QString() : addresses.at(*found).toString();
}
