#include "unitfields.h"

#include <iterator>

namespace {

QString textOf(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

QString textOf(quint32 value)
{
    return QString::number(value);
}

QString textOf(qint32 value)
{
    return QString::number(value);
}

QString textOf(const QDateTime &value)
{
    return value.toString(Qt::ISODateWithMs);
}

// The value when name is the field's key, or an array element's when name is "key[index]";
// a null QString otherwise.
template <typename T> QString textIfNamed(const QString &name, const char *key, const T &value)
{
    return name == QLatin1String(key) ? textOf(value) : QString();
}

QString textIfNamed(const QString &name, const char *key, const MarluneUnit::Channels &values)
{
    for (size_t i = 0; i < values.size(); ++i) {
        if (name == QLatin1String(key) + QLatin1Char('[') + QString::number(i) + QLatin1Char(']'))
            return textOf(values[i]);
    }
    return QString();
}

} // namespace

// Every key is the member's own name, so the name is written once.
// clang-format off
#define PERSISTED(member) {#member, &MarluneUnit::member, true}
#define NOT_PERSISTED(member) {#member, &MarluneUnit::member, false}
// clang-format on

namespace {

const UnitField kFields[] = {
    PERSISTED(mac),
    PERSISTED(deviceType),
    PERSISTED(ipType),
    PERSISTED(ip),
    PERSISTED(subnet),
    PERSISTED(gateway),
    PERSISTED(name),
    PERSISTED(sn),
    PERSISTED(swversion),
    PERSISTED(fwversion),
    PERSISTED(stream),
    PERSISTED(mode),
    PERSISTED(audioEnable),
    PERSISTED(resolution),
    PERSISTED(modeByte),
    PERSISTED(dvrbusy),
    PERSISTED(playstream0),
    PERSISTED(playstream1),
    PERSISTED(recordstream0),
    PERSISTED(recordAudioStream0),
    PERSISTED(recordstream1),
    PERSISTED(recordAudioStream1),
    PERSISTED(mpegstatus),
    PERSISTED(playFile),
    PERSISTED(kSeriesMode),
    PERSISTED(playChannel),
    PERSISTED(recordChannelVid),
    PERSISTED(recordChannelAud),
    PERSISTED(isRec),
    PERSISTED(isPlay),
    PERSISTED(diskFree),
    PERSISTED(mpegFile),
    PERSISTED(mpegMode),
    PERSISTED(mpegdate),
    PERSISTED(indexdate),
    PERSISTED(audioon),
    PERSISTED(masseren),
    PERSISTED(masserip),
    PERSISTED(sersrcip),
    PERSISTED(seropen),
    PERSISTED(p0),
    PERSISTED(p1),
    PERSISTED(p2),
    PERSISTED(localPlayNum),
    PERSISTED(hasInputOrDVI),
    PERSISTED(customSettings),
    PERSISTED(customSettings2),
    PERSISTED(edid),
    PERSISTED(isMaster),
    PERSISTED(audioGain),
    PERSISTED(txBandwidth),
    PERSISTED(uncompressedImageEnable),
    PERSISTED(extremeImageEnable),
    PERSISTED(imageQuality),
    PERSISTED(compressionSize),
    PERSISTED(motionQuality),
    PERSISTED(ttl),
    PERSISTED(vlanTagEnable),
    PERSISTED(vlanNum),
    PERSISTED(dscp),
    PERSISTED(allowCopyProtect),
    PERSISTED(hzOffset),
    PERSISTED(vtOffset),
    PERSISTED(disableColorSpace),
    PERSISTED(inputAudioForHostPlayEnable),
    PERSISTED(useHostPlayforUnsupportedModeEnable),
    PERSISTED(rs232baud),
    PERSISTED(databits),
    PERSISTED(parity),
    PERSISTED(stopbits),
    PERSISTED(remoteEnable),
    PERSISTED(remoteCommandstart),
    PERSISTED(remotesynch),
    PERSISTED(remotestart),
    PERSISTED(remotestop),
    PERSISTED(hdmiAudio),
    PERSISTED(useStreamAudioInLocal),
    PERSISTED(YCbCrEnable),
    PERSISTED(simplifiedDVIEnable),
    PERSISTED(lastFrameHoldEnable),
    PERSISTED(onePixShiftEnable),
    PERSISTED(dviOffStreamLossEnable),
    PERSISTED(invertDVISync),
    PERSISTED(saveStreamOnSwitch),
    PERSISTED(gratuitousArp),
    PERSISTED(txCustom),
    PERSISTED(webversion),
    PERSISTED(audiostream),
    PERSISTED(wstream0),
    PERSISTED(wstream1),
    PERSISTED(wstream2),
    PERSISTED(wstream3),
    PERSISTED(videomode),
    PERSISTED(mac0),
    PERSISTED(mac1),
    PERSISTED(mac2),
    PERSISTED(mac3),
    PERSISTED(ip0),
    PERSISTED(ip1),
    PERSISTED(ip2),
    PERSISTED(ip3),
    PERSISTED(rxdisabled),
    PERSISTED(rxmode),
    PERSISTED(rxstream),
    PERSISTED(rxaudioEnable),
    PERSISTED(txunicast),
    PERSISTED(txunicastip),
    PERSISTED(txsamplerate),
    PERSISTED(txaudiodelay),
    PERSISTED(rxmute),
    PERSISTED(headphonevolLeft),
    PERSISTED(headphonevolRight),
    PERSISTED(lineoutvolLeft),
    PERSISTED(lineoutvolRight),
    PERSISTED(KSeries),
    PERSISTED(dviEnable),
    PERSISTED(hdmiAudioPassthru),
    PERSISTED(audioGainRight),
    PERSISTED(YCbCrEnablePT),
    PERSISTED(scalerBypass),
    PERSISTED(streamURL),
    PERSISTED(transportenable),
    PERSISTED(dviEnablePT),
    PERSISTED(settingsLock),
    PERSISTED(https),
    PERSISTED(fcpc),
    PERSISTED(isConductor),
    PERSISTED(eth0_macStr),
    PERSISTED(eth0_ipAddr),
    PERSISTED(eth0_ipAddr_2),
    PERSISTED(eth1_macStr),
    PERSISTED(eth1_ipAddr),
    PERSISTED(eth1_ipAddr_2),
    PERSISTED(eth0_netMask),
    PERSISTED(eth0_netMask_2),
    PERSISTED(eth1_netMask),
    PERSISTED(eth1_netMask_2),
    NOT_PERSISTED(idButton),
    NOT_PERSISTED(ipTrial),
    NOT_PERSISTED(updateStatus),
    NOT_PERSISTED(ndMrrq),
    NOT_PERSISTED(ndMrrqChg),
    NOT_PERSISTED(ndADrop),
    NOT_PERSISTED(ndADrop1s),
    NOT_PERSISTED(ndVDrop),
    NOT_PERSISTED(ndVDrop1s),
    NOT_PERSISTED(ndFDrop),
    NOT_PERSISTED(ndFDrop1s),
    NOT_PERSISTED(lastSeen),
};

} // namespace

#undef PERSISTED
#undef NOT_PERSISTED

const std::vector<UnitField> &unitFields()
{
    static const std::vector<UnitField> fields(std::begin(kFields), std::end(kFields));
    return fields;
}

QString unitFieldText(const MarluneUnit &unit, const QString &name)
{
    for (const UnitField &field : unitFields()) {
        const QString text =
            std::visit([&](auto member) { return textIfNamed(name, field.key, unit.*member); }, field.member);
        if (!text.isNull())
            return text;
    }
    return QString();
}
