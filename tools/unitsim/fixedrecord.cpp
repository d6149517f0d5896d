#include "fixedrecord.h"

#include <QHostAddress>
#include <QStringList>

namespace {

constexpr int kRecordSize = 512;
constexpr int kNameOffset = 52;
constexpr int kNameMax = 79;
constexpr int kSerialOffset = 132;
constexpr int kSerialMax = 31;

class Record
{
public:
    Record() : buffer(kRecordSize, '\0') {}

    void byte(int offset, int value) { buffer[offset] = static_cast<char>(value & 0xFF); }
    void bigEndian32(int offset, quint32 value)
    {
        for (int i = 0; i < 4; ++i)
            byte(offset + i, int(value >> (24 - 8 * i)));
    }
    void littleEndian32(int offset, quint32 value)
    {
        for (int i = 0; i < 4; ++i)
            byte(offset + i, int(value >> (8 * i)));
    }
    void address(int offset, const QString &text) { bigEndian32(offset, QHostAddress(text).toIPv4Address()); }
    void mac(int offset, const QString &text)
    {
        const QStringList parts = text.split(QLatin1Char(':'));
        for (int i = 0; i < 6 && i < parts.size(); ++i)
            byte(offset + i, parts.at(i).toInt(nullptr, 16));
    }
    // Text cut to its field, always followed by a NUL inside the field's room.
    void text(int offset, const QString &value, int max)
    {
        const QByteArray bytes = value.toLatin1().left(max);
        buffer.replace(offset, bytes.size(), bytes);
    }
    void bytes(int offset, const QByteArray &value) { buffer.replace(offset, value.size(), value); }

    QByteArray data() const { return buffer; }

private:
    QByteArray buffer;
};

int ipModeByte(const QString &mode)
{
    if (mode == QLatin1String("AUTO"))
        return 1;
    if (mode == QLatin1String("DHCP"))
        return 2;
    return 3;
}

// The first bytes of a plain 1080p display identification block, so a decoder reports a monitor.
QByteArray monitorIdentification()
{
    QByteArray id = QByteArray::fromHex("00ffffffffffff0009d1a078454100000c1a0103803c22782e");
    id.append(QByteArray::fromHex("0f92a5544fa0260d5054a56b80d1c0b300a9c08180810081c0010101"));
    return id;
}

void addPicture(Record &r)
{
    r.byte(26, 0x01); // live play
    r.byte(185, 1920 & 0xFF);
    r.byte(186, 1920 >> 8);
    r.byte(189, 1080 & 0xFF);
    r.byte(190, 1080 >> 8);
    r.byte(172, 0x01); // first media port on
}

void addEncoder(Record &r)
{
    addPicture(r);
    r.byte(28, 0);    // not a master
    r.byte(43, 64);   // multicast TTL
    r.byte(49, 0x04); // HDMI audio
    r.byte(50, 4);    // motion quality
    r.byte(51, 0);    // audio gain
    r.bigEndian32(168, 100000);
    r.byte(223, 0x01); // an input is present
    r.littleEndian32(224, 100);
    r.byte(250, 0);
    r.byte(251, 8); // image quality
}

void addDecoder(Record &r)
{
    addPicture(r);
    r.byte(49, 0x08); // HDMI audio
    r.bigEndian32(265, 9600);
    r.byte(269, 0x03); // 8 data bits, no parity, 1 stop bit
    r.byte(435, 0x03); // a monitor is attached and its identification follows
    r.bytes(436, monitorIdentification());
}

void addRecorder(Record &r, const UnitConfig &u)
{
    r.byte(26, 0x02); // playing
    r.byte(173, 0x02);
    r.byte(451, u.stream() >> 8);
    r.byte(25, u.stream());
    r.text(417, QStringLiteral("lobby.mpg"), 31);
}

} // namespace

QByteArray byteDate(const QString &date)
{
    const QStringList parts = date.trimmed().split(QLatin1Char('/'));
    QByteArray out(2, '\0');
    if (parts.size() != 3)
        return out;
    bool okMonth = false, okDay = false, okYear = false;
    const int month = parts.at(0).toInt(&okMonth);
    const int day = parts.at(1).toInt(&okDay);
    const int year = parts.at(2).toInt(&okYear);
    if (!okMonth || !okDay || !okYear || month < 0 || month > 15 || day < 0 || day > 255 || year < 0)
        return out;
    out[0] = static_cast<char>((month << 4) | (year % 10));
    out[1] = static_cast<char>(day);
    return out;
}

QByteArray fixedRecord(const UnitConfig &unit)
{
    const ReplyKind kind = Families::traits(unit.family).kind;
    Record r;
    r.byte(0, 0x01);
    r.byte(1, kind == ReplyKind::FixedDecoder ? 0x99 : 0x97);
    r.bytes(2, QByteArray::fromHex("cafe1234"));
    r.address(15, unit.ip);
    r.mac(19, unit.mac);
    r.byte(25, unit.stream());
    r.byte(30, unit.stream() >> 8);
    r.byte(27, 1); // audio on
    r.byte(29, ipModeByte(unit.ipMode));
    r.text(kNameOffset, unit.name, kNameMax);
    r.text(kSerialOffset, unit.serial, kSerialMax);
    r.bytes(164, byteDate(unit.swversion));
    r.bytes(166, byteDate(unit.fwversion));
    r.address(236, unit.subnet);
    r.address(240, unit.gateway);
    if (kind == ReplyKind::FixedDecoder)
        addDecoder(r);
    else if (kind == ReplyKind::FixedRecorder)
        addRecorder(r, unit);
    else
        addEncoder(r);
    return r.data();
}
