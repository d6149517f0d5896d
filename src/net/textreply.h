#pragma once

#include "units/marluneunit.h"

#include <QByteArray>

// The text replies ("BRYX_" and a kind letter, then key:value fields separated by carriage
// returns), read into a fresh record. `data` starts at "BRYX_". Pure functions of the bytes.

// Encoders ('T'), decoders ('R') and recorders ('D').
void parseGeneric(const QByteArray &data, char kind, MarluneUnit &unit);
// Audio units ('A', 'K'), windowing processors ('J') and their controllers ('W').
void parseAudioOrWindowing(const QByteArray &data, char kind, MarluneUnit &unit);
// Video servers, and the controller when `controller`.
void parseServerOrController(const QByteArray &data, bool controller, MarluneUnit &unit);
