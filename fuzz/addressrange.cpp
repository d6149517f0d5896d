// The input is the two address fields of Add by IP: start address, newline, end address.

#include "harness.h"

#include "adding/addressrange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const qsizetype newline = input.indexOf('\n');
    const QString start = QString::fromUtf8(newline < 0 ? input : input.left(newline));
    const QString end = newline < 0 ? QString() : QString::fromUtf8(input.mid(newline + 1));
    const AddressRange range = parseAddressRange(start, end);
    if (range.problem == AddressRange::None && range.end < range.start)
        __builtin_trap(); // an accepted range never runs backwards
    return 0;
}
