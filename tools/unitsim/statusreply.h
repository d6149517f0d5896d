#pragma once

#include "unitconfig.h"

#include <QByteArray>

// The status replies a unit sends, as pure functions of its current state.
namespace StatusReply {

// The most a reply may hold: the updater reads at most this many bytes from a TCP exchange.
constexpr int kMaxReplySize = 1034;

// The reply to a query datagram with the given code, or empty when the unit does not answer that
// code (behaviour and reboots aside; the unit decides those).
QByteArray forCode(const UnitConfig &unit, unsigned char code);

// The reply to a status request or a command over TCP.
QByteArray current(const UnitConfig &unit);

// The text reply of the unit's kind; the fixed-layout encoders and decoders, which have none,
// give their record.
QByteArray text(const UnitConfig &unit);

} // namespace StatusReply
