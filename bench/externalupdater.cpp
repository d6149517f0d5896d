#include "externalupdater.h"

#include "app/folders.h"
#include "update/window/mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QProcessEnvironment>
#include <QNetworkProxy>
#include <QPushButton>
#include <QTcpSocket>

namespace fleetbench {

// Whether the updater's file server gives this unit's address its image: the updater lists the
// unit. The header is enough; the connection is cut off then.
bool servedAt(const QString &address)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    if (!socket.bind(QHostAddress(address)))
        return false;
    socket.connectToHost(QStringLiteral("10.77.0.1"), 50005);
    if (!socket.waitForConnected(2000))
        return false;
    socket.write("GET /image.bin HTTP/1.1\r\n\r\n");
    QByteArray answer;
    while (answer.size() < 15 && socket.waitForReadyRead(2000))
        answer += socket.read(15 - answer.size());
    socket.abort();
    return answer.startsWith("HTTP/1.1 200 OK");
}

bool ExternalUpdater::start(int units)
{
    // A fresh run: no lock left by the last one (which would ask the operator), no unit list.
    QFile::remove(Folders::lockFilePath());
    QFile::remove(Folders::unitListPath());
    // Its debug lines, a few per fetch, are not kept.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(qEnvironmentVariable("BRYX_BENCH_UPDATER_LOG", QProcess::nullDevice()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (front == Front::Window) {
        if (environment.contains(QStringLiteral("DISPLAY")))
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        process.setProcessEnvironment(environment);
        process.start(packages + QStringLiteral("/bryx-updater"), {});
    } else {
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"),
                      {QStringLiteral("list"), QStringLiteral("--wait"), QStringLiteral("3600"),
                       QStringLiteral("--packages"), packages});
    }
    if (!process.waitForStarted(10000))
        return false;
    for (int i = 0; i < units; ++i) {
        if (!waitFor([&] { return servedAt(unitAddress(i)) || process.state() == QProcess::NotRunning; }, 60000)
            || process.state() != QProcess::Running)
            return false;
    }
    return true;
}

bool ExternalUpdater::commandAll(const Fleet &fleet, int units, QPoint updateButton)
{
    const auto xdotool = [](const QStringList &arguments) {
        QProcess run;
        run.start(QStringLiteral("xdotool"), arguments);
        run.waitForFinished(10000);
        return QString::fromUtf8(run.readAllStandardOutput()).trimmed();
    };
    // A box the window shows takes the keyboard: its default button (Yes, OK) is pressed.
    const auto answerBoxes = [&] {
        const QString focused = xdotool({QStringLiteral("getwindowfocus"), QStringLiteral("getwindowname")});
        if (focused != QLatin1String("Update Units?") && focused != QLatin1String("Power Off Warning")
            && focused != QLatin1String("No units selected"))
            return false;
        xdotool({QStringLiteral("key"), QStringLiteral("Return")});
        return true;
    };
    const QString window = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                    QString::number(process.processId()), QStringLiteral("--name"),
                                    QStringLiteral("^Bryx Updater$")})
                               .section(QLatin1Char('\n'), 0, 0);
    if (window.isEmpty())
        return false;
    // The table shows the units a moment after the server knows them, and the commands go out
    // on the next refresh tick: until the units are commanded, the operator selects and
    // presses again once a tick went by (a box that says none was selected is closed first).
    const int commandedBefore = fleet.count(QStringLiteral("NO-FETCH"));
    QElapsedTimer sincePress;
    const bool commanded = waitFor(
        [&] {
            if (fleet.count(QStringLiteral("NO-FETCH")) >= commandedBefore + units)
                return true;
            if (!answerBoxes() && (!sincePress.isValid() || sincePress.hasExpired(6000))) {
                sincePress.start();
                xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
                xdotool({QStringLiteral("key"), QStringLiteral("ctrl+shift+a")});
                xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                         QString::number(updateButton.x()), QString::number(updateButton.y())});
                xdotool({QStringLiteral("click"), QStringLiteral("1")});
            }
            return false;
        },
        60000);
    // The warning comes with the first commands; it is not left open over the transfers.
    waitFor(answerBoxes, 2000);
    return commanded;
}

void ExternalUpdater::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, 15000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Where the window shows its Update Selected Units button, from its top-left corner: a window
// made here with the program's style sheet, at the size the program restores (both read the same
// settings), laid out but never shown.
QPoint updateButtonInWindow()
{
    QFile styleSheet(QStringLiteral(":/quillet.css"));
    if (styleSheet.open(QIODevice::ReadOnly))
        qApp->setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
    QPoint centre;
    {
        MainWindow window;
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.show();
        QCoreApplication::processEvents();
        const auto *button = window.findChild<QPushButton *>(QStringLiteral("updateButton"));
        centre = button->mapTo(&window, button->rect().center());
    }
    qApp->setStyleSheet(QString());
    return centre;
}

} // namespace fleetbench
