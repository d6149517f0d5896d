#include "logfile.h"

#include "diagnosticreport.h"
#include "outputtext.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <cstdlib>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include "folders.h"

namespace LogFile {
namespace {

// Never destroyed: messages may still arrive while static objects are torn down.
QRecursiveMutex *logMutex()
{
    static QRecursiveMutex *mutex = new QRecursiveMutex;
    return mutex;
}

QFile *logFile = nullptr;

void destroyLogFile()
{
    QMutexLocker locker(logMutex());
    delete logFile;
    logFile = nullptr;
}

// The open file is still the one the name leads to: not deleted, moved or replaced since.
bool stillNamed(const QFile &file)
{
#ifdef Q_OS_UNIX
    struct stat named;
    struct stat open;
    return ::stat(QFile::encodeName(file.fileName()).constData(), &named) == 0 && ::fstat(file.handle(), &open) == 0
           && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
#else
    return file.exists();
#endif
}

} // namespace

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(logMutex());
    if (!logFile) {
        // A relative name: it resolves against the working folder at every open.
        logFile = new QFile(QStringLiteral("LOGFILE.txt"));
        std::atexit(destroyLogFile);
    }
    // The file stays open between messages: reopening it for each one lost every line once the
    // process had no descriptor to spare. Other programs may still read it, and one that deletes
    // or replaces it gets a new file with the next message.
    if (logFile->isOpen() && !stillNamed(*logFile))
        logFile->close();
    if (!logFile->isOpen())
        logFile->open(QIODevice::WriteOnly | QIODevice::Append);

    if (type == QtFatalMsg) {
        logFile->flush();
        std::abort();
    }

    // A unit's name in a line shows its control characters as text, so that reading the log in a
    // terminal never runs them; the line feeds of the updater's own entries (hex dumps) stay.
    if (logFile->isOpen()) {
        logFile->write("\n");
        logFile->write(escapedControls(message, LineFeeds::Kept).toLocal8Bit());
        logFile->flush();
    }

    if (type == QtCriticalMsg)
        DiagnosticReport::write();
}

bool installIfRequested()
{
    if (!QFileInfo::exists(Folders::logFilePath()))
        return false;
    qInstallMessageHandler(messageHandler);
    return true;
}

} // namespace LogFile
