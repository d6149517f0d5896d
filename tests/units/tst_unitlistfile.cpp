#include "app/folders.h"
#include "setunitfield.h"
#include "units/marluneunit.h"
#include "units/unitfields.h"
#include "units/unitlistfile.h"

#include <QtTest>

#include <cstdio>

// Every key the sibling tool may read from a unit's group, as it expects them.
static const QStringList storedKeys = {
    "mac", "deviceType", "ipType", "ip", "subnet", "gateway", "name", "sn", "swversion", "fwversion",
    "stream", "mode", "audioEnable", "resolution", "modeByte", "dvrbusy", "playstream0", "playstream1",
    "recordstream0", "recordAudioStream0", "recordstream1", "recordAudioStream1", "mpegstatus", "playFile",
    "kSeriesMode", "playChannel[0]", "playChannel[1]", "playChannel[2]", "playChannel[3]", "playChannel[4]",
    "playChannel[5]", "playChannel[6]", "playChannel[7]", "playChannel[8]", "playChannel[9]",
    "recordChannelVid[0]", "recordChannelVid[1]", "recordChannelVid[2]", "recordChannelVid[3]",
    "recordChannelVid[4]", "recordChannelVid[5]", "recordChannelVid[6]", "recordChannelVid[7]",
    "recordChannelVid[8]", "recordChannelVid[9]", "recordChannelAud[0]", "recordChannelAud[1]",
    "recordChannelAud[2]", "recordChannelAud[3]", "recordChannelAud[4]", "recordChannelAud[5]",
    "recordChannelAud[6]", "recordChannelAud[7]", "recordChannelAud[8]", "recordChannelAud[9]", "isRec",
    "isPlay", "diskFree", "mpegFile", "mpegMode", "mpegdate", "indexdate", "audioon", "masseren", "masserip",
    "sersrcip", "seropen", "p0", "p1", "p2", "localPlayNum", "hasInputOrDVI", "customSettings",
    "customSettings2", "edid", "isMaster", "audioGain", "txBandwidth", "uncompressedImageEnable",
    "extremeImageEnable", "imageQuality", "compressionSize", "motionQuality", "ttl", "vlanTagEnable",
    "vlanNum", "dscp", "allowCopyProtect", "hzOffset", "vtOffset", "disableColorSpace",
    "inputAudioForHostPlayEnable", "useHostPlayforUnsupportedModeEnable", "rs232baud", "databits", "parity",
    "stopbits", "remoteEnable", "remoteCommandstart", "remotesynch", "remotestart", "remotestop", "hdmiAudio",
    "useStreamAudioInLocal", "YCbCrEnable", "simplifiedDVIEnable", "lastFrameHoldEnable", "onePixShiftEnable",
    "dviOffStreamLossEnable", "invertDVISync", "saveStreamOnSwitch", "gratuitousArp", "txCustom", "webversion",
    "audiostream", "wstream0", "wstream1", "wstream2", "wstream3", "videomode", "mac0", "mac1", "mac2", "mac3",
    "ip0", "ip1", "ip2", "ip3", "rxdisabled", "rxmode", "rxstream", "rxaudioEnable", "txunicast",
    "txunicastip", "txsamplerate", "txaudiodelay", "rxmute", "headphonevolLeft", "headphonevolRight",
    "lineoutvolLeft", "lineoutvolRight", "KSeries", "dviEnable", "hdmiAudioPassthru", "audioGainRight",
    "YCbCrEnablePT", "scalerBypass", "streamURL", "transportenable", "dviEnablePT", "settingsLock", "https",
    "fcpc", "isConductor", "eth0_macStr", "eth0_ipAddr", "eth0_ipAddr_2", "eth1_macStr", "eth1_ipAddr",
    "eth1_ipAddr_2", "eth0_netMask", "eth0_netMask_2", "eth1_netMask", "eth1_netMask_2"};

// The "MACS" array of an INI file, read as the sibling tool reads it.
static QStringList macsIn(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    QStringList macs;
    const int count = settings.beginReadArray(QStringLiteral("MACS"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        macs << settings.value(QStringLiteral("mac")).toString();
    }
    settings.endArray();
    return macs;
}

class TestUnitListFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void storesEveryPersistedKey();
    void valuesReadBack_data();
    void valuesReadBack();
    void everyValueReadsBack();
    void sameUnitTwiceUpdatesInPlace();
    void secondUnitAppends();
    void writesIntoDataFolder();
    void arraySizeIsNotTrusted_data();
    void arraySizeIsNotTrusted();
    void siblingToolWritesBetweenStores_data();
    void siblingToolWritesBetweenStores();

private:
    static MarluneUnit sampleUnit(const QString &mac);
    QString path;
    QTemporaryDir dir;
};

MarluneUnit TestUnitListFile::sampleUnit(const QString &mac)
{
    MarluneUnit u;
    u.mac = mac;
    u.deviceType = QStringLiteral("ENC");
    u.name = QStringLiteral("Lobby, left");
    u.sn = QStringLiteral("K2100A7");
    u.ip = QStringLiteral("10.77.1.5");
    u.hzOffset = -12;
    u.vtOffset = -32768;
    u.settingsLock = -1;
    u.stream = 4000000000u;
    u.playChannel[3] = 33;
    u.recordChannelAud[9] = 99;
    u.eth1_netMask_2 = QStringLiteral("255.255.0.0");
    u.idButton = 1;
    u.ipTrial = 1;
    u.updateStatus = 1;
    u.ndADrop = 5;
    return u;
}

void TestUnitListFile::init()
{
    QVERIFY(dir.isValid());
    path = dir.filePath(QStringLiteral("units-%1.ini").arg(QTest::currentTestFunction()));
    QFile::remove(path);
}

void TestUnitListFile::storesEveryPersistedKey()
{
    QCOMPARE(storedKeys.size(), 164);
    storeUnitIn(path, sampleUnit(QStringLiteral("00:1A:2B:3C:4D:5E")));

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("00:1A:2B:3C:4D:5E"));
    QStringList keys = settings.childKeys();
    QStringList expected = storedKeys;
    keys.sort();
    expected.sort();
    QCOMPARE(keys, expected);
}

void TestUnitListFile::valuesReadBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text-with-comma") << "name" << "Lobby, left";
    QTest::newRow("negative-offset") << "hzOffset" << "-12";
    QTest::newRow("most-negative-offset") << "vtOffset" << "-32768";
    QTest::newRow("negative-lock") << "settingsLock" << "-1";
    QTest::newRow("large-unsigned") << "stream" << "4000000000";
    QTest::newRow("array-element") << "playChannel[3]" << "33";
    QTest::newRow("last-array-element") << "recordChannelAud[9]" << "99";
    QTest::newRow("default-text") << "fcpc" << "auto";
    QTest::newRow("last-key") << "eth1_netMask_2" << "255.255.0.0";
    QTest::newRow("empty-text") << "gateway" << "";
}

void TestUnitListFile::valuesReadBack()
{
    QFETCH(QString, key);
    QFETCH(QString, expected);

    storeUnitIn(path, sampleUnit(QStringLiteral("00:1A:2B:3C:4D:5E")));
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("00:1A:2B:3C:4D:5E"));
    QVERIFY(settings.contains(key));
    QCOMPARE(settings.value(key).toString(), expected);
}

// Every field set to a value of its own: each stored key holds the value of the field it names.
void TestUnitListFile::everyValueReadsBack()
{
    MarluneUnit unit;
    int n = 0;
    for (const UnitField &field : unitFields())
        setUnitField(unit, field, ++n);
    storeUnitIn(path, unit);

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(unit.mac);
    for (const QString &key : storedKeys)
        QCOMPARE(settings.value(key).toString(), unitFieldText(unit, key));
}

void TestUnitListFile::sameUnitTwiceUpdatesInPlace()
{
    MarluneUnit unit = sampleUnit(QStringLiteral("00:1A:2B:3C:4D:5E"));
    storeUnitIn(path, unit);
    unit.name = QStringLiteral("Renamed");
    unit.hzOffset = 7;
    storeUnitIn(path, unit);

    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.beginReadArray(QStringLiteral("MACS")), 1);
    settings.setArrayIndex(0);
    QCOMPARE(settings.value(QStringLiteral("mac")).toString(), unit.mac);
    settings.endArray();
    settings.beginGroup(unit.mac);
    QCOMPARE(settings.value(QStringLiteral("name")).toString(), QStringLiteral("Renamed"));
    QCOMPARE(settings.value(QStringLiteral("hzOffset")).toInt(), 7);
}

void TestUnitListFile::secondUnitAppends()
{
    const MarluneUnit first = sampleUnit(QStringLiteral("00:1A:2B:3C:4D:5E"));
    storeUnitIn(path, first);
    QSettings before(path, QSettings::IniFormat);
    before.beginGroup(first.mac);
    QMap<QString, QString> firstGroup;
    for (const QString &key : before.childKeys())
        firstGroup.insert(key, before.value(key).toString());
    before.endGroup();

    MarluneUnit second = sampleUnit(QStringLiteral("00:1A:2B:3C:4D:60"));
    second.name = QStringLiteral("Second");
    storeUnitIn(path, second);

    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.beginReadArray(QStringLiteral("MACS")), 2);
    settings.setArrayIndex(0);
    QCOMPARE(settings.value(QStringLiteral("mac")).toString(), first.mac);
    settings.setArrayIndex(1);
    QCOMPARE(settings.value(QStringLiteral("mac")).toString(), second.mac);
    settings.endArray();

    settings.beginGroup(first.mac);
    for (auto it = firstGroup.cbegin(); it != firstGroup.cend(); ++it)
        QCOMPARE(settings.value(it.key()).toString(), it.value());
    settings.endGroup();
    settings.beginGroup(second.mac);
    QCOMPARE(settings.value(QStringLiteral("name")).toString(), QStringLiteral("Second"));
}

void TestUnitListFile::writesIntoDataFolder()
{
    // The per-user data folder follows XDG_DATA_HOME.
    const QString dataHome = dir.filePath(QStringLiteral("xdg-data"));
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dataHome.toLocal8Bit());
    Folders::createStartupFolders();
    UnitListWriter writer;
    storeUnit(sampleUnit(QStringLiteral("00:1A:2B:3C:4D:5E")));
    flushUnitList();

    const QString file = dataHome + QStringLiteral("/Quillet/units.ini");
    QVERIFY(QFile::exists(file));
    QFile raw(file);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray text = raw.readAll();
    QVERIFY(text.contains("hzOffset=-12"));
    QVERIFY(text.contains("[MACS]"));
    raw.close();

    // A fleet answering its commands: the burst reaches the disk shortly after, and the file
    // is the one that storing each unit on its own gives.
    QStringList burst{QStringLiteral("00:1A:2B:3C:4D:5E")};
    for (int i = 0; i < 40; ++i)
        burst << QStringLiteral("02:B5:0A:4D:01:%1").arg(i, 2, 16, QLatin1Char('0')).toUpper();
    for (const QString &mac : std::as_const(burst)) {
        storeUnit(sampleUnit(mac));
        storeUnit(sampleUnit(mac));
    }
    qputenv("XDG_DATA_HOME", previous);
    for (const QString &mac : std::as_const(burst))
        storeUnitIn(path, sampleUnit(mac));
    QFile expected(path);
    QVERIFY(expected.open(QIODevice::ReadOnly));
    const QByteArray expectedText = expected.readAll();
    QTRY_COMPARE_WITH_TIMEOUT(QFile(file).size(), expectedText.size(), 10000);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    QCOMPARE(raw.readAll(), expectedText);
    raw.close();

    // A record stored again replaces the one stored before; the writer's thread leaves nothing
    // behind (no half-written or lock file).
    MarluneUnit renamed = sampleUnit(burst.last());
    renamed.name = QStringLiteral("Renamed in place");
    storeUnit(renamed);
    flushUnitList();
    QCOMPARE(QSettings(file, QSettings::IniFormat).value(burst.last() + QStringLiteral("/name")).toString(),
             renamed.name);
    QCOMPARE(QDir(dataHome + QStringLiteral("/Quillet")).entryList(QDir::Files), QStringList{"units.ini"});
}

void TestUnitListFile::arraySizeIsNotTrusted_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QStringList>("expected");

    const QString last = QStringLiteral("00:1A:2B:3C:4D:60");
    QTest::newRow("huge") << "666666666" << QStringList{"00:00:00:00:00:01", "00:00:00:00:00:02", last};
    QTest::newRow("largest-int") << "2147483647" << QStringList{"00:00:00:00:00:01", "00:00:00:00:00:02", last};
    QTest::newRow("too-small") << "1" << QStringList{"00:00:00:00:00:01", "00:00:00:00:00:02", last};
    QTest::newRow("negative") << "-5" << QStringList{"00:00:00:00:00:01", "00:00:00:00:00:02", last};
    QTest::newRow("not-a-number") << "many" << QStringList{"00:00:00:00:00:01", "00:00:00:00:00:02", last};
}

// The list is what the file really holds, whatever its "size" says, and stays in the format the
// sibling tool reads.
void TestUnitListFile::arraySizeIsNotTrusted()
{
    QFETCH(QString, size);
    QFETCH(QStringList, expected);

    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[MACS]\n1\\mac=00:00:00:00:00:01\n2\\mac=00:00:00:00:00:02\nsize=" + size.toLatin1() + "\n");
    file.close();

    storeUnitIn(path, sampleUnit(expected.last()));

    QCOMPARE(macsIn(path), expected);
    QVERIFY(QFileInfo(path).size() < 16 * 1024);
}

namespace {

// The sibling configuration tool, another program that shares the file: it reads units.ini,
// changes it and puts its own whole file in its place, between two of the updater's stores.
void siblingEdits(const QString &path, const QString &edit)
{
    if (edit == QLatin1String("delete")) {
        QVERIFY(QFile::remove(path));
        return;
    }
    const QString own = path + QStringLiteral(".sibling.ini");
    QFile::remove(own);
    QVERIFY(QFile::copy(path, own));
    {
        QSettings settings(own, QSettings::IniFormat);
        if (edit == QLatin1String("append-mac")) {
            const int count = settings.beginReadArray(QStringLiteral("MACS"));
            settings.endArray();
            settings.beginWriteArray(QStringLiteral("MACS"));
            settings.setArrayIndex(count);
            settings.setValue(QStringLiteral("mac"), QStringLiteral("0A:0B:0C:0D:0E:0F"));
            settings.endArray();
            settings.setValue(QStringLiteral("0A:0B:0C:0D:0E:0F/name"), QStringLiteral("Added by the sibling"));
        } else if (edit == QLatin1String("edit-group")) {
            settings.setValue(QStringLiteral("00:00:00:00:00:0A/name"), QStringLiteral("Edited by the sibling tool"));
            settings.setValue(QStringLiteral("00:00:00:00:00:0A/siblingOnly"), 5);
        }
    }
    QVERIFY(::rename(QFile::encodeName(own).constData(), QFile::encodeName(path).constData()) == 0);
}

} // namespace

void TestUnitListFile::siblingToolWritesBetweenStores_data()
{
    QTest::addColumn<QString>("edit");     // what the sibling tool does after the updater's first stores
    QTest::addColumn<QStringList>("macs"); // the "MACS" array after the updater's next store
    QTest::addColumn<QString>("nameOfA");  // 00:00:00:00:00:0A/name then

    // The updater stores A and B, the sibling edits, then the updater stores A (unchanged) and C.
    const QString a = QStringLiteral("00:00:00:00:00:0A");
    const QString b = QStringLiteral("00:00:00:00:00:0B");
    const QString c = QStringLiteral("00:00:00:00:00:0C");
    QTest::newRow("appends-a-mac") << "append-mac" << QStringList{a, b, "0A:0B:0C:0D:0E:0F", c} << "Unit A";
    QTest::newRow("edits-a-group") << "edit-group" << QStringList{a, b, c} << "Unit A";
    QTest::newRow("deletes-the-file") << "delete" << QStringList{a, c} << "Unit A";
}

// Every store starts from the file as it is on disk: what the sibling tool wrote in between
// stays, but for the groups of the units stored, which are overwritten whole.
void TestUnitListFile::siblingToolWritesBetweenStores()
{
    QFETCH(QString, edit);
    QFETCH(QStringList, macs);
    QFETCH(QString, nameOfA);

    MarluneUnit a = sampleUnit(QStringLiteral("00:00:00:00:00:0A"));
    a.name = QStringLiteral("Unit A");
    const MarluneUnit b = sampleUnit(QStringLiteral("00:00:00:00:00:0B"));
    const MarluneUnit c = sampleUnit(QStringLiteral("00:00:00:00:00:0C"));
    UnitListWriter writer(path);
    writer.store(a);
    writer.store(b);
    writer.flush();
    siblingEdits(path, edit);
    writer.store(a);
    writer.store(c);
    writer.flush();

    QCOMPARE(macsIn(path), macs);
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.value(a.mac + QStringLiteral("/name")).toString(), nameOfA);
    QCOMPARE(settings.value(c.mac + QStringLiteral("/sn")).toString(), c.sn);
    // What the sibling wrote of units the updater did not store again stays.
    if (edit == QLatin1String("append-mac"))
        QCOMPARE(settings.value(QStringLiteral("0A:0B:0C:0D:0E:0F/name")).toString(), QStringLiteral("Added by the sibling"));
    if (edit == QLatin1String("edit-group"))
        QCOMPARE(settings.value(a.mac + QStringLiteral("/siblingOnly")).toInt(), 5);
    QCOMPARE(settings.contains(b.mac + QStringLiteral("/name")), edit != QLatin1String("delete"));
}

QTEST_GUILESS_MAIN(TestUnitListFile)
#include "tst_unitlistfile.moc"
