#pragma once

#include "unitconfig.h"

#include <QByteArray>

// The text status reply of encoders, decoders and recorders: "BRYX_TXGEN2:", "BRYX_RXGEN2:" or
// "BRYX_DVRGEN2:" with the serial number, then every field the updater reads from that kind.
QByteArray genericStatusReply(const UnitConfig &unit);
