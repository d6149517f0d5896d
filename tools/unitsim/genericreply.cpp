#include "genericreply.h"

#include "textreply.h"

namespace {

const QString kNoAddress = QStringLiteral("0.0.0.0");
const QString kVideoMode = QStringLiteral("1920x1080p60");

void addIdentity(TextReply &r, const UnitConfig &u)
{
    r.field("NAME", u.name)
        .field("IP", u.ip)
        .field("NM", u.subnet)
        .field("GW", u.gateway)
        .field("MAC", u.mac)
        .field("SWVER", u.swversion)
        .field("WEBVER", u.webversion)
        .field("IPMODE", u.ipMode)
        .flag("IPTRIAL", u.ipTrial)
        .flag("UPDATE", u.updateStatus)
        .flag("ID", u.idButton)
        .field("MEDIAPORT0", QStringLiteral("ON"))
        .field("MEDIAPORT1", QStringLiteral("OFF"))
        .field("STREAM", u.stream())
        .field("AUDIOSTATE", 1)
        .field("BAUD", 9600)
        .field("SPAR", QStringLiteral("none"))
        .field("SP2S", 1)
        .field("SNUMB", 8)
        .flag("SCALERBYPASS", false);
}

void addSerialBridge(TextReply &r)
{
    r.field("MASSEREN", 0)
        .field("MASSERIP", kNoAddress)
        .field("SERSRCIP", kNoAddress)
        .field("SEROPEN", 0)
        .field("SLCK", 0);
}

void addEncoder(TextReply &r, const UnitConfig &u, bool thirdGeneration)
{
    r.flag("DVIINPUT", true)
        .field("QUALITY", 8)
        .field("MOTQUAL", 4)
        .flag("EXTREMEQUAL", false)
        .field("AGAINL", 0)
        .field("AGAINR", 0)
        .field("SAMPLE", 48000)
        .field("OUTBWMBS", 100)
        .field("CLRSPCCOR", 0)
        .field("PTHDMIAUDIO", 0)
        .flag("DVIPASSTHR", false)
        .field("PTYUVOUT", 0)
        .flag("PTNEGSYNC", false)
        .flag("PTSIMDVIDET", false);
    if (thirdGeneration)
        r.field("STREAMURL", QStringLiteral("rtsp://%1/stream").arg(u.ip)).flag("XPORTSTREAM", false);
}

void addDecoder(TextReply &r, const UnitConfig &u)
{
    r.field("STREAMAUDIO", u.stream())
        .flag("DVISTATUS", true)
        .field("LINEOUTVOL_L", 80)
        .field("LINEOUTVOL_R", 80)
        .field("YUVOUT", 0)
        .flag("NEGSYNC", false)
        .flag("SIMDVIDET", false)
        .field("FCPC", QStringLiteral("auto"));
}

// Only the first channel of each kind is sent: the updater reads an absent channel as 0, and all
// ten of each would push the reply past the 1034 bytes the updater reads.
void addRecorder(TextReply &r, const UnitConfig &u)
{
    r.field("DVRMODE", 2)
        .field("S_PLAY0A", u.stream())
        .field("S_PLAY0B", 0)
        .field("S_RECV0A", 0)
        .field("S_RECV0B", 0)
        .field("S_RECA0A", 0)
        .field("S_RECA0B", 0)
        .field("ISREC", 0)
        .field("ISPLAY", 1)
        .field("AUDIOON", 1)
        .field("FREE", QStringLiteral("81%"))
        .field("MPEGDATE", u.swversion)
        .field("INDEXDATE", u.swversion)
        .field("MPEGFILE", QStringLiteral("lobby.mpg"))
        .field("MPEGMODE", QStringLiteral("play"))
        .field("MPEGPCNT", 0)
        .field("CPMODE", 0);
}

void addNetworkCounters(TextReply &r)
{
    r.field("ND_MRRQ", 0)
        .field("ND_MRRQ_CHG", 0)
        .field("ND_A_DROP", 0)
        .field("ND_A_DROP1S", 0)
        .field("ND_V_DROP", 0)
        .field("ND_V_DROP1S", 0)
        .field("ND_F_DROP", 0)
        .field("ND_F_DROP1S", 0);
}

void addPlayback(TextReply &r, bool encoder)
{
    r.field("RXSTREAM", 0)
        .flag("RXDISABLED", encoder)
        .field("PLAYLIST", 0)
        .field("PLAYMODE", QStringLiteral("live"))
        .field("MEDIASRC", 1)
        .flag("MUTE", false)
        .field("TXUNICAST", 0)
        .field("TXUNICASTIP", kNoAddress)
        .field("TXAUDIODELAY", 0);
}

void addVideo(TextReply &r, bool recorder)
{
    r.field("HDMIAUDIO", 1)
        .flag("LIVEAUDIOLP", false)
        .flag("FRAMEHOLD", false)
        .flag("VIDOFFNOSTRM", false)
        .field("GEN1COMP", 0);
    if (!recorder)
        r.flag("CPC", false);
    r.field("MODE", kVideoMode).flag("DVIOFF", false).field("HTTPS", 0);
}

} // namespace

QByteArray genericStatusReply(const UnitConfig &unit)
{
    const FamilyTraits &traits = Families::traits(unit.family);
    const bool recorder = traits.kind == ReplyKind::TextRecorder || traits.kind == ReplyKind::FixedRecorder;
    const bool encoder = traits.kind == ReplyKind::TextEncoder;
    const char *header = recorder ? "BRYX_DVRGEN2" : encoder ? "BRYX_TXGEN2" : "BRYX_RXGEN2";

    TextReply r(header, unit.serial);
    addIdentity(r, unit);
    if (recorder) {
        addRecorder(r, unit);
    } else {
        addSerialBridge(r);
        if (encoder)
            addEncoder(r, unit, traits.thirdGeneration);
        else
            addDecoder(r, unit);
    }
    addNetworkCounters(r);
    if (!recorder)
        addPlayback(r, encoder);
    addVideo(r, recorder);
    return r.bytes();
}
