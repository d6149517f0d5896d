// fleetbench scale: the updater at 10,000 units (see fleetbench.cpp).

#include "fleetbench.h"

#include "update/updatercore.h"
#include "update/window/mainwindow.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace fleetbench {
namespace {

constexpr int kListTimeoutMs = 600000;
// Units one simulator process plays: each takes two descriptors, and a process may hold 20,000.
constexpr int kUnitsPerSimulator = 4000;
// Real units answer a broadcast within a moment of each other, not all in the same millisecond:
// each simulator sends this many replies a millisecond, so that 10,000 units answer within a
// third of a second.
constexpr int kRepliesPerMs = 10;

QString writeFleetPart(const QTemporaryDir &dir, int first, int units)
{
    QString text = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=3\nswversion=1/1/2014\n"
                                  "replyPacing=%1\n")
                       .arg(kRepliesPerMs);
    for (int i = first; i < first + units; ++i)
        text += QStringLiteral("[u%1]\nip=%2\nname=%3\n").arg(i).arg(unitAddress(i), unitName(i));
    QFile file(dir.filePath(QStringLiteral("fleet%1.ini").arg(first)));
    file.open(QIODevice::WriteOnly);
    file.write(text.toUtf8());
    return file.fileName();
}

bool startFleet(const QTemporaryDir &dir, int units, std::vector<std::unique_ptr<Fleet>> &fleets)
{
    for (int first = 0; first < units; first += kUnitsPerSimulator) {
        const int part = qMin(kUnitsPerSimulator, units - first);
        fleets.push_back(std::make_unique<Fleet>());
        if (!fleets.back()->start(writeFleetPart(dir, first, part), part)) {
            std::fprintf(stderr, "the simulated fleet did not start (units %d to %d)\n", first, first + part - 1);
            return false;
        }
    }
    return true;
}

// Waits until listed() reaches units, noting when each quarter of the fleet was there.
bool timeListing(int units, const std::function<qsizetype()> &listed)
{
    QElapsedTimer listing;
    listing.start();
    QList<qint64> quarters;
    const bool all = waitFor(
        [&] {
            const qsizetype now = listed();
            while (quarters.size() < 4 && now >= units * (quarters.size() + 1) / 4)
                quarters.append(listing.elapsed());
            return now >= units;
        },
        kListTimeoutMs);
    if (!all) {
        std::fprintf(stderr, "%lld of %d units listed\n", static_cast<long long>(listed()), units);
        return false;
    }
    std::printf("  every unit shown %.1f s after start (a quarter %.1f s, half %.1f s, three quarters %.1f s)\n",
                double(quarters.value(3)) / 1000, double(quarters.value(0)) / 1000, double(quarters.value(1)) / 1000,
                double(quarters.value(2)) / 1000);
    return true;
}

// Processor time of the refresh ticks once the fleet is listed, by thread, and the longest stall.
void timeTicks(QObject *owner, int ticks)
{
    auto *refreshTimer = owner->findChild<QTimer *>(QStringLiteral("refreshTimer"));
    int ticked = 0;
    QObject::connect(refreshTimer, &QTimer::timeout, owner, [&ticked] { ++ticked; });
    // From one tick to another, so that the figure holds whole ticks; the first two ticks after the
    // listing are left out (the start's discovery is still repeated while "Discovering..." shows,
    // and its replies merged).
    waitFor([&] { return ticked > 2; }, 60000);
    const qint64 self = getpid();
    const QMap<QString, double> threadsBefore = threadCpuSeconds(self);
    const double before = cpuSeconds();
    StallProbe probe;
    probe.start();
    const int start = ticked;
    ::longestMs = 0;
    waitFor([&] { return ticked >= start + ticks; }, ticks * 20000);
    const qint64 stall = probe.stop();
    if (qEnvironmentVariableIsSet("BRYX_BENCH_LONGEST"))
        std::printf("  longest event since start: %lld ms, %s\n", static_cast<long long>(::longestMs),
                    qPrintable(::longestEvent));
    const double perTick = (cpuSeconds() - before) * 1000.0 / qMax(1, ticked - start);
    const QMap<QString, double> threadsAfter = threadCpuSeconds(self);
    std::printf("  a refresh tick once listed: %.0f ms of processor (target <= 1000 ms at 10,000 units); longest "
                "event-loop stall %lld ms\n",
                perTick, static_cast<long long>(stall));
    for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
        const double spent = it.value() - threadsBefore.value(it.key());
        if (spent >= 0.01)
            std::printf("    thread %-16s %.0f ms a tick\n", qPrintable(it.key()),
                        spent * 1000.0 / qMax(1, ticked - start));
    }
}

// How long the window takes to show what the operator just asked for: the change, then the
// event loop run until nothing is left to do (the table laid out and painted).
qint64 timeChange(const std::function<void()> &change)
{
    QElapsedTimer clock;
    clock.start();
    change();
    QCoreApplication::processEvents();
    return clock.elapsed();
}

void timeSearchAndShow(MainWindow &window)
{
    auto *search = window.findChild<QLineEdit *>(QStringLiteral("searchEdit"));
    auto *show = window.findChild<QComboBox *>(QStringLiteral("stateFilter"));
    if (!search || !show) {
        std::fprintf(stderr, "the window has no searchEdit or stateFilter\n");
        return;
    }
    // Typed one key at a time, then taken back; the longest keystroke counts.
    qint64 longestKey = 0;
    const QString typed = QStringLiteral("unit 4321");
    for (int i = 1; i <= typed.size(); ++i)
        longestKey = qMax(longestKey, timeChange([&] { search->setText(typed.left(i)); }));
    longestKey = qMax(longestKey, timeChange([&] { search->clear(); }));
    qint64 longestShow = 0;
    for (int index = 1; index < show->count(); ++index)
        longestShow = qMax(longestShow, timeChange([&] { show->setCurrentIndex(index); }));
    longestShow = qMax(longestShow, timeChange([&] { show->setCurrentIndex(0); }));
    std::printf("  longest search keystroke %lld ms, longest Show change %lld ms (target <= 50 ms each)\n",
                static_cast<long long>(longestKey), static_cast<long long>(longestShow));
}

} // namespace

int scale(int units, bool withWindow)
{
    QTemporaryDir dir;
    usePackageFolder(dir, 1024 * 1024);
    std::vector<std::unique_ptr<Fleet>> fleets;
    if (!startFleet(dir, units, fleets))
        return 1;
    std::printf("%d units, %s:\n", units, withWindow ? "the window (offscreen)" : "the core alone, as the tool runs it");
    std::unique_ptr<UpdaterCore> core;
    std::unique_ptr<MainWindow> window;
    QAbstractItemView *table = nullptr;
    if (withWindow) {
        window = std::make_unique<MainWindow>();
        window->show();
        table = window->findChild<QAbstractItemView *>(QStringLiteral("unitTable"));
    } else {
        core = std::make_unique<UpdaterCore>();
        core->start();
    }
    const auto listed = [&]() -> qsizetype {
        if (!table)
            return core->state().vUnits.size();
        const QAbstractItemModel *model = table->model();
        const int rows = model->rowCount();
        // Every row is there once the last one shows its status.
        return rows > 0 && !model->index(rows - 1, kStatusColumn).data().toString().isEmpty() ? rows : 0;
    };
    if (!timeListing(units, listed))
        return 1;
    QObject *owner = withWindow ? static_cast<QObject *>(window.get()) : core.get();
    timeTicks(owner, 3);
    if (withWindow)
        timeSearchAndShow(*window);
    std::printf("  peak resident memory %.0f MiB (target <= 256 MiB)\n", double(peakResidentKiB()) / 1024.0);
    std::fflush(stdout);
    return 0;
}

} // namespace fleetbench
