#pragma once

#include "units/marluneunit.h"

#include <QString>

// A unit field as text, by its name ("playChannel[3]" for array elements); used by tests to list
// expected values in tables. A null QString for an unknown name.
inline QString unitField(const MarluneUnit &u, const QString &name)
{
    if (name == QLatin1String("ipType"))
        return u.ipType.isNull() ? QStringLiteral("") : u.ipType;
    if (name == QLatin1String("ip"))
        return u.ip.isNull() ? QStringLiteral("") : u.ip;
    if (name == QLatin1String("subnet"))
        return u.subnet.isNull() ? QStringLiteral("") : u.subnet;
    if (name == QLatin1String("gateway"))
        return u.gateway.isNull() ? QStringLiteral("") : u.gateway;
    if (name == QLatin1String("name"))
        return u.name.isNull() ? QStringLiteral("") : u.name;
    if (name == QLatin1String("sn"))
        return u.sn.isNull() ? QStringLiteral("") : u.sn;
    if (name == QLatin1String("swversion"))
        return u.swversion.isNull() ? QStringLiteral("") : u.swversion;
    if (name == QLatin1String("fwversion"))
        return u.fwversion.isNull() ? QStringLiteral("") : u.fwversion;
    if (name == QLatin1String("stream"))
        return QString::number(u.stream);
    if (name == QLatin1String("mode"))
        return u.mode.isNull() ? QStringLiteral("") : u.mode;
    if (name == QLatin1String("audioEnable"))
        return QString::number(u.audioEnable);
    if (name == QLatin1String("resolution"))
        return u.resolution.isNull() ? QStringLiteral("") : u.resolution;
    if (name == QLatin1String("modeByte"))
        return QString::number(u.modeByte);
    if (name == QLatin1String("playstream0"))
        return QString::number(u.playstream0);
    if (name == QLatin1String("playstream1"))
        return QString::number(u.playstream1);
    if (name == QLatin1String("recordstream0"))
        return QString::number(u.recordstream0);
    if (name == QLatin1String("recordstream1"))
        return QString::number(u.recordstream1);
    if (name == QLatin1String("recordAudioStream0"))
        return QString::number(u.recordAudioStream0);
    if (name == QLatin1String("recordAudioStream1"))
        return QString::number(u.recordAudioStream1);
    if (name == QLatin1String("dvrbusy"))
        return QString::number(u.dvrbusy);
    if (name == QLatin1String("mpegstatus"))
        return u.mpegstatus.isNull() ? QStringLiteral("") : u.mpegstatus;
    if (name == QLatin1String("playFile"))
        return u.playFile.isNull() ? QStringLiteral("") : u.playFile;
    if (name == QLatin1String("kSeriesMode"))
        return QString::number(u.kSeriesMode);
    for (int i = 0; i < 10; ++i)
        if (name == QStringLiteral("playChannel[%1]").arg(i))
            return QString::number(u.playChannel[size_t(i)]);
    for (int i = 0; i < 10; ++i)
        if (name == QStringLiteral("recordChannelVid[%1]").arg(i))
            return QString::number(u.recordChannelVid[size_t(i)]);
    for (int i = 0; i < 10; ++i)
        if (name == QStringLiteral("recordChannelAud[%1]").arg(i))
            return QString::number(u.recordChannelAud[size_t(i)]);
    if (name == QLatin1String("isRec"))
        return u.isRec.isNull() ? QStringLiteral("") : u.isRec;
    if (name == QLatin1String("isPlay"))
        return u.isPlay.isNull() ? QStringLiteral("") : u.isPlay;
    if (name == QLatin1String("diskFree"))
        return u.diskFree.isNull() ? QStringLiteral("") : u.diskFree;
    if (name == QLatin1String("mpegFile"))
        return u.mpegFile.isNull() ? QStringLiteral("") : u.mpegFile;
    if (name == QLatin1String("mpegdate"))
        return u.mpegdate.isNull() ? QStringLiteral("") : u.mpegdate;
    if (name == QLatin1String("indexdate"))
        return u.indexdate.isNull() ? QStringLiteral("") : u.indexdate;
    if (name == QLatin1String("mpegMode"))
        return u.mpegMode.isNull() ? QStringLiteral("") : u.mpegMode;
    if (name == QLatin1String("audioon"))
        return u.audioon.isNull() ? QStringLiteral("") : u.audioon;
    if (name == QLatin1String("p0"))
        return QString::number(u.p0);
    if (name == QLatin1String("p1"))
        return QString::number(u.p1);
    if (name == QLatin1String("p2"))
        return QString::number(u.p2);
    if (name == QLatin1String("localPlayNum"))
        return QString::number(u.localPlayNum);
    if (name == QLatin1String("hasInputOrDVI"))
        return QString::number(u.hasInputOrDVI);
    if (name == QLatin1String("customSettings"))
        return QString::number(u.customSettings);
    if (name == QLatin1String("customSettings2"))
        return QString::number(u.customSettings2);
    if (name == QLatin1String("edid"))
        return u.edid.isNull() ? QStringLiteral("") : u.edid;
    if (name == QLatin1String("masseren"))
        return QString::number(u.masseren);
    if (name == QLatin1String("masserip"))
        return u.masserip.isNull() ? QStringLiteral("") : u.masserip;
    if (name == QLatin1String("sersrcip"))
        return u.sersrcip.isNull() ? QStringLiteral("") : u.sersrcip;
    if (name == QLatin1String("seropen"))
        return QString::number(u.seropen);
    if (name == QLatin1String("KSeries"))
        return QString::number(u.KSeries);
    if (name == QLatin1String("scalerBypass"))
        return QString::number(u.scalerBypass);
    if (name == QLatin1String("idButton"))
        return QString::number(u.idButton);
    if (name == QLatin1String("dviEnable"))
        return QString::number(u.dviEnable);
    if (name == QLatin1String("fcpc"))
        return u.fcpc.isNull() ? QStringLiteral("") : u.fcpc;
    if (name == QLatin1String("hdmiAudioPassthru"))
        return u.hdmiAudioPassthru.isNull() ? QStringLiteral("") : u.hdmiAudioPassthru;
    if (name == QLatin1String("audioGainRight"))
        return QString::number(u.audioGainRight);
    if (name == QLatin1String("dviEnablePT"))
        return QString::number(u.dviEnablePT);
    if (name == QLatin1String("isMaster"))
        return QString::number(u.isMaster);
    if (name == QLatin1String("audioGain"))
        return QString::number(u.audioGain);
    if (name == QLatin1String("txBandwidth"))
        return QString::number(u.txBandwidth);
    if (name == QLatin1String("extremeImageEnable"))
        return QString::number(u.extremeImageEnable);
    if (name == QLatin1String("uncompressedImageEnable"))
        return QString::number(u.uncompressedImageEnable);
    if (name == QLatin1String("imageQuality"))
        return QString::number(u.imageQuality);
    if (name == QLatin1String("compressionSize"))
        return QString::number(u.compressionSize);
    if (name == QLatin1String("motionQuality"))
        return QString::number(u.motionQuality);
    if (name == QLatin1String("ttl"))
        return QString::number(u.ttl);
    if (name == QLatin1String("vlanTagEnable"))
        return QString::number(u.vlanTagEnable);
    if (name == QLatin1String("vlanNum"))
        return QString::number(u.vlanNum);
    if (name == QLatin1String("dscp"))
        return QString::number(u.dscp);
    if (name == QLatin1String("allowCopyProtect"))
        return QString::number(u.allowCopyProtect);
    if (name == QLatin1String("hzOffset"))
        return QString::number(u.hzOffset);
    if (name == QLatin1String("vtOffset"))
        return QString::number(u.vtOffset);
    if (name == QLatin1String("disableColorSpace"))
        return u.disableColorSpace.isNull() ? QStringLiteral("") : u.disableColorSpace;
    if (name == QLatin1String("inputAudioForHostPlayEnable"))
        return QString::number(u.inputAudioForHostPlayEnable);
    if (name == QLatin1String("useHostPlayforUnsupportedModeEnable"))
        return QString::number(u.useHostPlayforUnsupportedModeEnable);
    if (name == QLatin1String("rs232baud"))
        return QString::number(u.rs232baud);
    if (name == QLatin1String("databits"))
        return QString::number(u.databits);
    if (name == QLatin1String("parity"))
        return u.parity.isNull() ? QStringLiteral("") : u.parity;
    if (name == QLatin1String("stopbits"))
        return QString::number(u.stopbits);
    if (name == QLatin1String("remoteEnable"))
        return QString::number(u.remoteEnable);
    if (name == QLatin1String("remoteCommandstart"))
        return QString::number(u.remoteCommandstart);
    if (name == QLatin1String("remotesynch"))
        return QString::number(u.remotesynch);
    if (name == QLatin1String("remotestart"))
        return QString::number(u.remotestart);
    if (name == QLatin1String("remotestop"))
        return QString::number(u.remotestop);
    if (name == QLatin1String("hdmiAudio"))
        return u.hdmiAudio.isNull() ? QStringLiteral("") : u.hdmiAudio;
    if (name == QLatin1String("useStreamAudioInLocal"))
        return QString::number(u.useStreamAudioInLocal);
    if (name == QLatin1String("YCbCrEnable"))
        return u.YCbCrEnable.isNull() ? QStringLiteral("") : u.YCbCrEnable;
    if (name == QLatin1String("YCbCrEnablePT"))
        return u.YCbCrEnablePT.isNull() ? QStringLiteral("") : u.YCbCrEnablePT;
    if (name == QLatin1String("simplifiedDVIEnable"))
        return QString::number(u.simplifiedDVIEnable);
    if (name == QLatin1String("lastFrameHoldEnable"))
        return QString::number(u.lastFrameHoldEnable);
    if (name == QLatin1String("onePixShiftEnable"))
        return u.onePixShiftEnable.isNull() ? QStringLiteral("") : u.onePixShiftEnable;
    if (name == QLatin1String("dviOffStreamLossEnable"))
        return QString::number(u.dviOffStreamLossEnable);
    if (name == QLatin1String("invertDVISync"))
        return QString::number(u.invertDVISync);
    if (name == QLatin1String("saveStreamOnSwitch"))
        return QString::number(u.saveStreamOnSwitch);
    if (name == QLatin1String("gratuitousArp"))
        return QString::number(u.gratuitousArp);
    if (name == QLatin1String("txCustom"))
        return QString::number(u.txCustom);
    if (name == QLatin1String("audiostream"))
        return QString::number(u.audiostream);
    if (name == QLatin1String("wstream0"))
        return QString::number(u.wstream0);
    if (name == QLatin1String("wstream1"))
        return QString::number(u.wstream1);
    if (name == QLatin1String("wstream2"))
        return QString::number(u.wstream2);
    if (name == QLatin1String("wstream3"))
        return QString::number(u.wstream3);
    if (name == QLatin1String("videomode"))
        return u.videomode.isNull() ? QStringLiteral("") : u.videomode;
    if (name == QLatin1String("webversion"))
        return u.webversion.isNull() ? QStringLiteral("") : u.webversion;
    if (name == QLatin1String("ipTrial"))
        return QString::number(u.ipTrial);
    if (name == QLatin1String("updateStatus"))
        return QString::number(u.updateStatus);
    if (name == QLatin1String("rxdisabled"))
        return QString::number(u.rxdisabled);
    if (name == QLatin1String("rxmode"))
        return u.rxmode.isNull() ? QStringLiteral("") : u.rxmode;
    if (name == QLatin1String("rxstream"))
        return QString::number(u.rxstream);
    if (name == QLatin1String("rxaudioEnable"))
        return QString::number(u.rxaudioEnable);
    if (name == QLatin1String("txunicast"))
        return QString::number(u.txunicast);
    if (name == QLatin1String("txunicastip"))
        return u.txunicastip.isNull() ? QStringLiteral("") : u.txunicastip;
    if (name == QLatin1String("txsamplerate"))
        return QString::number(u.txsamplerate);
    if (name == QLatin1String("txaudiodelay"))
        return QString::number(u.txaudiodelay);
    if (name == QLatin1String("rxmute"))
        return QString::number(u.rxmute);
    if (name == QLatin1String("headphonevolLeft"))
        return QString::number(u.headphonevolLeft);
    if (name == QLatin1String("headphonevolRight"))
        return QString::number(u.headphonevolRight);
    if (name == QLatin1String("lineoutvolLeft"))
        return QString::number(u.lineoutvolLeft);
    if (name == QLatin1String("lineoutvolRight"))
        return QString::number(u.lineoutvolRight);
    if (name == QLatin1String("streamURL"))
        return u.streamURL.isNull() ? QStringLiteral("") : u.streamURL;
    if (name == QLatin1String("transportenable"))
        return QString::number(u.transportenable);
    if (name == QLatin1String("isConductor"))
        return QString::number(u.isConductor);
    if (name == QLatin1String("eth0_macStr"))
        return u.eth0_macStr.isNull() ? QStringLiteral("") : u.eth0_macStr;
    if (name == QLatin1String("eth0_ipAddr"))
        return u.eth0_ipAddr.isNull() ? QStringLiteral("") : u.eth0_ipAddr;
    if (name == QLatin1String("eth0_ipAddr_2"))
        return u.eth0_ipAddr_2.isNull() ? QStringLiteral("") : u.eth0_ipAddr_2;
    if (name == QLatin1String("eth1_macStr"))
        return u.eth1_macStr.isNull() ? QStringLiteral("") : u.eth1_macStr;
    if (name == QLatin1String("eth1_ipAddr"))
        return u.eth1_ipAddr.isNull() ? QStringLiteral("") : u.eth1_ipAddr;
    if (name == QLatin1String("eth1_ipAddr_2"))
        return u.eth1_ipAddr_2.isNull() ? QStringLiteral("") : u.eth1_ipAddr_2;
    if (name == QLatin1String("eth0_netMask"))
        return u.eth0_netMask.isNull() ? QStringLiteral("") : u.eth0_netMask;
    if (name == QLatin1String("eth0_netMask_2"))
        return u.eth0_netMask_2.isNull() ? QStringLiteral("") : u.eth0_netMask_2;
    if (name == QLatin1String("eth1_netMask"))
        return u.eth1_netMask.isNull() ? QStringLiteral("") : u.eth1_netMask;
    if (name == QLatin1String("eth1_netMask_2"))
        return u.eth1_netMask_2.isNull() ? QStringLiteral("") : u.eth1_netMask_2;
    if (name == QLatin1String("ndMrrq"))
        return u.ndMrrq.isNull() ? QStringLiteral("") : u.ndMrrq;
    if (name == QLatin1String("ndMrrqChg"))
        return QString::number(u.ndMrrqChg);
    if (name == QLatin1String("ndADrop"))
        return QString::number(u.ndADrop);
    if (name == QLatin1String("ndADrop1s"))
        return QString::number(u.ndADrop1s);
    if (name == QLatin1String("ndVDrop"))
        return QString::number(u.ndVDrop);
    if (name == QLatin1String("ndVDrop1s"))
        return QString::number(u.ndVDrop1s);
    if (name == QLatin1String("ndFDrop"))
        return QString::number(u.ndFDrop);
    if (name == QLatin1String("ndFDrop1s"))
        return QString::number(u.ndFDrop1s);
    if (name == QLatin1String("mac0"))
        return u.mac0.isNull() ? QStringLiteral("") : u.mac0;
    if (name == QLatin1String("ip0"))
        return u.ip0.isNull() ? QStringLiteral("") : u.ip0;
    if (name == QLatin1String("mac1"))
        return u.mac1.isNull() ? QStringLiteral("") : u.mac1;
    if (name == QLatin1String("ip1"))
        return u.ip1.isNull() ? QStringLiteral("") : u.ip1;
    if (name == QLatin1String("mac2"))
        return u.mac2.isNull() ? QStringLiteral("") : u.mac2;
    if (name == QLatin1String("ip2"))
        return u.ip2.isNull() ? QStringLiteral("") : u.ip2;
    if (name == QLatin1String("mac3"))
        return u.mac3.isNull() ? QStringLiteral("") : u.mac3;
    if (name == QLatin1String("ip3"))
        return u.ip3.isNull() ? QStringLiteral("") : u.ip3;
    if (name == QLatin1String("deviceType"))
        return u.deviceType.isNull() ? QStringLiteral("") : u.deviceType;
    if (name == QLatin1String("lastSeen"))
        return u.lastSeen.toString(Qt::ISODateWithMs);
    if (name == QLatin1String("settingsLock"))
        return QString::number(u.settingsLock);
    if (name == QLatin1String("https"))
        return QString::number(u.https);
    if (name == QLatin1String("mac"))
        return u.mac.isNull() ? QStringLiteral("") : u.mac;
    return QString();
}
