#include "packagecatalogue.h"

#include "units/marluneunit.h"

#include <QDir>

namespace {

bool applies(const UpdatePackage &package, bool predicate, const MarluneUnit &unit)
{
    return predicate && package.present && package.snValid(unit);
}

bool datesMatch(const MarluneUnit &unit, const UpdatePackage &package)
{
    return unit.swDate() == package.swVer.date() && unit.webDate() == package.webVer.date();
}

bool isEncoderOrDecoder(const MarluneUnit &unit)
{
    return unit.isEncoder() || unit.isDecoder();
}

} // namespace

PackageCatalogue::PackageCatalogue()
    : packages{&ae, &wp, &k110, &k220, &k3, &dvr, &k4, &kp, &kvm, &vod, &k225}
{
    resetAll();
}

void PackageCatalogue::resetAll()
{
    static const char *const names[] = {"ae", "wp", "k110", "k220", "k3", "dvr", "k4", "kp", "kvm", "vod", "k225"};
    for (int i = 0; i < packages.size(); ++i) {
        packages[i]->reset();
        packages[i]->name = QString::fromLatin1(names[i]);
    }
}

void addFile(UpdatePackage *package, const QString &fileName, const UpdatePackage *alreadyRead)
{
    if (!fileName.toLower().contains(package->name))
        return;
    package->present = true;
    // The extension test is case-sensitive: "K110.BIN" marks the package present, no more.
    if (fileName.contains(QLatin1String(".bin"))) {
        package->newFilename = fileName;
        if (alreadyRead) {
            package->imageSha256 = alreadyRead->imageSha256;
            package->imageSize = alreadyRead->imageSize;
            package->imageModified = alreadyRead->imageModified;
            package->imageIdentity = alreadyRead->imageIdentity;
        } else {
            readImage(package, fileName);
        }
    }
    if (fileName.contains(QLatin1String(".ver")))
        parseVerFile(fileName, &package->webVer, &package->swVer, &package->minSwVer, &package->addOn,
                     &package->includes);
}

void PackageCatalogue::scan(const QString &folder)
{
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.bin"), QStringLiteral("*.ver")},
                                                     QDir::Files | QDir::NoSymLinks, QDir::Unsorted);
    for (const QString &file : files) {
        // An image that several packages share is read (and hashed) once.
        const UpdatePackage *read = nullptr;
        for (UpdatePackage *package : packages) {
            addFile(package, file, read);
            if (!read && package->newFilename == file)
                read = package;
        }
    }
}

bool PackageCatalogue::hasImage() const
{
    for (const UpdatePackage *package : packages)
        if (!package->newFilename.isEmpty())
            return true;
    return false;
}

QString PackageCatalogue::versionsText() const
{
    QString text;
    int entries = 0;
    for (const UpdatePackage *package : packages) {
        const QString description = package->description();
        text += description;
        if (!description.isEmpty())
            ++entries;
        if (entries % 3 == 0)
            text += QLatin1Char('\n');
    }
    return text.trimmed();
}

QList<const UpdatePackage *> PackageCatalogue::images() const
{
    QList<const UpdatePackage *> result;
    QStringList seen;
    for (const UpdatePackage *package : packages) {
        if (package->newFilename.isEmpty() || seen.contains(package->newFilename))
            continue;
        seen.append(package->newFilename);
        result.append(package);
    }
    return result;
}

const UpdatePackage *PackageCatalogue::byName(const QString &name) const
{
    for (const UpdatePackage *package : packages)
        if (package->name == name)
            return package;
    return nullptr;
}

FileIdentity PackageCatalogue::scannedImage(const QString &fileName) const
{
    for (const UpdatePackage *package : packages)
        if (package->newFilename == fileName)
            return package->imageIdentity;
    return FileIdentity();
}

int PackageCatalogue::admissions(const MarluneUnit &u) const
{
    if (!(u.isK4Audio() || u.isAtr() || u.isWp() || u.isKSeries() || u.isDvr() || u.isWpc() || u.isVod()))
        return 0;

    int count = 0;
    // Group 1: the first family package that applies.
    const bool firstGroup = applies(wp, u.isWp(), u) || applies(k4, u.isK4Audio(), u) || applies(ae, u.isAtr(), u)
                            || applies(kp, u.isWpc(), u) || applies(kvm, u.isGen2Kvm(), u)
                            || applies(k225, u.isGen2FourK(), u) || applies(vod, u.isVod(), u)
                            || applies(k3, u.isGen3(), u);
    if (firstGroup)
        ++count;
    // Group 2: plain K-Series encoders and decoders of the first and second generation.
    if (u.isKSeries() && isEncoderOrDecoder(u) && !(u.isGen3() || u.isGen2FourK() || u.isGen2Kvm())) {
        if (applies(k110, u.isGen1(), u))
            ++count;
        if (applies(k220, u.isGen2(), u))
            ++count;
    }
    // Group 3: recorders.
    if (applies(dvr, u.isDvr(), u))
        ++count;
    return count;
}

bool PackageCatalogue::unitMatchesPackage(const MarluneUnit &u) const
{
    const struct
    {
        bool holds;
        const UpdatePackage &package;
    } rules[] = {{u.isGen3(), k3},
                 {u.isWpc(), kp},
                 {u.isGen2Kvm(), kvm},
                 {u.isGen2FourK(), k225},
                 {u.isVod(), vod},
                 {u.isK4Audio(), k4},
                 {u.isAtr(), ae},
                 {u.isKSeries() && u.isGen1(), k110},
                 {u.isKSeries() && u.isGen2(), k220},
                 {u.isWp(), wp},
                 {u.isDvr(), dvr}};
    for (const auto &rule : rules)
        if (rule.holds && datesMatch(u, rule.package))
            return true;
    return false;
}

const UpdatePackage *PackageCatalogue::packageForFetch(const MarluneUnit &u) const
{
    if (u.isAtr() && u.sn.contains(QLatin1String("ATA")))
        return &ae;
    if (u.isAtr() && u.sn.contains(QLatin1String("K4")))
        return &k4;
    if (u.isWpc())
        return &kp;
    if (u.isGen2Kvm())
        return &kvm;
    if (u.isGen2FourK())
        return &k225;
    if (u.isVod())
        return &vod;
    if (u.isGen2() && isEncoderOrDecoder(u))
        return &k220;
    if (u.isGen1() && isEncoderOrDecoder(u))
        return &k110;
    if (u.isGen3() && isEncoderOrDecoder(u))
        return &k3;
    if (u.isWp() && !u.isGen2FourK())
        return &wp;
    if (u.isDvr())
        return &dvr;
    return nullptr;
}

QList<const UpdatePackage *> PackageCatalogue::packagesToCompare(const MarluneUnit &u) const
{
    const bool plainKSeries = u.isKSeries() && isEncoderOrDecoder(u) && !u.isGen3();
    QList<const UpdatePackage *> result;
    if (u.isDvr() && u.fwversion != QLatin1String("0/0/0"))
        result.append(&dvr);
    if (u.isK4Audio())
        result.append(&k4);
    if (u.isWpc())
        result.append(&kp);
    if (u.isGen2Kvm())
        result.append(&kvm);
    if (u.isVod())
        result.append(&vod);
    if (u.isGen2FourK())
        result.append(&k225);
    if (plainKSeries && u.isGen1())
        result.append(&k110);
    if (plainKSeries && !u.isGen1() && u.isGen2())
        result.append(&k220);
    if (u.isKSeries() && u.isGen3())
        result.append(&k3);
    if (u.isAtr() && !u.isK4Audio())
        result.append(&ae);
    if (u.isWp())
        result.append(&wp);
    return result;
}

bool PackageCatalogue::hasAddOnFor(const MarluneUnit &u) const
{
    const bool notGen3KSeries = u.isKSeries() && !u.isGen3();
    return (notGen3KSeries && u.isGen1() && !k110.addOn.isEmpty())
           || (notGen3KSeries && u.isGen2() && !k220.addOn.isEmpty()) || (u.isWp() && !wp.addOn.isEmpty())
           || (u.isDvr() && !dvr.addOn.isEmpty()) || (u.isGen3() && !k3.addOn.isEmpty())
           || (u.isK4Audio() && !k4.addOn.isEmpty()) || (u.isWpc() && !kp.addOn.isEmpty())
           || (u.isGen2Kvm() && !kvm.addOn.isEmpty()) || (u.isGen2FourK() && !k225.addOn.isEmpty())
           || (u.isVod() && !vod.addOn.isEmpty()) || (u.isAtr() && !u.isK4Audio() && !ae.addOn.isEmpty());
}
