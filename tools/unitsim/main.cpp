// unitsim: simulates a fleet of networked units for the updater's tests, benchmarks and demos.
// Usage: unitsim <fleet.ini>. Prints "READY <n>" once every socket is bound, then one event
// line per notable event, until SIGTERM or SIGINT.
// Two more modes disturb the updater from the units' network: --flood sends it garbage
// datagrams, --idle holds connections to its file server open without asking for anything.

#include "datagramflood.h"
#include "fleetfile.h"
#include "idleconnections.h"
#include "signalwatcher.h"
#include "unitfleet.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QStringList>

#include <cstdio>
#include <sys/resource.h>

namespace {

void writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Each unit holds a UDP socket, a listener and its connections: a large fleet needs more
// descriptors than the usual soft limit.
void raiseDescriptorLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

const char kUsage[] = "usage: unitsim <fleet.ini>\n"
                      "       unitsim --flood <address>:<port> [<datagrams per second> [<seconds>]]\n"
                      "       unitsim --idle <address>:<port> <connections> [<seconds>]";

bool parseTarget(const QString &text, QHostAddress *address, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || number == 0 || number > 65535 || !address->setAddress(text.left(colon))
        || address->protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *port = quint16(number);
    return true;
}

bool parseNumber(const QStringList &args, int index, int fallback, int *out)
{
    if (index >= args.size()) {
        *out = fallback;
        return true;
    }
    bool ok = false;
    *out = args.at(index).toInt(&ok);
    return ok && *out > 0;
}

// The disturbances send nothing anywhere but this machine: to a loopback address, or inside the
// private network namespace of tests/netns-run.sh, which says so in BRYX_IN_NETNS.
bool targetIsPrivate(const QHostAddress &address)
{
    return address.isLoopback() || qEnvironmentVariable("BRYX_IN_NETNS") == QLatin1String("1");
}

// --flood and --idle: runs the disturbance until it ends by itself or is told to stop.
template <typename Disturbance>
int disturb(QCoreApplication &app, Disturbance &disturbance)
{
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &disturbance, &Disturbance::stop);
    QObject::connect(&disturbance, &Disturbance::event, &app, [](const QString &line) { writeLine(stdout, line); });
    QObject::connect(&disturbance, &Disturbance::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QString error;
    if (!disturbance.start(&error)) {
        writeLine(stderr, QStringLiteral("unitsim: ") + error);
        return 1;
    }
    return app.exec();
}

int runDisturbance(QCoreApplication &app, const QStringList &args)
{
    constexpr int kFloodRate = 5000;
    constexpr int kFloodSeconds = 60;
    constexpr int kIdleSeconds = 120;
    const bool flood = args.at(1) == QLatin1String("--flood");
    QHostAddress address;
    quint16 port = 0;
    int amount = 0; // datagrams per second, or connections
    int seconds = 0;
    const bool parsed = args.size() >= 3 && args.size() <= 5 && parseTarget(args.at(2), &address, &port)
                        && parseNumber(args, 3, flood ? kFloodRate : 0, &amount) && amount > 0
                        && parseNumber(args, 4, flood ? kFloodSeconds : kIdleSeconds, &seconds);
    if (!parsed) {
        writeLine(stderr, QString::fromLatin1(kUsage));
        return 2;
    }
    if (!targetIsPrivate(address)) {
        writeLine(stderr, QStringLiteral("unitsim: %1 is not a loopback address and this is not a private network "
                                         "namespace (run it through tests/netns-run.sh)")
                              .arg(address.toString()));
        return 2;
    }
    raiseDescriptorLimit();
    if (flood) {
        DatagramFlood disturbance(address, port, amount, seconds);
        return disturb(app, disturbance);
    }
    IdleConnections disturbance(address, port, amount, seconds);
    return disturb(app, disturbance);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 2 && (args.at(1) == QLatin1String("--flood") || args.at(1) == QLatin1String("--idle")))
        return runDisturbance(app, args);
    if (args.size() != 2) {
        writeLine(stderr, QString::fromLatin1(kUsage));
        return 2;
    }

    FleetDescription description;
    QString error;
    QStringList warnings;
    const bool read = FleetFile::read(args.at(1), &description, &error, &warnings);
    for (const QString &warning : std::as_const(warnings))
        writeLine(stderr, QStringLiteral("unitsim: warning: ") + warning);
    if (!read) {
        writeLine(stderr, QStringLiteral("unitsim: ") + error);
        return 2;
    }

    raiseDescriptorLimit();
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&app] { app.quit(); });

    UnitFleet fleet(description);
    QObject::connect(&fleet, &UnitFleet::event, &app, [](const QString &line) { writeLine(stdout, line); });
    QObject::connect(&fleet, &UnitFleet::log, &app, [](const QString &line) { writeLine(stderr, line); });
    if (!fleet.start(&error)) {
        writeLine(stderr, QStringLiteral("unitsim: ") + error);
        return 1;
    }
    writeLine(stdout, QStringLiteral("READY %1").arg(fleet.size()));
    return app.exec();
}
