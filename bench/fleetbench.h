#pragma once

// What the parts of fleetbench share: the helpers that run the simulated fleet and measure the
// updater, and each benchmark's entry point (fleetbench.cpp says what each measures).

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QHash>
#include <QLatin1String>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

class MainWindow;
class UnitTableAccess;
class QTemporaryDir;

namespace fleetbench {

constexpr qint64 kWeb = 1425384000;

bool waitFor(const std::function<bool()> &condition, int timeoutMs);
// A process's peak resident memory, from /proc/PID/status ("self" for this one).
qint64 peakResidentKiB(const QString &pid = QStringLiteral("self"));
double cpuSeconds();
// Processor time of a process and of every process below it that is still running, in seconds.
double treeCpuSeconds(qint64 pid);
// Processor time of each thread of a process, in seconds, by the thread's name (the threads of
// one name added up).
QMap<QString, double> threadCpuSeconds(qint64 pid);
// The units' side of tests/netns-run.sh: 10.77.1.1 to 10.77.1.254, then 10.77.2.1 and on.
QString unitAddress(int index);
void writeImagePackage(const QString &folder, const QString &name, qint64 bytes);
// The program's folder for this run, in dir, holding one image package of this size.
QString usePackageFolder(const QTemporaryDir &dir, qint64 imageBytes);
// Starts a process that acts as units where the units' addresses are (see benchsupport.cpp).
void startOnUnitsSide(QProcess &process, const QString &program, const QStringList &arguments);

// The simulated fleet, with its event lines.
class Fleet
{
public:
    bool start(const QString &path, int units) { return run({path}, QStringLiteral("READY %1").arg(units)); }
    // unitsim in any of its modes; true once it printed a line that starts with `ready`.
    bool run(const QStringList &arguments, const QString &ready)
    {
        // The file server's benchmark runs the updater in this thread: what the bench does with the
        // lines is kept small, so that it does not weigh on the updater's side only. Each line is
        // counted once as it comes, and the buffer is cut once per read.
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            pending += process.readAllStandardOutput();
            qsizetype start = 0;
            qsizetype end;
            while ((end = pending.indexOf('\n', start)) >= 0) {
                lines.append(QString::fromUtf8(pending.mid(start, end - start)));
                ++counts[lines.last().section(QLatin1Char(' '), 1, 1)];
                start = end + 1;
            }
            pending.remove(0, start);
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startOnUnitsSide(process, QStringLiteral(BRYX_BIN_DIR "/unitsim"), arguments);
        return waitFor([&] { return std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) {
                           return line.startsWith(ready);
                       }); },
                       60000);
    }
    int count(const QString &event) const { return counts.value(event); }
    ~Fleet()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    QProcess process;
    QByteArray pending;
    QStringList lines;
    QHash<QString, int> counts; // lines of each event
};

// Tells every unit to fetch its image from server, all at once, as the update pass would.
void commandFetches(int units, const QString &server);

// The event loop's longest stall while the probe runs: how long an event that comes from
// outside the window's thread (as the window system's input and the sockets' news do) waits
// before the loop takes it. A thread posts one every 10 ms, stamped, and the loop notes how
// late each arrives. The longest gap between the ticks of a 10 ms timer is kept beside it: Qt
// runs a timer that has just fired at idle priority until the loop is idle, so under a steady
// stream of short events that figure also counts the time the loop was busy but responsive.
class StallProbe : public QObject
{
public:
    StallProbe()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            longestTimerGap = qMax(longestTimerGap, sinceLast.restart());
        });
    }
    ~StallProbe() override { stop(); }
    void start()
    {
        longest = 0;
        longestTimerGap = 0;
        sinceLast.start();
        timer.start();
        knocking = true;
        knocker = std::thread([this] {
            while (knocking) {
                QCoreApplication::postEvent(this, new Knock(std::chrono::steady_clock::now()));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // The longest wait of a posted event, in milliseconds.
    qint64 stop()
    {
        timer.stop();
        if (knocker.joinable()) {
            knocking = false;
            knocker.join();
            QCoreApplication::removePostedEvents(this, Knock::kType);
        }
        return longest;
    }
    qint64 timerGap() const { return longestTimerGap; }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != Knock::kType)
            return QObject::event(event);
        const auto waited = std::chrono::steady_clock::now() - static_cast<Knock *>(event)->posted;
        longest = qMax<qint64>(longest, std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
        return true;
    }

private:
    struct Knock : QEvent
    {
        static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 77);
        explicit Knock(std::chrono::steady_clock::time_point posted) : QEvent(kType), posted(posted) {}
        std::chrono::steady_clock::time_point posted;
    };
    QTimer timer;
    QElapsedTimer sinceLast;
    qint64 longestTimerGap = 0;
    qint64 longest = 0;
    std::atomic<bool> knocking{false};
    std::thread knocker;
};

UnitTableAccess *tableOf(MainWindow &window);

// The window's table, as the batch benchmarks read it.
constexpr int kStatusColumn = 7;
inline const QLatin1String kConfirmed("K-Series Update Confirmed.");
// Units of the batch whose status reads as confirmed.
int confirmedCount(UnitTableAccess *table, const QStringList &names);
// Selects the named units' rows and presses Update.
void pressUpdate(MainWindow &window, const QStringList &names);
QString unitName(int index);

// Which updater serves: its core in this process, or a process of its own as operators run it.
enum class Front { Core, Window, Tool };

int fileServer(int units, int mib, int rounds, bool byCurl, Front front);
int batch(int units, int delayMs, int cap = 0);
int cliBatch(int units, int delayMs);
int deadBatch(int delayMs, int live);
int faults(const QString &name);
int scale(int units, bool withWindow);

} // namespace fleetbench

// The longest event the loop delivered so far, and what it was (its receiver and type).
extern qint64 longestMs;
extern QString longestEvent;

namespace fleetbench {

} // namespace fleetbench
