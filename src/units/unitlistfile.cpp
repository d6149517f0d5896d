#include "unitlistfile.h"

#include "marluneunit.h"
#include "unitfields.h"
#include "../app/folders.h"

#include <QSettings>
#include <QStringList>

namespace {

template <typename T> void writeValue(QSettings &settings, const char *key, const T &value)
{
    settings.setValue(key, value);
}

// An array is one key per element: "playChannel[0]" ... "playChannel[9]".
void writeValue(QSettings &settings, const char *key, const MarluneUnit::Channels &channels)
{
    for (int i = 0; i < int(channels.size()); ++i)
        settings.setValue(QString::fromLatin1(key) + QLatin1Char('[') + QString::number(i) + QLatin1Char(']'),
                          channels[size_t(i)]);
}

void writeUnitGroup(QSettings &settings, const MarluneUnit &unit)
{
    settings.beginGroup(unit.mac);
    for (const UnitField &field : unitFields()) {
        if (field.persisted)
            std::visit([&](auto member) { writeValue(settings, field.key, unit.*member); }, field.member);
    }
    settings.endGroup();
}

} // namespace

void storeUnitIn(const QString &iniPath, const MarluneUnit &unit)
{
    QSettings settings(iniPath, QSettings::IniFormat);

    QStringList macs;
    bool known = false;
    const int size = settings.beginReadArray("MACS");
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        const QString mac = settings.value("mac").toString();
        macs.append(mac);
        if (mac == unit.mac)
            known = true;
    }
    settings.endArray();

    if (!known) {
        macs.append(unit.mac);
        settings.beginWriteArray("MACS", int(macs.size()));
        for (int i = 0; i < macs.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue("mac", macs.at(i));
        }
        settings.endArray();
    }

    writeUnitGroup(settings, unit);
}

void storeUnit(const MarluneUnit &unit)
{
    storeUnitIn(Folders::unitListPath(), unit);
}
