#pragma once

#include "unitconfig.h"

#include <QByteArray>
#include <QString>

// The 512-byte fixed-layout status record of older encoders (code 0x97), decoders (0x99) and
// recorders (0x97 with a serial number whose second character is 'D').
QByteArray fixedRecord(const UnitConfig &unit);

// A date "M/d/yyyy" packed into two bytes: (month << 4) | (year % 10), then the day. "0/0/0" and
// text that is no date give two zero bytes.
QByteArray byteDate(const QString &date);
