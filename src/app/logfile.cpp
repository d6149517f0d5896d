#include "logfile.h"

#include "diagnosticreport.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <cstdlib>

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

} // namespace

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(logMutex());
    if (!logFile) {
        // A relative name: it resolves against the working folder at every open.
        logFile = new QFile(QStringLiteral("LOGFILE.txt"));
        std::atexit(destroyLogFile);
    }
    if (!logFile->isOpen())
        logFile->open(QIODevice::WriteOnly | QIODevice::Append);

    if (type == QtFatalMsg) {
        logFile->flush();
        std::abort();
    }

    if (logFile->isOpen()) {
        logFile->write("\n");
        logFile->write(message.toLocal8Bit());
        logFile->flush();
        logFile->close();
    }

    if (type == QtCriticalMsg) {
        logFile->flush();
        logFile->close();
        DiagnosticReport::write();
    }
}

bool installIfRequested()
{
    if (!QFileInfo::exists(Folders::logFilePath()))
        return false;
    qInstallMessageHandler(messageHandler);
    return true;
}

} // namespace LogFile
