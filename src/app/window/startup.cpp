#include "startup.h"

#include "app/debuglog.h"
#include "app/folders.h"
#include "app/instancelock.h"
#include "app/logfile.h"
#include "app/processlimits.h"
#include "app/quitsignals.h"
#include "operatorquestions.h"
#include "update/window/mainwindow.h"
#include "windowlook.h"

#include <QApplication>
#include <QDialog>

static const char kLogSource[] = "main";

namespace {

// A box open before the event loop runs has a loop of its own, which a request to quit does not
// reach: a signal closes it, as the operator closing it would, and start-up then goes no further.
void closeOpenBoxes()
{
    while (QWidget *box = QApplication::activeModalWidget()) {
        if (auto *dialog = qobject_cast<QDialog *>(box))
            dialog->done(QDialog::Rejected);
        else
            box->close();
        if (box == QApplication::activeModalWidget())
            break;
    }
}

} // namespace

int updaterMain(int &argc, char **argv)
{
    allowEveryDescriptor();
    readLocalTimeZoneOnce();
    Folders::createStartupFolders();
    LogFile::installIfRequested();

    // Declared in the order they are made; leaving the function destroys them in reverse, so the
    // window always goes before the application.
    QApplication app(argc, argv);
    const bool plainStart = (argc == 1);
    // SIGTERM, SIGINT and SIGHUP end the run as closing the window does, also while a box of the
    // start-up is open.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &app, closeOpenBoxes);

    // Destroyed after the window, it lets go of the lock if the window's quit slot has not.
    InstanceLock lock(Folders::lockFilePath());
    if (!lock.note().isEmpty())
        BLOG << lock.note();
    if (plainStart && lock.found().exists) {
        const QMessageBox::StandardButton answer = askOperator(
            nullptr, QMessageBox::Warning, QString(),
            QStringLiteral("Updater was not closed properly, or another instance is running.\n\n "
                           "Override lock and continue loading?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes || quitSignals.quitRequested())
            return 0;
    }
    // An empty file of this process's own: its presence is the lock. What was there before (a
    // stale lock, a link) is replaced, never written through.
    QString lockError;
    if (!lock.take(&lockError))
        BLOG << "No lock:" << lockError;

    applyWindowLook(app);

    // A start that shows no window keeps no history: it must not mark another updater's batch
    // interrupted.
    MainWindow window(nullptr, plainStart ? MainWindow::History::Kept : MainWindow::History::NotKept);
    int returnCode = -1;
    if (plainStart) {
        if (!lockError.isEmpty())
            window.toStatusLog(QStringLiteral("Updater"),
                               QStringLiteral("Running without the single-instance lock: ") + lockError);
        window.show();
        QCoreApplication::processEvents();
        const bool connected =
            bool(QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, &MainWindow::appIsQuitting));
        BLOG << "aboutToQuit connected to appIsQuitting:" << connected;
        // A signal to quit that came while the window was being made ends the run at once.
        if (quitSignals.quitRequested())
            QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
        returnCode = QApplication::exec();
        BLOG << "Quillet exited normally with returncode:" << returnCode;
    }
    // With arguments the window is never shown and the lock file stays behind.
    if (!plainStart)
        lock.leaveBehind();
    return returnCode;
}
