#pragma once

#include <QByteArray>
#include <QString>

// Builds a text status reply: a header such as "BRYX_TXGEN2:" with the serial number, then one
// "\r"-separated key:value field after another, in the order they are added.
//
// The updater takes the first occurrence of a key anywhere in the reply, so callers add a key
// before any longer key that ends in the same letters (for example "IP:" before "TXUNICASTIP:").
class TextReply
{
public:
    TextReply(const char *header, const QString &serial);

    TextReply &field(const char *key, const QString &value);
    TextReply &field(const char *key, int value) { return field(key, QString::number(value)); }
    TextReply &flag(const char *key, bool on) { return field(key, on ? 1 : 0); }

    QByteArray bytes() const { return reply; }

private:
    QByteArray reply;
};
