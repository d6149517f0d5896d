#include "unitrun.h"

QString overdueText(Overdue overdue)
{
    switch (overdue) {
    case Overdue::NoFetch:
        return QStringLiteral("Overdue: no image fetch after %1 min").arg(StepDeadlines::kFetchSecs / 60);
    case Overdue::NoReboot:
        return QStringLiteral("Overdue: no reboot after %1 min").arg(StepDeadlines::kRebootSecs / 60);
    case Overdue::NotBack:
        return QStringLiteral("Overdue: not back after %1 min").arg(StepDeadlines::kReturnSecs / 60);
    case Overdue::None:
        break;
    }
    return QString();
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
}

void UnitRun::clearShown()
{
    fetching = false;
    brokeOffPercent = -1;
    overdue = Overdue::None;
}
