#pragma once

#include <QByteArray>
#include <QString>

// Reads a reply's bytes by offset: a byte past the end of the reply reads as 0, so a short reply
// never reads outside its buffer.
class ReplyBytes
{
public:
    explicit ReplyBytes(const QByteArray &data) : data(data) {}

    quint32 at(qsizetype offset) const { return offset >= 0 && offset < data.size() ? quint8(data.at(offset)) : 0u; }
    quint32 word(qsizetype high, qsizetype low) const { return at(high) * 256 + at(low); }
    quint32 bigEndian32(qsizetype offset) const
    {
        return (at(offset) << 24) | (at(offset + 1) << 16) | (at(offset + 2) << 8) | at(offset + 3);
    }
    quint32 littleEndian32(qsizetype offset) const
    {
        return (at(offset + 3) << 24) | (at(offset + 2) << 16) | (at(offset + 1) << 8) | at(offset);
    }
    QString address(qsizetype offset) const
    {
        return QString::asprintf("%u.%u.%u.%u", at(offset), at(offset + 1), at(offset + 2), at(offset + 3));
    }
    QString macAddress(qsizetype offset) const
    {
        return QString::asprintf("%02X:%02X:%02X:%02X:%02X:%02X", at(offset), at(offset + 1), at(offset + 2),
                                 at(offset + 3), at(offset + 4), at(offset + 5));
    }
    // Month in the high nibble, day in the next byte, one-digit year in the low nibble.
    QString date(qsizetype offset) const
    {
        return QString::asprintf("%u/%u/%u", (at(offset) >> 4) & 0x0F, at(offset + 1), at(offset) & 0x0F);
    }
    // From `from` up to (not including) `to`, stopping early at a NUL byte.
    QString text(qsizetype from, qsizetype to) const
    {
        QString result;
        for (qsizetype i = from; i < to; ++i) {
            const quint32 c = at(i);
            if (c == 0)
                break;
            result.append(QChar(char16_t(c)));
        }
        return result;
    }
    // Every byte from `from` to the end in decimal, separated by single blanks. Written digit by
    // digit into one buffer: a datagram may hold tens of thousands of them.
    QString decimals(qsizetype from) const
    {
        if (from >= data.size())
            return QString();
        QString text(4 * (data.size() - from), Qt::Uninitialized);
        QChar *out = text.data();
        for (qsizetype i = from; i < data.size(); ++i) {
            const quint32 c = at(i);
            if (i > from)
                *out++ = QLatin1Char(' ');
            if (c >= 100)
                *out++ = QLatin1Char(char('0' + c / 100));
            if (c >= 10)
                *out++ = QLatin1Char(char('0' + c / 10 % 10));
            *out++ = QLatin1Char(char('0' + c % 10));
        }
        text.truncate(out - text.constData());
        return text;
    }

private:
    const QByteArray &data;
};
