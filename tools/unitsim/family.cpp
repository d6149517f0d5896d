#include "family.h"

#include <QStringList>

#include <array>

namespace {

// Serial prefixes make the updater classify the unit as intended: the second character gives the
// generation, a fourth character '5' the 4K sub-model, a fifth character 'B' the KVM sub-model.
// Besides its own query, every K-Series encoder answers the general encoder query 0x96 and every
// K-Series decoder the general decoder query 0x98, as the older units do.
constexpr std::array<FamilyTraits, 20> kTraits = {{
    {Family::K110Encoder, "k110-encoder", ReplyKind::TextEncoder, {0x14, 0x96}, "K1100A", false},
    {Family::K110Decoder, "k110-decoder", ReplyKind::TextDecoder, {0x19, 0x98}, "K1200A", false},
    {Family::K220Encoder, "k220-encoder", ReplyKind::TextEncoder, {0x14, 0x96}, "K2100A", false},
    {Family::K220Decoder, "k220-decoder", ReplyKind::TextDecoder, {0x19, 0x98}, "K2200A", false},
    {Family::K225Encoder, "k225-encoder", ReplyKind::TextEncoder, {0xCA, 0x96}, "K2150A", false},
    {Family::K225Decoder, "k225-decoder", ReplyKind::TextDecoder, {0xCB, 0x98}, "K2250A", false},
    {Family::KvmEncoder, "kvm-encoder", ReplyKind::TextEncoder, {0x14, 0x96}, "K210B", false},
    {Family::KvmDecoder, "kvm-decoder", ReplyKind::TextDecoder, {0x19, 0x98}, "K220B", false},
    {Family::K330Encoder, "k330-encoder", ReplyKind::TextEncoder, {0xB5, 0x96}, "K3100A", true},
    {Family::K330Decoder, "k330-decoder", ReplyKind::TextDecoder, {0xB6, 0x98}, "K3200A", true},
    {Family::LegacyEncoder, "legacy-encoder", ReplyKind::FixedEncoder, {0x96, 0}, "JT", false},
    {Family::LegacyDecoder, "legacy-decoder", ReplyKind::FixedDecoder, {0x98, 0}, "JR", false},
    {Family::Recorder, "recorder", ReplyKind::TextRecorder, {0xB7, 0x96}, "JD", false},
    {Family::LegacyRecorder, "legacy-recorder", ReplyKind::FixedRecorder, {0x96, 0xB7}, "JD", false},
    {Family::Atr, "atr", ReplyKind::Audio, {0xB4, 0}, "ATA", false},
    {Family::K440, "k440", ReplyKind::K440Audio, {0xB8, 0}, "K4300A", false},
    {Family::Wp, "wp", ReplyKind::WindowProcessor, {0x96, 0}, "JW", false},
    {Family::KPanel, "kpanel", ReplyKind::PanelController, {0xB9, 0}, "K8300A", false},
    {Family::Vod, "vod", ReplyKind::VideoOnDemand, {0xBA, 0}, "K7200A", false},
    {Family::Conductor, "conductor", ReplyKind::Conductor, {0xBA, 0}, "KD", false},
}};

constexpr bool tableFollowsEnum()
{
    for (std::size_t i = 0; i < kTraits.size(); ++i) {
        if (kTraits[i].family != static_cast<Family>(i))
            return false;
    }
    return true;
}
static_assert(tableFollowsEnum(), "family table must list the families in declaration order");

} // namespace

namespace Families {

const FamilyTraits &traits(Family family)
{
    return kTraits[static_cast<std::size_t>(family)];
}

bool fromName(const QString &name, Family *family)
{
    for (const FamilyTraits &t : kTraits) {
        if (name.compare(QLatin1String(t.name), Qt::CaseInsensitive) == 0) {
            *family = t.family;
            return true;
        }
    }
    return false;
}

QString allNames()
{
    QStringList names;
    for (const FamilyTraits &t : kTraits)
        names << QLatin1String(t.name);
    return names.join(QLatin1String(", "));
}

bool answersCode(Family family, unsigned char code)
{
    const FamilyTraits &t = traits(family);
    return code != 0 && (t.codes[0] == code || t.codes[1] == code);
}

} // namespace Families
