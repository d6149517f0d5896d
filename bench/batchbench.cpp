#include "fleetbench.h"

#include "app/folders.h"
#include "app/updatersettings.h"
#include "update/window/mainwindow.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QItemSelectionModel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include "unittableaccess.h"
#include <QTemporaryDir>

#include <cstdio>

namespace fleetbench {

namespace {

// A batch that is not confirmed after this long is reported unfinished rather than waited for.
constexpr int kBatchTimeoutMs = 900000;

} // namespace

int confirmedCount(UnitTableAccess *table, const QStringList &names)
{
    int done = 0;
    for (int row = 0; row < table->rowCount(); ++row)
        if (names.contains(table->item(row, 0)->text()) && table->item(row, kStatusColumn)->text() == kConfirmed)
            ++done;
    return done;
}

namespace {

// Selects the named units' rows in one selection change, as one drag over them would: a thousand
// single changes would each set the window working.
void selectUnits(UnitTableAccess *table, const QStringList &names)
{
    const QSet<QString> wanted(names.cbegin(), names.cend());
    QItemSelection selection;
    int first = -1;
    for (int row = 0; row <= table->rowCount(); ++row) {
        const UnitTableAccess::Cell name = row < table->rowCount() ? table->item(row, 0) : UnitTableAccess::Cell{};
        const bool in = name && wanted.contains(name->text());
        if (in && first < 0)
            first = row;
        if (!in && first >= 0) {
            selection.select(table->model()->index(first, 0), table->model()->index(row - 1, 0));
            first = -1;
        }
    }
    table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void clickUpdate(MainWindow &window)
{
    window.findChild<QPushButton *>(QStringLiteral("updateButton"))->click();
}

} // namespace

void pressUpdate(MainWindow &window, const QStringList &names)
{
    selectUnits(tableOf(window), names);
    clickUpdate(window);
}

namespace {

// Follows the named units' status cells from start() on and notes the moment the last of them
// reads as confirmed. It runs in the measured process, so it looks again only at the rows the
// table changed, and only once the change is complete (the window rewrites a row cell by cell):
// a thousand rows then cost next to nothing, and the moment is exact to one event-loop turn. A
// look at every row once a second is the safety net.
class ConfirmationWatch
{
public:
    ConfirmationWatch(UnitTableAccess *table, const QStringList &names);

    // The clock starts, and every row is looked at afresh.
    void start()
    {
        clock.start();
        finishedAt = -1;
        safetyNet.start();
        lookAtAll();
    }

    // Until every named unit is confirmed or timeoutMs after start(); true when all were. Then
    // the watch stops following the table, so that it adds nothing to a later batch.
    bool wait(int timeoutMs);

    int confirmed() const { return int(confirmedRows.size()); }
    // "name: status" of the named units not confirmed, the first few.
    QStringList unconfirmed(int most) const;
    int size() const { return int(names.size()); }
    // From start() to the moment the last one was confirmed; -1 while some are not.
    qint64 finishedMs() const { return finishedAt; }
    // From start() to the end of the wait.
    qint64 waitedMs() const { return endedAt; }

private:
    // Once per turn of the event loop, however many cells changed in it: starting the timer
    // again each time would cost the measured process more than the look itself.
    void lookSoonOnce()
    {
        if (!lookSoon.isActive())
            lookSoon.start();
    }

    void lookAtAll()
    {
        everyRow = true;
        look();
    }

    void look();
    void lookAt(int row);

    UnitTableAccess *table;
    QSet<QString> names;
    QSet<int> confirmedRows;
    QSet<int> changedRows;
    bool everyRow = true;
    QTimer lookSoon;
    QTimer safetyNet;
    QElapsedTimer clock;
    qint64 finishedAt = -1;
    qint64 endedAt = -1;
    QEventLoop *waiting = nullptr;
};

ConfirmationWatch::ConfirmationWatch(UnitTableAccess *table, const QStringList &names)
    : table(table), names(names.cbegin(), names.cend())
{
    lookSoon.setSingleShot(true);
    lookSoon.setInterval(0);
    QObject::connect(&lookSoon, &QTimer::timeout, &lookSoon, [this] { look(); });
    safetyNet.setInterval(1000);
    QObject::connect(&safetyNet, &QTimer::timeout, &safetyNet, [this] { lookAtAll(); });
    QAbstractItemModel *model = table->model();
    QObject::connect(model, &QAbstractItemModel::dataChanged, &lookSoon,
                     [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                         if (topLeft.column() > 0 && bottomRight.column() < kStatusColumn)
                             return; // neither the name nor the status
                         for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                             changedRows.insert(row);
                         lookSoonOnce();
                     });
    const auto everyRowChanged = [this] {
        everyRow = true;
        lookSoonOnce();
    };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &lookSoon, everyRowChanged);
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, &lookSoon, everyRowChanged);
    QObject::connect(model, &QAbstractItemModel::rowsMoved, &lookSoon, everyRowChanged);
    QObject::connect(model, &QAbstractItemModel::modelReset, &lookSoon, everyRowChanged);
    QObject::connect(model, &QAbstractItemModel::layoutChanged, &lookSoon, everyRowChanged);
}

bool ConfirmationWatch::wait(int timeoutMs)
{
    const qint64 left = timeoutMs - clock.elapsed();
    if (finishedAt < 0 && left > 0) {
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(int(left), &loop, &QEventLoop::quit);
        loop.exec();
        waiting = nullptr;
    }
    if (finishedAt < 0)
        lookAtAll(); // the count at the deadline
    endedAt = clock.elapsed();
    safetyNet.stop();
    lookSoon.stop();
    QObject::disconnect(table->model(), nullptr, &lookSoon, nullptr);
    return finishedAt >= 0;
}

QStringList ConfirmationWatch::unconfirmed(int most) const
{
    QStringList found;
    for (int row = 0; row < table->rowCount() && found.size() < most; ++row) {
        const auto name = table->item(row, 0);
        const auto status = table->item(row, kStatusColumn);
        if (name && names.contains(name->text()) && !confirmedRows.contains(row))
            found << name->text() + QStringLiteral(": ") + (status ? status->text() : QString());
    }
    return found;
}

void ConfirmationWatch::look()
{
    if (everyRow) {
        confirmedRows.clear();
        for (int row = 0; row < table->rowCount(); ++row)
            lookAt(row);
    } else {
        for (const int row : std::as_const(changedRows))
            lookAt(row);
    }
    everyRow = false;
    changedRows.clear();
    if (finishedAt < 0 && confirmedRows.size() == names.size()) {
        finishedAt = clock.elapsed();
        if (waiting)
            waiting->quit();
    }
}

void ConfirmationWatch::lookAt(int row)
{
    const auto name = table->item(row, 0);
    const auto status = table->item(row, kStatusColumn);
    if (name && status && status->text() == kConfirmed && names.contains(name->text()))
        confirmedRows.insert(row);
    else
        confirmedRows.remove(row);
}

} // namespace

QString unitName(int index)
{
    return QStringLiteral("Unit %1").arg(index, 3, 10, QLatin1Char('0'));
}

namespace {

// Writes the fleet file: k220 decoders on old software that come back from an update after 3 s,
// each answering its TCP messages delayMs after they arrive; extra(index) adds lines to a unit.
QString writeBatchFleet(const QTemporaryDir &dir, int units, int delayMs,
                        const std::function<QString(int)> &extra = nullptr)
{
    QString fleetText = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=3\nswversion=1/1/2014\n"
                                       "messageDelayMs=%1\n")
                            .arg(delayMs);
    for (int i = 0; i < units; ++i)
        fleetText += QStringLiteral("[u%1]\nip=%2\nname=%3\n%4")
                         .arg(i)
                         .arg(unitAddress(i), unitName(i), extra ? extra(i) : QString());
    QFile fleetFile(dir.filePath(QStringLiteral("fleet.ini")));
    fleetFile.open(QIODevice::WriteOnly);
    fleetFile.write(fleetText.toUtf8());
    return fleetFile.fileName();
}

// The window is on screen (offscreen platform): the table paints as the operator would see it.
bool showFleet(MainWindow &window, int units)
{
    window.show();
    // A large fleet's rows are written over several turns: every row is there once the last
    // one shows its status.
    const auto listed = [&] {
        UnitTableAccess *table = tableOf(window);
        return table->rowCount() == units && table->item(units - 1, kStatusColumn);
    };
    if (!waitFor(listed, 60000)) {
        std::fprintf(stderr, "the window listed %d of %d units\n", tableOf(window)->rowCount(), units);
        return false;
    }
    return true;
}

// Presses Update on the named units, already selected, and waits for their confirmations.
void runBatch(MainWindow &window, ConfirmationWatch &watch)
{
    watch.start();
    clickUpdate(window);
    if (!watch.wait(kBatchTimeoutMs)) {
        for (const QString &unit : watch.unconfirmed(10))
            std::fprintf(stderr, "  not confirmed: %s\n", qPrintable(unit));
    }
}

QString duration(const ConfirmationWatch &watch)
{
    if (watch.finishedMs() >= 0)
        return QStringLiteral("%1 s").arg(watch.finishedMs() / 1000.0, 0, 'f', 1);
    return QStringLiteral("did not finish: %1 of %2 confirmed in %3 s")
        .arg(watch.confirmed())
        .arg(watch.size())
        .arg(watch.waitedMs() / 1000.0, 0, 'f', 0);
}

QString ratio(const ConfirmationWatch &measured, const ConfirmationWatch &reference)
{
    if (measured.finishedMs() < 0 || reference.finishedMs() <= 0)
        return QStringLiteral("-");
    return QString::number(double(measured.finishedMs()) / double(reference.finishedMs()), 'f', 2);
}

} // namespace

// One unit alone, then `units` units in one batch. With a cap, the batch goes under a rollout
// plan of at most `cap` units in flight: in waves, about ceil(units / cap) times as long as one
// unit, and no longer.
int batch(int units, int delayMs, int cap)
{
    QTemporaryDir dir;
    usePackageFolder(dir, 1024 * 1024);
    Fleet fleet;
    if (!fleet.start(writeBatchFleet(dir, units + 1, delayMs), units + 1))
        return 1;

    MainWindow window;
    auto *refreshTimer = window.findChild<QTimer *>(QStringLiteral("refreshTimer"));
    if (!refreshTimer) {
        std::fprintf(stderr, "the window has no refreshTimer\n");
        return 1;
    }
    int ticks = 0;
    QObject::connect(refreshTimer, &QTimer::timeout, &window, [&ticks] { ++ticks; });
    if (!showFleet(window, units + 1))
        return 1;
    UnitTableAccess *table = tableOf(window);

    const QStringList one = {unitName(0)};
    selectUnits(table, one);
    ConfirmationWatch single(table, one);
    runBatch(window, single);

    QStringList many;
    for (int i = 1; i <= units; ++i)
        many << unitName(i);
    auto *capSpin = window.findChild<QSpinBox *>(QStringLiteral("maxInFlightSpin"));
    if (cap > 0 && !capSpin) {
        std::fprintf(stderr, "the window has no maxInFlightSpin\n");
        return 1;
    }
    if (cap > 0)
        capSpin->setValue(cap);
    selectUnits(table, many);
    ConfirmationWatch all(table, many);
    const int ticksBefore = ticks;
    const double cpuBefore = cpuSeconds();
    StallProbe probe;
    probe.start();
    ::longestMs = 0;
    runBatch(window, all);
    const qint64 stall = probe.stop();
    const double cpu = cpuSeconds() - cpuBefore;
    const int batchTicks = ticks - ticksBefore;
    if (qEnvironmentVariableIsSet("BRYX_BENCH_LONGEST"))
        std::printf("  longest event during the batch: %lld ms, %s\n", static_cast<long long>(::longestMs),
                    qPrintable(::longestEvent));

    if (cap > 0) {
        const int waves = (units + cap - 1) / cap;
        const double ofWaves = single.finishedMs() > 0 && all.finishedMs() >= 0
                                   ? double(all.finishedMs()) / (double(waves) * double(single.finishedMs()))
                                   : -1;
        std::printf("batch update of %d units, at most %d in flight, each TCP message answered %d ms after it "
                    "arrives:\n",
                    units, cap, delayMs);
        std::printf("  1 unit: %s; %d units at most %d at a time: %s: %.2f times %d units' time (target <= 1.1)\n",
                    qPrintable(duration(single)), units, cap, qPrintable(duration(all)), ofWaves, waves);
    } else {
        const double target = units <= 250 ? 1.2 : 1.5;
        std::printf("batch update of %d units, each TCP message answered %d ms after it arrives:\n", units, delayMs);
        std::printf("  1 unit: %s; %d units in one batch: %s: %s times the single unit (target <= %.1f)\n",
                    qPrintable(duration(single)), units, qPrintable(duration(all)), qPrintable(ratio(all, single)),
                    target);
    }
    const QString perTick =
        batchTicks > 0 ? QStringLiteral("%1 ms").arg(cpu * 1000.0 / batchTicks, 0, 'f', 0) : QStringLiteral("-");
    std::printf("  processor time during the batch: %.1f s over %d refresh ticks: %s a tick\n", cpu, batchTicks,
                qPrintable(perTick));
    std::printf("  processor time of the whole run: %.1f s\n", cpuSeconds());
    std::printf("  longest event-loop stall during the batch: %lld ms (target <= 50 ms); longest gap of a 10 ms "
                "timer: %lld ms\n",
                static_cast<long long>(stall), static_cast<long long>(probe.timerGap()));
    std::printf("  history: %s\n", UpdaterSettings::keepHistory() ? "kept" : "off");
    std::fflush(stdout);
    return single.finishedMs() >= 0 && all.finishedMs() >= 0 ? 0 : 2;
}

namespace {

// One run of the command-line tool over the batch fleet: seconds from its first unit queued to
// its last unit confirmed, on its own JSON timeline; -1 when the run did not confirm them all.
double timeCliRun(const QStringList &selection, int expected)
{
    QProcess cli;
    cli.setProcessChannelMode(QProcess::SeparateChannels);
    cli.start(QStringLiteral(BRYX_BIN_DIR "/bryx-updater-cli"),
              QStringList{QStringLiteral("update"), QStringLiteral("--yes"), QStringLiteral("--json"),
                          QStringLiteral("--wait"), QStringLiteral("8"), QStringLiteral("--packages"),
                          Folders::applicationFolder()}
                  + selection);
    // Waited for on the event loop, so that the fleet's lines are read meanwhile: a blocking
    // wait leaves unitsim's output pipe unread, and once the pipe is full (a few hundred units'
    // lines) unitsim blocks on its next line and every simulated unit stops answering.
    const bool ended = waitFor([&cli] { return cli.state() == QProcess::NotRunning; }, 30 * 60 * 1000);
    if (!ended || cli.exitCode() != 0) {
        std::fprintf(stderr, "the command-line tool ended with %d: %s\n", cli.exitCode(),
                     cli.readAllStandardError().right(2000).constData());
        return -1;
    }
    QDateTime first;
    QDateTime last;
    int confirmed = 0;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QStringLiteral("event")) != QLatin1String("step"))
            continue;
        const QDateTime time = QDateTime::fromString(event.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        const QString step = event.value(QStringLiteral("step")).toString();
        if (step == QLatin1String("queued") && !first.isValid())
            first = time;
        if (step == QLatin1String("confirmed")) {
            last = time;
            ++confirmed;
        }
    }
    return confirmed == expected && first.isValid() ? first.msecsTo(last) / 1000.0 : -1;
}

} // namespace

// The batch figures through the command-line tool: one unit alone, then every other unit of the
// fleet in one batch (--needs-update), each a run of the tool of its own.
int cliBatch(int units, int delayMs)
{
    QTemporaryDir dir;
    usePackageFolder(dir, 1024 * 1024);
    Fleet fleet;
    if (!fleet.start(writeBatchFleet(dir, units + 1, delayMs), units + 1))
        return 1;
    const double single = timeCliRun({QStringLiteral("--name"), unitName(0)}, 1);
    const double all = single < 0 ? -1 : timeCliRun({QStringLiteral("--needs-update")}, units);
    if (single <= 0 || all < 0)
        return 1;
    const double target = units <= 250 ? 1.2 : 1.5;
    std::printf("command-line tool, batch update of %d units, each TCP message answered %d ms after it arrives:\n",
                units, delayMs);
    std::printf("  1 unit: %.1f s; %d units in one batch: %.1f s: %.2f times the single unit (target <= %.1f)\n",
                single, units, all, all / single, target);
    return 0;
}

// Dead units do not hold up the live ones: a clean batch of `live` units, then, in the same
// window, a batch of as many live units and 15 dead ones (10 whose TCP side hangs, 5 that never
// answer), spread through it. One fleet and one window for both, so that both batches run
// beside the same table and the same process; the dead batch goes second, so that its dead
// units, which never finish, cannot weigh on the clean one.
int deadBatch(int delayMs, int live)
{
    constexpr int kHung = 10;
    constexpr int kMute = 5;
    constexpr int kDead = kHung + kMute;
    const int second = live + kDead;
    const int units = live + second;
    const int spacing = second / kDead;
    // Place in the second batch -> what is wrong with the unit; dead ones every `spacing` units,
    // every third of them mute.
    const auto deadKind = [&](int index) -> QString {
        const int place = index - live;
        if (place < 0 || place % spacing != 0 || place / spacing >= kDead)
            return QString();
        return (place / spacing) % 3 == 2 ? QStringLiteral("mute") : QStringLiteral("hangs");
    };

    QTemporaryDir dir;
    usePackageFolder(dir, 1024 * 1024);
    Fleet fleet;
    const QString fleetFile = writeBatchFleet(dir, units, delayMs, [&](int index) {
        const QString kind = deadKind(index);
        return kind.isEmpty() ? QString() : QStringLiteral("tcp=%1\n").arg(kind);
    });
    if (!fleet.start(fleetFile, units))
        return 1;

    MainWindow window;
    if (!showFleet(window, units))
        return 1;
    UnitTableAccess *table = tableOf(window);

    QStringList clean;
    for (int i = 0; i < live; ++i)
        clean << unitName(i);
    selectUnits(table, clean);
    ConfirmationWatch cleanBatch(table, clean);
    runBatch(window, cleanBatch);

    QStringList everyUnit;
    QStringList alive;
    QStringList dead;
    for (int i = live; i < units; ++i) {
        everyUnit << unitName(i);
        (deadKind(i).isEmpty() ? alive : dead) << unitName(i);
    }
    selectUnits(table, everyUnit);
    ConfirmationWatch liveOnes(table, alive);
    StallProbe probe;
    probe.start();
    runBatch(window, liveOnes);
    const qint64 stall = probe.stop();
    const int deadConfirmed = confirmedCount(table, dead);

    std::printf("dead units in a batch, %d units listed, each TCP message answered %d ms after it arrives:\n", units,
                delayMs);
    std::printf("  %d units in a clean batch: %s\n", live, qPrintable(duration(cleanBatch)));
    std::printf("  %d units in one batch, %d of them hung on TCP and %d mute: the %d live ones confirmed: %s: "
                "%s times the clean batch (target <= 1.2)\n",
                second, kHung, kMute, live, qPrintable(duration(liveOnes)), qPrintable(ratio(liveOnes, cleanBatch)));
    std::printf("  dead units shown confirmed: %d of %d (expected none)\n", deadConfirmed, kDead);
    std::printf("  longest event-loop stall during the second batch: %lld ms; longest gap of a 10 ms timer: %lld ms\n",
                static_cast<long long>(stall), static_cast<long long>(probe.timerGap()));
    std::fflush(stdout);
    return cleanBatch.finishedMs() >= 0 && liveOnes.finishedMs() >= 0 && deadConfirmed == 0 ? 0 : 2;
}

} // namespace fleetbench
