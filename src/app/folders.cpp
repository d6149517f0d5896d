#include "folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace Folders {

static QString withSeparator(const QString &path)
{
    return QDir::toNativeSeparators(path) + QDir::separator();
}

QString tempWorkFolder()
{
    return withSeparator(QDir(QDir::tempPath()).absolutePath()) + QStringLiteral("Quillet")
           + QDir::separator();
}

QString dataFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return withSeparator(base) + QStringLiteral("Quillet") + QDir::separator();
}

QString reportFolder()
{
    return tempWorkFolder() + QStringLiteral("priorityhelp/");
}

QString lockFilePath()
{
    return tempWorkFolder() + QStringLiteral("singleinstanceupdater.txt");
}

QString reportFilePath()
{
    return reportFolder() + QStringLiteral("priorityhelp_krelay.bin");
}

QString unitListPath()
{
    return dataFolder() + QStringLiteral("units.ini");
}

QString settingsPath()
{
    return dataFolder() + QStringLiteral("quilletsettings.ini");
}

QString logFilePath()
{
    return QDir::currentPath() + QDir::separator() + QStringLiteral("LOGFILE.txt");
}

static QString &applicationFolderOverride()
{
    static QString folder;
    return folder;
}

QString applicationFolder()
{
    const QString &folder = applicationFolderOverride();
    return folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
}

static bool &packagesFolderNamed()
{
    static bool named = false;
    return named;
}

void setApplicationFolder(const QString &folder)
{
    applicationFolderOverride() = folder;
    packagesFolderNamed() = false;
}

void setPackagesFolder(const QString &folder)
{
    applicationFolderOverride() = folder;
    packagesFolderNamed() = !folder.isEmpty();
}

bool workingFolderHoldsPackages()
{
    return !packagesFolderNamed();
}

void createStartupFolders()
{
    QDir().mkpath(tempWorkFolder());
    QDir().mkpath(dataFolder());
    QDir().mkpath(reportFolder());
}

} // namespace Folders
