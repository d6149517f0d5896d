// Status replies as a unit's datagram or TCP read brings them: the whole input is the reply.
// The key readers also get a key of their own: the input's first line, read against the rest.

#include "harness.h"

#include "net/statusreply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = fuzz::bytes(data, size);
    const StatusReply parsed = parseStatusReply(reply);
    if (parsed.needsRecorderStatus && !parsed.unit.mac.isEmpty())
        __builtin_trap(); // a reply that asks for the recorder query yields no record

    const qsizetype newline = reply.indexOf('\n');
    if (newline >= 0) {
        const QByteArray key = reply.left(newline);
        const QByteArray rest = reply.mid(newline + 1);
        getValue(rest, key);
        getNumber(rest, key);
        getFlag(rest, key);
    }
    return 0;
}
