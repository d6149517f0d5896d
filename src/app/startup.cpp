#include "startup.h"

#include "debuglog.h"
#include "folders.h"
#include "logfile.h"
#include "operatorquestions.h"
#include "processlimits.h"
#include "quitsignals.h"
#include "../update/mainwindow.h"

#include <QApplication>
#include <QFile>

static const char kLogSource[] = "main";

int updaterMain(int &argc, char **argv)
{
    allowEveryDescriptor();
    Folders::createStartupFolders();
    LogFile::installIfRequested();

    // Declared in the order they are made; leaving the function destroys them in reverse, so the
    // window always goes before the application.
    QApplication app(argc, argv);
    const bool plainStart = (argc == 1);
    // SIGTERM, SIGINT and SIGHUP end the run as closing the window does.
    QuitSignals quitSignals;

    QFile lockFile(Folders::lockFilePath());
    if (plainStart && lockFile.exists()) {
        const QMessageBox::StandardButton answer = askOperator(
            nullptr, QMessageBox::Warning, QString(),
            QStringLiteral("Updater was not closed properly, or another instance is running.\n\n "
                           "Override lock and continue loading?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return 0;
    }
    // An empty file: its presence is the lock.
    lockFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
    lockFile.close();

    QFile styleSheet(QStringLiteral(":/quillet.css"));
    if (styleSheet.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));

    MainWindow window(nullptr);
    int returnCode = -1;
    if (plainStart) {
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
    return returnCode;
}
