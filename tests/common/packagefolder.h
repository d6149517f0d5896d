#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Writes a package pair beside a (test) program: NAME.ver with the dates, and NAME.bin, a test
// image that carries the same "SWVER:"/"WEBVER:" lines (the unit simulator reports the versions
// it finds in the image it fetched), padded to imageSize bytes.
inline bool writePackage(const QString &folder, const QString &name, const QString &sw, qint64 webSeconds,
                         const QString &minimumSw = QString(), const QByteArray &extraVerLines = QByteArray(),
                         qint64 imageSize = 4096)
{
    QByteArray ver = "SWVER:" + sw.toLatin1() + "\nWEBVER:" + QByteArray::number(webSeconds) + "\n";
    if (!minimumSw.isEmpty())
        ver += "MINSWVER:" + minimumSw.toLatin1() + "\n";
    ver += extraVerLines;
    QFile description(folder + QLatin1Char('/') + name + QStringLiteral(".ver"));
    if (!description.open(QIODevice::WriteOnly) || description.write(ver) != ver.size())
        return false;
    QByteArray image = "SWVER:" + sw.toLatin1() + "\nWEBVER:" + QByteArray::number(webSeconds) + "\n";
    if (image.size() < imageSize)
        image += QByteArray(imageSize - image.size(), '\x5a');
    QFile bin(folder + QLatin1Char('/') + name + QStringLiteral(".bin"));
    return bin.open(QIODevice::WriteOnly) && bin.write(image) == image.size();
}
