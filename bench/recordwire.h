#pragma once

// The wire as the unit simulator tells it, and what the scenarios share: the package's dates, the
// image's size, and the event loop run until a condition holds.
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>

namespace recordcheck {


inline const QString kPackageSw = QStringLiteral("3/2/2015");
constexpr qint64 kPackageWeb = 1425384000;
constexpr qint64 kImageSize = 512 * 1024;
constexpr qint64 kNever = std::numeric_limits<qint64>::max();
// The history is written every half second: a killed updater may lose its last second.
constexpr qint64 kLossMs = 1000;
// A recorded step time and the wire's stamp of it may differ by this much (the report keeps seconds).
constexpr qint64 kSlackMs = 3000;


inline qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Runs the event loop until done() holds or the time is up.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

inline void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

inline QString macOf(int unit)
{
    return QStringLiteral("02:B5:0A:4D:01:%1").arg(unit, 2, 16, QLatin1Char('0')).toUpper();
}

// ---- The wire: the simulator's event lines, each stamped with the time it was read ----

struct SimEvent
{
    qint64 ms = 0;
    QString unit;
    QString what;
    QStringList args;
};

class Simulator
{
public:
    ~Simulator() { stop(); }

    bool start(const QString &fleetPath)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            pending += process.readAllStandardOutput();
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QStringList words = QString::fromUtf8(pending.left(end)).split(QLatin1Char(' '));
                pending.remove(0, end + 1);
                if (words.first() == QLatin1String("READY")) {
                    ready = true;
                    continue;
                }
                if (words.size() >= 2)
                    events.append({nowMs(), words.at(0), words.at(1), words.mid(2)});
            }
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // With the link shaped, the units' addresses are in a namespace of their own.
        const QString unitsSide = qEnvironmentVariable("BRYX_UNITS_NETNS");
        const QString program = QStringLiteral(BRYX_BIN_DIR "/unitsim");
        if (unitsSide.isEmpty())
            process.start(program, {fleetPath});
        else
            process.start(QStringLiteral("nsenter"),
                          {QStringLiteral("--net=") + unitsSide, QStringLiteral("--"), program, fleetPath});
        return waitFor([this] { return ready || process.state() == QProcess::NotRunning; }, 20000) && ready;
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    // The unit's events of this kind in [from, to), whose text starts with `prefix` for TCP lines.
    QList<SimEvent> of(const QString &unit, const QString &what, qint64 from, qint64 to,
                       const QString &prefix = QString()) const
    {
        QList<SimEvent> found;
        for (const SimEvent &event : events)
            if (event.unit == unit && event.what == what && event.ms >= from && event.ms < to
                && (prefix.isEmpty() || event.args.value(0).startsWith(prefix)))
                found.append(event);
        return found;
    }
    int count(const QString &what) const
    {
        return int(std::count_if(events.cbegin(), events.cend(), [&](const SimEvent &e) { return e.what == what; }));
    }

    QList<SimEvent> events;

private:
    QProcess process;
    QByteArray pending;
    bool ready = false;
};


} // namespace recordcheck
