#pragma once

#include "replytarget.h"

// A row of the fixed-layout records' tables (fixedlayoutreply.cpp): the member of the record a
// field goes in, how it is laid out and at which offset.

namespace FixedFields {

// How a field is read at its offset.
// clang-format off
enum class Layout {
    Byte,
    Word,           // offset holds the high byte, `extra` the low byte
    SignedWord,     // a Word above 32768 counts down from 65536
    BigEndian32,
    LittleEndian32,
    Bit,            // bit number `extra` of the byte
    Masked,         // the byte and `extra`
    Address,
    MacAddress,
    Date,
    Text,           // up to (not including) offset `extra`, stopping at a NUL
    TrimmedText,
    Decimals,       // every byte from the offset to the end
    IpMode,
    RecorderMode,
    Level,
};
// clang-format on

struct OffsetField
{
    ReplyTarget target;
    Layout layout;
    int offset;
    int extra = 0;
};

} // namespace FixedFields
