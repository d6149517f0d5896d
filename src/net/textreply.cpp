#include "textreply.h"

#include "statusreply.h"
#include "textfields.h"

#include <QDateTime>

#include <string.h>

namespace {

using namespace TextFields;

using U = MarluneUnit;

// ---- audio units, windowing processors and their controllers ----------------------------------

// clang-format off
const KeyField kAudioOrWindowingHead[] = {
    {"NAME:", &U::name},
    {"OUTSTREAM:", &U::stream},
    {"IP:", &U::ip},
    {"NM:", &U::subnet},
    {"GW:", &U::gateway},
    {"MAC:", &U::mac},
    {"AUDIOSTATE:", &U::audioEnable},
    {"SWVER:", &U::swversion},
    {"WEBVER:", &U::webversion, Read::WebDate},
    {"\rIPMODE:", &U::ipType, Read::IpMode},
    {"\rIPTRIAL:", &U::ipTrial},
    {"\rUPDATE:", &U::updateStatus},
    {"MEDIAPORT0:", &U::p0, Read::MediaPort},
    {"MEDIAPORT1:", &U::p1, Read::MediaPort},
};

const KeyField kWindowing[] = {
    {"BRYX_JWP4:", &U::sn},
    {"W0STREAM:", &U::wstream0},
    {"W1STREAM:", &U::wstream1},
    {"W2STREAM:", &U::wstream2},
    {"W3STREAM:", &U::wstream3},
    {"VIDEOMODE:", &U::resolution, Read::WithoutModeSuffix},
    {"AUDIOSTREAM:", &U::audiostream},
    {"MACUN0:", &U::mac0},
    {"MACUN1:", &U::mac1},
    {"MACUN2:", &U::mac2},
    {"MACUN3:", &U::mac3},
    {"IPUN0:", &U::ip0},
    {"IPUN1:", &U::ip1},
    {"IPUN2:", &U::ip2},
    {"IPUN3:", &U::ip3},
};

const KeyField kAudio[] = {
    {"RXSTREAM:", &U::rxstream},
    {"RXDISABLED:", &U::rxdisabled},
    {"MEDIASRC:", &U::modeByte},
    {"DISABLED:", &U::audioEnable, Read::IsZero},
    {"TXUNICAST:", &U::txunicast},
    {"TXUNICASTIP:", &U::txunicastip},
    {"TXSAMPLE:", &U::txsamplerate},
    {"TXAUDIODELAY:", &U::txaudiodelay},
    {"HEADPHONEVOL_L:", &U::headphonevolLeft},
    {"HEADPHONEVOL_R:", &U::headphonevolRight},
    {"LINEOUTVOL_L:", &U::lineoutvolLeft},
    {"LINEOUTVOL_R:", &U::lineoutvolRight},
    {"RXMUTE:", &U::rxmute},
};

// ---- video servers and controllers -------------------------------------------------------------

const KeyField kEthernet[] = {
    {"\rETH0_MAC:", &U::eth0_macStr},
    {"\rETH0_IP:", &U::eth0_ipAddr},
    {"\rETH0_NETMASK:", &U::eth0_netMask},
    {"\rETH1_MAC:", &U::eth1_macStr},
    {"\rETH1_IP:", &U::eth1_ipAddr},
    {"\rETH1_NETMASK:", &U::eth1_netMask},
};

// A controller is known by its second port.
const KeyField kController[] = {
    {"BRYX_CONDUCTOR:", &U::sn},
    {"\rETH1_MAC:", &U::mac},
    {"\rETH0_1_IP:", &U::eth0_ipAddr_2},
    {"\rETH0_NETMASK_2:", &U::eth0_netMask_2},
    {"\rETH1_1_IP:", &U::eth1_ipAddr_2},
    {"\rETH1_NETMASK_2:", &U::eth1_netMask_2},
    {"\rETH1_IP:", &U::ip},
    {"\rETH1_NETMASK:", &U::subnet},
};

// A video server is known by its first port.
const KeyField kServer[] = {
    {"BRYX_VOD:", &U::sn},
    {"\rNAME:", &U::name},
    {"\rETH0_MAC:", &U::mac},
    {"\rETH0_IP:", &U::ip},
    {"\rETH0_NETMASK:", &U::subnet},
    {"SWVER:", &U::swversion},
    {"\rUPDATE:", &U::updateStatus},
    {"WEBVER:", &U::webversion, Read::WebDate},
};

// ---- encoders, decoders and recorders, in the order they are read ------------------------------

const KeyField kGenericHead[] = {
    {"\rNAME:", &U::name},
    {"\rIP:", &U::ip},
    {"\rNM:", &U::subnet},
    {"\rSWVER:", &U::swversion},
};

// Channel 0's "A" streams are also the recorder's first play and record streams.
const KeyField kRecorder[] = {
    {"BRYX_DVRGEN2:", &U::sn},
    {"\rDVRMODE:", &U::kSeriesMode},
    {"\rS_PLAY0A:", &U::playstream0},
    {"\rS_PLAY0B:", &U::playstream1},
    {"\rS_RECV0A:", &U::recordstream0},
    {"\rS_RECV0B:", &U::recordstream1},
    {"\rS_RECA0A:", &U::recordAudioStream0},
    {"\rS_RECA0B:", &U::recordAudioStream1},
    {"\rISREC:", &U::isRec},
    {"\rISPLAY:", &U::isPlay},
    {"\rAUDIOON:", &U::audioon},
    {"\rFREE:", &U::diskFree},
    {"\rMPEGDATE:", &U::mpegdate},
    {"\rINDEXDATE:", &U::indexdate},
    {"\rMPEGFILE:", &U::mpegFile},
    {"\rMPEGMODE:", &U::mpegMode},
    {"\rCPMODE:", &U::allowCopyProtect},
};

const KeyField kGenericCommon[] = {
    {"\rGW:", &U::gateway},
    {"\rMAC:", &U::mac},
    {"\rAUDIOSTATE:", &U::audioEnable},
    {"\rWEBVER:", &U::webversion, Read::WebDate},
    {"\rBAUD:", &U::rs232baud},
    {"\rSPAR:", &U::parity},
    {"\rSP2S:", &U::stopbits},
    {"\rSNUMB:", &U::databits},
    {"\rSCALERBYPASS:", &U::scalerBypass, Read::Flag},
    {"\rSTREAM:", &U::stream},
};

const KeyField kKSeries[] = {
    {"\rMASSEREN:", &U::masseren},
    {"\rMASSERIP:", &U::masserip},
    {"\rSERSRCIP:", &U::sersrcip},
    {"\rSEROPEN:", &U::seropen},
    {"\rSLCK:", &U::settingsLock},
};

const KeyField kDecoder[] = {
    {"\rSTREAMAUDIO:", &U::audiostream},
    {"BRYX_RXGEN2:", &U::sn},
    {"\rDVISTATUS:", &U::hasInputOrDVI, Read::Flag},
    {"\rLINEOUTVOL_L:", &U::lineoutvolLeft},
    {"\rLINEOUTVOL_R:", &U::lineoutvolRight},
    {"\rYUVOUT:", &U::YCbCrEnable},
    {"\rNEGSYNC:", &U::invertDVISync, Read::Flag},
    {"\rSIMDVIDET:", &U::simplifiedDVIEnable, Read::Flag},
    {"\rFCPC:", &U::fcpc},
};

// An encoder sends its audio on its video stream.
const KeyField kEncoder[] = {
    {"BRYX_TXGEN2:", &U::sn},
    {"\rSTREAM:", &U::audiostream},
    {"\rDVIINPUT:", &U::hasInputOrDVI, Read::Flag},
    {"\rQUALITY:", &U::imageQuality},
    {"\rMOTQUAL:", &U::motionQuality},
    {"\rEXTREMEQUAL:", &U::extremeImageEnable, Read::Flag},
    {"\rAGAINL:", &U::audioGain},
    {"\rAGAINR:", &U::audioGainRight},
    {"\rSAMPLE:", &U::txsamplerate},
    {"\rOUTBWMBS:", &U::txBandwidth},
    {"\rCLRSPCCOR:", &U::disableColorSpace},
    {"\rPTHDMIAUDIO:", &U::hdmiAudioPassthru},
    {"\rDVIPASSTHR:", &U::dviEnablePT, Read::Flag},
    {"\rPTYUVOUT:", &U::YCbCrEnablePT},
    {"\rPTNEGSYNC:", &U::invertDVISync, Read::Flag},
    {"\rPTSIMDVIDET:", &U::simplifiedDVIEnable, Read::Flag},
};

const KeyField kGen3Encoder[] = {
    {"\rSTREAMURL:", &U::streamURL},
    {"\rXPORTSTREAM:", &U::transportenable, Read::Flag},
};

// Encoders and decoders play live or from a playlist.
const KeyField kPlayer[] = {
    {"\rRXSTREAM:", &U::rxstream},
    {"\rRXDISABLED:", &U::rxdisabled},
    {"\rPLAYLIST:", &U::localPlayNum},
    {"\rMEDIASRC:", &U::modeByte},
    {"\rMUTE:", &U::audioEnable, Read::NotFlag},
    {"\rTXUNICAST:", &U::txunicast},
    {"\rTXUNICASTIP:", &U::txunicastip},
    {"\rTXAUDIODELAY:", &U::txaudiodelay},
    {"\rMUTE:", &U::rxmute},
    {"\rCPC:", &U::allowCopyProtect, Read::Flag},
};

const KeyField kGenericTail[] = {
    {"ND_MRRQ:", &U::ndMrrq},
    {"ND_MRRQ_CHG:", &U::ndMrrqChg},
    {"ND_A_DROP:", &U::ndADrop},
    {"ND_A_DROP1S:", &U::ndADrop1s},
    {"ND_V_DROP:", &U::ndVDrop},
    {"ND_V_DROP1S:", &U::ndVDrop1s},
    {"ND_F_DROP:", &U::ndFDrop},
    {"ND_F_DROP1S:", &U::ndFDrop1s},
    {"\rIPMODE:", &U::ipType, Read::IpMode},
    {"\rIPTRIAL:", &U::ipTrial},
    {"\rUPDATE:", &U::updateStatus},
    {"\rMEDIAPORT0:", &U::p0, Read::MediaPort},
    {"\rMEDIAPORT1:", &U::p1, Read::MediaPort},
    {"\rHDMIAUDIO:", &U::hdmiAudio},
    {"\rLIVEAUDIOLP:", &U::inputAudioForHostPlayEnable, Read::Flag},
    {"\rFRAMEHOLD:", &U::lastFrameHoldEnable, Read::Flag},
    {"\rVIDOFFNOSTRM:", &U::dviOffStreamLossEnable, Read::Flag},
    {"\rGEN1COMP:", &U::onePixShiftEnable},
    {"\rMODE:", &U::resolution, Read::WithoutModeSuffix},
    {"\rDVIOFF:", &U::dviEnable, Read::NotFlag},
    {"\rHTTPS:", &U::https},
    {"\rID:", &U::idButton, Read::Flag},
};
// clang-format on

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

void readField(const QByteArray &d, const KeyField &f, MarluneUnit &u)
{
    const QByteArray key = QByteArray::fromRawData(f.key, qsizetype(strlen(f.key)));
    switch (f.read) {
    case Read::Plain:
        if (f.target.isText())
            f.target.set(u, getValue(d, key));
        else
            f.target.set(u, qint64(getNumber(d, key)));
        return;
    case Read::Flag:
        f.target.set(u, qint64(getFlag(d, key)));
        return;
    case Read::NotFlag:
        f.target.set(u, qint64(getFlag(d, key) == 0 ? 1 : 0));
        return;
    case Read::IsZero:
        f.target.set(u, qint64(getNumber(d, key) == 0 ? 1 : 0));
        return;
    case Read::WebDate:
        f.target.set(u, webVersionDate(d, key));
        return;
    case Read::MediaPort:
        f.target.set(u, qint64(mediaPort(d, key)));
        return;
    case Read::IpMode:
        f.target.set(u, ipModeFromText(getValue(d, key)));
        return;
    case Read::WithoutModeSuffix:
        f.target.set(u, withoutModeSuffix(getValue(d, key)));
        return;
    }
}

template <size_t N> void readFields(const QByteArray &d, const KeyField (&fields)[N], MarluneUnit &u)
{
    for (const KeyField &f : fields)
        readField(d, f, u);
}

QByteArray indexedKey(const char *pattern, int index)
{
    return QByteArray(pattern).replace('#', QByteArray::number(index));
}

void readRecorder(const QByteArray &d, MarluneUnit &u)
{
    u.KSeries = 0;
    u.fwversion = QStringLiteral("1/29/2014");
    readFields(d, kRecorder, u);
    for (int i = 0; i < 10; ++i) {
        u.playChannel[size_t(i)] = getNumber(d, indexedKey("\rS_PLAY#A:", i));
        u.recordChannelVid[size_t(i)] = getNumber(d, indexedKey("\rS_RECV#A:", i));
        u.recordChannelAud[size_t(i)] = getNumber(d, indexedKey("\rS_RECA#A:", i));
    }
    const quint32 percent = getNumber(d, "\rMPEGPCNT:");
    u.mpegstatus = percent < 1 ? QString() : QStringLiteral("%1%%").arg(percent);
}

// K-Series encoders and decoders announce themselves only through their serial number.
bool hasKSeriesPrefix(const QString &serial, bool encoder)
{
    const QString prefix = serial.left(3);
    if (encoder)
        return prefix == QLatin1String("K11") || prefix == QLatin1String("K21") || prefix == QLatin1String("K31");
    return prefix == QLatin1String("K12") || prefix == QLatin1String("K22") || prefix == QLatin1String("K32");
}

QString playModeText(const QString &playMode, quint32 playlist)
{
    if (playMode.contains(QLatin1String("live")))
        return QStringLiteral("Live Play");
    if (playMode.contains(QLatin1String("off")))
        return QStringLiteral("Off");
    return QString::asprintf("Playlist %u", playlist);
}

} // namespace

void parseGeneric(const QByteArray &d, char kind, MarluneUnit &u)
{
    const bool encoder = kind == 'T';
    const bool decoder = kind == 'R';
    const bool recorder = kind == 'D';

    u.deviceType = encoder ? QStringLiteral("ENC") : decoder ? QStringLiteral("DEC") : QStringLiteral("DVR");
    readFields(d, kGenericHead, u);
    if (recorder)
        readRecorder(d, u);
    else if (hasKSeriesPrefix(getValue(d, encoder ? "BRYX_TXGEN2:" : "BRYX_RXGEN2:"), encoder))
        u.KSeries = 1;
    readFields(d, kGenericCommon, u);
    if (u.KSeries == 1)
        readFields(d, kKSeries, u);
    if (decoder) {
        readFields(d, kDecoder, u);
    } else if (encoder) {
        readFields(d, kEncoder, u);
        if (u.isGen3())
            readFields(d, kGen3Encoder, u);
    }
    if (!recorder) {
        readFields(d, kPlayer, u);
        u.mode = playModeText(getValue(d, "\rPLAYMODE:"), u.localPlayNum);
    }
    readFields(d, kGenericTail, u);
    if (u.KSeries == 1 && u.scalerBypass != 0)
        u.resolution = getValue(d, "\rINPUTRES:");
}

void parseAudioOrWindowing(const QByteArray &d, char kind, MarluneUnit &u)
{
    readFields(d, kAudioOrWindowingHead, u);
    if (kind == 'W') {
        u.deviceType = QStringLiteral("WPC");
        u.sn = getValue(d, "BRYX_WPCGEN2:");
        return;
    }
    if (kind == 'J') {
        u.deviceType = QStringLiteral("WP");
        readFields(d, kWindowing, u);
        return;
    }
    u.deviceType = QStringLiteral("ATR");
    u.sn = getValue(d, kind == 'K' ? "BRYX_K440:" : "BRYX_ATR9:");
    readFields(d, kAudio, u);
    const bool enabled = (u.modeByte & 0x0F) != 0 && u.audioEnable == 1;
    u.mode = enabled ? QStringLiteral("Enabled") : QStringLiteral("Disabled");
    if (u.rxdisabled == 1)
        u.rxmode = QStringLiteral("Disabled");
    else if (u.rxmute != 0)
        u.rxmode = QStringLiteral("Muted");
    else
        u.rxmode = QStringLiteral("Enabled");
}

void parseServerOrController(const QByteArray &d, bool controller, MarluneUnit &u)
{
    readFields(d, kEthernet, u);
    if (controller) {
        u.isConductor = 1;
        u.deviceType = QStringLiteral("Conductor");
        u.name = QStringLiteral("K-Director");
        readFields(d, kController, u);
    } else {
        u.deviceType = QStringLiteral("VOD");
        readFields(d, kServer, u);
    }
}
