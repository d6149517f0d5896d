#include "textreply.h"

namespace {

// Values travel as Latin-1; a carriage return, line feed or NUL inside one would end it early and
// let the rest read as another field, so those become blanks.
QByteArray cleanValue(const QString &value)
{
    QByteArray bytes = value.toLatin1();
    for (char &c : bytes) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return bytes;
}

} // namespace

TextReply::TextReply(const char *header, const QString &serial)
{
    reply.reserve(1024);
    reply.append(header);
    reply.append(':');
    reply.append(cleanValue(serial));
}

TextReply &TextReply::field(const char *key, const QString &value)
{
    reply.append('\r');
    reply.append(key);
    reply.append(':');
    reply.append(cleanValue(value));
    return *this;
}
