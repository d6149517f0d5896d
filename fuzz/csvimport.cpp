// The input is a CSV export, read against two units already listed: one that a line of the
// export may repeat, one whose address a line may take.

#include "harness.h"

#include "adding/csvimport.h"

namespace {

QList<MarluneUnit> listedUnits()
{
    const auto unit = [](const char *name, const char *mac, const char *sn, const char *ip) {
        MarluneUnit u;
        u.name = QString::fromLatin1(name);
        u.mac = QString::fromLatin1(mac);
        u.sn = QString::fromLatin1(sn);
        u.ip = QString::fromLatin1(ip);
        u.ipType = QStringLiteral("Static IP");
        u.typeFromSerial();
        return u;
    };
    return {unit("Lobby", "02:00:00:00:05:01", "K2100A1", "10.77.1.5"),
            unit("Hall", "02:00:00:00:05:02", "K2200B2", "10.77.1.6")};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceDebugLines();
    static const QList<MarluneUnit> existing = listedUnits();
    const QString text = decodeCsvText(fuzz::bytes(data, size));
    importCsv(text, existing);
    return 0;
}
