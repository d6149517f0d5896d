#pragma once

#include "statusreply.h"

// The fixed-layout status record of older encoders, decoders and recorders; the caller has
// checked its six-byte header. A pure function of the reply bytes.
StatusReply parseFixedLayout(const QByteArray &reply);
