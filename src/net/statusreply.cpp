#include "statusreply.h"

#include <QDateTime>

#include <string.h>

namespace {

// Offsets are read through this: a byte past the end of the reply reads as 0.
class Bytes
{
public:
    explicit Bytes(const QByteArray &data) : data(data) {}

    quint32 at(qsizetype offset) const
    {
        return offset >= 0 && offset < data.size() ? quint8(data.at(offset)) : 0u;
    }
    quint32 word(qsizetype high, qsizetype low) const { return at(high) * 256 + at(low); }
    quint32 bigEndian32(qsizetype offset) const
    {
        return (at(offset) << 24) | (at(offset + 1) << 16) | (at(offset + 2) << 8) | at(offset + 3);
    }
    quint32 littleEndian32(qsizetype offset) const
    {
        return (at(offset + 3) << 24) | (at(offset + 2) << 16) | (at(offset + 1) << 8) | at(offset);
    }
    QString address(qsizetype offset) const
    {
        return QString::asprintf("%u.%u.%u.%u", at(offset), at(offset + 1), at(offset + 2), at(offset + 3));
    }
    QString macAddress(qsizetype offset) const
    {
        return QString::asprintf("%02X:%02X:%02X:%02X:%02X:%02X", at(offset), at(offset + 1), at(offset + 2),
                                 at(offset + 3), at(offset + 4), at(offset + 5));
    }
    // Month in the high nibble, day in the next byte, one-digit year in the low nibble.
    QString date(qsizetype offset) const
    {
        return QString::asprintf("%u/%u/%u", (at(offset) >> 4) & 0x0F, at(offset + 1), at(offset) & 0x0F);
    }
    // From `from` up to (not including) `to`, stopping early at a NUL byte.
    QString text(qsizetype from, qsizetype to) const
    {
        QString result;
        for (qsizetype i = from; i < to; ++i) {
            const quint32 c = at(i);
            if (c == 0)
                break;
            result.append(QChar(char16_t(c)));
        }
        return result;
    }
    // Every byte from `from` to the end in decimal, separated by single blanks. Written digit by
    // digit into one buffer: a datagram may hold tens of thousands of them.
    QString decimals(qsizetype from) const
    {
        if (from >= data.size())
            return QString();
        QString text(4 * (data.size() - from), Qt::Uninitialized);
        QChar *out = text.data();
        for (qsizetype i = from; i < data.size(); ++i) {
            const quint32 c = at(i);
            if (i > from)
                *out++ = QLatin1Char(' ');
            if (c >= 100)
                *out++ = QLatin1Char(char('0' + c / 100));
            if (c >= 10)
                *out++ = QLatin1Char(char('0' + c / 10 % 10));
            *out++ = QLatin1Char(char('0' + c % 10));
        }
        text.truncate(out - text.constData());
        return text;
    }

private:
    const QByteArray &data;
};

quint32 bit(quint32 value, int bitNumber)
{
    return (value >> bitNumber) & 1u;
}

QString webVersionDate(const QByteArray &data, const QByteArray &key)
{
    const quint32 seconds = getNumber(data, key);
    if (seconds == 0)
        return QStringLiteral("Unknown");
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("MM/dd/yyyy"));
}

quint32 mediaPort(const QByteArray &data, const QByteArray &key)
{
    const QString value = getValue(data, key).trimmed().toUpper();
    return (value.contains(QLatin1String("ON")) || value.contains(QLatin1Char('1'))) ? 1 : 0;
}

QString withoutModeSuffix(QString text)
{
    return text.remove(QStringLiteral(".mode"), Qt::CaseSensitive);
}

QByteArray indexedKey(const char *pattern, int index)
{
    return QByteArray(pattern).replace('#', QByteArray::number(index));
}

// ---- fixed layout -------------------------------------------------------------------------

StatusReply parseFixedLayout(const QByteArray &reply)
{
    StatusReply result;
    MarluneUnit &u = result.unit;
    const Bytes b(reply);
    const bool decoder = b.at(1) == 0x99;

    u.ip = b.address(15);
    u.mac = b.macAddress(19);
    u.stream = b.at(30) * 256 + b.at(25);
    u.ipType = ipModeText(b.at(29));
    u.audiostream = b.word(51, 50);
    u.name = b.text(52, 131);
    u.sn = b.text(132, 163);
    u.swversion = b.date(164);
    u.fwversion = b.date(166);

    if (decoder) {
        u.deviceType = QStringLiteral("DEC");
        u.rs232baud = b.bigEndian32(265);
        applySerialFormat(quint8(b.at(269)), u);
        const quint32 flags = b.at(49);
        if (flags & 0x08)
            u.hdmiAudio = QStringLiteral("1");
        if (flags & 0x20)
            u.useStreamAudioInLocal = 1;
        if (flags & 0x01)
            u.YCbCrEnable = QStringLiteral("1");
        if (flags & 0x04)
            u.simplifiedDVIEnable = 1;
        if (flags & 0x10)
            u.lastFrameHoldEnable = 1;
        if (flags & 0x02)
            u.onePixShiftEnable = QStringLiteral("1");
        if (flags & 0x40)
            u.dviOffStreamLossEnable = 1;
        if (b.at(31) & 0x01)
            u.saveStreamOnSwitch = 1;
        u.customSettings = flags;
        u.customSettings2 = b.at(31);
        u.gratuitousArp = bit(b.at(31), 3);
        if (b.at(262) & 0x01)
            u.remoteEnable = 1;
        u.remoteCommandstart = b.at(263);
        u.remotesynch = b.at(264);
        u.remotestart = b.at(270);
        u.remotestop = b.at(271);
    } else if (u.sn.size() > 1 && u.sn.at(1) == QLatin1Char('D')) {
        u.deviceType = QStringLiteral("DVR");
        u.subnet = b.address(236);
        u.gateway = b.address(240);
        u.mode = recorderModeText(b.at(26));
        u.modeByte = b.at(173);
        u.mpegstatus = levelText(quint8(b.at(223)));
        u.audioEnable = b.at(27);
        u.playstream0 = b.word(451, 25);
        u.playstream1 = b.word(452, 49);
        u.recordstream0 = b.word(453, 28);
        u.recordstream1 = b.word(454, 405);
        u.recordAudioStream0 = b.word(51, 50);
        u.recordAudioStream1 = b.word(227, 226);
        u.playFile = b.text(417, 449).trimmed();
        u.customSettings = b.at(263);
        u.dvrbusy = b.at(220) & 0x80;
        if (b.at(263) & 3)
            u.mode += QStringLiteral(" Hold");
        if (u.fwversion != QLatin1String("0/0/0")) {
            // This layout does not carry a recorder's full status: ask for it with the
            // recorder query and drop this reply.
            result.needsRecorderStatus = true;
            result.requestFor = u;
            result.unit = MarluneUnit();
        }
        return result;
    } else {
        u.deviceType = QStringLiteral("ENC");
        u.isMaster = b.at(28);
        u.audioGain = b.at(51);
        u.imageQuality = b.word(250, 251);
        u.compressionSize = b.bigEndian32(168);
        u.motionQuality = b.at(50);
        u.allowCopyProtect = bit(b.at(31), 0);
        u.ttl = b.at(43);
        u.dscp = b.at(47);
        u.vlanNum = b.at(44) + b.at(45) * 256;
        u.vlanTagEnable = (b.at(46) & 0x08) ? 1 : 0;
        u.txBandwidth = b.littleEndian32(224);
        const quint32 flags = b.at(49);
        if (flags & 0x80)
            u.extremeImageEnable = 1;
        if (flags & 0x08)
            u.uncompressedImageEnable = 1;
        if (flags & 0x10)
            u.inputAudioForHostPlayEnable = 1;
        if (flags & 0x02)
            u.useHostPlayforUnsupportedModeEnable = 1;
        if (flags & 0x01)
            u.disableColorSpace = QStringLiteral("1");
        if (flags & 0x04)
            u.hdmiAudio = QStringLiteral("1");
        u.customSettings = flags;
        u.customSettings2 = b.at(31);
        u.txCustom = b.at(269);
        u.gratuitousArp = bit(b.at(262), 3);
        const auto signedOffset = [](quint32 value) {
            return value > 32768 ? qint32(value) - 65536 : qint32(value);
        };
        u.hzOffset = signedOffset(b.word(176, 177));
        u.vtOffset = signedOffset(b.word(178, 179));
    }

    // Common to fixed-layout encoders and decoders.
    u.subnet = b.address(236);
    u.gateway = b.address(240);
    u.audioEnable = b.at(27);
    u.hasInputOrDVI = decoder ? bit(b.at(435), 1) : b.at(223);
    const quint32 ports = b.at(172);
    u.p0 = bit(ports, 0);
    u.p1 = decoder ? bit(ports, 1) : bit(ports, 2);
    u.p2 = decoder ? bit(ports, 2) : bit(ports, 1);
    // A decoder reports the EDID bytes of its display only with its EDID flag set.
    if (!decoder || (b.at(435) & 0x01))
        u.edid = b.decimals(436);
    if (u.hasInputOrDVI != 0) {
        const int width = int(((b.at(186) << 8) & 0x1FFF) | b.at(185));
        const int height = int(((b.at(190) << 8) & 0x7FF) | b.at(189));
        u.resolution = resolutionText(width, height);
    } else {
        u.resolution = QStringLiteral("No Source");
    }
    if (b.at(26) & 0x0F) {
        u.localPlayNum = 0;
        u.mode = QStringLiteral("Live Play");
    } else {
        u.localPlayNum = ((b.at(26) >> 4) & 0x0F) + 1;
        u.mode = QString::asprintf("Playlist %u", u.localPlayNum);
    }
    u.modeByte = b.at(26);
    return result;
}

// ---- text replies -------------------------------------------------------------------------

void parseAudioOrWindowing(const QByteArray &d, char kind, MarluneUnit &u)
{
    u.name = getValue(d, "NAME:");
    u.stream = getNumber(d, "OUTSTREAM:");
    u.ip = getValue(d, "IP:");
    u.subnet = getValue(d, "NM:");
    u.gateway = getValue(d, "GW:");
    u.mac = getValue(d, "MAC:");
    u.audioEnable = getNumber(d, "AUDIOSTATE:");
    u.swversion = getValue(d, "SWVER:");
    u.webversion = webVersionDate(d, "WEBVER:");
    u.ipType = ipModeFromText(getValue(d, "\rIPMODE:"));
    u.ipTrial = getNumber(d, "\rIPTRIAL:");
    u.updateStatus = getNumber(d, "\rUPDATE:");
    u.p0 = mediaPort(d, "MEDIAPORT0:");
    u.p1 = mediaPort(d, "MEDIAPORT1:");

    if (kind == 'W') {
        u.deviceType = QStringLiteral("WPC");
        u.sn = getValue(d, "BRYX_WPCGEN2:");
        return;
    }
    if (kind == 'J') {
        u.deviceType = QStringLiteral("WP");
        u.sn = getValue(d, "BRYX_JWP4:");
        u.wstream0 = getNumber(d, "W0STREAM:");
        u.wstream1 = getNumber(d, "W1STREAM:");
        u.wstream2 = getNumber(d, "W2STREAM:");
        u.wstream3 = getNumber(d, "W3STREAM:");
        u.resolution = withoutModeSuffix(getValue(d, "VIDEOMODE:"));
        u.audiostream = getNumber(d, "AUDIOSTREAM:");
        u.mac0 = getValue(d, "MACUN0:");
        u.mac1 = getValue(d, "MACUN1:");
        u.mac2 = getValue(d, "MACUN2:");
        u.mac3 = getValue(d, "MACUN3:");
        u.ip0 = getValue(d, "IPUN0:");
        u.ip1 = getValue(d, "IPUN1:");
        u.ip2 = getValue(d, "IPUN2:");
        u.ip3 = getValue(d, "IPUN3:");
        return;
    }

    u.deviceType = QStringLiteral("ATR");
    u.sn = kind == 'K' ? getValue(d, "BRYX_K440:") : getValue(d, "BRYX_ATR9:");
    u.rxstream = getNumber(d, "RXSTREAM:");
    u.rxdisabled = getNumber(d, "RXDISABLED:");
    u.modeByte = getNumber(d, "MEDIASRC:");
    const quint32 disabled = getNumber(d, "DISABLED:");
    u.audioEnable = disabled == 0 ? 1 : 0;
    u.txunicast = getNumber(d, "TXUNICAST:");
    u.txunicastip = getValue(d, "TXUNICASTIP:");
    u.txsamplerate = getNumber(d, "TXSAMPLE:");
    u.txaudiodelay = getNumber(d, "TXAUDIODELAY:");
    u.headphonevolLeft = getNumber(d, "HEADPHONEVOL_L:");
    u.headphonevolRight = getNumber(d, "HEADPHONEVOL_R:");
    u.lineoutvolLeft = getNumber(d, "LINEOUTVOL_L:");
    u.lineoutvolRight = getNumber(d, "LINEOUTVOL_R:");
    u.rxmute = getNumber(d, "RXMUTE:");
    u.mode = ((u.modeByte & 0x0F) != 0 && disabled == 0) ? QStringLiteral("Enabled") : QStringLiteral("Disabled");
    if (u.rxdisabled == 1)
        u.rxmode = QStringLiteral("Disabled");
    else if (u.rxmute != 0)
        u.rxmode = QStringLiteral("Muted");
    else
        u.rxmode = QStringLiteral("Enabled");
}

void parseServerOrController(const QByteArray &d, bool controller, MarluneUnit &u)
{
    u.eth0_macStr = getValue(d, "\rETH0_MAC:");
    u.eth0_ipAddr = getValue(d, "\rETH0_IP:");
    u.eth0_netMask = getValue(d, "\rETH0_NETMASK:");
    u.eth1_macStr = getValue(d, "\rETH1_MAC:");
    u.eth1_ipAddr = getValue(d, "\rETH1_IP:");
    u.eth1_netMask = getValue(d, "\rETH1_NETMASK:");

    if (controller) {
        u.isConductor = 1;
        u.sn = getValue(d, "BRYX_CONDUCTOR:");
        u.deviceType = QStringLiteral("Conductor");
        u.name = QStringLiteral("K-Director");
        u.mac = u.eth1_macStr;
        u.eth0_ipAddr_2 = getValue(d, "\rETH0_1_IP:");
        u.eth0_netMask_2 = getValue(d, "\rETH0_NETMASK_2:");
        u.eth1_ipAddr_2 = getValue(d, "\rETH1_1_IP:");
        u.eth1_netMask_2 = getValue(d, "\rETH1_NETMASK_2:");
        u.ip = u.eth1_ipAddr;
        u.subnet = u.eth1_netMask;
        return;
    }

    u.sn = getValue(d, "BRYX_VOD:");
    u.deviceType = QStringLiteral("VOD");
    u.name = getValue(d, "\rNAME:");
    u.mac = u.eth0_macStr;
    u.ip = u.eth0_ipAddr;
    u.subnet = u.eth0_netMask;
    u.swversion = getValue(d, "SWVER:");
    u.updateStatus = getNumber(d, "\rUPDATE:");
    u.webversion = webVersionDate(d, "WEBVER:");
}

// K-Series encoders and decoders announce themselves only through their serial number.
bool hasKSeriesPrefix(const QString &serial, bool encoder)
{
    const QString prefix = serial.left(3);
    if (encoder)
        return prefix == QLatin1String("K11") || prefix == QLatin1String("K21") || prefix == QLatin1String("K31");
    return prefix == QLatin1String("K12") || prefix == QLatin1String("K22") || prefix == QLatin1String("K32");
}

void parseGeneric(const QByteArray &d, char kind, MarluneUnit &u)
{
    const bool encoder = kind == 'T';
    const bool decoder = kind == 'R';
    const bool recorder = kind == 'D';

    u.deviceType = encoder ? QStringLiteral("ENC") : decoder ? QStringLiteral("DEC") : QStringLiteral("DVR");
    u.name = getValue(d, "\rNAME:");
    u.ip = getValue(d, "\rIP:");
    u.subnet = getValue(d, "\rNM:");
    u.swversion = getValue(d, "\rSWVER:");

    if (recorder) {
        u.sn = getValue(d, "BRYX_DVRGEN2:");
        u.KSeries = 0;
        u.fwversion = QStringLiteral("1/29/2014");
        u.kSeriesMode = getNumber(d, "\rDVRMODE:");
        for (int i = 0; i < 10; ++i) {
            u.playChannel[size_t(i)] = getNumber(d, indexedKey("\rS_PLAY#A:", i));
            u.recordChannelVid[size_t(i)] = getNumber(d, indexedKey("\rS_RECV#A:", i));
            u.recordChannelAud[size_t(i)] = getNumber(d, indexedKey("\rS_RECA#A:", i));
        }
        u.playstream0 = u.playChannel[0];
        u.playstream1 = getNumber(d, "\rS_PLAY0B:");
        u.recordstream0 = u.recordChannelVid[0];
        u.recordstream1 = getNumber(d, "\rS_RECV0B:");
        u.recordAudioStream0 = u.recordChannelAud[0];
        u.recordAudioStream1 = getNumber(d, "\rS_RECA0B:");
        u.isRec = getValue(d, "\rISREC:");
        u.isPlay = getValue(d, "\rISPLAY:");
        u.audioon = getValue(d, "\rAUDIOON:");
        u.diskFree = getValue(d, "\rFREE:");
        u.mpegdate = getValue(d, "\rMPEGDATE:");
        u.indexdate = getValue(d, "\rINDEXDATE:");
        u.mpegFile = getValue(d, "\rMPEGFILE:");
        u.mpegMode = getValue(d, "\rMPEGMODE:");
        const quint32 percent = getNumber(d, "\rMPEGPCNT:");
        u.mpegstatus = percent < 1 ? QString() : QStringLiteral("%1%%").arg(percent);
        u.allowCopyProtect = getNumber(d, "\rCPMODE:");
    } else {
        const QString serial = getValue(d, encoder ? "BRYX_TXGEN2:" : "BRYX_RXGEN2:");
        if (hasKSeriesPrefix(serial, encoder))
            u.KSeries = 1;
    }

    u.gateway = getValue(d, "\rGW:");
    u.mac = getValue(d, "\rMAC:");
    u.audioEnable = getNumber(d, "\rAUDIOSTATE:");
    u.webversion = webVersionDate(d, "\rWEBVER:");
    u.rs232baud = getNumber(d, "\rBAUD:");
    u.parity = getValue(d, "\rSPAR:");
    u.stopbits = getNumber(d, "\rSP2S:");
    u.databits = getNumber(d, "\rSNUMB:");
    u.scalerBypass = getFlag(d, "\rSCALERBYPASS:");
    u.stream = getNumber(d, "\rSTREAM:");

    if (u.KSeries == 1) {
        u.masseren = getNumber(d, "\rMASSEREN:");
        u.masserip = getValue(d, "\rMASSERIP:");
        u.sersrcip = getValue(d, "\rSERSRCIP:");
        u.seropen = getNumber(d, "\rSEROPEN:");
        u.settingsLock = qint32(getNumber(d, "\rSLCK:"));
    }

    if (decoder) {
        u.audiostream = getNumber(d, "\rSTREAMAUDIO:");
        u.sn = getValue(d, "BRYX_RXGEN2:");
        u.hasInputOrDVI = getFlag(d, "\rDVISTATUS:");
        u.lineoutvolLeft = getNumber(d, "\rLINEOUTVOL_L:");
        u.lineoutvolRight = getNumber(d, "\rLINEOUTVOL_R:");
        u.YCbCrEnable = getValue(d, "\rYUVOUT:");
        u.invertDVISync = getFlag(d, "\rNEGSYNC:");
        u.simplifiedDVIEnable = getFlag(d, "\rSIMDVIDET:");
        u.fcpc = getValue(d, "\rFCPC:");
    } else if (encoder) {
        u.sn = getValue(d, "BRYX_TXGEN2:");
        u.audiostream = u.stream;
        u.hasInputOrDVI = getFlag(d, "\rDVIINPUT:");
        u.imageQuality = getNumber(d, "\rQUALITY:");
        u.motionQuality = getNumber(d, "\rMOTQUAL:");
        u.extremeImageEnable = getFlag(d, "\rEXTREMEQUAL:");
        u.audioGain = getNumber(d, "\rAGAINL:");
        u.audioGainRight = getNumber(d, "\rAGAINR:");
        u.txsamplerate = getNumber(d, "\rSAMPLE:");
        u.txBandwidth = getNumber(d, "\rOUTBWMBS:");
        u.disableColorSpace = getValue(d, "\rCLRSPCCOR:");
        u.hdmiAudioPassthru = getValue(d, "\rPTHDMIAUDIO:");
        u.dviEnablePT = getFlag(d, "\rDVIPASSTHR:");
        u.YCbCrEnablePT = getValue(d, "\rPTYUVOUT:");
        u.invertDVISync = getFlag(d, "\rPTNEGSYNC:");
        u.simplifiedDVIEnable = getFlag(d, "\rPTSIMDVIDET:");
        if (u.isGen3()) {
            u.streamURL = getValue(d, "\rSTREAMURL:");
            u.transportenable = getFlag(d, "\rXPORTSTREAM:");
        }
    }

    u.ndMrrq = getValue(d, "ND_MRRQ:");
    u.ndMrrqChg = getNumber(d, "ND_MRRQ_CHG:");
    u.ndADrop = getNumber(d, "ND_A_DROP:");
    u.ndADrop1s = getNumber(d, "ND_A_DROP1S:");
    u.ndVDrop = getNumber(d, "ND_V_DROP:");
    u.ndVDrop1s = getNumber(d, "ND_V_DROP1S:");
    u.ndFDrop = getNumber(d, "ND_F_DROP:");
    u.ndFDrop1s = getNumber(d, "ND_F_DROP1S:");
    u.ipType = ipModeFromText(getValue(d, "\rIPMODE:"));
    u.ipTrial = getNumber(d, "\rIPTRIAL:");
    u.updateStatus = getNumber(d, "\rUPDATE:");
    u.p0 = mediaPort(d, "\rMEDIAPORT0:");
    u.p1 = mediaPort(d, "\rMEDIAPORT1:");

    if (!recorder) {
        u.rxstream = getNumber(d, "\rRXSTREAM:");
        u.rxdisabled = getNumber(d, "\rRXDISABLED:");
        u.localPlayNum = getNumber(d, "\rPLAYLIST:");
        const QString playMode = getValue(d, "\rPLAYMODE:");
        if (playMode.contains(QLatin1String("live")))
            u.mode = QStringLiteral("Live Play");
        else if (playMode.contains(QLatin1String("off")))
            u.mode = QStringLiteral("Off");
        else
            u.mode = QString::asprintf("Playlist %u", u.localPlayNum);
        u.modeByte = getNumber(d, "\rMEDIASRC:");
        u.audioEnable = getFlag(d, "\rMUTE:") == 0 ? 1 : 0;
        u.txunicast = getNumber(d, "\rTXUNICAST:");
        u.txunicastip = getValue(d, "\rTXUNICASTIP:");
        u.txaudiodelay = getNumber(d, "\rTXAUDIODELAY:");
        u.rxmute = getNumber(d, "\rMUTE:");
    }
    u.hdmiAudio = getValue(d, "\rHDMIAUDIO:");
    u.inputAudioForHostPlayEnable = getFlag(d, "\rLIVEAUDIOLP:");
    u.lastFrameHoldEnable = getFlag(d, "\rFRAMEHOLD:");
    u.dviOffStreamLossEnable = getFlag(d, "\rVIDOFFNOSTRM:");
    u.onePixShiftEnable = getValue(d, "\rGEN1COMP:");

    if (!recorder)
        u.allowCopyProtect = getFlag(d, "\rCPC:");
    u.rs232baud = getNumber(d, "\rBAUD:");
    u.databits = getNumber(d, "\rSNUMB:");
    u.parity = getValue(d, "\rSPAR:");
    u.stopbits = getNumber(d, "\rSP2S:");
    u.resolution = withoutModeSuffix(getValue(d, "\rMODE:"));
    u.dviEnable = getFlag(d, "\rDVIOFF:") == 0 ? 1 : 0;
    if (u.KSeries == 1 && u.scalerBypass != 0)
        u.resolution = getValue(d, "\rINPUTRES:");
    u.https = qint32(getNumber(d, "\rHTTPS:"));

    u.idButton = getFlag(d, "\rID:");
}

} // namespace

QString getValue(const QByteArray &data, const QByteArray &key)
{
    // A reply is searched once for each of well over a hundred keys, so each search must stay
    // fast whatever the bytes. memmem skips ahead by pairs of bytes; QByteArray::indexOf skips by
    // the last byte only and, on repetitive text, slows to one byte per step (9 ms for a 64 KB
    // datagram against 0.4 ms).
    const void *found = memmem(data.constData(), size_t(data.size()), key.constData(), size_t(key.size()));
    if (!found)
        return QString();
    const qsizetype start = static_cast<const char *>(found) - data.constData() + key.size();
    qsizetype end = start;
    while (end < data.size()) {
        const char c = data.at(end);
        if (c == '\r' || c == '\n' || c == '\0')
            break;
        ++end;
    }
    return QString::fromLatin1(data.constData() + start, end - start);
}

quint32 getNumber(const QByteArray &data, const QByteArray &key)
{
    return getValue(data, key).toUInt();
}

quint32 getFlag(const QByteArray &data, const QByteArray &key)
{
    const QString value = getValue(data, key).toLower().trimmed();
    bool ok = false;
    if (value.toUInt(&ok) == 1 && ok)
        return 1;
    static const char *const words[] = {"on", "yes", "enabled", "true", "connect", "allow"};
    for (const char *word : words)
        if (value.contains(QLatin1String(word)))
            return 1;
    return 0;
}

StatusReply parseStatusReply(const QByteArray &reply)
{
    const Bytes head(reply);
    if (head.at(0) == 0x01 && (head.at(1) == 0x97 || head.at(1) == 0x99) && head.at(2) == 0xCA
        && head.at(3) == 0xFE && head.at(4) == 0x12 && head.at(5) == 0x34)
        return parseFixedLayout(reply);

    // Text replies may arrive behind a few stray bytes.
    QByteArray data = reply;
    const qsizetype headerAt = data.indexOf("BRYX_");
    if (headerAt > 0)
        data.remove(0, headerAt);

    StatusReply result;
    if (!data.startsWith("BRYX_"))
        return result;
    const char b5 = data.size() > 5 ? data.at(5) : '\0';
    const char b6 = data.size() > 6 ? data.at(6) : '\0';
    MarluneUnit &u = result.unit;
    switch (b5) {
    case 'T':
    case 'R':
    case 'D':
        parseGeneric(data, b5, u);
        result.idButtonPressed = u.idButton == 1;
        break;
    case 'A':
    case 'J':
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'K':
        if (b6 != '4')
            return result;
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'W':
        if (b6 != 'P')
            return result;
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'V':
        if (b6 != 'O')
            return result;
        parseServerOrController(data, false, u);
        break;
    case 'C':
        parseServerOrController(data, true, u);
        break;
    default:
        break;
    }
    return result;
}
