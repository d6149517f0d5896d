#pragma once

#include <QByteArray>
#include <QString>

// Looks through the start of a firmware image, fed in pieces as it arrives, for the text lines
// "SWVER:" and "WEBVER:" that say which versions the image carries. Holds at most one line.
class VersionScanner
{
public:
    // How much of the image is looked at.
    static constexpr qint64 kScanLimit = 64 * 1024;

    void feed(const char *data, qint64 size);
    // Call once the image is complete, so that a last line without an end is looked at too.
    void finish();

    QString swversion() const { return foundSwversion; }
    QString webversion() const { return foundWebversion; }

private:
    void examine(const QByteArray &line);

    static constexpr int kMaxLine = 256;
    static constexpr int kKeepOnOverflow = 64; // enough for a key and a date that straddle the cut

    QByteArray currentLine;
    qint64 scanned = 0;
    QString foundSwversion;
    QString foundWebversion;
};
