// Discovery at fleet scale: a simulated fleet of mixed kinds answers one discovery burst.
// Prints how many units were announced and how long it took. Runs inside a private network
// namespace (bench/run-benchmarks.sh takes care of that).

#include "net/marluneconnectreduced.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const char *const kFamilies[] = {"k110-encoder", "k110-decoder", "k220-encoder", "k220-decoder",
                                 "k225-encoder", "k225-decoder", "kvm-encoder",  "kvm-decoder",
                                 "k330-encoder", "k330-decoder", "legacy-encoder", "legacy-decoder",
                                 "recorder",     "atr",          "k440",         "wp",
                                 "kpanel",       "vod",          "conductor"};

QString unitAddress(int index)
{
    return QStringLiteral("10.77.%1.%2").arg(1 + index / 254).arg(1 + index % 254);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int units = argc > 1 ? QByteArray(argv[1]).toInt() : 250;

    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    const QString fleetPath = dir.filePath(QStringLiteral("fleet.ini"));
    {
        QSettings fleet(fleetPath, QSettings::IniFormat);
        const int familyCount = int(sizeof kFamilies / sizeof *kFamilies);
        for (int i = 0; i < units; ++i) {
            fleet.beginGroup(QStringLiteral("unit%1").arg(i));
            fleet.setValue("family", QString::fromLatin1(kFamilies[i % familyCount]));
            fleet.setValue("ip", unitAddress(i));
            fleet.setValue("name", QStringLiteral("Unit %1").arg(i));
            fleet.setValue("mac", QStringLiteral("02:00:00:00:%1:%2")
                                      .arg(i / 256, 2, 16, QLatin1Char('0'))
                                      .arg(i % 256, 2, 16, QLatin1Char('0'))
                                      .toUpper());
            fleet.endGroup();
        }
    }

    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start(QStringLiteral(BRYX_BIN_DIR "/unitsim"), {fleetPath});
    if (!simulator.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot start unitsim\n");
        return 1;
    }
    QByteArray ready;
    while (!ready.contains('\n') && simulator.waitForReadyRead(30000))
        ready += simulator.readLine();
    if (!ready.startsWith("READY")) {
        std::fprintf(stderr, "unitsim did not get ready: %s\n", ready.constData());
        return 1;
    }

    MarluneConnect connection;
    connection.init();
    QSet<QString> announced;
    int announcements = 0;
    qint64 lastAt = 0;
    QElapsedTimer clock;
    QObject::connect(&connection, &MarluneConnect::unitChangedSignal, &app, [&](const MarluneUnit &unit) {
        ++announcements;
        announced.insert(unit.mac);
        lastAt = clock.elapsed();
        if (announced.size() == units)
            app.quit();
    });
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    clock.start();
    connection.discover();
    app.exec();

    std::printf("discovery: %lld of %d units announced (%d announcements), last after %lld ms\n",
                static_cast<long long>(announced.size()), units, announcements, static_cast<long long>(lastAt));
    simulator.terminate();
    simulator.waitForFinished(5000);
    return announced.size() == units ? 0 : 2;
}
