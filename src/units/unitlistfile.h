#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QThread>

class MarluneUnit;

// "units.ini", shared with the sibling configuration tool, which reads it and writes it too.
// Storing a unit starts from the file as it is on disk at that moment: its MAC joins the "MACS"
// array unless it is listed there, and the group named by its MAC is overwritten with every
// persisted field; anything else the file holds stays. The file is written whole beside the old
// one and then put in its place, so a reader (or a kill at any moment) finds the old file or the
// new one, never half of one. Failures of the settings layer are not reported to the operator.

// Stores one unit through the run's UnitListWriter, or at once when there is none.
void storeUnit(const MarluneUnit &unit);
// Returns once everything storeUnit was given is on disk. Waits for the writer's thread, so it
// must not be called where that thread may be waiting (the log handler is such a place).
void flushUnitList();
// Stores into a given INI file at once: one unit, or several in one write, which leaves the same
// file as storing each in turn.
void storeUnitIn(const QString &iniPath, const MarluneUnit &unit);
void storeUnitsIn(const QString &iniPath, const QList<MarluneUnit> &units);

// The run's writer of "units.ini", with a thread of its own: writing out a large fleet's file
// takes a good part of a second, which the window must not wait for. A lone store reaches the
// disk at once, a burst of them together at most a second later (longer while the writes
// themselves are slow), and whatever is left when the writer goes. Made once by the program, on
// its main thread, before anything is stored; while it exists, storeUnit goes to it.
class UnitListWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UnitListWriter)

public:
    // path: the file to keep; the per-user "units.ini" when empty.
    explicit UnitListWriter(const QString &path = QString(), QObject *parent = nullptr);
    // Writes what is still pending and ends the thread.
    ~UnitListWriter() override;

    // Hands a unit to the thread; never waits. Any thread.
    void store(const MarluneUnit &unit);
    // Returns once everything stored so far is on disk (see flushUnitList).
    void flush();

    // The writer in use, or nullptr.
    static UnitListWriter *current();

private:
    class Worker;
    QThread thread;
    Worker *worker;
};
