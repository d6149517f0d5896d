#include "wiremessage.h"

namespace {

const QByteArray kMagic = QByteArray::fromHex("cafe1234");

bool hasMagic(const QByteArray &data)
{
    return data.size() >= 6 && data.at(0) == 0x01 && data.mid(2, 4) == kMagic;
}

bool isPrintable(const QByteArray &data)
{
    for (char c : data) {
        const auto u = static_cast<unsigned char>(c);
        if (u != '\r' && u != '\n' && (u < 0x20 || u > 0x7E))
            return false;
    }
    return true;
}

} // namespace

namespace WireMessage {

bool isQuery(const QByteArray &message, unsigned char *code)
{
    if (message.size() != kQuerySize || !hasMagic(message))
        return false;
    if (code)
        *code = static_cast<unsigned char>(message.at(1));
    return true;
}

bool isSetupBuffer(const QByteArray &message)
{
    return message.size() == kSetupBufferSize && hasMagic(message) &&
           static_cast<unsigned char>(message.at(1)) == kSetupCode;
}

QByteArray takeMessage(QByteArray &buffer, bool flush)
{
    if (buffer.isEmpty())
        return {};
    qsizetype length = 0;
    if (buffer.at(0) == 0x01 && (buffer.size() < 6 || hasMagic(buffer))) {
        if (buffer.size() >= 2) {
            const int size =
                static_cast<unsigned char>(buffer.at(1)) == kSetupCode ? kSetupBufferSize : kQuerySize;
            if (buffer.size() >= size)
                length = size;
        }
    } else if (buffer.at(0) >= 0x20 && buffer.at(0) <= 0x7E) {
        const qsizetype end = qMax(buffer.lastIndexOf('\r'), buffer.lastIndexOf('\n'));
        length = end + 1;
    } else {
        length = buffer.size(); // binary without the magic: nothing to frame it by
    }
    if (length == 0 && (flush || buffer.size() >= kMaxMessageSize))
        length = buffer.size();
    const QByteArray message = buffer.left(length);
    buffer.remove(0, length);
    return message;
}

QString describe(const QByteArray &message)
{
    if (isPrintable(message)) {
        QString text = QString::fromLatin1(message);
        text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
        text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        return text;
    }
    return QStringLiteral("HEX %1 len=%2")
        .arg(QString::fromLatin1(message.left(16).toHex()), QString::number(message.size()));
}

} // namespace WireMessage
