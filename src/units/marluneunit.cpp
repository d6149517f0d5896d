#include "marluneunit.h"

#include "unitfields.h"

#include <QStringList>

#include <limits>

namespace {

// The character at position index of text, or a null character when the text is too short.
QChar charAt(const QString &text, qsizetype index)
{
    return index < text.size() ? text.at(index) : QChar();
}

// "The second character of the trimmed serial number", for serials of at least 3 characters.
QChar generationDigit(const QString &sn)
{
    if (sn.size() < 3)
        return QChar();
    return charAt(sn.trimmed(), 1);
}

} // namespace

QDate dateFromVersionText(const QString &text)
{
    // Views, not copies: every reply's dates are read with this, thousands a tick in a large fleet.
    const QList<QStringView> parts = QStringView(text).trimmed().split(QLatin1Char('/'), Qt::KeepEmptyParts);
    if (parts.size() < 3)
        return QDate();
    const uint month = parts.at(0).toUInt();
    const uint day = parts.at(1).toUInt();
    uint year = parts.at(2).toUInt();
    if (year < 2000)
        year += 2000;
    if (month > 12 || day > 31 || year > uint(std::numeric_limits<int>::max()))
        return QDate();
    return QDate(int(year), int(month), int(day));
}

MarluneUnit::MarluneUnit() : lastSeen(QDateTime::currentDateTime()) {}

void MarluneUnit::reset()
{
    // The attached-unit pairs are only ever set by the parser on a fresh record, so they survive.
    const QString keep[8] = {mac0, ip0, mac1, ip1, mac2, ip2, mac3, ip3};
    *this = MarluneUnit();
    mac0 = keep[0];
    ip0 = keep[1];
    mac1 = keep[2];
    ip1 = keep[3];
    mac2 = keep[4];
    ip2 = keep[5];
    mac3 = keep[6];
    ip3 = keep[7];
}

void MarluneUnit::typeFromSerial()
{
    const QString two = sn.left(2);
    if (two == QLatin1String("JR")) {
        setDecoder();
        return;
    }
    if (two == QLatin1String("JT"))
        setEncoder();
    if (two == QLatin1String("JD"))
        setDvr();
    if (two == QLatin1String("JW"))
        setWp();
    if (two == QLatin1String("AT"))
        setAtr();

    const QString three = sn.left(3);
    if (three == QLatin1String("K72")) {
        setVod();
    } else if (three == QLatin1String("K83")) {
        setWpc();
    } else if (three == QLatin1String("K43")) {
        setAtr();
    } else if (three == QLatin1String("K21") || three == QLatin1String("K31") || three == QLatin1String("K11")) {
        setEncoder();
        KSeries = 1;
    } else if (three == QLatin1String("K22") || three == QLatin1String("K32") || three == QLatin1String("K12")) {
        setDecoder();
        KSeries = 1;
    }
}

QDate MarluneUnit::webDate() const
{
    return dateFromVersionText(webversion);
}

QDate MarluneUnit::swDate() const
{
    return dateFromVersionText(swversion);
}

bool MarluneUnit::isOnline() const
{
    return isOnline(QDateTime::currentDateTime());
}

bool MarluneUnit::isOnline(const QDateTime &now) const
{
    if (isConductor != 0)
        return true;
    return now < lastSeen.addSecs(90);
}

bool MarluneUnit::isDvr() const
{
    return deviceType == QLatin1String("DVR");
}

bool MarluneUnit::isAtr() const
{
    return deviceType == QLatin1String("ATR");
}

bool MarluneUnit::isEncoder() const
{
    return deviceType == QLatin1String("ENC") || deviceType == QLatin1String("TX");
}

bool MarluneUnit::isDecoder() const
{
    return deviceType == QLatin1String("DEC") || deviceType == QLatin1String("RX");
}

bool MarluneUnit::isWp() const
{
    return deviceType == QLatin1String("WP");
}

bool MarluneUnit::isWpc() const
{
    return deviceType == QLatin1String("WPC");
}

bool MarluneUnit::isVod() const
{
    return deviceType == QLatin1String("VOD");
}

bool MarluneUnit::isKSeries() const
{
    return KSeries == 1;
}

bool MarluneUnit::hasRecorderFirmware() const
{
    return isDvr() && fwversion != QLatin1String("0/0/0");
}

bool MarluneUnit::isGen1() const
{
    if (isWp() && sn.contains(QLatin1String("JWB")))
        return true;
    if (isWp() && !mac0.isEmpty() && !mac1.isEmpty())
        return true;
    if (isDvr() && kSeriesMode == 1)
        return true;
    return generationDigit(sn) == QLatin1Char('1');
}

bool MarluneUnit::isGen2() const
{
    if (isDvr() && kSeriesMode == 2)
        return true;
    return generationDigit(sn) == QLatin1Char('2');
}

bool MarluneUnit::isGen3() const
{
    return generationDigit(sn) == QLatin1Char('3');
}

bool MarluneUnit::isGen2FourK() const
{
    return isGen2() && KSeries == 1 && charAt(sn, 3) == QLatin1Char('5');
}

bool MarluneUnit::isGen2Kvm() const
{
    if (!isGen2() || KSeries != 1)
        return false;
    const QDate date = swDate();
    if (!date.isValid() || date < QDate(2014, 8, 18))
        return false;
    const QChar subModel = charAt(sn, 4).toLower();
    return subModel == QLatin1Char('b') || subModel == QLatin1Char('c');
}

bool MarluneUnit::isK4Audio() const
{
    return isAtr() && sn.contains(QLatin1String("K4"));
}

bool MarluneUnit::operator==(const MarluneUnit &other) const
{
    for (const UnitField &field : unitFields()) {
        if (!std::visit([&](auto member) { return this->*member == other.*member; }, field.member))
            return false;
    }
    return true;
}

QString ipModeText(quint32 n)
{
    switch (n & 0x0F) {
    case 1:
        return QStringLiteral("Auto IP");
    case 2:
        return QStringLiteral("DHCP");
    case 3:
        return QStringLiteral("Static IP");
    default:
        return QStringLiteral("Unknown");
    }
}

QString ipModeFromText(const QString &text)
{
    const QString mode = text.toUpper().trimmed();
    if (mode.contains(QLatin1String("AUTO")))
        return QStringLiteral("Auto IP");
    if (mode.contains(QLatin1String("DHCP")))
        return QStringLiteral("DHCP");
    if (mode.contains(QLatin1String("STATIC")))
        return QStringLiteral("Static IP");
    return QStringLiteral("Unknown");
}

QString resolutionText(int width, int height)
{
    if (width == 1280 && height == 720)
        return QStringLiteral("720p");
    if (width == 1920 && height == 1080)
        return QStringLiteral("1080p");
    if (width == 1920 && height == 540)
        return QStringLiteral("1080i");
    if (width == 720 && height == 480)
        return QStringLiteral("480p");
    return QString::asprintf("%dx%d", width, height);
}

void applySerialFormat(quint8 b, MarluneUnit &unit)
{
    unit.databits = (b & 3) + 5;
    unit.stopbits = (b & 4) ? 2 : 1;
    switch (b & 0x38) {
    case 0x00:
        unit.parity = QStringLiteral("none");
        break;
    case 0x08:
        unit.parity = QStringLiteral("odd");
        break;
    case 0x18:
        unit.parity = QStringLiteral("even");
        break;
    case 0x28:
        unit.parity = QStringLiteral("high");
        break;
    case 0x38:
        unit.parity = QStringLiteral("low");
        break;
    default: // 0x10, 0x20, 0x30 name no parity setting: the field keeps its value
        break;
    }
}

QString recorderModeText(quint32 n)
{
    switch (n & 0x0F) {
    case 0:
        return QStringLiteral("idle");
    case 1:
        return QStringLiteral("Rec");
    case 2:
        return QStringLiteral("Play");
    case 3:
        return QStringLiteral("Play&Rec");
    case 4:
    case 5:
        return QStringLiteral("DS Rec");
    case 6:
    case 7:
        return QStringLiteral("Play&DS Rec");
    case 8:
    case 10:
        return QStringLiteral("DS Play");
    case 9:
    case 11:
        return QStringLiteral("DS Play&Rec");
    default:
        return QStringLiteral("DSP & DSR");
    }
}

QString levelText(quint8 b)
{
    if (!(b & 0x80))
        return QStringLiteral("idle");
    // (b & 0x7F) * 100 / 127, rounded half up, in integers.
    const int percent = ((b & 0x7F) * 200 + 127) / 254;
    return QLatin1Char('%') + QString::number(percent);
}
