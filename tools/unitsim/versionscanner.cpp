#include "versionscanner.h"

void VersionScanner::feed(const char *data, qint64 size)
{
    const qint64 take = qMin(size, ScanLimit - m_scanned);
    for (qint64 i = 0; i < take; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r' || c == '\0') {
            examine(m_line);
            m_line.clear();
            continue;
        }
        m_line.append(c);
        // Binary stretches make long "lines"; keep only their tail, where a key may be starting.
        if (m_line.size() > MaxLine)
            m_line.remove(0, m_line.size() - KeepOnOverflow);
    }
    if (take > 0) {
        m_scanned += take;
        if (m_scanned >= ScanLimit)
            finish();
    }
}

void VersionScanner::finish()
{
    examine(m_line);
    m_line.clear();
}

void VersionScanner::examine(const QByteArray &line)
{
    // The first occurrence of each key wins, as it does for the updater's own reading of texts.
    static const QByteArray sw("SWVER:");
    static const QByteArray web("WEBVER:");
    if (m_swversion.isEmpty()) {
        const qsizetype at = line.indexOf(sw);
        if (at >= 0)
            m_swversion = QString::fromLatin1(line.mid(at + sw.size())).trimmed();
    }
    if (m_webversion.isEmpty()) {
        const qsizetype at = line.indexOf(web);
        if (at >= 0)
            m_webversion = QString::fromLatin1(line.mid(at + web.size())).trimmed();
    }
}
