#include "fleetbench.h"

#include "app/folders.h"
#include "update/window/mainwindow.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include "unittableaccess.h"
#include <QTemporaryDir>

#include <cstdio>
#include <iterator>

#include <sys/resource.h>

namespace fleetbench {

namespace {

// One way an update of 20 units can go wrong: what the batch's first unit does, or what else
// reaches the updater meanwhile (unitsim in one of its disturbance modes).
struct FaultScenario
{
    const char *name;
    const char *label;
    const char *firstUnit;   // fleet-file lines of the first unit
    bool firstIsConfirmed;   // false: the first unit is expected to stay unfinished
    int imageMiB;            // large enough that a fetch broken off at 90 % leaves the server more to send
    const char *disturbance; // unitsim arguments, or none
    const char *underWay;    // the disturbance's line once it is in full swing
    int descriptorLimit;     // the updater's process may hold this many descriptors (0: as it is)
    bool rewriteImage;       // the image is rewritten in place while the units fetch it
};

constexpr int kFaultUnits = 20;
// Fixed through the updater's settings, for the flood to aim at (as in kFaults).
constexpr int kUpdaterUdpPort = 51300;

const FaultScenario kFaults[] = {
    {"drop10", "1 unit breaks its fetch off at 10 %, fetches again", "dropAtPercent=10\n", true, 64, nullptr, nullptr, 0, false},
    {"drop50", "1 unit breaks its fetch off at 50 %, fetches again", "dropAtPercent=50\n", true, 64, nullptr, nullptr, 0, false},
    {"drop90", "1 unit breaks its fetch off at 90 %, fetches again", "dropAtPercent=90\n", true, 64, nullptr, nullptr, 0, false},
    {"neverfetches", "1 unit takes the command, never fetches", "behaviour=neverFetches\n", false, 1, nullptr, nullptr, 0, false},
    {"neverreboots", "1 unit fetches, never reboots", "behaviour=neverReboots\n", false, 1, nullptr, nullptr, 0, false},
    {"neverreturns", "1 unit reboots, never comes back", "behaviour=neverReturns\n", false, 1, nullptr, nullptr, 0, false},
    {"flood", "garbage datagrams, 5000/s, every 8th 65,507 bytes", "", true, 1, "--flood 10.77.0.1:51300 5000 900",
     "FLOOD-START", 0, false},
    {"idle", "200 idle connections to the file server", "", true, 1, "--idle 10.77.0.1:50005 200 900",
     "IDLE-OPEN 200", 0, false},
    // The updater's process capped at 128 descriptors (its own raise of the limit at start-up
    // left out) while 300 connections that ask for nothing come in, 20 a second, and hold what
    // they can for 20 s from the start of the batch. The units take each message 8 s after it
    // came, so they start fetching once the descriptors have run out: the batch must go on
    // once the connections let go.
    {"fdlimit", "300 idle connections for 20 s, the updater limited to 128 descriptors", "", true, 1,
     "--idle 10.77.0.1:50005 300 20", "IDLE ", 128, false},
    // 1 MiB in the middle of the image overwritten while every unit fetches it (at 4 MiB/s each),
    // its size and modification time put back as a copy tool does.
    {"rewritten", "image rewritten in place mid-batch (1 MiB; size, mtime put back)", "", false, 64, nullptr, nullptr,
     0, true},
};

// The "rewritten" row: every unit fetches; a quarter of the way through, 1 MiB in the middle of
// the image is overwritten and its size and modification time put back. No unit may end up with
// the changed image whole, nor be confirmed on it: each fetch under way is cut short, and later
// fetches are refused.
int rewrittenMidBatch(MainWindow &window, Fleet &fleet, const QStringList &names, StallProbe &probe)
{
    const QString image = Folders::applicationFolder() + QStringLiteral("/k220_bench.bin");
    QFile file(image);
    if (!file.open(QIODevice::ReadWrite))
        return 1;
    QCryptographicHash md5(QCryptographicHash::Md5);
    md5.addData(&file);
    const QByteArray scanned = md5.result().toHex();
    const QDateTime modified = QFileInfo(image).lastModified();
    // The hashing above was the bench's, not the updater's.
    probe.stop();
    probe.start();

    UnitTableAccess *table = tableOf(window);
    pressUpdate(window, names);
    if (!waitFor([&] { return fleet.count(QStringLiteral("FETCH-START")) == names.size(); }, 60000))
        return 1;
    waitFor([] { return false; }, 4000);
    file.seek(file.size() / 2);
    file.write(QByteArray(1024 * 1024, 'x'));
    file.close();
    file.open(QIODevice::ReadWrite);
    file.setFileTime(modified, QFileDevice::FileModificationTime);
    file.close();

    // Every unit ends its fetching with a whole image or a failure (one more try after a fetch
    // broken off); then two more ticks show whether any is confirmed.
    waitFor([&] {
        return fleet.count(QStringLiteral("FETCH-OK")) + fleet.count(QStringLiteral("FETCH-FAILED")) >= names.size();
    }, 120000);
    waitFor([] { return false; }, 10000);
    const qint64 stall = probe.stop();
    int wholeChanged = 0;
    int wholeScanned = 0;
    for (const QString &line : std::as_const(fleet.lines)) {
        if (line.section(QLatin1Char(' '), 1, 1) != QLatin1String("FETCH-OK"))
            continue;
        const bool same = line.section(QLatin1Char(' '), 4, 4).toLatin1() == scanned;
        (same ? wholeScanned : wholeChanged) += 1;
    }
    const int confirmed = confirmedCount(table, names);
    std::printf("| image rewritten in place mid-batch (1 MiB; size, mtime put back) | %d / %d (fetches cut short: %d of "
                "%lld; whole images given: %d as scanned, %d changed) | %lld | %.0f |\n",
                confirmed, wholeScanned, fleet.count(QStringLiteral("FETCH-FAILED")) + fleet.count(QStringLiteral("FETCH-DROPPED")),
                static_cast<long long>(names.size()), wholeScanned, wholeChanged, static_cast<long long>(stall),
                peakResidentKiB() / 1024.0);
    return wholeChanged == 0 && confirmed == wholeScanned ? 0 : 2;
}

// The fleet file of a scenario: kFaultUnits units, the first one as the scenario has it.
QString writeFaultFleet(const QTemporaryDir &dir, const FaultScenario &scenario, QStringList *names)
{
    QString fleetText = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=3\nswversion=1/1/2014\n");
    for (int i = 0; i < kFaultUnits; ++i) {
        fleetText += QStringLiteral("[u%1]\nip=%2\nname=%3\n").arg(i).arg(unitAddress(i), unitName(i));
        if (i == 0)
            fleetText += QString::fromLatin1(scenario.firstUnit);
        // Slow enough that every fetch is under way when the image changes; each unit tells
        // what it got.
        if (scenario.rewriteImage)
            fleetText += QStringLiteral("digest=1\nfetchKiBps=4096\n");
        if (scenario.descriptorLimit > 0)
            fleetText += QStringLiteral("messageDelayMs=8000\n");
        *names << unitName(i);
    }
    QFile fleetFile(dir.filePath(QStringLiteral("fleet.ini")));
    fleetFile.open(QIODevice::WriteOnly);
    fleetFile.write(fleetText.toUtf8());
    return fleetFile.fileName();
}

// Sets this process's soft limit on descriptors: the given number, or the hard limit for 0.
void limitDescriptors(int most)
{
    rlimit descriptors;
    ::getrlimit(RLIMIT_NOFILE, &descriptors);
    descriptors.rlim_cur = most > 0 ? rlim_t(most) : descriptors.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &descriptors);
}

// What the units not confirmed read, for whoever looks into the row.
void reportUnconfirmed(UnitTableAccess *table, const QStringList &expected, const Fleet &fleet)
{
    QMap<QString, int> statuses;
    for (int row = 0; row < table->rowCount(); ++row)
        if (expected.contains(table->item(row, 0)->text()) && table->item(row, kStatusColumn)->text() != kConfirmed)
            ++statuses[table->item(row, kStatusColumn)->text()];
    for (auto it = statuses.cbegin(); it != statuses.cend(); ++it)
        std::fprintf(stderr, "  %d unit(s) read \"%s\"\n", it.value(), qPrintable(it.key()));
    for (auto it = fleet.counts.cbegin(); it != fleet.counts.cend(); ++it)
        std::fprintf(stderr, "  units' %s events: %d\n", qPrintable(it.key()), it.value());
    for (const QString &line : std::as_const(fleet.lines))
        if (line.contains(QLatin1String("FETCH-FAILED")))
            std::fprintf(stderr, "  %s\n", qPrintable(line));
}

} // namespace

int faults(const QString &name)
{
    if (name == QLatin1String("header")) {
        std::printf("| Scenario (%d units in one batch) | Units confirmed / expected | Longest event-loop stall (ms) "
                    "| Peak RSS of the updater (MiB) |\n|---|---|---|---|\n",
                    kFaultUnits);
        return 0;
    }
    const auto scenario = std::find_if(std::begin(kFaults), std::end(kFaults),
                                       [&name](const FaultScenario &f) { return name == QLatin1String(f.name); });
    if (scenario == std::end(kFaults)) {
        std::fprintf(stderr, "unknown scenario %s\n", qPrintable(name));
        return 2;
    }

    QTemporaryDir dir;
    usePackageFolder(dir, qint64(scenario->imageMiB) * 1024 * 1024);
    // The flood needs to know the updater's UDP port.
    QSettings settings(Folders::settingsPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("forceUDPPortBind"), 1);
    settings.setValue(QStringLiteral("UDPPortBind"), kUpdaterUdpPort);
    settings.sync();

    QStringList names;
    Fleet fleet;
    if (!fleet.start(writeFaultFleet(dir, *scenario, &names), kFaultUnits))
        return 1;
    // The simulated units run in processes of their own, started above with the limit as it was
    // (and they raise theirs anyway); the cap is the updater's.
    if (scenario->descriptorLimit > 0)
        limitDescriptors(scenario->descriptorLimit);

    MainWindow window;
    UnitTableAccess *table = tableOf(window);
    if (!waitFor([&] { return table->rowCount() == kFaultUnits; }, 30000))
        return 1;
    Fleet disturbance;
    if (scenario->disturbance
        && !disturbance.run(QString::fromLatin1(scenario->disturbance).split(QLatin1Char(' ')),
                            QString::fromLatin1(scenario->underWay))) {
        std::fprintf(stderr, "the disturbance did not start\n");
        return 1;
    }

    StallProbe probe;
    probe.start();
    if (scenario->rewriteImage)
        return rewrittenMidBatch(window, fleet, names, probe);
    const QStringList expected = scenario->firstIsConfirmed ? names : names.mid(1);
    pressUpdate(window, names);
    waitFor([&] { return confirmedCount(table, expected) == expected.size(); }, 120000);
    // A stuck unit gets two more ticks to show that it stays stuck.
    if (!scenario->firstIsConfirmed)
        waitFor([&] { return confirmedCount(table, {names.first()}) > 0; }, 10000);
    const qint64 stall = probe.stop();
    // The bench's own look at its memory needs a descriptor too.
    if (scenario->descriptorLimit > 0)
        limitDescriptors(0);
    const int confirmed = confirmedCount(table, expected);
    if (confirmed < expected.size())
        reportUnconfirmed(table, expected, fleet);
    const bool stuckAsExpected = scenario->firstIsConfirmed || confirmedCount(table, {names.first()}) == 0;
    std::printf("| %s | %d / %d%s | %lld | %.0f |\n", scenario->label, confirmed, int(expected.size()),
                stuckAsExpected ? "" : " (the stuck unit was confirmed)", static_cast<long long>(stall),
                peakResidentKiB() / 1024.0);
    return confirmed == expected.size() && stuckAsExpected ? 0 : 2;
}

} // namespace fleetbench
