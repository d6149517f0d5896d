#pragma once

#include "units/marluneunit.h"

#include <QByteArray>
#include <QString>

// Status replies of the units, in their two formats: the fixed-layout record of older encoders,
// decoders and recorders, and the text reply ("BRYX_TXGEN2:..." followed by key:value fields
// separated by carriage returns). Everything here is a pure function of the reply bytes.

// The text after the first occurrence of key, up to CR, LF, NUL or the end; "" when absent.
// Each byte becomes one character (Latin-1). Also reads the package description files.
QString getValue(const QByteArray &data, const QByteArray &key);
// getValue read as an unsigned decimal number; anything else reads 0.
quint32 getNumber(const QByteArray &data, const QByteArray &key);
// 1 for "1" or a text holding on/yes/enabled/true/connect/allow (lower-cased), else 0.
quint32 getFlag(const QByteArray &data, const QByteArray &key);

struct StatusReply
{
    // The record; its mac is empty when the reply was not recognised.
    MarluneUnit unit;
    // The reply reported a pressed identify button.
    bool idButtonPressed = false;
    // A fixed-layout recorder reply with recorder firmware: the record is not usable; its
    // real status must be asked for with the recorder query. requestFor holds what the request
    // needs (type, serial, address, firmware date).
    bool needsRecorderStatus = false;
    MarluneUnit requestFor;
};

// Turns one reply (a datagram, or the bytes of one TCP read) into a fresh unit record.
StatusReply parseStatusReply(const QByteArray &reply);
