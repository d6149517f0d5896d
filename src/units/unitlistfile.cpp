#include "unitlistfile.h"

#include "marluneunit.h"
#include "../app/folders.h"

#include <QSettings>
#include <QStringList>

namespace {

void writeChannels(QSettings &settings, const char *key, const MarluneUnit::Channels &channels)
{
    for (int i = 0; i < int(channels.size()); ++i)
        settings.setValue(QString::fromLatin1(key) + QLatin1Char('[') + QString::number(i) + QLatin1Char(']'),
                          channels[size_t(i)]);
}

void writeUnitGroup(QSettings &s, const MarluneUnit &u)
{
    s.beginGroup(u.mac);
    s.setValue("mac", u.mac);
    s.setValue("deviceType", u.deviceType);
    s.setValue("ipType", u.ipType);
    s.setValue("ip", u.ip);
    s.setValue("subnet", u.subnet);
    s.setValue("gateway", u.gateway);
    s.setValue("name", u.name);
    s.setValue("sn", u.sn);
    s.setValue("swversion", u.swversion);
    s.setValue("fwversion", u.fwversion);
    s.setValue("stream", u.stream);
    s.setValue("mode", u.mode);
    s.setValue("audioEnable", u.audioEnable);
    s.setValue("resolution", u.resolution);
    s.setValue("modeByte", u.modeByte);
    s.setValue("dvrbusy", u.dvrbusy);
    s.setValue("playstream0", u.playstream0);
    s.setValue("playstream1", u.playstream1);
    s.setValue("recordstream0", u.recordstream0);
    s.setValue("recordAudioStream0", u.recordAudioStream0);
    s.setValue("recordstream1", u.recordstream1);
    s.setValue("recordAudioStream1", u.recordAudioStream1);
    s.setValue("mpegstatus", u.mpegstatus);
    s.setValue("playFile", u.playFile);
    s.setValue("kSeriesMode", u.kSeriesMode);
    writeChannels(s, "playChannel", u.playChannel);
    writeChannels(s, "recordChannelVid", u.recordChannelVid);
    writeChannels(s, "recordChannelAud", u.recordChannelAud);
    s.setValue("isRec", u.isRec);
    s.setValue("isPlay", u.isPlay);
    s.setValue("diskFree", u.diskFree);
    s.setValue("mpegFile", u.mpegFile);
    s.setValue("mpegMode", u.mpegMode);
    s.setValue("mpegdate", u.mpegdate);
    s.setValue("indexdate", u.indexdate);
    s.setValue("audioon", u.audioon);
    s.setValue("masseren", u.masseren);
    s.setValue("masserip", u.masserip);
    s.setValue("sersrcip", u.sersrcip);
    s.setValue("seropen", u.seropen);
    s.setValue("p0", u.p0);
    s.setValue("p1", u.p1);
    s.setValue("p2", u.p2);
    s.setValue("localPlayNum", u.localPlayNum);
    s.setValue("hasInputOrDVI", u.hasInputOrDVI);
    s.setValue("customSettings", u.customSettings);
    s.setValue("customSettings2", u.customSettings2);
    s.setValue("edid", u.edid);
    s.setValue("isMaster", u.isMaster);
    s.setValue("audioGain", u.audioGain);
    s.setValue("txBandwidth", u.txBandwidth);
    s.setValue("uncompressedImageEnable", u.uncompressedImageEnable);
    s.setValue("extremeImageEnable", u.extremeImageEnable);
    s.setValue("imageQuality", u.imageQuality);
    s.setValue("compressionSize", u.compressionSize);
    s.setValue("motionQuality", u.motionQuality);
    s.setValue("ttl", u.ttl);
    s.setValue("vlanTagEnable", u.vlanTagEnable);
    s.setValue("vlanNum", u.vlanNum);
    s.setValue("dscp", u.dscp);
    s.setValue("allowCopyProtect", u.allowCopyProtect);
    s.setValue("hzOffset", u.hzOffset);
    s.setValue("vtOffset", u.vtOffset);
    s.setValue("disableColorSpace", u.disableColorSpace);
    s.setValue("inputAudioForHostPlayEnable", u.inputAudioForHostPlayEnable);
    s.setValue("useHostPlayforUnsupportedModeEnable", u.useHostPlayforUnsupportedModeEnable);
    s.setValue("rs232baud", u.rs232baud);
    s.setValue("databits", u.databits);
    s.setValue("parity", u.parity);
    s.setValue("stopbits", u.stopbits);
    s.setValue("remoteEnable", u.remoteEnable);
    s.setValue("remoteCommandstart", u.remoteCommandstart);
    s.setValue("remotesynch", u.remotesynch);
    s.setValue("remotestart", u.remotestart);
    s.setValue("remotestop", u.remotestop);
    s.setValue("hdmiAudio", u.hdmiAudio);
    s.setValue("useStreamAudioInLocal", u.useStreamAudioInLocal);
    s.setValue("YCbCrEnable", u.YCbCrEnable);
    s.setValue("simplifiedDVIEnable", u.simplifiedDVIEnable);
    s.setValue("lastFrameHoldEnable", u.lastFrameHoldEnable);
    s.setValue("onePixShiftEnable", u.onePixShiftEnable);
    s.setValue("dviOffStreamLossEnable", u.dviOffStreamLossEnable);
    s.setValue("invertDVISync", u.invertDVISync);
    s.setValue("saveStreamOnSwitch", u.saveStreamOnSwitch);
    s.setValue("gratuitousArp", u.gratuitousArp);
    s.setValue("txCustom", u.txCustom);
    s.setValue("webversion", u.webversion);
    s.setValue("audiostream", u.audiostream);
    s.setValue("wstream0", u.wstream0);
    s.setValue("wstream1", u.wstream1);
    s.setValue("wstream2", u.wstream2);
    s.setValue("wstream3", u.wstream3);
    s.setValue("videomode", u.videomode);
    s.setValue("mac0", u.mac0);
    s.setValue("mac1", u.mac1);
    s.setValue("mac2", u.mac2);
    s.setValue("mac3", u.mac3);
    s.setValue("ip0", u.ip0);
    s.setValue("ip1", u.ip1);
    s.setValue("ip2", u.ip2);
    s.setValue("ip3", u.ip3);
    s.setValue("rxdisabled", u.rxdisabled);
    s.setValue("rxmode", u.rxmode);
    s.setValue("rxstream", u.rxstream);
    s.setValue("rxaudioEnable", u.rxaudioEnable);
    s.setValue("txunicast", u.txunicast);
    s.setValue("txunicastip", u.txunicastip);
    s.setValue("txsamplerate", u.txsamplerate);
    s.setValue("txaudiodelay", u.txaudiodelay);
    s.setValue("rxmute", u.rxmute);
    s.setValue("headphonevolLeft", u.headphonevolLeft);
    s.setValue("headphonevolRight", u.headphonevolRight);
    s.setValue("lineoutvolLeft", u.lineoutvolLeft);
    s.setValue("lineoutvolRight", u.lineoutvolRight);
    s.setValue("KSeries", u.KSeries);
    s.setValue("dviEnable", u.dviEnable);
    s.setValue("hdmiAudioPassthru", u.hdmiAudioPassthru);
    s.setValue("audioGainRight", u.audioGainRight);
    s.setValue("YCbCrEnablePT", u.YCbCrEnablePT);
    s.setValue("scalerBypass", u.scalerBypass);
    s.setValue("streamURL", u.streamURL);
    s.setValue("transportenable", u.transportenable);
    s.setValue("dviEnablePT", u.dviEnablePT);
    s.setValue("settingsLock", u.settingsLock);
    s.setValue("https", u.https);
    s.setValue("fcpc", u.fcpc);
    s.setValue("isConductor", u.isConductor);
    s.setValue("eth0_macStr", u.eth0_macStr);
    s.setValue("eth0_ipAddr", u.eth0_ipAddr);
    s.setValue("eth0_ipAddr_2", u.eth0_ipAddr_2);
    s.setValue("eth1_macStr", u.eth1_macStr);
    s.setValue("eth1_ipAddr", u.eth1_ipAddr);
    s.setValue("eth1_ipAddr_2", u.eth1_ipAddr_2);
    s.setValue("eth0_netMask", u.eth0_netMask);
    s.setValue("eth0_netMask_2", u.eth0_netMask_2);
    s.setValue("eth1_netMask", u.eth1_netMask);
    s.setValue("eth1_netMask_2", u.eth1_netMask_2);
    s.endGroup();
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
