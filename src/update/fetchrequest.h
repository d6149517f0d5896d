#pragma once

#include <QByteArray>

// What a unit asked the file server for, judged from the bytes received so far.
enum class FetchVerdict {
    // Not a single line yet: wait for more (or for the end of the wait).
    Incomplete,
    // No line asks for an image: the connection gets no answer.
    NotAFetch,
    // A line holds both "GET" and "bin": the unit is sent its image, whatever path it names.
    Fetch,
};

// A request is a few short lines; the server reads no more than this.
inline constexpr qint64 kMaxFetchRequestSize = 64 * 1024;

// received: the bytes of the request so far; final: nothing more will be read (the wait ended,
// the peer went away or the size limit was reached). Never Incomplete when final.
FetchVerdict parseFetchRequest(const QByteArray &received, bool final);
