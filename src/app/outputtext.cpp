#include "outputtext.h"

#include <algorithm>

namespace {

bool isControl(char16_t c, LineFeeds lineFeeds)
{
    if (c == u'\n')
        return lineFeeds == LineFeeds::Escaped;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

const char kHexDigits[] = "0123456789abcdef";

} // namespace

QString escapedControls(const QString &text, LineFeeds lineFeeds)
{
    // Nearly every text has none: it is handed back as it is, without a copy.
    const auto first =
        std::find_if(text.cbegin(), text.cend(), [lineFeeds](QChar c) { return isControl(c.unicode(), lineFeeds); });
    if (first == text.cend())
        return text;
    QString escaped;
    escaped.reserve(text.size() + 16);
    escaped.append(QStringView(text.cbegin(), first));
    for (auto c = first; c != text.cend(); ++c) {
        const char16_t code = c->unicode();
        if (!isControl(code, lineFeeds)) {
            escaped.append(*c);
            continue;
        }
        escaped.append(QLatin1String("\\x"));
        escaped.append(QLatin1Char(kHexDigits[code >> 4]));
        escaped.append(QLatin1Char(kHexDigits[code & 0x0F]));
    }
    return escaped;
}

QString shortened(const QString &text, qsizetype maxLength)
{
    if (text.size() <= maxLength)
        return text;
    qsizetype cut = maxLength;
    // Never between the two halves of a character outside the basic plane.
    if (cut > 0 && text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QChar(0x2026);
}

QByteArray jsonText(const QJsonDocument &document, QJsonDocument::JsonFormat format)
{
    const QByteArray json = document.toJson(format);
    // In UTF-8, U+0080 to U+009F are 0xC2 followed by 0x80 to 0x9F, and DEL is 0x7F; neither
    // byte pattern is part of any other character.
    const auto isRawControl = [&json](qsizetype i) {
        const uchar byte = uchar(json.at(i));
        return byte == 0x7F
               || (byte == 0xC2 && i + 1 < json.size() && uchar(json.at(i + 1)) >= 0x80
                   && uchar(json.at(i + 1)) <= 0x9F);
    };
    qsizetype i = 0;
    while (i < json.size() && !isRawControl(i))
        ++i;
    if (i == json.size())
        return json;
    QByteArray escaped = json.left(i);
    for (; i < json.size(); ++i) {
        if (!isRawControl(i)) {
            escaped.append(json.at(i));
            continue;
        }
        const uchar code = uchar(json.at(i)) == 0x7F ? 0x7F : uchar(json.at(++i));
        escaped.append("\\u00");
        escaped.append(kHexDigits[code >> 4]);
        escaped.append(kHexDigits[code & 0x0F]);
    }
    return escaped;
}

QJsonValue jsonTime(const QDateTime &time)
{
    if (!time.isValid())
        return QJsonValue();
    const int offset = time.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QLatin1Char(offset < 0 ? '-' : '+')
           + QStringLiteral("%1:%2")
                 .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                 .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QJsonValue jsonDate(const QDate &date)
{
    // A year past 9999 has no ISO text of four digits: none either.
    const QString text = date.toString(Qt::ISODate);
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}
