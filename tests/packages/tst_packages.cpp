#include "app/folders.h"
#include "packages/packagecatalogue.h"
#include "units/marluneunit.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

QDateTime date(int y, int m, int d)
{
    return QDateTime(QDate(y, m, d), QTime(0, 0));
}

MarluneUnit unit(const QString &type, const QString &sn, quint32 kSeries = 0, const QString &sw = QString())
{
    MarluneUnit u;
    u.deviceType = type;
    u.sn = sn;
    u.KSeries = kSeries;
    u.swversion = sw;
    u.mac = QStringLiteral("02:00:00:00:00:01");
    return u;
}

void offer(UpdatePackage &package, const QDateTime &sw, const QDateTime &web, const QString &addOn = QString())
{
    package.present = true;
    package.swVer = sw;
    package.webVer = web;
    package.addOn = addOn;
}

} // namespace

class TestPackages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void verFile_data();
    void verFile();
    void missingVerFileKeepsAddOn();
    void verFileFoundBesideTheProgram();
    void addFile_data();
    void addFile();
    void scanFolder();
    void workingFolderEntries_data();
    void workingFolderEntries();
    void versionsText_data();
    void versionsText();
    void snValid_data();
    void snValid();
    void packageRule_data();
    void packageRule();
    void unitMatchesPackage_data();
    void unitMatchesPackage();

private:
    QTemporaryDir dir;
};

void TestPackages::verFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QDateTime>("sw");
    QTest::addColumn<QDateTime>("web");
    QTest::addColumn<QDateTime>("minimum");
    QTest::addColumn<QString>("addOn");
    QTest::addColumn<QStringList>("includes");

    const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0);
    const QDateTime web = QDateTime::fromSecsSinceEpoch(1425384000);
    const QDateTime invalid;
    QTest::newRow("plain") << QByteArray("SWVER:3/2/2015\nWEBVER:1425384000\nMINSWVER:1/1/2014\n")
                           << date(2015, 3, 2) << web << date(2014, 1, 1) << "" << QStringList();
    QTest::newRow("crlf-lines") << QByteArray("SWVER:3/2/2015\r\nWEBVER:1425384000\r\nMINSWVER:1/1/2014\r\n")
                                << date(2015, 3, 2) << web << date(2014, 1, 1) << "" << QStringList();
    QTest::newRow("min-two-digit-year") << QByteArray("SWVER:3/2/2015\nMINSWVER:3/1/15\n") << date(2015, 3, 2)
                                        << epoch << date(2015, 3, 1) << "" << QStringList();
    QTest::newRow("min-before-sw-gives-sw-the-min") << QByteArray("MINSWVER:1/1/2014\nSWVER:3/2/2015\n")
                                                    << date(2014, 1, 1) << epoch << date(2014, 1, 1) << ""
                                                    << QStringList();
    QTest::newRow("web-not-a-number") << QByteArray("SWVER:3/2/2015\nWEBVER:abc\n") << date(2015, 3, 2) << epoch
                                      << epoch << "" << QStringList();
    QTest::newRow("no-sw") << QByteArray("WEBVER:1425384000\n") << invalid << web << epoch << "" << QStringList();
    QTest::newRow("blank-after-colon") << QByteArray("SWVER: 3/2/2015\n") << invalid << epoch << epoch << ""
                                       << QStringList();
    QTest::newRow("min-empty") << QByteArray("SWVER:3/2/2015\nMINSWVER:\n") << date(2015, 3, 2) << epoch << epoch
                               << "" << QStringList();
    QTest::newRow("min-unreadable") << QByteArray("SWVER:3/2/2015\nMINSWVER:soon\n") << date(2015, 3, 2) << epoch
                                    << invalid << "" << QStringList();
    QTest::newRow("minwebver-unused") << QByteArray("WEBVER:1425384000\nMINWEBVER:5\nSWVER:3/2/2015\n")
                                      << date(2015, 3, 2) << web << epoch << "" << QStringList();
    QTest::newRow("addon-at-line-start") << QByteArray("SWVER:1/1/2015\nADDON:Touch driver\n") << date(2015, 1, 1)
                                         << epoch << epoch << "Add-on: Touch driver" << QStringList();
    QTest::newRow("addon-after-cr") << QByteArray("SWVER:1/1/2015\rADDON:Fonts\r") << date(2015, 1, 1) << epoch
                                    << epoch << "Add-on: Fonts" << QStringList();
    QTest::newRow("addon-at-file-start-ignored") << QByteArray("ADDON:Fonts\nSWVER:1/1/2015\n") << date(2015, 1, 1)
                                                 << epoch << epoch << "" << QStringList();
    QTest::newRow("addon-first-occurrence") << QByteArray("XADDON:first\nADDON:second\n") << invalid << epoch
                                            << epoch << "Add-on: first" << QStringList();
    QTest::newRow("addon-empty") << QByteArray("SWVER:1/1/2015\nADDON:\n") << date(2015, 1, 1) << epoch << epoch
                                 << "" << QStringList();
    QTest::newRow("includes-trimmed-in-order")
        << QByteArray("SWVER:1/1/2015\nINCLUDE: K21 \nINCLUDE:K22\r\n") << date(2015, 1, 1) << epoch << epoch << ""
        << QStringList{"K21", "K22"};
    QTest::newRow("include-of-blanks-is-empty-prefix")
        << QByteArray("INCLUDE:K21\nINCLUDE:   \n") << invalid << epoch << epoch << "" << QStringList{"K21", ""};
    QTest::newRow("first-include-empty-disables-all")
        << QByteArray("INCLUDE:\nINCLUDE:K21\n") << invalid << epoch << epoch << "" << QStringList();
    QTest::newRow("include-is-case-sensitive")
        << QByteArray("INCLUDE:K31\ninclude:K21\n") << invalid << epoch << epoch << "" << QStringList{"K31"};
}

void TestPackages::verFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QDateTime, sw);
    QFETCH(QDateTime, web);
    QFETCH(QDateTime, minimum);
    QFETCH(QString, addOn);
    QFETCH(QStringList, includes);

    const QString path = dir.filePath(QStringLiteral("%1.ver").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
    file.close();

    QDateTime gotWeb, gotSw, gotMinimum;
    QString gotAddOn = QStringLiteral("previous");
    QStringList gotIncludes{QStringLiteral("old")};
    parseVerFile(path, &gotWeb, &gotSw, &gotMinimum, &gotAddOn, &gotIncludes);
    QCOMPARE(gotSw, sw);
    QCOMPARE(gotWeb, web);
    QCOMPARE(gotMinimum, minimum);
    QCOMPARE(gotAddOn, addOn);
    QCOMPARE(gotIncludes, includes);
}

void TestPackages::missingVerFileKeepsAddOn()
{
    QDateTime web = date(2001, 1, 1), sw = web, minimum = web;
    QString addOn = QStringLiteral("Add-on: kept");
    QStringList includes{QStringLiteral("K21")};
    parseVerFile(dir.filePath(QStringLiteral("nowhere.ver")), &web, &sw, &minimum, &addOn, &includes);
    QVERIFY(isEpoch(web) && isEpoch(sw) && isEpoch(minimum));
    QCOMPARE(addOn, QStringLiteral("Add-on: kept"));
    QVERIFY(includes.isEmpty());
}

void TestPackages::verFileFoundBesideTheProgram()
{
    // A bare name that is not in the working folder is taken from the program's folder.
    QTemporaryDir programFolder;
    QFile file(programFolder.filePath(QStringLiteral("k3_only_here.ver")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("SWVER:12/24/2015\n");
    file.close();
    Folders::setApplicationFolder(programFolder.path());
    QDateTime web, sw, minimum;
    QString addOn;
    QStringList includes;
    parseVerFile(QStringLiteral("k3_only_here.ver"), &web, &sw, &minimum, &addOn, &includes);
    Folders::setApplicationFolder(QString());
    QCOMPARE(sw, date(2015, 12, 24));
}

void TestPackages::addFile_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("package");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("image");

    QTest::newRow("bin-of-its-family") << "k110_v2.bin" << "k110" << true << "k110_v2.bin";
    QTest::newRow("upper-case-extension") << "K110.BIN" << "k110" << true << "";
    QTest::newRow("other-family") << "k110_v2.bin" << "k220" << false << "";
    QTest::newRow("two-families-wp") << "wp_ae_combo.bin" << "wp" << true << "wp_ae_combo.bin";
    QTest::newRow("two-families-ae") << "wp_ae_combo.bin" << "ae" << true << "wp_ae_combo.bin";
    QTest::newRow("prefix-inside-name") << "my-k225-image.bin" << "k225" << true << "my-k225-image.bin";
    QTest::newRow("k225-image-is-not-k220") << "k225.bin" << "k220" << false << "";
    QTest::newRow("ver-is-no-image") << "k220.ver" << "k220" << true << "";
}

void TestPackages::addFile()
{
    QFETCH(QString, fileName);
    QFETCH(QString, package);
    QFETCH(bool, present);
    QFETCH(QString, image);

    UpdatePackage p;
    p.name = package;
    ::addFile(&p, fileName);
    QCOMPARE(p.present, present);
    QCOMPARE(p.newFilename, image);
}

void TestPackages::scanFolder()
{
    QTemporaryDir folder;
    const auto write = [&](const QString &name, const QByteArray &contents) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    };
    // Many times the hash's read size, so the image is hashed in pieces.
    write(QStringLiteral("k220_2015.bin"), QByteArray(100000, 'Z'));
    write(QStringLiteral("k220_2015.ver"), "SWVER:3/2/2015\nWEBVER:1425384000\nINCLUDE:K21\nINCLUDE:K22\n");
    write(QStringLiteral("K110.BIN"), "image");
    write(QStringLiteral("notes.txt"), "ignored");
    QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("dvr.bin")))); // a folder, not a file

    PackageCatalogue catalogue;
    Folders::setApplicationFolder(folder.path());
    catalogue.scan(folder.path());
    Folders::setApplicationFolder(QString());
    QVERIFY(catalogue.hasImage());
    QVERIFY(catalogue.k220.present);
    QCOMPARE(catalogue.k220.newFilename, QStringLiteral("k220_2015.bin"));
    QCOMPARE(catalogue.k220.includes, (QStringList{"K21", "K22"}));
    QCOMPARE(catalogue.k220.swVer, date(2015, 3, 2));
    QCOMPARE(catalogue.k220.imageSha256,
             QStringLiteral("f734fc90ca6f928f4e772a31dba36dd6924c80bd654c3681f15ee7725eaac713"));
    QCOMPARE(catalogue.k220.imageSize, 100000);
    QCOMPARE(catalogue.k220.imageModified, QFileInfo(folder.filePath(QStringLiteral("k220_2015.bin"))).lastModified());
    // The file server sends an image only while the file is still the one the scan read.
    const QString image = folder.filePath(QStringLiteral("k220_2015.bin"));
    QCOMPARE(catalogue.scannedImage(QStringLiteral("k220_2015.bin")), FileIdentity::of(image));
    QCOMPARE(catalogue.scannedImage(QStringLiteral("k220_2015.bin")).size, 100000);
    QVERIFY(!catalogue.scannedImage(QStringLiteral("K110.BIN")).exists);
    QVERIFY(catalogue.k110.present);
    QVERIFY(catalogue.k110.newFilename.isEmpty());
    QVERIFY(catalogue.k110.imageSha256.isEmpty());
    QCOMPARE(catalogue.k110.imageSize, -1);
    QVERIFY(!catalogue.dvr.present);
    QStringList names;
    for (const UpdatePackage *package : catalogue.packages)
        names << package->name;
    QCOMPARE(names, (QStringList{"ae", "wp", "k110", "k220", "k3", "dvr", "k4", "kp", "kvm", "vod", "k225"}));
    catalogue.resetAll();
    QVERIFY(catalogue.k220.imageSha256.isEmpty() && !catalogue.k220.imageModified.isValid()
            && !catalogue.k220.imageIdentity.exists);
    QCOMPARE(catalogue.k220.imageSize, -1);
}

// A name in the working folder is read before the program's folder only when it is a regular
// file, and not at all once a packages folder was named. A pipe or a link to a device there was
// opened and read: start-up hung on it.
void TestPackages::workingFolderEntries_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("packagesFolderNamed");
    QTest::addColumn<QByteArray>("imageRead");

    QTest::newRow("regular file, window's rule") << "file" << false << QByteArray("working folder's image");
    QTest::newRow("regular file, packages folder named") << "file" << true << QByteArray("packages folder's image");
    QTest::newRow("pipe") << "pipe" << false << QByteArray("packages folder's image");
    QTest::newRow("link to a device") << "device" << false << QByteArray("packages folder's image");
}

void TestPackages::workingFolderEntries()
{
    QFETCH(QString, entry);
    QFETCH(bool, packagesFolderNamed);
    QFETCH(QByteArray, imageRead);

    QTemporaryDir packages, working;
    const auto write = [](const QString &path, const QByteArray &contents) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    };
    write(packages.filePath(QStringLiteral("k220_lab.bin")), "packages folder's image");
    write(packages.filePath(QStringLiteral("k220_lab.ver")), "SWVER:3/2/2015\n");
    for (const QString &name : {QStringLiteral("k220_lab.bin"), QStringLiteral("k220_lab.ver")}) {
        const QString path = working.filePath(name);
        if (entry == QLatin1String("file"))
            write(path, name.endsWith(QLatin1String(".bin")) ? QByteArray("working folder's image")
                                                             : QByteArray("SWVER:1/1/2013\n"));
        else if (entry == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    }

    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working.path()));
    if (packagesFolderNamed)
        Folders::setPackagesFolder(packages.path());
    else
        Folders::setApplicationFolder(packages.path());
    PackageCatalogue catalogue;
    catalogue.scan(packages.path());
    Folders::setApplicationFolder(QString());
    QDir::setCurrent(before);

    QCOMPARE(catalogue.k220.imageSha256,
             QString::fromLatin1(QCryptographicHash::hash(imageRead, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(catalogue.k220.swVer.date(), imageRead.startsWith("working") ? QDate(2013, 1, 1) : QDate(2015, 3, 2));
}

void TestPackages::versionsText_data()
{
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("expected");

    const QString e = QStringLiteral(":(03/02/2015 , 03/03/2015)   ");
    QTest::newRow("nothing") << QStringList() << "";
    QTest::newRow("one") << QStringList{"k3"} << "K3" + e.trimmed();
    QTest::newRow("three-on-one-line") << QStringList{"ae", "wp", "k110"} << "AE" + e + "WP" + e + "K110" + e.trimmed();
    QTest::newRow("four-make-two-lines") << QStringList{"ae", "wp", "k110", "k220"}
                                         << "AE" + e + "WP" + e + "K110" + e + "\nK220" + e.trimmed();
    QTest::newRow("empty-lines-between-entries")
        << QStringList{"ae", "wp", "k110", "k225"}
        << "AE" + e + "WP" + e + "K110" + e + QString(8, QLatin1Char('\n')) + "K225" + e.trimmed();
    QTest::newRow("add-on-entry") << QStringList{"kp+addon"} << "KP: Add-on";
    QTest::newRow("no-software-date") << QStringList{"vod-nosw"} << "VOD:( , 03/03/2015)";
    QTest::newRow("present-but-no-dates") << QStringList{"dvr-nodates"} << "";
}

void TestPackages::versionsText()
{
    QFETCH(QStringList, offered);
    QFETCH(QString, expected);

    PackageCatalogue catalogue;
    for (const QString &entry : offered) {
        const QString name = entry.section(QLatin1Char('+'), 0, 0).section(QLatin1Char('-'), 0, 0);
        UpdatePackage *package = nullptr;
        for (UpdatePackage *p : catalogue.packages)
            if (p->name == name)
                package = p;
        QVERIFY(package);
        offer(*package, date(2015, 3, 2), QDateTime::fromSecsSinceEpoch(1425384000));
        if (entry.endsWith(QLatin1String("+addon")))
            package->addOn = QStringLiteral("Add-on: Fonts");
        if (entry.endsWith(QLatin1String("-nosw")))
            package->swVer = QDateTime();
        if (entry.endsWith(QLatin1String("-nodates")))
            package->swVer = package->webVer = QDateTime::fromSecsSinceEpoch(0);
    }
    QCOMPARE(catalogue.versionsText(), expected);
}

void TestPackages::snValid_data()
{
    QTest::addColumn<QStringList>("includes");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<bool>("valid");

    QTest::newRow("no-includes-take-all") << QStringList() << "anything" << true;
    QTest::newRow("prefix-match") << QStringList{"K21"} << "K21A0001" << true;
    QTest::newRow("case-sensitive") << QStringList{"K21"} << "k21a0001" << false;
    QTest::newRow("second-prefix") << QStringList{"K31", "K21"} << "K21A" << true;
    QTest::newRow("no-match") << QStringList{"K31", "K32"} << "K21A" << false;
    QTest::newRow("empty-prefix-takes-all") << QStringList{"K31", ""} << "K21A" << true;
}

void TestPackages::snValid()
{
    QFETCH(QStringList, includes);
    QFETCH(QString, sn);
    QFETCH(bool, valid);

    UpdatePackage package;
    package.includes = includes;
    if (!valid)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Rejected ") + sn + QStringLiteral(" from")));
    QCOMPARE(package.snValid(unit(QStringLiteral("ENC"), sn)), valid);
}

void TestPackages::packageRule_data()
{
    QTest::addColumn<MarluneUnit>("record");
    QTest::addColumn<QStringList>("missing"); // packages not present
    QTest::addColumn<QString>("k220Includes");
    QTest::addColumn<int>("admissions");

    MarluneUnit recorder = unit("DVR", "JD1");
    recorder.fwversion = QStringLiteral("1/29/2014");
    MarluneUnit wpGen1 = unit("WP", "JWB1");
    MarluneUnit controller = unit("Conductor", "C1");
    controller.isConductor = 1;
    const QStringList none;

    QTest::newRow("windowing-processor") << unit("WP", "JW1") << none << "" << 1;
    QTest::newRow("windowing-processor-gen1") << wpGen1 << none << "" << 1;
    QTest::newRow("k440-audio") << unit("ATR", "K4300") << none << "" << 1;
    QTest::newRow("k440-without-k4-via-ae") << unit("ATR", "K4300") << QStringList{"k4"} << "" << 1;
    QTest::newRow("k440-without-k4-and-ae") << unit("ATR", "K4300") << QStringList{"k4", "ae"} << "" << 0;
    QTest::newRow("audio") << unit("ATR", "ATA1") << none << "" << 1;
    QTest::newRow("k-panel") << unit("WPC", "K8300") << none << "" << 1;
    QTest::newRow("kvm") << unit("ENC", "K210B", 1, "8/18/14") << none << "" << 1;
    QTest::newRow("kvm-without-kvm-is-not-k220") << unit("ENC", "K210B", 1, "8/18/14") << QStringList{"kvm"} << ""
                                                 << 0;
    QTest::newRow("k225") << unit("DEC", "K2250", 1) << none << "" << 1;
    QTest::newRow("vod") << unit("VOD", "K7200") << none << "" << 1;
    QTest::newRow("k330") << unit("ENC", "K3100", 1) << none << "" << 1;
    QTest::newRow("k110") << unit("DEC", "K1200", 1) << none << "" << 1;
    QTest::newRow("k220") << unit("ENC", "K2100", 1) << none << "" << 1;
    QTest::newRow("k220-missing") << unit("ENC", "K2100", 1) << QStringList{"k220"} << "" << 0;
    QTest::newRow("k220-include-match") << unit("ENC", "K2100", 1) << none << "K21" << 1;
    QTest::newRow("k220-include-reject") << unit("DEC", "K2200", 1) << none << "K21" << 0;
    QTest::newRow("recorder") << recorder << none << "" << 1;
    QTest::newRow("legacy-encoder-not-admitted") << unit("ENC", "JT100") << none << "" << 0;
    QTest::newRow("legacy-decoder-not-admitted") << unit("DEC", "JR100") << none << "" << 0;
    QTest::newRow("controller-not-admitted") << controller << none << "" << 0;
}

void TestPackages::packageRule()
{
    QFETCH(MarluneUnit, record);
    QFETCH(QStringList, missing);
    QFETCH(QString, k220Includes);
    QFETCH(int, admissions);

    PackageCatalogue catalogue;
    for (UpdatePackage *package : catalogue.packages)
        package->present = !missing.contains(package->name);
    if (!k220Includes.isEmpty())
        catalogue.k220.includes = QStringList{k220Includes};
    if (admissions == 0 && !k220Includes.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Rejected")));
    QCOMPARE(catalogue.admissions(record), admissions);
}

void TestPackages::unitMatchesPackage_data()
{
    QTest::addColumn<MarluneUnit>("record");
    QTest::addColumn<QString>("webversion");
    QTest::addColumn<bool>("matches");

    QTest::newRow("k220-same-dates") << unit("ENC", "K2100", 1, "3/2/2015") << "03/03/2015" << true;
    QTest::newRow("k220-older-sw") << unit("ENC", "K2100", 1, "3/1/2015") << "03/03/2015" << false;
    QTest::newRow("k220-older-web") << unit("ENC", "K2100", 1, "3/2/2015") << "03/02/2015" << false;
    QTest::newRow("k330-own-package") << unit("DEC", "K3200", 1, "12/24/2015") << "03/03/2015" << true;
    QTest::newRow("legacy-none") << unit("ENC", "JT1", 0, "3/2/2015") << "03/03/2015" << false;
    QTest::newRow("audio") << unit("ATR", "ATA1", 0, "6/1/2015") << "03/03/2015" << true;
}

void TestPackages::unitMatchesPackage()
{
    QFETCH(MarluneUnit, record);
    QFETCH(QString, webversion);
    QFETCH(bool, matches);

    PackageCatalogue catalogue;
    const QDateTime web = QDateTime::fromSecsSinceEpoch(1425384000);
    offer(catalogue.k220, date(2015, 3, 2), web);
    offer(catalogue.k3, date(2015, 12, 24), web);
    offer(catalogue.ae, date(2015, 6, 1), web);
    record.webversion = webversion;
    QCOMPARE(catalogue.unitMatchesPackage(record), matches);
}

QTEST_GUILESS_MAIN(TestPackages)
#include "tst_packages.moc"
