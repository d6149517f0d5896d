#include "fixedlayoutreply.h"

#include "fixedfields.h"
#include "replybytes.h"

namespace {

using namespace FixedFields;

// clang-format off
// Fields at the same place in every fixed-layout record.
const OffsetField kHead[] = {
    {&MarluneUnit::ip, Layout::Address, 15},
    {&MarluneUnit::mac, Layout::MacAddress, 19},
    {&MarluneUnit::stream, Layout::Word, 30, 25},
    {&MarluneUnit::ipType, Layout::IpMode, 29},
    {&MarluneUnit::audiostream, Layout::Word, 51, 50},
    {&MarluneUnit::name, Layout::Text, 52, 131},
    {&MarluneUnit::sn, Layout::Text, 132, 163},
    {&MarluneUnit::swversion, Layout::Date, 164},
    {&MarluneUnit::fwversion, Layout::Date, 166},
};

// Byte 49 holds a decoder's option flags, byte 31 its second set of options.
const OffsetField kDecoder[] = {
    {&MarluneUnit::rs232baud, Layout::BigEndian32, 265},
    {&MarluneUnit::YCbCrEnable, Layout::Bit, 49, 0},
    {&MarluneUnit::onePixShiftEnable, Layout::Bit, 49, 1},
    {&MarluneUnit::simplifiedDVIEnable, Layout::Bit, 49, 2},
    {&MarluneUnit::hdmiAudio, Layout::Bit, 49, 3},
    {&MarluneUnit::lastFrameHoldEnable, Layout::Bit, 49, 4},
    {&MarluneUnit::useStreamAudioInLocal, Layout::Bit, 49, 5},
    {&MarluneUnit::dviOffStreamLossEnable, Layout::Bit, 49, 6},
    {&MarluneUnit::saveStreamOnSwitch, Layout::Bit, 31, 0},
    {&MarluneUnit::customSettings, Layout::Byte, 49},
    {&MarluneUnit::customSettings2, Layout::Byte, 31},
    {&MarluneUnit::gratuitousArp, Layout::Bit, 31, 3},
    {&MarluneUnit::remoteEnable, Layout::Bit, 262, 0},
    {&MarluneUnit::remoteCommandstart, Layout::Byte, 263},
    {&MarluneUnit::remotesynch, Layout::Byte, 264},
    {&MarluneUnit::remotestart, Layout::Byte, 270},
    {&MarluneUnit::remotestop, Layout::Byte, 271},
    {&MarluneUnit::hasInputOrDVI, Layout::Bit, 435, 1},
    {&MarluneUnit::p1, Layout::Bit, 172, 1},
    {&MarluneUnit::p2, Layout::Bit, 172, 2},
};

const OffsetField kRecorder[] = {
    {&MarluneUnit::subnet, Layout::Address, 236},
    {&MarluneUnit::gateway, Layout::Address, 240},
    {&MarluneUnit::mode, Layout::RecorderMode, 26},
    {&MarluneUnit::modeByte, Layout::Byte, 173},
    {&MarluneUnit::mpegstatus, Layout::Level, 223},
    {&MarluneUnit::audioEnable, Layout::Byte, 27},
    {&MarluneUnit::playstream0, Layout::Word, 451, 25},
    {&MarluneUnit::playstream1, Layout::Word, 452, 49},
    {&MarluneUnit::recordstream0, Layout::Word, 453, 28},
    {&MarluneUnit::recordstream1, Layout::Word, 454, 405},
    {&MarluneUnit::recordAudioStream0, Layout::Word, 51, 50},
    {&MarluneUnit::recordAudioStream1, Layout::Word, 227, 226},
    {&MarluneUnit::playFile, Layout::TrimmedText, 417, 449},
    {&MarluneUnit::customSettings, Layout::Byte, 263},
    {&MarluneUnit::dvrbusy, Layout::Masked, 220, 0x80},
};

// Byte 49 holds an encoder's option flags; 176..179 its picture offsets.
const OffsetField kEncoder[] = {
    {&MarluneUnit::isMaster, Layout::Byte, 28},
    {&MarluneUnit::audioGain, Layout::Byte, 51},
    {&MarluneUnit::imageQuality, Layout::Word, 250, 251},
    {&MarluneUnit::compressionSize, Layout::BigEndian32, 168},
    {&MarluneUnit::motionQuality, Layout::Byte, 50},
    {&MarluneUnit::allowCopyProtect, Layout::Bit, 31, 0},
    {&MarluneUnit::ttl, Layout::Byte, 43},
    {&MarluneUnit::dscp, Layout::Byte, 47},
    {&MarluneUnit::vlanNum, Layout::Word, 45, 44},
    {&MarluneUnit::vlanTagEnable, Layout::Bit, 46, 3},
    {&MarluneUnit::txBandwidth, Layout::LittleEndian32, 224},
    {&MarluneUnit::disableColorSpace, Layout::Bit, 49, 0},
    {&MarluneUnit::useHostPlayforUnsupportedModeEnable, Layout::Bit, 49, 1},
    {&MarluneUnit::hdmiAudio, Layout::Bit, 49, 2},
    {&MarluneUnit::uncompressedImageEnable, Layout::Bit, 49, 3},
    {&MarluneUnit::inputAudioForHostPlayEnable, Layout::Bit, 49, 4},
    {&MarluneUnit::extremeImageEnable, Layout::Bit, 49, 7},
    {&MarluneUnit::customSettings, Layout::Byte, 49},
    {&MarluneUnit::customSettings2, Layout::Byte, 31},
    {&MarluneUnit::txCustom, Layout::Byte, 269},
    {&MarluneUnit::gratuitousArp, Layout::Bit, 262, 3},
    {&MarluneUnit::hzOffset, Layout::SignedWord, 176, 177},
    {&MarluneUnit::vtOffset, Layout::SignedWord, 178, 179},
    {&MarluneUnit::hasInputOrDVI, Layout::Byte, 223},
    {&MarluneUnit::p1, Layout::Bit, 172, 2},
    {&MarluneUnit::p2, Layout::Bit, 172, 1},
    {&MarluneUnit::edid, Layout::Decimals, 436},
};

// Common to encoders and decoders.
const OffsetField kEncoderOrDecoder[] = {
    {&MarluneUnit::subnet, Layout::Address, 236},
    {&MarluneUnit::gateway, Layout::Address, 240},
    {&MarluneUnit::audioEnable, Layout::Byte, 27},
    {&MarluneUnit::p0, Layout::Bit, 172, 0},
    {&MarluneUnit::modeByte, Layout::Byte, 26},
};
// clang-format on

QString readText(const ReplyBytes &b, const OffsetField &f)
{
    switch (f.layout) {
    case Layout::Address:
        return b.address(f.offset);
    case Layout::MacAddress:
        return b.macAddress(f.offset);
    case Layout::Date:
        return b.date(f.offset);
    case Layout::Text:
        return b.text(f.offset, f.extra);
    case Layout::TrimmedText:
        return b.text(f.offset, f.extra).trimmed();
    case Layout::Decimals:
        return b.decimals(f.offset);
    case Layout::IpMode:
        return ipModeText(b.at(f.offset));
    case Layout::RecorderMode:
        return recorderModeText(b.at(f.offset));
    case Layout::Level:
    default:
        return levelText(quint8(b.at(f.offset)));
    }
}

qint64 readNumber(const ReplyBytes &b, const OffsetField &f)
{
    switch (f.layout) {
    case Layout::Word:
        return b.word(f.offset, f.extra);
    case Layout::SignedWord: {
        const quint32 value = b.word(f.offset, f.extra);
        return value > 32768 ? qint64(value) - 65536 : qint64(value);
    }
    case Layout::BigEndian32:
        return b.bigEndian32(f.offset);
    case Layout::LittleEndian32:
        return b.littleEndian32(f.offset);
    case Layout::Bit:
        return (b.at(f.offset) >> f.extra) & 1u;
    case Layout::Masked:
        return b.at(f.offset) & quint32(f.extra);
    case Layout::Byte:
    default:
        return b.at(f.offset);
    }
}

// The layouts up to Masked read a number; the rest read a text.
bool readsNumber(Layout layout)
{
    return layout <= Layout::Masked;
}

template <size_t N> void readFields(const ReplyBytes &b, const OffsetField (&fields)[N], MarluneUnit &u)
{
    for (const OffsetField &f : fields) {
        if (readsNumber(f.layout))
            f.target.set(u, readNumber(b, f));
        else
            f.target.set(u, readText(b, f));
    }
}

// What an encoder or decoder shows: its input's resolution, and live play or a playlist.
void readPicture(const ReplyBytes &b, MarluneUnit &u)
{
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
}

} // namespace

StatusReply parseFixedLayout(const QByteArray &reply)
{
    StatusReply result;
    MarluneUnit &u = result.unit;
    const ReplyBytes b(reply);
    readFields(b, kHead, u);

    if (b.at(1) == 0x99) {
        u.deviceType = QStringLiteral("DEC");
        readFields(b, kDecoder, u);
        applySerialFormat(quint8(b.at(269)), u);
        // A decoder reports the EDID bytes of its display only with its EDID flag set.
        if (b.at(435) & 0x01)
            u.edid = b.decimals(436);
    } else if (u.sn.size() > 1 && u.sn.at(1) == QLatin1Char('D')) {
        u.deviceType = QStringLiteral("DVR");
        readFields(b, kRecorder, u);
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
        readFields(b, kEncoder, u);
    }
    readFields(b, kEncoderOrDecoder, u);
    readPicture(b, u);
    return result;
}
