#pragma once

#include <QDate>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <array>

// The in-memory picture of one networked A/V unit, filled from its status replies.
// A plain value: copied freely and passed by value in signals. Its identity is `mac`.
// Field names double as the keys of "units.ini", so they keep the units' own spelling. Every
// field is also listed once in unitFields() (unitfields.h), which the "units.ini" writer and
// operator== go through: a new field needs its line there.
// A version text ("M/d/y", two-digit years in 2000..2099) as a calendar date; invalid when the
// text is no date.
QDate dateFromVersionText(const QString &text);

class MarluneUnit
{
public:
    using Channels = std::array<quint32, 10>;

    MarluneUnit();

    // Every text empty and every number 0 except the documented defaults; lastSeen = now.
    // The attached-unit pairs mac0/ip0 ... mac3/ip3 keep their values.
    void reset();

    void setMac(const QString &newMac) { mac = newMac; }

    void setVod() { deviceType = QStringLiteral("VOD"); }
    void setDvr() { deviceType = QStringLiteral("DVR"); }
    void setEncoder() { deviceType = QStringLiteral("ENC"); }
    void setWpc() { deviceType = QStringLiteral("WPC"); }
    void setDecoder() { deviceType = QStringLiteral("DEC"); }
    void setWp() { deviceType = QStringLiteral("WP"); }
    void setAtr() { deviceType = QStringLiteral("ATR"); }

    // Sets deviceType (and KSeries for K-Series encoders and decoders) from the serial number.
    void typeFromSerial();

    // webversion / swversion ("M/d/y", two-digit years in 2000..2099) as a calendar date.
    QDate webDate() const;
    QDate swDate() const;

    // A reply within the last 90 seconds; controllers always count as online.
    bool isOnline() const;
    // The same, judged at the given time.
    bool isOnline(const QDateTime &now) const;

    bool isDvr() const;
    bool isAtr() const;
    bool isEncoder() const;
    bool isDecoder() const;
    bool isWp() const;
    bool isWpc() const;
    bool isVod() const;
    bool isKSeries() const;
    bool hasRecorderFirmware() const;
    bool isGen1() const;
    bool isGen2() const;
    bool isGen3() const;
    bool isGen2FourK() const;
    bool isGen2Kvm() const;
    bool isK4Audio() const;

    // Listing order of the unit table. Defined in devicecatalogue.cpp, next to the product names
    // it sorts by: the catalogue reads the record, so the record does not include the catalogue.
    bool operator<(const MarluneUnit &other) const;
    // Field by field over unitFields(), lastSeen included.
    bool operator==(const MarluneUnit &other) const;
    bool operator!=(const MarluneUnit &other) const { return !(*this == other); }

    // Identity and network
    QString ipType;
    QString ip;
    QString subnet;
    QString gateway;
    QString name;
    QString sn;
    QString swversion;
    QString fwversion;

    // Stream and video settings
    quint32 stream = 0;
    QString mode;
    quint32 audioEnable = 0;
    QString resolution;
    quint32 modeByte = 0;

    // Recorder
    quint32 playstream0 = 0;
    quint32 playstream1 = 0;
    quint32 recordstream0 = 0;
    quint32 recordstream1 = 0;
    quint32 recordAudioStream0 = 0;
    quint32 recordAudioStream1 = 0;
    quint32 dvrbusy = 0;
    QString mpegstatus;
    QString playFile;
    quint32 kSeriesMode = 0;
    Channels playChannel{};
    Channels recordChannelVid{};
    Channels recordChannelAud{};
    QString isRec;
    QString isPlay;
    QString diskFree;
    QString mpegFile;
    QString mpegdate;
    QString indexdate;
    QString mpegMode;
    QString audioon;
    quint32 p0 = 0;
    quint32 p1 = 0;
    quint32 p2 = 0;
    quint32 localPlayNum = 0;

    // Encoder/decoder device settings
    quint32 hasInputOrDVI = 0;
    quint32 customSettings = 0;
    quint32 customSettings2 = 0;
    QString edid;
    quint32 masseren = 0;
    QString masserip;
    QString sersrcip;
    quint32 seropen = 0;
    quint32 KSeries = 0;
    quint32 scalerBypass = 0;
    quint32 idButton = 0;
    quint32 dviEnable = 0;
    QString fcpc = QStringLiteral("auto");
    QString hdmiAudioPassthru = QStringLiteral("0");
    quint32 audioGainRight = 0;
    quint32 dviEnablePT = 0;
    quint32 isMaster = 0;
    quint32 audioGain = 0;
    quint32 txBandwidth = 0;
    quint32 extremeImageEnable = 0;
    quint32 uncompressedImageEnable = 0;
    quint32 imageQuality = 0;
    quint32 compressionSize = 0;
    quint32 motionQuality = 0;
    quint32 ttl = 0;
    quint32 vlanTagEnable = 0;
    quint32 vlanNum = 0;
    quint32 dscp = 0;
    quint32 allowCopyProtect = 0;
    qint32 hzOffset = 0;
    qint32 vtOffset = 0;
    QString disableColorSpace = QStringLiteral("0");
    quint32 inputAudioForHostPlayEnable = 0;
    quint32 useHostPlayforUnsupportedModeEnable = 0;

    // Serial port
    quint32 rs232baud = 0;
    quint32 databits = 0;
    QString parity;
    quint32 stopbits = 0;
    quint32 remoteEnable = 0;
    quint32 remoteCommandstart = 0;
    quint32 remotesynch = 0;
    quint32 remotestart = 0;
    quint32 remotestop = 0;

    // Further decoder settings
    QString hdmiAudio = QStringLiteral("0");
    quint32 useStreamAudioInLocal = 0;
    QString YCbCrEnable = QStringLiteral("0");
    QString YCbCrEnablePT = QStringLiteral("0");
    quint32 simplifiedDVIEnable = 0;
    quint32 lastFrameHoldEnable = 0;
    QString onePixShiftEnable = QStringLiteral("0");
    quint32 dviOffStreamLossEnable = 0;
    quint32 invertDVISync = 0;
    quint32 saveStreamOnSwitch = 0;
    quint32 gratuitousArp = 0;
    quint32 txCustom = 0;
    quint32 audiostream = 0;

    // Windowing processor
    quint32 wstream0 = 0;
    quint32 wstream1 = 0;
    quint32 wstream2 = 0;
    quint32 wstream3 = 0;
    QString videomode;

    // Web and update state
    QString webversion;
    quint32 ipTrial = 0;
    quint32 updateStatus = 0;

    // Audio unit
    quint32 rxdisabled = 0;
    QString rxmode;
    quint32 rxstream = 0;
    quint32 rxaudioEnable = 0;
    quint32 txunicast = 0;
    QString txunicastip;
    quint32 txsamplerate = 0;
    quint32 txaudiodelay = 0;
    quint32 rxmute = 0;
    quint32 headphonevolLeft = 0;
    quint32 headphonevolRight = 0;
    quint32 lineoutvolLeft = 0;
    quint32 lineoutvolRight = 0;
    QString streamURL;
    quint32 transportenable = 0;

    // Controller and dual-Ethernet units
    quint32 isConductor = 0;
    QString eth0_macStr;
    QString eth0_ipAddr;
    QString eth0_ipAddr_2;
    QString eth1_macStr;
    QString eth1_ipAddr;
    QString eth1_ipAddr_2;
    QString eth0_netMask;
    QString eth0_netMask_2;
    QString eth1_netMask;
    QString eth1_netMask_2;

    // Network statistics
    QString ndMrrq;
    quint32 ndMrrqChg = 0;
    quint32 ndADrop = 0;
    quint32 ndADrop1s = 0;
    quint32 ndVDrop = 0;
    quint32 ndVDrop1s = 0;
    quint32 ndFDrop = 0;
    quint32 ndFDrop1s = 0;

    // Units attached to a windowing processor
    QString mac0;
    QString ip0;
    QString mac1;
    QString ip1;
    QString mac2;
    QString ip2;
    QString mac3;
    QString ip3;

    QString deviceType;
    QDateTime lastSeen;
    qint32 settingsLock = 0;
    qint32 https = 0;
    QString mac;
};

// Value formatters used by the status-reply parser.
QString ipModeText(quint32 n);
QString ipModeFromText(const QString &text);
QString resolutionText(int width, int height);
void applySerialFormat(quint8 b, MarluneUnit &unit);
QString recorderModeText(quint32 n);
QString levelText(quint8 b);

Q_DECLARE_METATYPE(MarluneUnit)
