#pragma once

#include "replytarget.h"

// A row of the text replies' tables (textreply.cpp): a field's key, the member of the record it
// goes in, and how its value is read.

namespace TextFields {

// How a field's value is read after its key.
// clang-format off
enum class Read {
    Plain,             // the text, or its decimal number for a number member
    Flag,              // getFlag
    NotFlag,           // 1 when the flag is not set
    IsZero,            // 1 when the number is 0
    WebDate,           // seconds since 1970 as "MM/dd/yyyy", "Unknown" for none
    MediaPort,         // 1 when the text holds "ON" or a '1'
    IpMode,            // the address mode's name
    WithoutModeSuffix, // the text without ".mode"
};
// clang-format on

struct KeyField
{
    const char *key;
    ReplyTarget target;
    Read read = Read::Plain;
};

} // namespace TextFields
