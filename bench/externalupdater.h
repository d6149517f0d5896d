#pragma once

#include "fleetbench.h"

#include <QPoint>
#include <QProcess>

namespace fleetbench {

// Whether the updater's file server gives this unit's address its image: the updater lists the
// unit. The header is enough; the connection is cut off then.
bool servedAt(const QString &address);

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
    bool start(int units);

    qint64 processId() const { return process.processId(); }

    // The window's real Update flow: the operator selects the units that need an update (its
    // keys), presses Update Selected Units (a click on the button, where a window of the same
    // size shows it) and says yes; the power-off warning is acknowledged. True once every unit
    // was commanded (the simulated units, told not to fetch, say so).
    bool commandAll(const Fleet &fleet, int units, QPoint updateButton);

    // Seconds of processor time the process has used, all its threads.
    double cpuSeconds() const { return treeCpuSeconds(process.processId()); }

    qint64 peakResidentKiB() const { return fleetbench::peakResidentKiB(QString::number(process.processId())); }

    // Ends the run as the operator closing the window (or pressing Ctrl+C) does.
    void stop();

private:
    Front front;
    QString packages;
    QProcess process;
};

// Where the window shows its Update Selected Units button, from its top-left corner: a window
// made here with the program's style sheet, at the size the program restores (both read the same
// settings), laid out but never shown.
QPoint updateButtonInWindow();

} // namespace fleetbench
