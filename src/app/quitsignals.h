#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (a desktop session ending, `systemctl stop`, `kill`, Ctrl+C,
// a closed terminal) into the same orderly quit as closing the window: the application's event
// loop is asked to end, so everything goes the usual way (the unit list written out, the lock
// file removed, the log's last lines). The handler only writes the signal's number into a pipe;
// the event loop reads it. One per process, made after the application object.
class QuitSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuitSignals)

public:
    explicit QuitSignals(QObject *parent = nullptr);
    // Puts the signals' earlier handling back.
    ~QuitSignals() override;

    // A signal came before the event loop ran, when asking it to end would be lost.
    bool quitRequested() const { return requested; }
    // Off: a signal is only reported through received(), and the owner decides what it means
    // (the command-line tool winds a batch down at the first and quits at the second).
    void setQuitOnSignal(bool quit) { quitOnSignal = quit; }

Q_SIGNALS:
    void received(int number);

private:
    void takeSignal();

    QSocketNotifier *notifier = nullptr;
    bool requested = false;
    bool quitOnSignal = true;
};
