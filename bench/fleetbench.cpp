// Fleet-scale benchmarks of the real updater against a simulated fleet: its core alone for the file
// server, its window for batches. Runs inside a private network namespace (bench/run-benchmarks.sh
// takes care of that).
//
//   fleetbench fileserver UNITS MIB [ROUNDS [CLIENTS [SERVER]]]  UNITS units fetch an image of
//                                     MIB MiB (random bytes) at once, from the updater and from
//                                     nginx (one worker per processor) on the same namespace, in
//                                     turns for ROUNDS rounds (4) with the first server
//                                     alternating; throughput of both and their ratio each round,
//                                     the median ratio, each server's processor time per GiB, the
//                                     updater's peak memory and (its core in this process) its
//                                     longest event-loop stall. CLIENTS: "units" (the simulated
//                                     units fetch, as commanded; the default) or "curl" (one curl
//                                     process per unit fetches from the unit's address, at the
//                                     same priority for both servers). SERVER: "core" (the
//                                     updater's core in this process; the default), "window" (the
//                                     bryx-updater program on the X display in DISPLAY, its units
//                                     commanded through its Update button; curl only) or "tool"
//                                     (bryx-updater-cli listing the fleet; curl only)
//   fleetbench batch UNITS [DELAY]    one unit updated alone, then UNITS units in one batch
//                                     (every unit answers each TCP message DELAY ms after it
//                                     arrives, default 0): time from pressing Update to the
//                                     last confirmation of each, their ratio, the updater's
//                                     processor time per refresh tick during the batch and
//                                     over the whole run, and its longest event-loop stall
//                                     (BRYX_BENCH_HISTORY=off: without the history, which
//                                     the window keeps otherwise)
//   fleetbench deadbatch [DELAY [LIVE]]  a clean batch of LIVE units (235), then a batch of LIVE
//                                     live and 15 dead units (10 hung on TCP, 5 mute): time
//                                     until the live ones are confirmed, against the clean one
//   fleetbench faults SCENARIO        20 units updated in one batch while something goes
//                                     wrong (see kFaults); prints one row of a table: units
//                                     confirmed of those expected, the longest event-loop stall
//                                     and the updater's peak memory
//   fleetbench faults header          the table's header

#include "app/folders.h"
#include "app/window/operatorquestions.h"
#include "app/updatersettings.h"
#include "update/window/mainwindow.h"
#include "update/updatercore.h"
#include "unittableaccess.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QItemSelectionModel>
#include <QMap>
#include <QNetworkProxy>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

constexpr qint64 kWeb = 1425384000;

// The operator says yes to updating, no to the EDID reset, OK to everything else.
class BenchOperator final : public OperatorQuestions
{
public:
    QMessageBox::StandardButton ask(QWidget *, const Question &question) override
    {
        if (question.title == QLatin1String("Reset EDID?"))
            return QMessageBox::No;
        return question.defaultButton != QMessageBox::NoButton ? question.defaultButton : QMessageBox::Ok;
    }
    QString askOpenFileName(QWidget *, const FileQuestion &) override { return QString(); }
    QString askSaveFileName(QWidget *, const FileQuestion &) override { return QString(); }
};

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        // Sleep on the event loop for a moment: the updater's own work goes on meanwhile.
        QEventLoop pause;
        QTimer::singleShot(20, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return true;
}

// A process's peak resident memory, from /proc/PID/status ("self" for this one).
qint64 peakResidentKiB(const QString &pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processor time of a process and of every process below it that is still running, in seconds.
double treeCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // The fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    double seconds = 0;
    if (fields.size() > 12)
        seconds = double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly))
        for (const QByteArray &child : children.readAll().split(' '))
            if (!child.trimmed().isEmpty())
                seconds += treeCpuSeconds(child.trimmed().toLongLong());
    return seconds;
}

// Processor time of each thread of a process, in seconds, by the thread's name (the threads of
// one name added up).
QMap<QString, double> threadCpuSeconds(qint64 pid)
{
    QMap<QString, double> seconds;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks + QLatin1Char('/') + task + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const qsizetype open = text.indexOf('(');
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (open < 0 || close < open || fields.size() <= 12)
            continue;
        seconds[QString::fromUtf8(text.mid(open + 1, close - open - 1))] +=
            double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

// The units' side of tests/netns-run.sh: 10.77.1.1 to 10.77.1.254, then 10.77.2.1 and on.
QString unitAddress(int index)
{
    return QStringLiteral("10.77.%1.%2").arg(1 + index / 254).arg(1 + index % 254);
}

void writeImagePackage(const QString &folder, const QString &name, qint64 bytes)
{
    const QByteArray versions = "SWVER:3/2/2015\nWEBVER:" + QByteArray::number(kWeb) + "\n";
    QFile ver(folder + '/' + name + ".ver");
    ver.open(QIODevice::WriteOnly);
    ver.write(versions);
    QFile bin(folder + '/' + name + ".bin");
    bin.open(QIODevice::WriteOnly);
    bin.write(versions);
    // Random bytes, as a real image's compressed content is; BRYX_BENCH_IMAGE=constant writes one
    // byte over and over instead, to see whether the content changes a figure.
    const bool constant = qgetenv("BRYX_BENCH_IMAGE") == "constant";
    QByteArray block(1024 * 1024, '\x5a');
    qint64 left = bytes - versions.size();
    while (left > 0) {
        if (!constant)
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        bin.write(block.constData(), qMin<qint64>(left, block.size()));
        left -= block.size();
    }
}

// The program's folder for this run, in dir, holding one image package of this size.
QString usePackageFolder(const QTemporaryDir &dir, qint64 imageBytes)
{
    const QString packages = dir.filePath(QStringLiteral("app"));
    QDir().mkpath(packages);
    writeImagePackage(packages, QStringLiteral("k220_bench"), imageBytes);
    Folders::setApplicationFolder(packages);
    return packages;
}

// With the link between the two sides shaped (tests/netns-run.sh, BRYX_NETNS_LINK_MBIT), the units'
// addresses are in a namespace of their own, and so must be every process that acts as units.
void startOnUnitsSide(QProcess &process, const QString &program, const QStringList &arguments)
{
    const QString unitsNamespace = qEnvironmentVariable("BRYX_UNITS_NETNS");
    if (unitsNamespace.isEmpty())
        process.start(program, arguments);
    else
        process.start(QStringLiteral("nsenter"),
                      QStringList{QStringLiteral("--net=") + unitsNamespace, QStringLiteral("--"), program} + arguments);
}

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
void commandFetches(int units, const QString &server)
{
    for (int i = 0; i < units; ++i) {
        auto *socket = new QTcpSocket(qApp);
        // As the updater's own: no proxy lookup, which would run on a thread of this process.
        socket->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(socket, &QTcpSocket::connected, socket, [socket, server] {
            socket->write("setSettings:updateUnit:" + server.toLatin1() + "\r");
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->disconnectFromHost();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->connectToHost(unitAddress(i), 50001);
    }
}

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

UnitTableAccess *tableOf(MainWindow &window)
{
    return unitTableOf(window);
}

// What one server's turn measured.
struct ServerRun
{
    qint64 ms = 0;
    int ok = 0;
    // The updater's alone: its longest event-loop stall during the fetches, and its peak memory
    // from the opening of its window to the end of the fetches.
    qint64 stall = 0;
    qint64 peakKiB = 0;
    // Processor time during the fetches: the server's (for the updater, its whole process, the
    // bench included) and the simulated units'.
    double serverCpu = 0;
    double unitsCpu = 0;
    // The updater in a process of its own: each thread's share of serverCpu, by name.
    QMap<QString, double> threads;
};

// Starts the process's peak resident memory afresh from what it holds now.
void resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// Starts every unit's fetch from 10.77.0.1 and waits until each has fetched or failed; false
// when they did not all end in time. commandsOut is called once the commands are on their way.
bool timeFetches(Fleet &fleet, int units, ServerRun &run, const std::function<void()> &commandsOut = {})
{
    const int okBefore = fleet.count(QStringLiteral("FETCH-OK"));
    const int before = okBefore + fleet.count(QStringLiteral("FETCH-FAILED"));
    const double unitsCpuBefore = treeCpuSeconds(fleet.process.processId());
    QElapsedTimer clock;
    clock.start();
    commandFetches(units, QStringLiteral("10.77.0.1"));
    if (commandsOut)
        commandsOut();
    const bool ended = waitFor(
        [&] {
            return fleet.count(QStringLiteral("FETCH-OK")) + fleet.count(QStringLiteral("FETCH-FAILED"))
                   >= before + units;
        },
        600000);
    run.ms = clock.elapsed();
    run.ok = fleet.count(QStringLiteral("FETCH-OK")) - okBefore;
    run.unitsCpu = treeCpuSeconds(fleet.process.processId()) - unitsCpuBefore;
    return ended;
}

// Waits until the units that fetched are back from their reboot.
bool unitsBackUp(Fleet &fleet, int upBefore, int fetched)
{
    return waitFor([&] { return fleet.count(QStringLiteral("UP")) >= upBefore + fetched; }, 60000);
}

// The units' fetches made by curl instead: one process per unit, from the unit's own address (the
// updater serves listed units only), all started at once by one shell, so that the window's
// thread (the bench's own) starts one process, not hundreds; an image counts when all of it came.
// The clients run at the priority both servers' clients have, the same as the servers' own
// (niceness BRYX_CURL_NICE, 0 unless set): a server that leaves work to its clients' side of the
// kernel is not helped by clients that wait for the processor. BRYX_CURL_OUT names the file each
// client writes to (/dev/null unless set).
bool timeCurlFetches(int units, qint64 imageBytes, ServerRun &run)
{
    QString script;
    for (int i = 0; i < units; ++i)
        script += QStringLiteral("curl --silent --noproxy '*' --interface %1 --output \"${BRYX_CURL_OUT:-/dev/null}\" "
                                 "--write-out '%{size_download}\\n' http://10.77.0.1:50005/image.bin &\n")
                      .arg(unitAddress(i));
    script += QStringLiteral("wait\n");
    const QByteArray niceness = qEnvironmentVariableIsSet("BRYX_CURL_NICE") ? qgetenv("BRYX_CURL_NICE") : "0";
    QProcess shell;
    QElapsedTimer clock;
    clock.start();
    startOnUnitsSide(shell, QStringLiteral("nice"),
                     {QStringLiteral("-n"), QString::fromLatin1(niceness), QStringLiteral("sh"), QStringLiteral("-c"),
                      script});
    const bool ended = waitFor([&] { return shell.state() == QProcess::NotRunning; }, 600000);
    run.ms = clock.elapsed();
    run.ok = 0;
    for (const QByteArray &line : shell.readAllStandardOutput().split('\n'))
        run.ok += line.trimmed().toLongLong() == imageBytes ? 1 : 0;
    run.unitsCpu = 0;
    return ended;
}

// Which updater serves: its core in this process, or a process of its own as operators run it.
enum class Front { Core, Window, Tool };

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

// The updater in a process of its own, as an operator starts it: the window (the bryx-updater
// program, on the X display in DISPLAY, the updater's packages beside it) or the command-line
// tool listing the fleet for longer than the fetches take. Its processor time and memory come
// from /proc.
class ExternalUpdater
{
public:
    ExternalUpdater(Front front, const QString &packages) : front(front), packages(packages) {}
    ~ExternalUpdater() { stop(); }

    // Starts the updater and waits until it lists every unit; false when it did not.
    bool start(int units)
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

    qint64 processId() const { return process.processId(); }

    // The window's real Update flow: the operator selects the units that need an update (its
    // keys), presses Update Selected Units (a click on the button, where a window of the same
    // size shows it) and says yes; the power-off warning is acknowledged. True once every unit
    // was commanded (the simulated units, told not to fetch, say so).
    bool commandAll(const Fleet &fleet, int units, QPoint updateButton)
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

    // Seconds of processor time the process has used, all its threads.
    double cpuSeconds() const { return treeCpuSeconds(process.processId()); }

    qint64 peakResidentKiB() const { return ::peakResidentKiB(QString::number(process.processId())); }

    // Ends the run as the operator closing the window (or pressing Ctrl+C) does.
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, 15000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

private:
    Front front;
    QString packages;
    QProcess process;
};

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

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Both servers serve the same fleet, in turns: the updater first in odd rounds and nginx first in
// even ones, so neither always has the first go at a fresh fleet and a cold start (whichever goes
// second in a round tends to be faster; an even number of rounds gives each the first go as
// often). Each round's ratio is printed, and the median of them all.
int fileServer(int units, int mib, int rounds, bool byCurl, Front front)
{
    QTemporaryDir dir;
    const qint64 imageBytes = qint64(mib) * 1024 * 1024;
    const QString packages = usePackageFolder(dir, imageBytes);
    // The window's program finds its packages beside itself: a hard link to it in their folder
    // (the path it was started by is its folder; a symbolic link would lead back to the build),
    // or a copy where the folder is on another file system.
    const QString program = QStringLiteral(BRYX_BIN_DIR "/bryx-updater");
    const QString programHere = packages + QStringLiteral("/bryx-updater");
    if (front == Front::Window && ::link(program.toLocal8Bit().constData(), programHere.toLocal8Bit().constData()) != 0
        && !QFile::copy(program, programHere))
        return 1;

    // The window's units are commanded through its Update flow and do not fetch: curl fetches in
    // their place, from their addresses.
    QString fleetText = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=1\nswversion=1/1/2014\n%1")
                            .arg(front == Front::Window ? QStringLiteral("behaviour=neverFetches\n") : QString());
    for (int i = 0; i < units; ++i)
        fleetText += QStringLiteral("[u%1]\nip=%2\n").arg(i).arg(unitAddress(i));
    QFile fleetFile(dir.filePath(QStringLiteral("fleet.ini")));
    fleetFile.open(QIODevice::WriteOnly);
    fleetFile.write(fleetText.toUtf8());
    fleetFile.close();
    Fleet fleet;
    if (!fleet.start(fleetFile.fileName(), units))
        return 1;

    // nginx serves the same clients and image in place of the updater (whose server holds the
    // port while its window is open), as it is set up to serve: one worker per processor, each
    // fetch on a connection of its own that closes after the image, the file body handed to the
    // kernel with sendfile.
    const QString nginxDir = dir.filePath(QStringLiteral("nginx"));
    QDir().mkpath(nginxDir);
    QFile::link(packages + QStringLiteral("/k220_bench.bin"), nginxDir + QStringLiteral("/image.bin"));
    QFile conf(nginxDir + QStringLiteral("/nginx.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("user root;\nworker_processes %2;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
                              "events { worker_connections 1024; }\n"
                              "http {\n access_log off;\n sendfile on;\n keepalive_timeout 0;\n"
                              " client_body_temp_path %1;\n proxy_temp_path %1;\n fastcgi_temp_path %1;\n"
                              " uwsgi_temp_path %1;\n scgi_temp_path %1;\n"
                              " server {\n  listen 10.77.0.1:50005;\n  root %1;\n"
                              "  location / { default_type application/octet-stream; try_files /image.bin =404; }\n"
                              " }\n}\n")
                   .arg(nginxDir)
                   .arg(QThread::idealThreadCount())
                   .toUtf8());
    conf.close();

    qint64 rssBefore = -1;
    qint64 rssPeak = 0;
    qint64 stall = 0;
    qint64 idleStall = 0;
    qint64 commandsMs = 0;
    // The updater's turn, headless: its core starts, lists the fleet, serves the fetches and is
    // shut down.
    auto updaterTurn = [&](ServerRun &run) {
        resetPeakResident();
        auto *core = new UpdaterCore;
        core->start();
        if (!waitFor([&] { return core->state().vUnits.size() == units; }, 30000)) {
            std::fprintf(stderr, "the updater did not list the fleet\n");
            delete core;
            return false;
        }
        if (rssBefore < 0)
            rssBefore = peakResidentKiB();
        const int upBefore = fleet.count(QStringLiteral("UP"));
        // The probe starts once the commands are out: opening a connection to every unit at once
        // is the bench's own work, done before the updater has anything to serve.
        StallProbe probe;
        QElapsedTimer commands;
        commands.start();
        const double cpuBefore = cpuSeconds();
        bool ended = false;
        if (byCurl) {
            probe.start();
            ended = timeCurlFetches(units, imageBytes, run);
        } else {
            ended = timeFetches(fleet, units, run, [&] {
                commandsMs = qMax(commandsMs, commands.elapsed());
                probe.start();
            });
        }
        run.serverCpu = cpuSeconds() - cpuBefore;
        run.stall = probe.stop();
        run.peakKiB = peakResidentKiB();
        stall = qMax(stall, run.stall);
        rssPeak = qMax(rssPeak, run.peakKiB);
        delete core;
        return ended && (byCurl || unitsBackUp(fleet, upBefore, run.ok));
    };
    // The updater in a process of its own: started, the fleet listed (and, in the window,
    // commanded), the fetches served, ended.
    const QPoint updateButton = front == Front::Window ? updateButtonInWindow() : QPoint();
    int perfRuns = 0;
    auto externalTurn = [&](ServerRun &run) {
        ExternalUpdater updater(front, packages);
        if (!updater.start(units)) {
            std::fprintf(stderr, "the updater did not list the fleet\n");
            return false;
        }
        if (front == Front::Window && !updater.commandAll(fleet, units, updateButton)) {
            std::fprintf(stderr, "the window did not command the fleet (Update Selected Units clicked at %d,%d)\n",
                         updateButton.x(), updateButton.y());
            return false;
        }
        if (rssBefore < 0)
            rssBefore = updater.peakResidentKiB();
        // BRYX_BENCH_PERF=FILE: the updater's process is profiled during the fetches, each round
        // to a file of its own (FILE.1, FILE.2, ...), for `perf report -i`.
        QProcess perf;
        if (const QString perfFile = qEnvironmentVariable("BRYX_BENCH_PERF"); !perfFile.isEmpty()) {
            const QString output = perfFile + QLatin1Char('.') + QString::number(++perfRuns);
            perf.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            perf.start(QStringLiteral("perf"), {QStringLiteral("record"), QStringLiteral("-g"), QStringLiteral("-o"),
                                                output, QStringLiteral("-p"),
                                                QString::number(updater.processId())});
            waitFor([&] { return QFileInfo(output).size() > 0; }, 10000);
        }
        const double cpuBefore = updater.cpuSeconds();
        const QMap<QString, double> threadsBefore = threadCpuSeconds(updater.processId());
        const bool ended = timeCurlFetches(units, imageBytes, run);
        run.serverCpu = updater.cpuSeconds() - cpuBefore;
        QMap<QString, double> threads = threadCpuSeconds(updater.processId());
        for (auto it = threads.begin(); it != threads.end(); ++it)
            it.value() -= threadsBefore.value(it.key());
        run.threads = threads;
        if (perf.state() != QProcess::NotRunning) {
            ::kill(pid_t(perf.processId()), SIGINT);
            perf.waitForFinished(30000);
        }
        run.peakKiB = updater.peakResidentKiB();
        rssPeak = qMax(rssPeak, run.peakKiB);
        return ended;
    };
    auto nginxTurn = [&](ServerRun &run) {
        QProcess nginx;
        nginx.setProcessChannelMode(QProcess::ForwardedChannels);
        nginx.start(QStringLiteral("nginx"), {"-p", nginxDir, "-c", conf.fileName(), "-g", "daemon off;"});
        QTcpSocket probeNginx;
        if (!waitFor(
                [&] {
                    if (probeNginx.state() == QAbstractSocket::ConnectedState)
                        return true;
                    if (probeNginx.state() == QAbstractSocket::UnconnectedState)
                        probeNginx.connectToHost(QStringLiteral("10.77.0.1"), 50005);
                    return false;
                },
                10000)) {
            std::fprintf(stderr, "nginx did not start\n");
            return false;
        }
        probeNginx.abort();
        const int upBefore = fleet.count(QStringLiteral("UP"));
        const double cpuBefore = treeCpuSeconds(nginx.processId());
        // The same probe, on this process's event loop with no window: what the machine alone (the
        // clients starting and reading) does to a loop that has nothing else to do.
        StallProbe probe;
        probe.start();
        const bool ended = byCurl ? timeCurlFetches(units, imageBytes, run) : timeFetches(fleet, units, run);
        run.stall = probe.stop();
        idleStall = qMax(idleStall, run.stall);
        run.serverCpu = treeCpuSeconds(nginx.processId()) - cpuBefore;
        nginx.terminate();
        nginx.waitForFinished(5000);
        return ended && (byCurl || unitsBackUp(fleet, upBefore, run.ok));
    };

    const double totalMiB = double(units) * mib;
    const double totalGiB = totalMiB / 1024;
    const char *const served[] = {"the updater's core", "the updater's window", "the command-line tool (list)"};
    std::printf("file server: %d %s fetch %d MiB each at once, from %s and from nginx (%d workers) in turns\n", units,
                byCurl ? "curl processes" : "simulated units", mib, served[int(front)], QThread::idealThreadCount());
    const auto turn = [&](ServerRun &run) { return front == Front::Core ? updaterTurn(run) : externalTurn(run); };
    // The fleet's very first fetch is slower than any after it, whichever server serves it: it is
    // made from nginx before the rounds and not counted.
    ServerRun warmUp;
    if (!nginxTurn(warmUp))
        return 1;
    QList<double> ratios;
    QList<double> updaterRates;
    QList<double> nginxRates;
    QList<double> updaterCpuPerGiB;
    QList<double> nginxCpuPerGiB;
    bool allOk = true;
    for (int round = 1; round <= rounds; ++round) {
        ServerRun updater;
        ServerRun nginx;
        const bool updaterFirst = round % 2 == 1;
        const bool ended =
            updaterFirst ? turn(updater) && nginxTurn(nginx) : nginxTurn(nginx) && turn(updater);
        if (!ended)
            return 1;
        const double updaterRate = totalMiB / (double(updater.ms) / 1000.0);
        const double nginxRate = totalMiB / (double(nginx.ms) / 1000.0);
        ratios.append(updaterRate / nginxRate);
        updaterRates.append(updaterRate);
        nginxRates.append(nginxRate);
        updaterCpuPerGiB.append(updater.serverCpu / totalGiB);
        nginxCpuPerGiB.append(nginx.serverCpu / totalGiB);
        allOk = allOk && updater.ok == units && nginx.ok == units;
        const QString stallText = front == Front::Core ? QStringLiteral(", stall %1 ms").arg(updater.stall) : QString();
        std::printf("  round %d (%s first): updater %.0f MiB/s in %.1f s, %d complete%s, peak %.1f MiB; "
                    "nginx %.0f MiB/s in %.1f s, %d complete; ratio %.2f\n",
                    round, updaterFirst ? "updater" : "nginx", updaterRate, updater.ms / 1000.0, updater.ok,
                    qPrintable(stallText), updater.peakKiB / 1024.0, nginxRate, nginx.ms / 1000.0, nginx.ok,
                    ratios.last());
        if (byCurl)
            std::printf("    processor time during the fetches: updater's process %.2f s (%.2f s/GiB); nginx %.2f s "
                        "(%.2f s/GiB)\n",
                        updater.serverCpu, updaterCpuPerGiB.last(), nginx.serverCpu, nginxCpuPerGiB.last());
        if (!updater.threads.isEmpty()) {
            QStringList shares;
            for (auto it = updater.threads.cbegin(); it != updater.threads.cend(); ++it)
                if (it.value() > 0)
                    shares << QStringLiteral("%1 %2 s").arg(it.key()).arg(it.value(), 0, 'f', 2);
            std::printf("    the updater's threads: %s\n", qPrintable(shares.join(QStringLiteral(", "))));
        }
        else
            std::printf("    processor time during the fetches: updater's process %.1f s, units %.1f s; nginx %.1f s, "
                        "units %.1f s\n",
                        updater.serverCpu, updater.unitsCpu, nginx.serverCpu, nginx.unitsCpu);
    }
    const auto [lowest, highest] = std::minmax_element(ratios.cbegin(), ratios.cend());
    std::printf("  ratio: median %.2f of %lld rounds, %.2f to %.2f (target >= 1.0)\n", median(ratios),
                static_cast<long long>(ratios.size()), *lowest, *highest);
    std::printf("  updater %.0f MiB/s, nginx %.0f MiB/s (medians)\n", median(updaterRates), median(nginxRates));
    // The server's processor time per GiB served, beside nginx's for the same fetches (for the
    // updater's core, the bench's process: the core and the bench that drives it).
    std::printf("  server processor time per GiB served: updater %.2f s, nginx %.2f s (medians; target: the updater's "
                "at most nginx's)\n",
                median(updaterCpuPerGiB), median(nginxCpuPerGiB));
    // Over a shaped link: what each server delivered of what the link carries. A full-sized frame
    // carries 1448 bytes of an image in 1514 (TCP with timestamps, IP and Ethernet headers); the
    // link rate counts all of them.
    if (const int linkMbit = qEnvironmentVariableIntValue("BRYX_NETNS_LINK_MBIT"); linkMbit > 0) {
        const double linkMiB = linkMbit * 1e6 / 8 / 1048576;
        const double payloadMiB = linkMiB * 1448 / 1514;
        std::printf("  over a %d Mbit/s link (%.1f MiB/s, %.1f MiB/s of it image bytes): updater %.1f MiB/s, %.1f %% of "
                    "the image bytes the link can carry (target >= 95 %%); nginx %.1f MiB/s, %.1f %% (medians)\n",
                    linkMbit, linkMiB, payloadMiB, median(updaterRates), 100 * median(updaterRates) / payloadMiB,
                    median(nginxRates), 100 * median(nginxRates) / payloadMiB);
    }
    std::printf("  updater peak resident memory in any round: %.1f MiB (target <= 64 MiB; %.1f MiB before the first "
                "transfer)\n",
                rssPeak / 1024.0, rssBefore / 1024.0);
    if (front != Front::Core) {
        std::printf("  (the updater's event loop is not probed in a process of its own)\n");
        return allOk ? 0 : 2;
    }
    std::printf("  longest event-loop stall during the transfers: %lld ms (target <= 50 ms", static_cast<long long>(stall));
    if (!byCurl)
        std::printf("; the bench's commands to the units took up to %lld ms before it", static_cast<long long>(commandsMs));
    std::printf("); an event loop with no window waited up to %lld ms during nginx's turns\n",
                static_cast<long long>(idleStall));
    return allOk ? 0 : 2;
}

constexpr int kStatusColumn = 7;
const QLatin1String kConfirmed("K-Series Update Confirmed.");
// A batch that is not confirmed after this long is reported unfinished rather than waited for.
constexpr int kBatchTimeoutMs = 900000;

// Units of the batch whose status reads as confirmed.
int confirmedCount(UnitTableAccess *table, const QStringList &names)
{
    int done = 0;
    for (int row = 0; row < table->rowCount(); ++row)
        if (names.contains(table->item(row, 0)->text()) && table->item(row, kStatusColumn)->text() == kConfirmed)
            ++done;
    return done;
}

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

// Selects the named units' rows and presses Update.
void pressUpdate(MainWindow &window, const QStringList &names)
{
    selectUnits(tableOf(window), names);
    clickUpdate(window);
}

// Follows the named units' status cells from start() on and notes the moment the last of them
// reads as confirmed. It runs in the measured process, so it looks again only at the rows the
// table changed, and only once the change is complete (after the turn that told it):
// a thousand rows then cost next to nothing, and the moment is exact to one event-loop turn. A
// look at every row once a second is the safety net.
class ConfirmationWatch
{
public:
    ConfirmationWatch(UnitTableAccess *table, const QStringList &names) : table(table), names(names.cbegin(), names.cend())
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
    bool wait(int timeoutMs)
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

    int confirmed() const { return int(confirmedRows.size()); }
    // "name: status" of the named units not confirmed, the first few.
    QStringList unconfirmed(int most) const
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

    void look()
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

    void lookAt(int row)
    {
        const auto name = table->item(row, 0);
        const auto status = table->item(row, kStatusColumn);
        if (name && status && status->text() == kConfirmed && names.contains(name->text()))
            confirmedRows.insert(row);
        else
            confirmedRows.remove(row);
    }

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

QString unitName(int index)
{
    return QStringLiteral("Unit %1").arg(index, 3, 10, QLatin1Char('0'));
}

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

// One unit alone, then `units` units in one batch. With a cap, the batch goes under a rollout
// plan of at most `cap` units in flight: in waves, about ceil(units / cap) times as long as one
// unit, and no longer.
int batch(int units, int delayMs, int cap = 0)
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
    runBatch(window, all);
    const qint64 stall = probe.stop();
    const double cpu = cpuSeconds() - cpuBefore;
    const int batchTicks = ticks - ticksBefore;

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

    QString fleetText = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=3\nswversion=1/1/2014\n");
    QStringList names;
    for (int i = 0; i < kFaultUnits; ++i) {
        fleetText += QStringLiteral("[u%1]\nip=%2\nname=%3\n").arg(i).arg(unitAddress(i), unitName(i));
        if (i == 0)
            fleetText += QString::fromLatin1(scenario->firstUnit);
        // Slow enough that every fetch is under way when the image changes; each unit tells
        // what it got.
        if (scenario->rewriteImage)
            fleetText += QStringLiteral("digest=1\nfetchKiBps=4096\n");
        if (scenario->descriptorLimit > 0)
            fleetText += QStringLiteral("messageDelayMs=8000\n");
        names << unitName(i);
    }
    QFile fleetFile(dir.filePath(QStringLiteral("fleet.ini")));
    fleetFile.open(QIODevice::WriteOnly);
    fleetFile.write(fleetText.toUtf8());
    fleetFile.close();
    Fleet fleet;
    if (!fleet.start(fleetFile.fileName(), kFaultUnits))
        return 1;
    // The simulated units run in processes of their own, started above with the limit as it was
    // (and they raise theirs anyway); the cap is the updater's.
    if (scenario->descriptorLimit > 0) {
        rlimit descriptors;
        ::getrlimit(RLIMIT_NOFILE, &descriptors);
        descriptors.rlim_cur = rlim_t(scenario->descriptorLimit);
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }

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
    if (scenario->descriptorLimit > 0) {
        rlimit descriptors;
        ::getrlimit(RLIMIT_NOFILE, &descriptors);
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }
    const int confirmed = confirmedCount(table, expected);
    if (confirmed < expected.size()) {
        // What the units not confirmed read, for whoever looks into the row.
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
    const bool stuckAsExpected = scenario->firstIsConfirmed || confirmedCount(table, {names.first()}) == 0;
    std::printf("| %s | %d / %d%s | %lld | %.0f |\n", scenario->label, confirmed, int(expected.size()),
                stuckAsExpected ? "" : " (the stuck unit was confirmed)", static_cast<long long>(stall),
                peakResidentKiB() / 1024.0);
    return confirmed == expected.size() && stuckAsExpected ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Each run starts from an empty data folder: a unit list left by an earlier run (a thousand
    // units from the batch section) would otherwise be loaded, stored and counted in this one.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    BenchOperator questions;
    OperatorQuestions::install(&questions);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    Folders::createStartupFolders();
    // BRYX_BENCH_HISTORY=off: the window keeps no history, for the same batch side by side.
    QSettings(UpdaterSettings::path(), QSettings::IniFormat)
        .setValue(QStringLiteral("history/keep"), qgetenv("BRYX_BENCH_HISTORY") != "off");

    const QString mode = argc > 1 ? QString::fromLatin1(argv[1]) : QString();
    const int units = argc > 2 ? QByteArray(argv[2]).toInt() : 50;
    if (mode == QLatin1String("fileserver"))
    {
        const QByteArray server = argc > 6 ? QByteArray(argv[6]) : QByteArray("core");
        const Front front = server == "window" ? Front::Window : server == "tool" ? Front::Tool : Front::Core;
        const bool byCurl = argc > 5 && QByteArray(argv[5]) == "curl";
        if (front != Front::Core && !byCurl) {
            std::fprintf(stderr, "the window and the tool are fetched from by curl\n");
            return 2;
        }
        return fileServer(units, argc > 3 ? QByteArray(argv[3]).toInt() : 64,
                          argc > 4 ? qMax(1, QByteArray(argv[4]).toInt()) : 4, byCurl, front);
    }
    if (mode == QLatin1String("batch"))
        return batch(units, argc > 3 ? QByteArray(argv[3]).toInt() : 0);
    if (mode == QLatin1String("rollout"))
        return batch(units, argc > 4 ? QByteArray(argv[4]).toInt() : 0,
                     argc > 3 ? qMax(1, QByteArray(argv[3]).toInt()) : 50);
    if (mode == QLatin1String("clibatch"))
        return cliBatch(units, argc > 3 ? QByteArray(argv[3]).toInt() : 0);
    if (mode == QLatin1String("deadbatch"))
        return deadBatch(argc > 2 ? QByteArray(argv[2]).toInt() : 0, argc > 3 ? QByteArray(argv[3]).toInt() : 235);
    if (mode == QLatin1String("faults") && argc > 2)
        return faults(QString::fromLatin1(argv[2]));
    std::fprintf(stderr, "usage: fleetbench fileserver UNITS MIB [ROUNDS [units|curl [core|window|tool]]]\n"
                         "                  | batch UNITS [MESSAGE_DELAY_MS]\n"
                         "                  | clibatch UNITS [MESSAGE_DELAY_MS] | rollout UNITS [CAP [MESSAGE_DELAY_MS]]\n"
                         "                  | deadbatch [MESSAGE_DELAY_MS [LIVE_UNITS]] | faults SCENARIO|header\n");
    return 2;
}
