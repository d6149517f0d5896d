#include "fleetfile.h"

#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>

namespace {

constexpr int kSerialLength = 10;

const QStringList &knownKeys()
{
    static const QStringList keys = {
        QStringLiteral("family"),       QStringLiteral("serial"),    QStringLiteral("name"),
        QStringLiteral("mac"),          QStringLiteral("ip"),        QStringLiteral("subnet"),
        QStringLiteral("gateway"),      QStringLiteral("ipmode"),    QStringLiteral("swversion"),
        QStringLiteral("webversion"),   QStringLiteral("fwversion"), QStringLiteral("updatestatus"),
        QStringLiteral("iptrial"),      QStringLiteral("idbutton"),  QStringLiteral("rebootseconds"),
        QStringLiteral("edidfailures"), QStringLiteral("behaviour"), QStringLiteral("eth0ip"),
        QStringLiteral("eth0netmask"),  QStringLiteral("eth0mac"),   QStringLiteral("eth1ip"),
        QStringLiteral("eth1netmask"),  QStringLiteral("eth1mac"),   QStringLiteral("verbose"),
        QStringLiteral("replypacing"),  QStringLiteral("dropatpercent"), QStringLiteral("digest"),
        QStringLiteral("fetchkibps"),   QStringLiteral("tcp"),       QStringLiteral("messagedelayms"),
        QStringLiteral("reboots"),      QStringLiteral("vanishafterseconds"), QStringLiteral("broadcast"),
    };
    return keys;
}

// Key names compare without regard to case, so "updateStatus" and "updatestatus" are the same key.
using Values = QHash<QString, QString>;

Values readGroup(QSettings &settings, const QString &group, const QString &fileName, QStringList *warnings)
{
    Values values;
    settings.beginGroup(group);
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        const QVariant v = settings.value(key);
        // QSettings splits unquoted values at commas; a name such as "Hall, left" is one value here.
        const QString text = v.userType() == QMetaType::QStringList
                                 ? v.toStringList().join(QLatin1String(", "))
                                 : v.toString();
        const QString lower = key.toLower();
        if (!knownKeys().contains(lower))
            warnings->append(QStringLiteral("%1: [%2] unknown key %3 ignored").arg(fileName, group, key));
        values.insert(lower, text.trimmed());
    }
    settings.endGroup();
    return values;
}

bool isIpv4(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol;
}

bool isMac(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$"));
    return re.match(text).hasMatch();
}

bool isDate(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^\\d{1,2}/\\d{1,2}/\\d{1,4}$"));
    return re.match(text).hasMatch();
}

bool parseBool(const QString &text, bool *out)
{
    const QString t = text.toLower();
    if (t == QLatin1String("1") || t == QLatin1String("true") || t == QLatin1String("yes")) {
        *out = true;
        return true;
    }
    if (t == QLatin1String("0") || t == QLatin1String("false") || t == QLatin1String("no")) {
        *out = false;
        return true;
    }
    return false;
}

// A MAC address that follows from an IPv4 address, locally administered so that it can never be a
// real adapter's.
QString macFor(const QString &ip, int second)
{
    const quint32 a = QHostAddress(ip).toIPv4Address();
    return QString::asprintf("02:%02X:%02X:%02X:%02X:%02X", second, (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                             (a >> 8) & 0xFF, a & 0xFF);
}

// The address of a unit's other interface when the fleet file gives none.
QString otherAddressFor(const QString &ip)
{
    const quint32 a = QHostAddress(ip).toIPv4Address();
    return QStringLiteral("172.16.%1.%2").arg((a >> 8) & 0xFF).arg(a & 0xFF);
}

class UnitReader
{
public:
    UnitReader(const QString &id, const Values &unit, const Values &defaults)
        : id(id), values(unit), defaults(defaults)
    {
    }

    bool read(UnitConfig *u, QString *error);

private:
    QString text(const char *key, const QString &fallback = QString()) const
    {
        const QString k = QLatin1String(key);
        if (values.contains(k))
            return values.value(k);
        return defaults.value(k, fallback);
    }
    bool fail(const QString &why)
    {
        failure = QStringLiteral("[%1] %2").arg(id, why);
        return false;
    }
    bool readAddress(const char *key, const QString &fallback, QString *out);
    bool readFlag(const char *key, bool *out);
    bool readCount(const char *key, int fallback, int *out);
    bool readIdentity(UnitConfig *u);
    bool readBehaviour(UnitConfig *u);
    bool readInterfaces(UnitConfig *u);

    QString id;
    const Values &values;
    const Values &defaults;
    QString failure;
};

bool UnitReader::readAddress(const char *key, const QString &fallback, QString *out)
{
    *out = text(key, fallback);
    return isIpv4(*out) ||
           fail(QStringLiteral("%1 '%2' is not an IPv4 address").arg(QLatin1String(key), *out));
}

bool UnitReader::readFlag(const char *key, bool *out)
{
    const QString t = text(key, QStringLiteral("0"));
    return parseBool(t, out) || fail(QStringLiteral("%1 '%2' is not 0 or 1").arg(QLatin1String(key), t));
}

bool UnitReader::readCount(const char *key, int fallback, int *out)
{
    const QString t = text(key, QString::number(fallback));
    bool ok = false;
    *out = t.toInt(&ok);
    return (ok && *out >= 0) || fail(QStringLiteral("%1 '%2' is not a count").arg(QLatin1String(key), t));
}

bool UnitReader::read(UnitConfig *u, QString *error)
{
    u->id = id;
    const bool ok = readIdentity(u) && readBehaviour(u) && readInterfaces(u);
    if (!ok)
        *error = failure;
    return ok;
}

// Family, addresses, serial, name, MAC, address mode and versions.
bool UnitReader::readIdentity(UnitConfig *u)
{
    const QString family = text("family");
    if (family.isEmpty())
        return fail(QStringLiteral("family missing"));
    if (!Families::fromName(family, &u->family))
        return fail(QStringLiteral("unknown family '%1' (one of: %2)").arg(family, Families::allNames()));
    const FamilyTraits &traits = Families::traits(u->family);

    if (!values.contains(QStringLiteral("ip")))
        return fail(QStringLiteral("ip missing"));
    if (!readAddress("ip", QString(), &u->ip) ||
        !readAddress("subnet", QStringLiteral("255.255.0.0"), &u->subnet) ||
        !readAddress("gateway", QStringLiteral("10.77.0.254"), &u->gateway))
        return false;

    const QString prefix = QLatin1String(traits.serialPrefix);
    u->serial =
        text("serial", prefix + QStringLiteral("%1").arg(u->position, kSerialLength - prefix.size(), 10,
                                                         QLatin1Char('0')));
    u->name = text("name", id);
    u->mac = text("mac", macFor(u->ip, 0xB5)).toUpper();
    if (!isMac(u->mac))
        return fail(QStringLiteral("mac '%1' is not six hex pairs").arg(u->mac));

    u->ipMode = text("ipmode", QStringLiteral("static")).toUpper();
    if (u->ipMode != QLatin1String("STATIC") && u->ipMode != QLatin1String("DHCP") &&
        u->ipMode != QLatin1String("AUTO"))
        return fail(QStringLiteral("ipmode '%1' is not static, dhcp or auto").arg(u->ipMode));

    // A KVM unit counts as one only with software from 8/18/2014 on.
    const bool kvm = u->family == Family::KvmEncoder || u->family == Family::KvmDecoder;
    u->swversion = text("swversion", kvm ? QStringLiteral("8/18/2014") : QStringLiteral("1/1/2014"));
    u->fwversion = text("fwversion", QStringLiteral("1/29/2014"));
    if (!isDate(u->swversion) || !isDate(u->fwversion))
        return fail(QStringLiteral("swversion and fwversion must read M/d/yyyy"));
    u->webversion = text("webversion", QStringLiteral("1388534400"));
    bool numeric = false;
    u->webversion.toULongLong(&numeric);
    if (!numeric)
        return fail(QStringLiteral("webversion '%1' is not a number of seconds").arg(u->webversion));
    return true;
}

// The flags and counts, and how the unit behaves on UDP and TCP.
bool UnitReader::readBehaviour(UnitConfig *u)
{
    if (!readFlag("updatestatus", &u->updateStatus) || !readFlag("iptrial", &u->ipTrial) ||
        !readFlag("idbutton", &u->idButton) || !readFlag("verbose", &u->verbose) ||
        !readFlag("digest", &u->digest) || !readCount("dropatpercent", 0, &u->dropAtPercent) ||
        !readCount("rebootseconds", 3, &u->rebootSeconds) || !readCount("fetchkibps", 0, &u->fetchKiBps) ||
        !readCount("edidfailures", 0, &u->edidFailures) ||
        !readCount("messagedelayms", 0, &u->messageDelayMs) || !readCount("reboots", 1, &u->reboots) ||
        !readCount("vanishafterseconds", 0, &u->vanishAfterSeconds))
        return false;
    if (u->reboots < 1 || u->reboots > 2)
        return fail(QStringLiteral("reboots '%1' is not 1 or 2").arg(u->reboots));
    if (u->dropAtPercent > 99)
        return fail(QStringLiteral("dropAtPercent '%1' is not 0 to 99").arg(u->dropAtPercent));

    const QString behaviour = text("behaviour", QStringLiteral("normal")).toLower();
    static const QHash<QString, Behaviour> behaviours = {
        {QStringLiteral("normal"), Behaviour::Normal},
        {QStringLiteral("silent"), Behaviour::Silent},
        {QStringLiteral("dead"), Behaviour::Dead},
        {QStringLiteral("port50002"), Behaviour::Port50002},
        {QStringLiteral("neverreboots"), Behaviour::NeverReboots},
        {QStringLiteral("neverfetches"), Behaviour::NeverFetches},
        {QStringLiteral("neverreturns"), Behaviour::NeverReturns},
    };
    if (!behaviours.contains(behaviour))
        return fail(
            QStringLiteral("behaviour '%1' is not normal, silent, dead, port50002, neverReboots, "
                           "neverFetches or neverReturns")
                .arg(behaviour));
    u->behaviour = behaviours.value(behaviour);

    const QString tcp = text("tcp", QStringLiteral("normal")).toLower();
    static const QHash<QString, TcpSide> tcpSides = {
        {QStringLiteral("normal"), TcpSide::Normal},
        {QStringLiteral("hangs"), TcpSide::Hangs},
        {QStringLiteral("mute"), TcpSide::Mute},
    };
    if (!tcpSides.contains(tcp))
        return fail(QStringLiteral("tcp '%1' is not normal, hangs or mute").arg(tcp));
    u->tcp = tcpSides.value(tcp);
    // Both settings say what the TCP side does; only one of them may.
    if (u->tcp != TcpSide::Normal && u->behaviour != Behaviour::Normal)
        return fail(QStringLiteral("tcp '%1' goes only with behaviour normal, not '%2'").arg(tcp, behaviour));

    const QString broadcast = text("broadcast", QStringLiteral("answer")).toLower();
    if (broadcast != QLatin1String("answer") && broadcast != QLatin1String("ignore"))
        return fail(QStringLiteral("broadcast '%1' is not answer or ignore").arg(broadcast));
    u->ignoresBroadcast = broadcast == QLatin1String("ignore");
    return true;
}

// The two interfaces of a conductor or a video-on-demand server.
bool UnitReader::readInterfaces(UnitConfig *u)
{
    // A conductor answers on its second interface; a video-on-demand server on its first.
    const QString other = otherAddressFor(u->ip);
    const bool conductor = u->family == Family::Conductor;
    if (!readAddress("eth0ip", conductor ? other : u->ip, &u->eth0Ip) ||
        !readAddress("eth0netmask", conductor ? QStringLiteral("255.255.0.0") : u->subnet,
                     &u->eth0Netmask) ||
        !readAddress("eth1ip", conductor ? u->ip : other, &u->eth1Ip) ||
        !readAddress("eth1netmask", conductor ? u->subnet : QStringLiteral("255.255.0.0"),
                     &u->eth1Netmask))
        return false;
    u->eth0Mac = text("eth0mac", conductor ? macFor(other, 0xB6) : u->mac).toUpper();
    u->eth1Mac = text("eth1mac", conductor ? u->mac : macFor(other, 0xB6)).toUpper();
    if (!isMac(u->eth0Mac) || !isMac(u->eth1Mac))
        return fail(QStringLiteral("eth0mac and eth1mac must be six hex pairs"));
    if (!conductor) {
        // The first interface of a server is the unit's own address.
        u->eth0Ip = u->ip;
        u->eth0Netmask = u->subnet;
        u->eth0Mac = u->mac;
    } else {
        u->eth1Ip = u->ip;
    }
    return true;
}

} // namespace

bool FleetFile::read(const QString &path, FleetDescription *fleet, QString *error, QStringList *warnings)
{
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = QStringLiteral("%1: not a readable INI file").arg(path);
        return false;
    }
    const QString fileName = QFileInfo(path).fileName();
    const Values defaults = readGroup(settings, QStringLiteral("fleet"), fileName, warnings);
    bool verbose = false;
    parseBool(defaults.value(QStringLiteral("verbose"), QStringLiteral("0")), &verbose);

    FleetDescription result;
    result.verbose = verbose;
    bool pacingOk = false;
    result.replyPacing = defaults.value(QStringLiteral("replypacing"), QStringLiteral("0")).toInt(&pacingOk);
    if (!pacingOk || result.replyPacing < 0) {
        *error = QStringLiteral("[fleet] replyPacing must be a number of replies per millisecond, 0 for none");
        return false;
    }
    QSet<QString> addresses;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        if (group == QLatin1String("fleet"))
            continue;
        UnitConfig unit;
        unit.position = result.units.size() + 1;
        const Values values = readGroup(settings, group, fileName, warnings);
        if (!UnitReader(group, values, defaults).read(&unit, error))
            return false;
        if (addresses.contains(unit.ip)) {
            *error = QStringLiteral("[%1] ip %2 is used by another unit").arg(group, unit.ip);
            return false;
        }
        addresses.insert(unit.ip);
        result.units.append(unit);
    }
    if (result.units.isEmpty()) {
        *error = QStringLiteral("%1: no units (every group but [fleet] is one unit)").arg(path);
        return false;
    }
    *fleet = result;
    return true;
}
