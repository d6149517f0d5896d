#include "updatepackage.h"

#include "app/debuglog.h"
#include "app/folders.h"
#include "net/statusreply.h"
#include "units/marluneunit.h"

#include <QCryptographicHash>
#include <QFile>

static const char kLogSource[] = "updatepackage";

namespace {

// A .ver file is a few lines of text; anything larger is not one.
constexpr qint64 kMaxVerFileSize = 1024 * 1024;

QDateTime epoch()
{
    return QDateTime::fromSecsSinceEpoch(0);
}

QByteArray readVerFile(QFile &file)
{
    return file.read(kMaxVerFileSize);
}

} // namespace

bool isEpoch(const QDateTime &dateTime)
{
    return dateTime.isValid() && dateTime.toSecsSinceEpoch() == 0;
}

void UpdatePackage::reset()
{
    swVer = epoch();
    webVer = epoch();
    minSwVer = epoch();
    newFilename.clear();
    present = false;
    addOn.clear();
    name.clear();
    includes.clear();
    imageSha256.clear();
    imageSize = -1;
    imageModified = QDateTime();
    imageIdentity = FileIdentity();
}

bool UpdatePackage::snValid(const MarluneUnit &unit) const
{
    if (includes.isEmpty())
        return true;
    for (const QString &prefix : includes)
        if (unit.sn.startsWith(prefix, Qt::CaseSensitive))
            return true;
    BLOG << "Rejected" << unit.sn << "from" << includes;
    return false;
}

QString UpdatePackage::description() const
{
    if (!present || (isEpoch(webVer) && isEpoch(swVer)))
        return QString();
    if (!addOn.isEmpty())
        return name.toUpper() + QStringLiteral(": Add-on   ");
    const QString format = QStringLiteral("MM/dd/yyyy");
    return name.toUpper() + QStringLiteral(":(") + swVer.toString(format) + QStringLiteral(" , ")
           + webVer.toString(format) + QStringLiteral(")   ");
}

QString packageFilePath(const QString &fileName)
{
    // Only a regular file in the working folder counts: a pipe or a link to a device there is
    // passed over, as the scan of the application folder passes over them.
    if (Folders::workingFolderHoldsPackages() && isRegularFile(fileName))
        return fileName;
    return Folders::applicationFolder() + QLatin1Char('/') + fileName;
}

void readImage(UpdatePackage *package, const QString &fileName)
{
    package->imageSha256.clear();
    package->imageSize = -1;
    package->imageModified = QDateTime();
    package->imageIdentity = FileIdentity();

    QFile file;
    if (!openRegularFile(&file, packageFilePath(fileName)))
        return;
    // The file's record from the open file, before reading it and again after: a file that
    // changed while it was hashed has no hash that can be trusted.
    const FileIdentity identity = FileIdentity::of(file.handle());
    const QDateTime modified = file.fileTime(QFileDevice::FileModificationTime);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || FileIdentity::of(file.handle()) != identity)
        return;
    package->imageSha256 = QString::fromLatin1(hash.result().toHex());
    package->imageSize = identity.size;
    package->imageModified = modified;
    package->imageIdentity = identity;
}

void parseVerFile(QString fileName, QDateTime *webVer, QDateTime *swVer, QDateTime *minSwVer, QString *addOn,
                  QStringList *includes)
{
    fileName = packageFilePath(fileName);

    *webVer = epoch();
    *swVer = epoch();
    *minSwVer = epoch();
    includes->clear();

    QFile file;
    if (!openRegularFile(&file, fileName))
        return;
    const QByteArray contents = readVerFile(file);

    *webVer = QDateTime::fromSecsSinceEpoch(getValue(contents, "WEBVER:").toUInt());
    *swVer = QDateTime::fromString(getValue(contents, "SWVER:"), QStringLiteral("M/d/yyyy"));

    const QString minimum = getValue(contents, "MINSWVER:");
    const bool hasIncludes = !getValue(contents, "INCLUDE:").isEmpty();
    if (!minimum.isEmpty()) {
        *minSwVer = QDateTime::fromString(minimum, QStringLiteral("M/d/yyyy"));
        if (!minSwVer->isValid()) // two-digit years are read as 19yy: move them to 20yy
            *minSwVer = QDateTime::fromString(minimum, QStringLiteral("M/d/yy")).addYears(100);
    }

    if (contents.contains("\nADDON") || contents.contains("\rADDON")) {
        *addOn = getValue(contents, "ADDON:");
        if (!addOn->isEmpty()) {
            *addOn = QStringLiteral("Add-on: ") + *addOn;
            BLOG << "verFileContents" << QString::fromLatin1(contents);
        }
    } else {
        addOn->clear();
    }
    file.close();

    if (!hasIncludes)
        return;
    if (!openRegularFile(&file, fileName))
        return;
    const QStringList lines = QString::fromLatin1(readVerFile(file)).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("INCLUDE")))
            continue;
        const QString prefix = getValue(line.toLatin1(), "INCLUDE:");
        if (!prefix.isEmpty())
            includes->append(prefix.trimmed());
    }
}
