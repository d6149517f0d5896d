#include "fetchrequest.h"

#include <QList>

FetchVerdict parseFetchRequest(const QByteArray &received, bool final)
{
    // Lines end at LF; the CR of a CRLF stays on its line and does not matter here.
    for (const QByteArray &line : received.split('\n')) {
        if (line.contains("GET") && line.contains("bin"))
            return FetchVerdict::Fetch;
    }
    if (final || received.contains('\n') || received.size() >= kMaxFetchRequestSize)
        return FetchVerdict::NotAFetch;
    return FetchVerdict::Incomplete;
}
