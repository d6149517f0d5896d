#pragma once

#include "updatepackage.h"

#include <QDateTime>
#include <QList>
#include <QString>

class MarluneUnit;

// The eleven packages, one per product family, and every decision that compares a unit with
// them: which units are admitted at all, which image a unit fetches, which package its row is
// compared with, and whether an update took.
class PackageCatalogue
{
public:
    PackageCatalogue();
    PackageCatalogue(const PackageCatalogue &) = delete;
    PackageCatalogue &operator=(const PackageCatalogue &) = delete;

    // Resets every package and gives it its name (the file-name prefix).
    void resetAll();
    // Lists *.bin and *.ver in folder (regular files, unsorted) and attaches each to every
    // package whose prefix its name holds. .ver files are read by bare name, from the working
    // folder or else the program's folder, so folder is normally the program's folder.
    void scan(const QString &folder);
    // Some package has a .bin image.
    bool hasImage() const;
    // The "Versions" text: package entries, three to a line.
    QString versionsText() const;
    // The packages that have an image, in the order of the packages, one per image file: an
    // image that serves two families is listed once.
    QList<const UpdatePackage *> images() const;
    const UpdatePackage *byName(const QString &name) const;
    // The file system's record of an image as the scan read and hashed it: a file with this
    // record holds the bytes that were hashed. Not existing for a name that is no package's image
    // and for an image the scan could not read.
    FileIdentity scannedImage(const QString &fileName) const;

    // How many times the package rule admits this status record (0: the unit is not listed).
    int admissions(const MarluneUnit &unit) const;
    // The unit's software and web dates equal those of its family's package.
    bool unitMatchesPackage(const MarluneUnit &unit) const;
    // The package whose image a unit is sent when it asks the file server, or nullptr.
    const UpdatePackage *packageForFetch(const MarluneUnit &unit) const;
    // The packages the unit's row is compared with, in order (the last verdict shows).
    QList<const UpdatePackage *> packagesToCompare(const MarluneUnit &unit) const;
    // The unit's family package carries an add-on rather than a dated update.
    bool hasAddOnFor(const MarluneUnit &unit) const;

    UpdatePackage ae, wp, k110, k220, k3, dvr, k4, kp, kvm, vod, k225;
    // Every package, in the fixed order of the Versions text and the scan.
    QList<UpdatePackage *> packages;
};

// Attaches one found file to one package when the name holds the package's prefix (in any
// case): the package is present; a ".bin" name is its image, read for its SHA-256, size and time
// (or, given the package that read this image already, taken from it); a ".ver" file is read for
// its dates.
void addFile(UpdatePackage *package, const QString &fileName, const UpdatePackage *alreadyRead = nullptr);
