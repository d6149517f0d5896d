#include "devicecatalogue.h"

#include "marluneunit.h"

QString typeCodeForUnit(const MarluneUnit &unit)
{
    if (unit.isAtr() && !unit.isK4Audio())
        return QStringLiteral("ATR");
    if (unit.isK4Audio())
        return QStringLiteral("K4");
    if (unit.isDvr())
        return QStringLiteral("DVR");
    if (unit.isWp())
        return QStringLiteral("WP");
    if (unit.isVod())
        return QStringLiteral("VOD");
    if (unit.isWpc())
        return QStringLiteral("K-Panel");
    if (unit.isGen1() && unit.isEncoder())
        return QStringLiteral("K1-ENC");
    if (unit.isGen1() && unit.isDecoder())
        return QStringLiteral("K1-DEC");
    if (unit.isGen2() && (unit.isEncoder() || unit.isDecoder())) {
        const QString kind = unit.isEncoder() ? QStringLiteral("K2-ENC") : QStringLiteral("K2-DEC");
        if (unit.isGen2FourK())
            return kind + QStringLiteral("-4K");
        if (unit.isGen2Kvm())
            return kind + QStringLiteral("-KVM");
        return kind;
    }
    if (unit.isGen3() && unit.isEncoder())
        return QStringLiteral("K3-ENC");
    if (unit.isGen3() && unit.isDecoder())
        return QStringLiteral("K3-DEC");
    if (unit.isEncoder() && unit.KSeries != 1)
        return QStringLiteral("LEG-ENC");
    if (unit.isDecoder() && unit.KSeries != 1)
        return QStringLiteral("LEG-DEC");
    return QStringLiteral("UNKNOWN");
}

QString iconPathForUnit(const MarluneUnit &unit)
{
    if (unit.isConductor != 0)
        return QStringLiteral(":icons/gear.png");
    if (unit.isVod())
        return QStringLiteral(":icons/vod.png");
    if (unit.isWpc())
        return QStringLiteral(":icons/k-panel.png");
    if (unit.isDvr())
        return QStringLiteral(":icons/DVR_Black_16x16.png");
    if (unit.isWp())
        return QStringLiteral(":icons/Window.png");
    if (unit.isEncoder())
        return QStringLiteral(":icons/Encoder16.png");
    if (unit.isDecoder())
        return QStringLiteral(":icons/TV_Black_16x16.png");
    if (unit.isAtr())
        return QStringLiteral(":icons/atr_icon.png");
    return QString();
}

QString displayNameForSerial(const QString &serial)
{
    // Only what the serial number decides counts: a fresh record typed from it.
    MarluneUnit unit;
    unit.sn = serial;
    unit.typeFromSerial();

    if (unit.isVod())
        return QStringLiteral("Video On Demand");
    if (unit.isK4Audio())
        return QStringLiteral("K440 Audio");
    if (unit.isWpc())
        return QStringLiteral("K-Panel");
    if (unit.isAtr())
        return QStringLiteral("Audio Transceiver");
    if (unit.isDvr())
        return QStringLiteral("Network Video Recorder");
    if (unit.isWp())
        return QStringLiteral("Windowing Processor");
    if (unit.isGen1() && unit.isEncoder())
        return QStringLiteral("K110 Encoder");
    if (unit.isGen1() && unit.isDecoder())
        return QStringLiteral("K110 Decoder");
    if (unit.isGen2() && unit.isEncoder())
        return QStringLiteral("K220 Encoder");
    if (unit.isGen2() && unit.isDecoder())
        return QStringLiteral("K220 Decoder");
    if (unit.isGen3() && unit.isEncoder())
        return QStringLiteral("K330 Encoder");
    if (unit.isGen3() && unit.isDecoder())
        return QStringLiteral("K330 Decoder");
    if (unit.isEncoder() && unit.KSeries != 1)
        return QStringLiteral("J-Series Encoder");
    if (unit.isDecoder() && unit.KSeries != 1)
        return QStringLiteral("J-Series Decoder");
    return QStringLiteral("Unit Unknown");
}

// Listing order: decoders first, encoders before recorders, otherwise by type word; within one
// type by product name followed by unit name.
bool MarluneUnit::operator<(const MarluneUnit &other) const
{
    if (deviceType == other.deviceType) {
        const QString key = displayNameForSerial(sn) + name;
        const QString otherKey = displayNameForSerial(other.sn) + other.name;
        return QString::compare(key, otherKey, Qt::CaseSensitive) < 0;
    }
    const QLatin1String dec("DEC"), enc("ENC"), dvr("DVR");
    if (deviceType == dec)
        return true;
    if (other.deviceType == dec)
        return false;
    if (deviceType == enc && other.deviceType == dvr)
        return true;
    if (deviceType == dvr && other.deviceType == enc)
        return false;
    return QString::compare(deviceType, other.deviceType, Qt::CaseSensitive) < 0;
}
