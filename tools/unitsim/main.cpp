// unitsim: simulates a fleet of networked units for the updater's tests, benchmarks and demos.
// Usage: unitsim <fleet.ini>. Prints "READY <n>" once every socket is bound, then one event
// line per notable event, until SIGTERM or SIGINT.

#include "fleetfile.h"
#include "signalwatcher.h"
#include "unitfleet.h"

#include <QCoreApplication>
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        writeLine(stderr, QStringLiteral("usage: unitsim <fleet.ini>"));
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
