#pragma once

#include <QString>

// The product families a simulated unit can belong to. The family fixes the header or record a
// unit answers with, the query codes it reacts to, its default serial number and the image it asks
// the updater for.
enum class Family {
    K110Encoder,
    K110Decoder,
    K220Encoder,
    K220Decoder,
    K225Encoder,
    K225Decoder,
    KvmEncoder,
    KvmDecoder,
    K330Encoder,
    K330Decoder,
    LegacyEncoder,
    LegacyDecoder,
    Recorder,
    LegacyRecorder,
    Atr,
    K440,
    Wp,
    KPanel,
    Vod,
    Conductor,
};

// How a family words its status reply.
enum class ReplyKind {
    TextEncoder,     // "BRYX_TXGEN2:" header, generic keys
    TextDecoder,     // "BRYX_RXGEN2:"
    TextRecorder,    // "BRYX_DVRGEN2:"
    FixedEncoder,    // 512-byte record, code 0x97
    FixedDecoder,    // 512-byte record, code 0x99
    FixedRecorder,   // 512-byte record, code 0x97, text reply to 0xB7 with current firmware
    Audio,           // "BRYX_ATR9:"
    K440Audio,       // "BRYX_K440:"
    WindowProcessor, // "BRYX_JWP4:"
    PanelController, // "BRYX_WPCGEN2:"
    VideoOnDemand,   // "BRYX_VOD:"
    Conductor,       // "BRYX_CONDUCTOR:"
};

struct FamilyTraits
{
    Family family;
    const char *name; // fleet-file spelling; the image is requested as "/<name>.bin"
    ReplyKind kind;
    unsigned char codes[2]; // query codes answered; 0 marks an unused slot
    const char *serialPrefix;
    bool thirdGeneration;
};

namespace Families {
// Traits of a family; every enumerator has an entry.
const FamilyTraits &traits(Family family);
// Parses a fleet-file family name; false when the name is unknown.
bool fromName(const QString &name, Family *family);
// All names, in declaration order, for error messages and documentation.
QString allNames();
// Whether a family answers a query code (its record kind aside, see StatusReply).
bool answersCode(Family family, unsigned char code);
} // namespace Families
