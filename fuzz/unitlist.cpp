// The input is a units.ini file; one unit is stored into it. Each input gets a file name of its
// own: the settings layer caches files by name and may not notice a rewrite within the same
// second.

#include "harness.h"

#include "units/marluneunit.h"
#include "units/unitlistfile.h"

#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static quint64 count = 0;
    static MarluneUnit unit = [] {
        MarluneUnit u;
        u.setMac(QStringLiteral("02:00:00:00:05:01"));
        u.sn = QStringLiteral("K2100A1");
        u.name = QStringLiteral("Lobby");
        u.ip = QStringLiteral("10.77.1.5");
        u.typeFromSerial();
        return u;
    }();

    const QString path = fuzz::scratchFolder() + QStringLiteral("/units-%1.ini").arg(++count);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    storeUnitIn(path, unit);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".lock"));
    return 0;
}
