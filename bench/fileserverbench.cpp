#include "externalupdater.h"
#include "fleetbench.h"

#include "update/updatercore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace fleetbench {

namespace {

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

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One run of the file server's benchmark: the fleet, nginx set up to serve the same image, and
// what the turns of both servers measured.
class FileServerBench
{
public:
    FileServerBench(int units, int mib, bool byCurl, Front front)
        : units(units), mib(mib), imageBytes(qint64(mib) * 1024 * 1024), byCurl(byCurl), front(front)
    {
    }

    // The packages, the fleet and nginx's set-up; false when the fleet did not start.
    bool prepare();
    // Both servers serve the same fleet, in turns: the updater first in odd rounds and nginx first
    // in even ones, so neither always has the first go at a fresh fleet and a cold start
    // (whichever goes second in a round tends to be faster; an even number of rounds gives each
    // the first go as often). Each round's ratio is printed, and the median of them all.
    int run(int rounds);

private:
    void writeFleetFile(const QString &path) const;
    void writeNginxConf();
    bool turn(ServerRun &run) { return front == Front::Core ? updaterTurn(run) : externalTurn(run); }
    bool updaterTurn(ServerRun &run);
    bool externalTurn(ServerRun &run);
    bool nginxTurn(ServerRun &run);
    void printRound(int round, bool updaterFirst, const ServerRun &updater, const ServerRun &nginx) const;
    int printSummary(bool allOk) const;

    const int units;
    const int mib;
    const qint64 imageBytes;
    const bool byCurl;
    const Front front;
    QTemporaryDir dir;
    QString packages;
    QString nginxDir;
    QString nginxConf;
    Fleet fleet;
    QPoint updateButton;
    int perfRuns = 0;
    qint64 rssBefore = -1;
    qint64 rssPeak = 0;
    qint64 stall = 0;
    qint64 idleStall = 0;
    qint64 commandsMs = 0;
    QList<double> ratios;
    QList<double> updaterRates;
    QList<double> nginxRates;
    QList<double> updaterCpuPerGiB;
    QList<double> nginxCpuPerGiB;
};

bool FileServerBench::prepare()
{
    packages = usePackageFolder(dir, imageBytes);
    // The window's program finds its packages beside itself: a hard link to it in their folder
    // (the path it was started by is its folder; a symbolic link would lead back to the build),
    // or a copy where the folder is on another file system.
    const QString program = QStringLiteral(BRYX_BIN_DIR "/bryx-updater");
    const QString programHere = packages + QStringLiteral("/bryx-updater");
    if (front == Front::Window && ::link(program.toLocal8Bit().constData(), programHere.toLocal8Bit().constData()) != 0
        && !QFile::copy(program, programHere))
        return false;
    const QString fleetFile = dir.filePath(QStringLiteral("fleet.ini"));
    writeFleetFile(fleetFile);
    if (!fleet.start(fleetFile, units))
        return false;
    writeNginxConf();
    updateButton = front == Front::Window ? updateButtonInWindow() : QPoint();
    return true;
}

// The window's units are commanded through its Update flow and do not fetch: curl fetches in
// their place, from their addresses.
void FileServerBench::writeFleetFile(const QString &path) const
{
    QString fleetText = QStringLiteral("[fleet]\nfamily=k220-decoder\nrebootSeconds=1\nswversion=1/1/2014\n%1")
                            .arg(front == Front::Window ? QStringLiteral("behaviour=neverFetches\n") : QString());
    for (int i = 0; i < units; ++i)
        fleetText += QStringLiteral("[u%1]\nip=%2\n").arg(i).arg(unitAddress(i));
    QFile fleetFile(path);
    fleetFile.open(QIODevice::WriteOnly);
    fleetFile.write(fleetText.toUtf8());
}

// nginx serves the same clients and image in place of the updater (whose server holds the
// port while its window is open), as it is set up to serve: one worker per processor, each
// fetch on a connection of its own that closes after the image, the file body handed to the
// kernel with sendfile.
void FileServerBench::writeNginxConf()
{
    nginxDir = dir.filePath(QStringLiteral("nginx"));
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
    nginxConf = conf.fileName();
}

// The updater's turn, headless: its core starts, lists the fleet, serves the fetches and is
// shut down.
bool FileServerBench::updaterTurn(ServerRun &run)
{
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
}

// The updater in a process of its own: started, the fleet listed (and, in the window,
// commanded), the fetches served, ended.
bool FileServerBench::externalTurn(ServerRun &run)
{
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
}

bool FileServerBench::nginxTurn(ServerRun &run)
{
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start(QStringLiteral("nginx"), {"-p", nginxDir, "-c", nginxConf, "-g", "daemon off;"});
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
}

int FileServerBench::run(int rounds)
{
    const double totalMiB = double(units) * mib;
    const double totalGiB = totalMiB / 1024;
    const char *const served[] = {"the updater's core", "the updater's window", "the command-line tool (list)"};
    std::printf("file server: %d %s fetch %d MiB each at once, from %s and from nginx (%d workers) in turns\n", units,
                byCurl ? "curl processes" : "simulated units", mib, served[int(front)], QThread::idealThreadCount());
    // The fleet's very first fetch is slower than any after it, whichever server serves it: it is
    // made from nginx before the rounds and not counted.
    ServerRun warmUp;
    if (!nginxTurn(warmUp))
        return 1;
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
        printRound(round, updaterFirst, updater, nginx);
    }
    return printSummary(allOk);
}

void FileServerBench::printRound(int round, bool updaterFirst, const ServerRun &updater, const ServerRun &nginx) const
{
    const QString stallText = front == Front::Core ? QStringLiteral(", stall %1 ms").arg(updater.stall) : QString();
    std::printf("  round %d (%s first): updater %.0f MiB/s in %.1f s, %d complete%s, peak %.1f MiB; "
                "nginx %.0f MiB/s in %.1f s, %d complete; ratio %.2f\n",
                round, updaterFirst ? "updater" : "nginx", updaterRates.last(), updater.ms / 1000.0, updater.ok,
                qPrintable(stallText), updater.peakKiB / 1024.0, nginxRates.last(), nginx.ms / 1000.0, nginx.ok,
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

int FileServerBench::printSummary(bool allOk) const
{
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

} // namespace

int fileServer(int units, int mib, int rounds, bool byCurl, Front front)
{
    FileServerBench bench(units, mib, byCurl, front);
    if (!bench.prepare())
        return 1;
    return bench.run(rounds);
}

} // namespace fleetbench
