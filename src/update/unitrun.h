#pragma once

#include "units/marluneunit.h"

#include <QDateTime>
#include <QString>

// How long each step of a commanded unit may take, counted from the step before it: the
// command until the image is fetched, the fetch until the unit is seen rebooting, the reboot
// until it is back and confirmed. A unit past one of these is marked overdue, and stays in
// the pipeline: it goes on as usual if it recovers.
// The window uses these; the command-line tool may set others.
struct StepDeadlines
{
    static constexpr int kFetchSecs = 3 * 60;
    static constexpr int kRebootSecs = 10 * 60;
    static constexpr int kReturnSecs = 10 * 60;
    int fetchSecs = kFetchSecs;
    int rebootSecs = kRebootSecs;
    int returnSecs = kReturnSecs;
};

// NoAnswer: the unit never read its update command (no connection could be made) and took no
// image.
enum class Overdue { None, NoFetch, NoReboot, NotBack, NoAnswer };

// "Overdue: no image fetch after 3 min" and the like ("after 45 s" for a deadline that is not
// whole minutes); "" for None.
QString overdueText(Overdue overdue, const StepDeadlines &deadlines = StepDeadlines());

// The step of a commanded unit's latest attempt that a deadline holds it to: when the step began
// on the wall clock and how long it may take. Invalid before the command and while the image is
// being handed over.
struct DeadlineStep
{
    QDateTime began;
    int secs = 0;
    bool isValid() const { return began.isValid(); }
    QDateTime due() const { return began.addSecs(secs); }
};

// What this run did to one unit it was asked to update: its transfer's progress, the times of
// its steps, its overdue mark and whether the operator retried it. Kept for the whole run, also
// after the unit finished or left the list, for the update report.
struct UnitRun
{
    // The unit's record when it was first queued in this run: its dates before the update.
    MarluneUnit before;
    // The image the unit was sent at its latest command.
    QString packageFile;

    // The latest transfer: bytes handed to the unit's socket, of the image's size.
    qint64 bytesServed = 0;
    qint64 imageSize = 0;
    bool fetching = false;
    // The share at which the latest transfer broke off, until the unit fetches again; -1 for none.
    int brokeOffPercent = -1;

    // The steps of the latest attempt; invalid until reached.
    QDateTime commanded;
    QDateTime fetched;
    QDateTime rebootSeen;
    QDateTime confirmed;
    // The same steps on a clock that never jumps, in milliseconds, for the deadlines: a step of
    // the wall clock must not make every unit in flight late. -1 until reached.
    qint64 commandedMs = -1;
    qint64 fetchedMs = -1;
    qint64 rebootSeenMs = -1;

    Overdue overdue = Overdue::None;
    bool wasOverdue = false;
    // The confirm pass judged the latest attempt before any reboot of it was seen: on the unit's
    // vUnitsRebooted entry from an earlier update. Its verdict says nothing of this attempt.
    bool judgedOnEarlierReboot = false;
    // The latest update command never reached the unit: no connection could be made.
    bool commandUnread = false;
    // Seen answering again, with its update pending, after its reboot.
    bool backSeen = false;
    bool retried = false;
    bool removed = false;
    // The rollout plan of the batch the unit was last queued in ("" for none), and what the
    // rollout did with it: one of its canaries, held after a halt, taken out of the queue.
    QString rolloutPlan;
    bool canary = false;
    bool held = false;
    bool takenOut = false;

    // The step the unit is held to a deadline in, as the overdue marks measure it.
    DeadlineStep deadlineStep(const StepDeadlines &deadlines) const;
    // Whole percent of the image handed over so far.
    int percentServed() const { return imageSize > 0 ? int(bytesServed * 100 / imageSize) : 0; }
    // Starts a new attempt: the steps, the transfer and the overdue mark are cleared.
    void startAttempt();
    // Forgets what the table shows of the last attempt (its transfer and overdue mark) when the
    // unit is queued again; the times of its steps stay for the report until it is commanded.
    void clearShown();
};
