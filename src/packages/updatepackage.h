#pragma once

#include "app/fileidentity.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

class MarluneUnit;

// One update package: a firmware image (.bin) and its description (.ver) for one product
// family, found beside the program.
class UpdatePackage
{
public:
    UpdatePackage() { reset(); }

    // Dates at the Unix epoch (no version), texts and includes empty, not present.
    void reset();
    // True when the package takes every serial number, or the unit's serial begins with one of
    // the include prefixes.
    bool snValid(const MarluneUnit &unit) const;
    // The package's entry in the Versions text, "" when it offers no version.
    QString description() const;

    QDateTime swVer;
    QDateTime webVer;
    QDateTime minSwVer;
    QString newFilename;
    bool present = false;
    QString addOn;
    QString name;
    QStringList includes;
    // The image as the scan read it: its SHA-256 in lower-case hex, its size, its last-modified
    // time and the file system's whole record of it. Empty, -1, invalid and not existing when
    // there is no image or it could not be read.
    QString imageSha256;
    qint64 imageSize = -1;
    QDateTime imageModified;
    FileIdentity imageIdentity;
};

// A date-time that stands for "no version": exactly the Unix epoch (an invalid one is not).
bool isEpoch(const QDateTime &dateTime);

// Where a package file named bare is looked for: the working folder if a regular file of that
// name is there, else the application folder; only the application folder when a packages
// folder was named. The scan and the file server both find images this way.
QString packageFilePath(const QString &fileName);

// Reads the image into the package's imageSha256, imageSize, imageModified and imageIdentity,
// streamed from the file, so a large image is never in memory whole. All are cleared when it
// cannot be read, or when it changed while it was read.
void readImage(UpdatePackage *package, const QString &fileName);

// Reads a .ver file (found as packageFilePath finds it; only a regular file) into the five
// outputs. A missing file leaves the dates at the epoch and the includes empty.
void parseVerFile(QString fileName, QDateTime *webVer, QDateTime *swVer, QDateTime *minSwVer, QString *addOn,
                  QStringList *includes);
