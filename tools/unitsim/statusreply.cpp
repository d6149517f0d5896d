#include "statusreply.h"

#include "fixedrecord.h"
#include "genericreply.h"
#include "textreply.h"

namespace {

const QString kNoAddress = QStringLiteral("0.0.0.0");

// Fields that the audio units, the windowing processor and the panel controller share. "IP:" comes
// before every longer key that ends in "IP:", "DISABLED:" before "RXDISABLED:".
void addCommon(TextReply &r, const UnitConfig &u)
{
    r.field("NAME", u.name)
        .field("OUTSTREAM", u.stream())
        .field("IP", u.ip)
        .field("NM", u.subnet)
        .field("GW", u.gateway)
        .field("MAC", u.mac)
        .field("AUDIOSTATE", 1)
        .field("SWVER", u.swversion)
        .field("WEBVER", u.webversion)
        .field("IPMODE", u.ipMode)
        .flag("IPTRIAL", u.ipTrial)
        .flag("UPDATE", u.updateStatus)
        .flag("ID", u.idButton)
        .field("MEDIAPORT0", QStringLiteral("ON"))
        .field("MEDIAPORT1", QStringLiteral("OFF"));
}

QByteArray audioReply(const UnitConfig &u, const char *header)
{
    TextReply r(header, u.serial);
    addCommon(r, u);
    r.field("DISABLED", 0)
        .field("RXSTREAM", u.stream())
        .field("RXDISABLED", 0)
        .field("MEDIASRC", 1)
        .field("TXUNICAST", 0)
        .field("TXUNICASTIP", kNoAddress)
        .field("TXSAMPLE", 48000)
        .field("TXAUDIODELAY", 0)
        .field("HEADPHONEVOL_L", 60)
        .field("HEADPHONEVOL_R", 60)
        .field("LINEOUTVOL_L", 80)
        .field("LINEOUTVOL_R", 80)
        .field("RXMUTE", 0);
    return r.bytes();
}

QByteArray windowProcessorReply(const UnitConfig &u)
{
    TextReply r("BRYX_JWP4", u.serial);
    addCommon(r, u);
    for (int w = 0; w < 4; ++w)
        r.field(QByteArray("W" + QByteArray::number(w) + "STREAM").constData(), u.stream() + w);
    r.field("VIDEOMODE", QStringLiteral("1920x1080p60.mode")).field("AUDIOSTREAM", u.stream());
    // No windows attached: the attached units' addresses stay empty.
    for (int w = 0; w < 4; ++w)
        r.field(QByteArray("MACUN" + QByteArray::number(w)).constData(), QString());
    for (int w = 0; w < 4; ++w)
        r.field(QByteArray("IPUN" + QByteArray::number(w)).constData(), QString());
    return r.bytes();
}

QByteArray panelReply(const UnitConfig &u)
{
    TextReply r("BRYX_WPCGEN2", u.serial);
    addCommon(r, u);
    return r.bytes();
}

void addInterfaces(TextReply &r, const UnitConfig &u)
{
    r.field("ETH0_MAC", u.eth0Mac)
        .field("ETH0_IP", u.eth0Ip)
        .field("ETH0_NETMASK", u.eth0Netmask)
        .field("ETH1_MAC", u.eth1Mac)
        .field("ETH1_IP", u.eth1Ip)
        .field("ETH1_NETMASK", u.eth1Netmask);
}

QByteArray videoOnDemandReply(const UnitConfig &u)
{
    TextReply r("BRYX_VOD", u.serial);
    addInterfaces(r, u);
    r.field("NAME", u.name)
        .field("SWVER", u.swversion)
        .flag("UPDATE", u.updateStatus)
        .field("WEBVER", u.webversion)
        .field("GW", u.gateway)
        .field("IPMODE", u.ipMode)
        .flag("IPTRIAL", u.ipTrial)
        .flag("ID", u.idButton);
    return r.bytes();
}

QByteArray conductorReply(const UnitConfig &u)
{
    TextReply r("BRYX_CONDUCTOR", u.serial);
    addInterfaces(r, u);
    r.field("ETH0_1_IP", kNoAddress)
        .field("ETH0_NETMASK_2", kNoAddress)
        .field("ETH1_1_IP", kNoAddress)
        .field("ETH1_NETMASK_2", kNoAddress)
        .field("NAME", u.name)
        .field("SWVER", u.swversion)
        .flag("UPDATE", u.updateStatus)
        .field("WEBVER", u.webversion)
        .field("GW", u.gateway);
    return r.bytes();
}

} // namespace

namespace StatusReply {

QByteArray text(const UnitConfig &unit)
{
    switch (Families::traits(unit.family).kind) {
    case ReplyKind::TextEncoder:
    case ReplyKind::TextDecoder:
    case ReplyKind::TextRecorder:
    case ReplyKind::FixedRecorder:
        return genericStatusReply(unit);
    case ReplyKind::Audio:
        return audioReply(unit, "BRYX_ATR9");
    case ReplyKind::K440Audio:
        return audioReply(unit, "BRYX_K440");
    case ReplyKind::WindowProcessor:
        return windowProcessorReply(unit);
    case ReplyKind::PanelController:
        return panelReply(unit);
    case ReplyKind::VideoOnDemand:
        return videoOnDemandReply(unit);
    case ReplyKind::Conductor:
        return conductorReply(unit);
    case ReplyKind::FixedEncoder:
    case ReplyKind::FixedDecoder:
        break;
    }
    return fixedRecord(unit);
}

QByteArray forCode(const UnitConfig &unit, unsigned char code)
{
    if (!Families::answersCode(unit.family, code))
        return {};
    const ReplyKind kind = Families::traits(unit.family).kind;
    if (kind == ReplyKind::FixedRecorder) {
        // The older recorder answers the general query with its record; only current firmware
        // knows the recorder query, which it answers in text.
        if (code == 0xB7)
            return unit.hasOriginalFirmware() ? QByteArray() : text(unit);
        return fixedRecord(unit);
    }
    return text(unit);
}

QByteArray current(const UnitConfig &unit)
{
    return unit.isFixedLayoutOnly() ? fixedRecord(unit) : text(unit);
}

} // namespace StatusReply
