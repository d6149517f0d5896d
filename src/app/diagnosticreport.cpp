#include "diagnosticreport.h"

#include "folders.h"
#include "outputtext.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkInterface>

namespace DiagnosticReport {
namespace {

const QByteArray separatorLine = QByteArray("\n") + QByteArray(54, '-') + QByteArray("\n");

QByteArray interfaceSection()
{
    QByteArray text;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        if (entries.isEmpty())
            continue;
        text += "\nNetwork Interface:" + iface.humanReadableName().toLocal8Bit();
        text += (iface.flags() & QNetworkInterface::IsUp) ? "\n-UP" : "\n-DOWN";
        for (const QNetworkAddressEntry &entry : entries) {
            text += "\n--" + entry.ip().toString().toLatin1();
            text += " / " + entry.netmask().toString().toLatin1();
        }
    }
    return text;
}

// The file's text, its control characters but line feeds shown as text: the unit list holds the
// names units gave themselves, and a log written before may too.
QByteArray wholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray bytes = file.readAll();
    const QString text = QString::fromUtf8(bytes);
    const QString shown = escapedControls(text, LineFeeds::Kept);
    // Escaping only lengthens a text: a file without a control character goes in byte for byte.
    return shown.size() == text.size() ? bytes : shown.toUtf8();
}

} // namespace

QByteArray contents()
{
    QByteArray text;
    text += "\nUpdater: ";
    text += "\nPriority Help Generated: ";
    text += QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd, ddd, h:mm:ss ap")).toLatin1();
    text += "\nNetwork Addresses:\n";
    text += interfaceSection();
    text += separatorLine;
    text += wholeFile(QStringLiteral("LOGFILE.txt"));
    text += separatorLine;
    // The unit list as it is on disk. Its writer is not waited for: this runs inside the log
    // handler, which that writer's thread may be waiting for itself. What it holds back is at
    // most a second's stores, and the file it replaces is always whole.
    text += wholeFile(Folders::unitListPath());
    text += separatorLine;
    return text;
}

void write()
{
    QFile report(Folders::reportFilePath());
    if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    // The text is written out first and then replaced by its compressed form, so a report
    // interrupted half-way still leaves something readable behind.
    report.write(contents());
    report.close();
    if (!report.open(QIODevice::ReadOnly))
        return;
    const QByteArray plain = report.readAll();
    report.close();
    if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    report.write(qCompress(plain));
    report.close();
}

} // namespace DiagnosticReport
