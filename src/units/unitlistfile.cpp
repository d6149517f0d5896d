#include "unitlistfile.h"

#include "marluneunit.h"
#include "unitfields.h"
#include "../app/folders.h"

#include <QMap>
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

// The MACs the [MACS] array really holds, in index order. Its "size" key is not trusted: a
// corrupt or hostile size must neither make the list huge nor, when too small or negative, let
// a new entry overwrite one that is there.
QStringList listedMacs(QSettings &settings)
{
    settings.beginGroup(QStringLiteral("MACS"));
    QMap<int, QString> byIndex;
    for (const QString &group : settings.childGroups()) {
        bool ok = false;
        const int index = group.toInt(&ok);
        if (ok && index >= 1)
            byIndex.insert(index, settings.value(group + QStringLiteral("/mac")).toString());
    }
    settings.endGroup();
    return byIndex.values();
}

} // namespace

void storeUnitIn(const QString &iniPath, const MarluneUnit &unit)
{
    QSettings settings(iniPath, QSettings::IniFormat);

    QStringList macs = listedMacs(settings);
    if (!macs.contains(unit.mac)) {
        macs.append(unit.mac);
        // Entries numbered beyond the list are dropped so the array is contiguous again.
        settings.remove(QStringLiteral("MACS"));
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
