// The input's first byte says whether more bytes may follow (odd: no, the read is final); the
// rest is what the file server received so far.

#include "harness.h"

#include "update/fetchrequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool final = data[0] & 1;
    const QByteArray received = fuzz::bytes(data + 1, size - 1);
    const FetchVerdict request = parseFetchRequest(received, final);
    if (final && request == FetchVerdict::Incomplete)
        __builtin_trap(); // a final read always has an answer
    return 0;
}
