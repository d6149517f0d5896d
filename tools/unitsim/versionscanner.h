#pragma once

#include <QByteArray>
#include <QString>

// Looks through the start of a firmware image, fed in pieces as it arrives, for the text lines
// "SWVER:" and "WEBVER:" that say which versions the image carries. Holds at most one line.
class VersionScanner
{
public:
    // How much of the image is looked at.
    static constexpr qint64 ScanLimit = 64 * 1024;

    void feed(const char *data, qint64 size);
    // Call once the image is complete, so that a last line without an end is looked at too.
    void finish();

    QString swversion() const { return m_swversion; }
    QString webversion() const { return m_webversion; }

private:
    void examine(const QByteArray &line);

    static constexpr int MaxLine = 256;
    static constexpr int KeepOnOverflow = 64; // enough for a key and a date that straddle the cut

    QByteArray m_line;
    qint64 m_scanned = 0;
    QString m_swversion;
    QString m_webversion;
};
