#include "addressrange.h"

#include <QHostAddress>
#include <QStringList>

bool parseDottedQuad(const QString &text, quint32 *address)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 value = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        quint32 number = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
            number = number * 10 + quint32(c.unicode() - '0');
        }
        if (number > 255)
            return false;
        value = (value << 8) | number;
    }
    *address = value;
    return true;
}

AddressRange parseAddressRange(const QString &startText, const QString &endText)
{
    AddressRange range;
    if (!parseDottedQuad(startText, &range.start)) {
        range.problem = AddressRange::BadStart;
        return range;
    }
    if (!parseDottedQuad(endText.isEmpty() ? startText : endText, &range.end)) {
        range.problem = AddressRange::BadEnd;
        return range;
    }
    if (range.end < range.start)
        range.problem = AddressRange::Reversed;
    return range;
}

QString addressRangeText(quint32 start, quint32 end)
{
    const QString first = QHostAddress(start).toString();
    return start == end ? first : first + QLatin1Char('-') + QHostAddress(end).toString();
}
