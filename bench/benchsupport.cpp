#include "fleetbench.h"

#include "app/folders.h"
#include "update/window/mainwindow.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include "unittableaccess.h"
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <unistd.h>

namespace fleetbench {

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
qint64 peakResidentKiB(const QString &pid)
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

UnitTableAccess *tableOf(MainWindow &window)
{
    return unitTableOf(window);
}

} // namespace fleetbench
