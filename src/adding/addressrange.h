#pragma once

#include <QString>

// A range of IPv4 addresses as the operator typed it.
struct AddressRange
{
    enum Problem { None, BadStart, BadEnd, Reversed };
    Problem problem = None;
    quint32 start = 0;
    quint32 end = 0;
};

// Reads an address typed as four dot-separated decimal numbers of one to three digits, each at
// most 255; leading zeros are read as decimal ("192.168.001.010" is 192.168.1.10). Anything else
// (shorthand such as "10.1", hexadecimal or octal forms, IPv6 text) is refused, so that what is
// probed is exactly what was typed.
bool parseDottedQuad(const QString &text, quint32 *address);

// Reads the two address fields (already trimmed; an empty end means the start address).
AddressRange parseAddressRange(const QString &start, const QString &end);

// A range as the updater keeps and shows it: "10.0.0.5" for one address, else "10.0.0.5-10.0.0.9".
QString addressRangeText(quint32 start, quint32 end);
