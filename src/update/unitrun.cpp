#include "unitrun.h"

static QString duration(int seconds)
{
    return seconds % 60 == 0 ? QStringLiteral("%1 min").arg(seconds / 60) : QStringLiteral("%1 s").arg(seconds);
}

QString overdueText(Overdue overdue, const StepDeadlines &deadlines)
{
    switch (overdue) {
    case Overdue::NoFetch:
        return QStringLiteral("Overdue: no image fetch after ") + duration(deadlines.fetchSecs);
    case Overdue::NoReboot:
        return QStringLiteral("Overdue: no reboot after ") + duration(deadlines.rebootSecs);
    case Overdue::NotBack:
        return QStringLiteral("Overdue: not back after ") + duration(deadlines.returnSecs);
    case Overdue::NoAnswer:
        return QStringLiteral("Overdue: did not answer the update command for ") + duration(deadlines.fetchSecs);
    case Overdue::None:
        break;
    }
    return QString();
}

DeadlineStep UnitRun::deadlineStep(const StepDeadlines &deadlines) const
{
    if (commandedMs < 0)
        return {};
    if (rebootSeenMs >= 0)
        return {rebootSeen, deadlines.returnSecs};
    if (fetchedMs >= 0)
        return {fetched, deadlines.rebootSecs};
    if (fetching)
        return {};
    return {commanded, deadlines.fetchSecs};
}

void UnitRun::startAttempt()
{
    clearShown();
    bytesServed = 0;
    imageSize = 0;
    commanded = QDateTime();
    fetched = QDateTime();
    rebootSeen = QDateTime();
    confirmed = QDateTime();
    commandedMs = -1;
    fetchedMs = -1;
    rebootSeenMs = -1;
    judgedOnEarlierReboot = false;
    commandUnread = false;
    backSeen = false;
}

void UnitRun::clearShown()
{
    fetching = false;
    brokeOffPercent = -1;
    overdue = Overdue::None;
}
