#include "versionscanner.h"

void VersionScanner::feed(const char *data, qint64 size)
{
    const qint64 take = qMin(size, kScanLimit - scanned);
    for (qint64 i = 0; i < take; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r' || c == '\0') {
            examine(currentLine);
            currentLine.clear();
            continue;
        }
        currentLine.append(c);
        // Binary stretches make long "lines"; keep only their tail, where a key may be starting.
        if (currentLine.size() > kMaxLine)
            currentLine.remove(0, currentLine.size() - kKeepOnOverflow);
    }
    if (take > 0) {
        scanned += take;
        if (scanned >= kScanLimit)
            finish();
    }
}

void VersionScanner::finish()
{
    examine(currentLine);
    currentLine.clear();
}

void VersionScanner::examine(const QByteArray &line)
{
    // The first occurrence of each key wins, as it does for the updater's own reading of texts.
    static const QByteArray sw("SWVER:");
    static const QByteArray web("WEBVER:");
    if (foundSwversion.isEmpty()) {
        const qsizetype at = line.indexOf(sw);
        if (at >= 0)
            foundSwversion = QString::fromLatin1(line.mid(at + sw.size())).trimmed();
    }
    if (foundWebversion.isEmpty()) {
        const qsizetype at = line.indexOf(web);
        if (at >= 0)
            foundWebversion = QString::fromLatin1(line.mid(at + web.size())).trimmed();
    }
}
