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
//   fleetbench scale UNITS [core|window]  UNITS units (several simulator processes), listed by the
//                                     core alone or by the window (offscreen): the time until
//                                     the last unit is shown, the processor time of a refresh
//                                     tick once listed (by thread), the longest event-loop stall
//                                     meanwhile, in the window the longest search keystroke and
//                                     Show change, and the peak resident memory

#include "fleetbench.h"

#include "app/folders.h"
#include "app/processlimits.h"
#include "app/window/operatorquestions.h"
#include "app/updatersettings.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>

using namespace fleetbench;

namespace {

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

// Notes the longest event the loop delivered (outermost only) and what it was, for the stall
// figures: BRYX_BENCH_LONGEST=1 prints it at the end of a scale run.
class TimedApplication final : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (depth++ > 0) {
            const bool done = QApplication::notify(receiver, event);
            --depth;
            return done;
        }
        QElapsedTimer clock;
        clock.start();
        const QString what = QStringLiteral("%1 \"%2\" event %3")
                                 .arg(QString::fromLatin1(receiver->metaObject()->className()), receiver->objectName())
                                 .arg(int(event->type()));
        const bool done = QApplication::notify(receiver, event);
        --depth;
        if (clock.elapsed() > longestMs) {
            longestMs = clock.elapsed();
            longestEvent = what;
        }
        return done;
    }

private:
    int depth = 0;
};

} // namespace

qint64 longestMs = 0;
QString longestEvent;

int main(int argc, char **argv)
{
    readLocalTimeZoneOnce();
    // Each run starts from an empty data folder: a unit list left by an earlier run (a thousand
    // units from the batch section) would otherwise be loaded, stored and counted in this one.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    TimedApplication app(argc, argv);
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
    if (mode == QLatin1String("scale"))
        return scale(units, argc > 3 && QByteArray(argv[3]) == "window");
    if (mode == QLatin1String("faults") && argc > 2)
        return faults(QString::fromLatin1(argv[2]));
    std::fprintf(stderr, "usage: fleetbench fileserver UNITS MIB [ROUNDS [units|curl [core|window|tool]]]\n"
                         "                  | batch UNITS [MESSAGE_DELAY_MS]\n"
                         "                  | clibatch UNITS [MESSAGE_DELAY_MS] | rollout UNITS [CAP [MESSAGE_DELAY_MS]]\n"
                         "                  | deadbatch [MESSAGE_DELAY_MS [LIVE_UNITS]] | faults SCENARIO|header\n"
                         "                  | scale UNITS [core|window]\n");
    return 2;
}
