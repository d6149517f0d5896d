// bryx-updater-cli: the updater without a window, for unattended and scripted runs.

#include "app/cli/clihistory.h"
#include "app/cli/clioptions.h"
#include "app/cli/clirun.h"
#include "app/debuglog.h"
#include "app/folders.h"
#include "app/instancelock.h"
#include "app/logfile.h"
#include "app/outputtext.h"
#include "app/processlimits.h"
#include "app/quitsignals.h"
#include "app/updatersettings.h"
#include "update/updatercore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <cstdio>

static const char kLogSource[] = "cli";

namespace {

void say(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
}

// Set once the run has written its summary: nothing comes after it on stderr.
std::atomic<bool> runOver{false};

// Without a log file the debug lines would bury the progress lines on stderr: only warnings and
// worse are printed there (all of them with BRYX_CLI_DEBUG=1), with a unit's control characters
// shown as text.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const bool everything = qEnvironmentVariableIntValue("BRYX_CLI_DEBUG") != 0;
    if ((!everything && (type == QtDebugMsg || type == QtInfoMsg)) || runOver)
        return;
    std::fputs(qPrintable(escapedControls(message, LineFeeds::Kept) + QLatin1Char('\n')), stderr);
}

// The lock the window also takes: the two never drive units at once. A lock that is there already
// is only replaced (--override-lock) once this run is sure to go ahead, in runCore.
bool lockAvailable(InstanceLock &lock, bool overrideLock)
{
    if (lock.found().exists && !overrideLock) {
        QString text = QStringLiteral("Another updater is running, or one was not closed properly (lock file %1). "
                                      "Use --override-lock when no other updater runs.")
                           .arg(lock.path());
        if (!lock.note().isEmpty())
            text += QLatin1Char(' ') + lock.note();
        say(text);
        return false;
    }
    if (lock.found().exists) {
        if (!lock.note().isEmpty())
            say(lock.note());
        return true;
    }
    QString error;
    if (!lock.take(&error)) {
        say(QStringLiteral("Cannot take the lock: ") + error);
        return false;
    }
    return true;
}

int runCore(const CliOptions &options, QuitSignals &quitSignals, InstanceLock &lock)
{
    UpdaterCore core;
    // Nothing of another updater's is touched before this run is sure to go ahead: not its lock,
    // not its history (opening the history marks unended batches interrupted).
    if (!core.fileServerListening()) {
        say(QStringLiteral("Cannot serve images: TCP port %1 is taken.").arg(UpdaterCore::kFileServerPort));
        return kExitCannotStart;
    }
    if (!core.startFailure().isEmpty()) {
        say(QStringLiteral("Cannot start: ") + core.startFailure());
        return kExitCannotStart;
    }
    if (lock.found().exists) {
        QString error;
        if (!lock.take(&error)) {
            say(QStringLiteral("Cannot take the lock: ") + error);
            return kExitCannotStart;
        }
    }
    if (options.keepHistory)
        core.keepHistory(UpdaterSettings::historyPath());
    if (!core.catalogue().hasImage()) {
        say(QStringLiteral("No update packages (*.bin and *.ver) in ") + Folders::applicationFolder());
        if (options.command == CliOptions::Command::Update)
            return kExitBadUsage;
    }
    CliRun run(options, core, stdout, stderr);
    QObject::connect(&quitSignals, &QuitSignals::received, &run, &CliRun::interrupt);
    QObject::connect(&run, &CliRun::finished, qApp, [] { runOver = true; });
    QObject::connect(&run, &CliRun::finished, qApp, &QCoreApplication::exit, Qt::QueuedConnection);
    core.start();
    const int code = QCoreApplication::exec();
    core.shutdown();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bryx-updater-cli"));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    CliOptions options;
    QString error;
    if (!parseCliArguments(arguments, &options, &error)) {
        say(error + QLatin1Char('\n') + cliUsageHint());
        return kExitBadUsage;
    }
    if (options.command == CliOptions::Command::Help) {
        std::fputs(qPrintable(cliUsage()), stdout);
        return kExitConfirmed;
    }
    if (options.command == CliOptions::Command::Version) {
        std::fputs(qPrintable(QStringLiteral("bryx-updater-cli ") + QString::fromLatin1(__DATE__).simplified()
                              + QLatin1Char('\n')),
                   stdout);
        return kExitConfirmed;
    }
    if (options.command == CliOptions::Command::History)
        return runHistory(options, UpdaterSettings::historyPath(), stdout, stderr);
    if (!options.packagesFolder.isEmpty()) {
        const QFileInfo folder(options.packagesFolder);
        if (!folder.isDir()) {
            say(QStringLiteral("No such folder: ") + options.packagesFolder);
            return kExitBadUsage;
        }
        // That folder alone: a same-named file in the working folder is not read.
        Folders::setPackagesFolder(folder.absoluteFilePath());
    }

    allowEveryDescriptor();
    readLocalTimeZoneOnce();
    Folders::createStartupFolders();
    if (!LogFile::installIfRequested())
        qInstallMessageHandler(quietMessages);
    // A reader that goes away (a pipe closed early) makes writes fail, which the run notices and
    // winds down as it does at a signal; SIGPIPE's default would end the process on the spot,
    // leaving the lock behind.
    ::signal(SIGPIPE, SIG_IGN);
    QuitSignals quitSignals;
    quitSignals.setQuitOnSignal(false);
    // Released when it goes, at whichever return.
    InstanceLock lock(Folders::lockFilePath());
    if (!lockAvailable(lock, options.overrideLock))
        return kExitCannotStart;
    const int code = runCore(options, quitSignals, lock);
    // Only a lock this run made: a run that could not start leaves another updater's in place.
    lock.release();
    BLOG << "bryx-updater-cli exited with" << code;
    return code;
}
