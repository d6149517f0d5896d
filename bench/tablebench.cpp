// tablebench: the unit table at a fleet's size, without units on the wire. Lists N units
// (default 10,000) in a window's pipeline, then measures the fleet's refresh (in all, and its
// longest event-loop turn), a refresh after a tick, a search keystroke and a change of the Show
// filter. Run it in a namespace of its own: tests/run-test.sh build/bin/tablebench [N]
// (the window's core broadcasts discovery as it starts).

#include "app/folders.h"
#include "scriptedoperator.h"
#include "update/updatercore.h"
#include "update/window/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <ctime>

namespace {

double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

// Until the core has shown the fleet again. With longestTurn, the longest event-loop turn
// meanwhile, in ms (a turn is timed by a timer that fires every turn, which costs processor time
// of its own: the processor time is measured without it).
void waitForFleet(UpdaterCore &core, double *wallMs, double *longestTurn = nullptr)
{
    QElapsedTimer wall;
    wall.start();
    QElapsedTimer turn;
    turn.start();
    bool shown = false;
    const auto connection = QObject::connect(&core, &UpdaterCore::fleetShown, [&shown] { shown = true; });
    QTimer beat;
    beat.setInterval(0);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        *longestTurn = qMax(*longestTurn, double(turn.nsecsElapsed()) / 1e6);
        turn.restart();
    });
    if (longestTurn) {
        *longestTurn = 0;
        beat.start();
    }
    while (!shown && wall.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QObject::disconnect(connection);
    *wallMs = double(wall.nsecsElapsed()) / 1e6;
}

// Runs one measurement twice: for its processor time, then for its longest turn.
void measure(const char *what, UpdaterCore &core, const std::function<void()> &start)
{
    double wall = 0;
    double longest = 0;
    const double cpu = cpuMs();
    start();
    waitForFleet(core, &wall);
    const double used = cpuMs() - cpu;
    start();
    waitForFleet(core, &wall, &longest);
    std::printf("tablebench: %s: %.0f ms CPU, longest event-loop turn %.1f ms\n", what, used, longest);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int units = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;
    QTemporaryDir folder;
    QFile ver(folder.path() + QStringLiteral("/k220_demo.ver"));
    QFile bin(folder.path() + QStringLiteral("/k220_demo.bin"));
    if (!ver.open(QIODevice::WriteOnly) || !bin.open(QIODevice::WriteOnly))
        return 1;
    ver.write("SWVER:3/2/2015\nWEBVER:1425384000\nMINSWVER:1/1/2014\n");
    bin.write(QByteArray(4096, 'Z'));
    ver.close();
    bin.close();
    Folders::setApplicationFolder(folder.path());
    Folders::createStartupFolders();

    ScriptedOperator questions;
    MainWindow window(nullptr, MainWindow::History::NotKept);
    window.findChild<QTimer *>(QStringLiteral("refreshTimer"))->stop();
    window.show();
    UpdaterCore &core = window.core();
    PipelineState &state = core.pipelineForTests().state();
    const char *const dates[] = {"3/2/2015", "1/1/2015", "6/1/2013"};
    for (int i = 0; i < units; ++i) {
        MarluneUnit u;
        u.name = QStringLiteral("Unit %1").arg(i, 5, 10, QLatin1Char('0'));
        u.deviceType = QStringLiteral("DEC");
        u.sn = QStringLiteral("K2200A%1").arg(i);
        u.KSeries = 1;
        u.swversion = QString::fromLatin1(dates[i % 3]);
        u.webversion = QStringLiteral("03/03/2015");
        u.ip = QStringLiteral("10.%1.%2.%3").arg(100 + i / 65536).arg((i / 256) % 256).arg(i % 256);
        u.subnet = QStringLiteral("255.0.0.0");
        u.mac = QStringLiteral("02:00:00:%1:%2:%3")
                    .arg(i / 65536, 2, 16, QLatin1Char('0'))
                    .arg((i / 256) % 256, 2, 16, QLatin1Char('0'))
                    .arg(i % 256, 2, 16, QLatin1Char('0'));
        u.lastSeen = QDateTime::currentDateTime().addSecs(3600);
        state.vUnits.append(u);
        state.tcpAlive[u.ip] = true;
    }

    // "Discovering..." holds the table back for the first 5 seconds.
    QElapsedTimer sinceStart;
    sinceStart.start();
    while (sinceStart.elapsed() < 6000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double cpu = cpuMs();
    double wall = 0;
    double longest = 0;
    QMetaObject::invokeMethod(&window, "forceRefresh");
    waitForFleet(core, &wall, &longest);
    std::printf("tablebench: %d units listed: %.0f ms wall (CPU with the turn timer %.0f ms), longest turn %.1f ms\n",
                core.fleet().rowCount(), wall, cpuMs() - cpu, longest);
    const auto forceRefresh = [&window] { QMetaObject::invokeMethod(&window, "forceRefresh"); };
    measure("a refresh, nothing changed", core, forceRefresh);
    measure("a tick and the refresh after it", core, [&window] { QMetaObject::invokeMethod(&window, "refreshTimerTimeout"); });

    auto *search = window.findChild<QLineEdit *>(QStringLiteral("searchEdit"));
    auto *filter = window.findChild<QComboBox *>(QStringLiteral("stateFilter"));
    QElapsedTimer timer;
    for (const QString &text : {QStringLiteral("u"), QStringLiteral("unit 0"), QStringLiteral("unit 09"),
                                QStringLiteral("unit 099"), QString()}) {
        timer.start();
        search->setText(text);
        QCoreApplication::processEvents();
        std::printf("tablebench: search \"%s\": %.1f ms\n", qPrintable(text), double(timer.nsecsElapsed()) / 1e6);
    }
    for (int shown : {1, 2, 3, 0}) {
        timer.start();
        filter->setCurrentIndex(shown);
        QCoreApplication::processEvents();
        std::printf("tablebench: Show %s: %.1f ms\n", qPrintable(filter->currentText()), double(timer.nsecsElapsed()) / 1e6);
    }
    return 0;
}
