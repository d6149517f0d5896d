// The history file at the size years of nightly batches give it: 100 batches of 1000 units, ten
// events each (1,000,000 events, 100,000 unit runs). Times opening it as the updater does at
// start-up (and marking what a killed updater left), listing the batches, listing one 1000-unit
// batch's runs, and every event of one unit; the best of a few rounds, each figure beside its
// target. No network: runs anywhere.
//
//   historybench [FILE]   builds the file (or reuses FILE when it is there) and times it

#include "history/historystore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

namespace {

constexpr int kBatches = 100;
constexpr int kUnits = 1000;
constexpr int kEventsPerRun = 10;
const QDateTime kFirstNight(QDate(2026, 1, 1), QTime(2, 0), Qt::OffsetFromUTC, 3600);

QString macOf(int unit)
{
    return QStringLiteral("02:B5:0A:4D:%1:%2")
        .arg(unit / 256, 2, 16, QLatin1Char('0'))
        .arg(unit % 256, 2, 16, QLatin1Char('0'))
        .toUpper();
}

// One night's batch as the keeper writes it: the batch, each unit's run and its steps.
HistoryStore::Changes night(int number)
{
    HistoryStore::Changes changes;
    const QDateTime start = kFirstNight.addDays(number);
    changes.begun.append({1, {0, start, {}, QStringLiteral("lab-7"), QStringLiteral("at most 50 at a time"), false,
                              {QStringLiteral("k220_lab.bin ") + QString(64, QLatin1Char('e'))}, 0, {}}});
    static const char *const kinds[kEventsPerRun] = {"status",    "commanded", "connection", "fetched", "connection",
                                                     "rebooting", "status",    "confirming", "status",  "status"};
    for (int unit = 0; unit < kUnits; ++unit) {
        HistoryStore::UnitRun run;
        run.mac = macOf(unit);
        run.name = QStringLiteral("Room %1 Decoder").arg(unit);
        run.type = QStringLiteral("K2-DEC");
        run.ip = QStringLiteral("10.77.%1.%2").arg(1 + unit / 254).arg(1 + unit % 254);
        run.swBefore = QStringLiteral("1/1/2015");
        run.swAfter = QStringLiteral("3/2/2015");
        run.image = QStringLiteral("k220_lab.bin");
        run.bytesServed = 16 * 1024 * 1024;
        run.commanded = start.addSecs(unit / 50 * 30);
        run.confirmed = run.commanded.addSecs(25);
        run.finalStatus = QStringLiteral("K-Series Update Confirmed.");
        changes.runs.append({1, run});
        for (int step = 0; step < kEventsPerRun; ++step)
            changes.events.append({1, run.mac, run.commanded.addSecs(step * 2), QLatin1String(kinds[step]),
                                   run.name + QStringLiteral(" (") + run.ip + QStringLiteral("): step ")
                                       + QString::number(step)});
    }
    changes.ended.append({1, start.addSecs(kUnits / 50 * 30 + 60)});
    return changes;
}

bool build(const QString &path)
{
    HistoryStore store(QStringLiteral("build"));
    QString error;
    if (!store.open(path, &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(path), qPrintable(error));
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    for (int number = 0; number < kBatches; ++number) {
        QHash<int, qint64> ids;
        if (!store.write(night(number), ids)) {
            std::fprintf(stderr, "cannot write: %s\n", qPrintable(store.lastError()));
            return false;
        }
    }
    std::printf("  built: %d batches of %d units, %d events, in %.1f s\n", kBatches, kUnits,
                kBatches * kUnits * kEventsPerRun, clock.elapsed() / 1000.0);
    return true;
}

// The fastest of five rounds, in milliseconds.
double bestMs(const std::function<bool()> &work)
{
    double best = -1;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer clock;
        clock.start();
        if (!work())
            return -1;
        const double ms = clock.nsecsElapsed() / 1e6;
        best = best < 0 ? ms : qMin(best, ms);
    }
    return best;
}

void report(const char *what, double ms, double targetMs)
{
    if (targetMs > 0)
        std::printf("  %s: %.1f ms (target < %.0f ms)%s\n", what, ms, targetMs, ms >= 0 && ms < targetMs ? "" : "  MISSED");
    else
        std::printf("  %s: %.1f ms\n", what, ms);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : dir.filePath(QStringLiteral("history.sqlite"));
    std::printf("history of %d events:\n", kBatches * kUnits * kEventsPerRun);
    if (!QFileInfo::exists(path) && !build(path))
        return 1;
    std::printf("  file: %.0f MiB\n", QFileInfo(path).size() / 1048576.0);

    int round = 0;
    const auto openOnce = [&] {
        HistoryStore store(QStringLiteral("open%1").arg(++round));
        QString error;
        return store.open(path, &error) && store.markUnendedBatchesInterrupted(QDateTime::currentDateTime()).isEmpty();
    };
    QElapsedTimer firstClock;
    firstClock.start();
    const double first = openOnce() ? firstClock.nsecsElapsed() / 1e6 : -1;
    const double open = bestMs(openOnce);
    HistoryStore store(QStringLiteral("read"));
    QString error;
    if (!store.open(path, &error))
        return 1;
    const double batches = bestMs([&] { return store.batches().size() == kBatches; });
    const qint64 newest = store.batches().value(0).id;
    const double runs = bestMs([&] { return store.unitRuns(newest).size() == kUnits; });
    const double events = bestMs([&] { return store.events(macOf(500)).size() == kBatches * kEventsPerRun; });
    const double batchEvents = bestMs([&] { return store.events(macOf(500), newest).size() == kEventsPerRun; });
    report("first open in this process (schema checked, unended batches marked)", first, 200);
    report("open, best of five", open, 200);
    report("list the batches, newest first", batches, 0);
    report("list a 1000-unit batch's runs", runs, 100);
    report("every event of one unit (100 batches)", events, 0);
    report("one unit's events in one batch", batchEvents, 0);
    const bool met = first >= 0 && first < 200 && runs >= 0 && runs < 100;
    return met ? 0 : 2;
}
