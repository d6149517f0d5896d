#include "unitevent.h"

namespace {

const QString kUpdater = QStringLiteral("Updater");

QString nameAndIp(const UnitEvent &event)
{
    return event.name + QStringLiteral(" (") + event.ip + QLatin1Char(')');
}

QString cutText(const UnitEvent &event)
{
    const QString sent = QString::number(event.bytes);
    const QString size = QString::number(event.size);
    switch (event.cut) {
    case FetchCut::BrokeOff:
        return event.detail + QStringLiteral(" was not sent completely (") + sent + QStringLiteral(" of ") + size
               + QStringLiteral(" bytes): the connection broke off.");
    case FetchCut::Stalled:
        return event.detail + QStringLiteral(" was not sent completely (") + sent + QStringLiteral(" of ") + size
               + QStringLiteral(" bytes taken): the unit took no data for ") + QString::number(event.stallSecs)
               + QStringLiteral(" seconds.");
    case FetchCut::FileChanged:
        return event.detail
               + QStringLiteral(" changed on disk while it was sent; the transfer was cut short at %1 of %2 bytes. "
                                "Restart the updater to serve it.")
                     .arg(sent, size);
    }
    return QString();
}

} // namespace

QString unitStepName(UnitStep step)
{
    switch (step) {
    case UnitStep::Queued:
        return QStringLiteral("queued");
    case UnitStep::Retried:
        return QStringLiteral("retried");
    case UnitStep::Held:
        return QStringLiteral("held");
    case UnitStep::TakenOut:
        return QStringLiteral("taken out");
    case UnitStep::Removed:
        return QStringLiteral("removed");
    case UnitStep::Commanding:
        return QStringLiteral("commanding");
    case UnitStep::Commanded:
        return QStringLiteral("commanded");
    case UnitStep::CommandUnanswered:
        return QStringLiteral("command unanswered");
    case UnitStep::FetchBegun:
        return QStringLiteral("fetch begun");
    case UnitStep::FetchProgress:
        return QStringLiteral("fetching");
    case UnitStep::Fetched:
        return QStringLiteral("fetched");
    case UnitStep::FetchCut:
        return QStringLiteral("fetch cut");
    case UnitStep::Refused:
        return QStringLiteral("refused");
    case UnitStep::WentDown:
        return QStringLiteral("went down");
    case UnitStep::Back:
        return QStringLiteral("back");
    case UnitStep::Confirming:
        return QStringLiteral("confirming");
    case UnitStep::Confirmed:
        return QStringLiteral("confirmed");
    case UnitStep::ConfirmedElsewhere:
        return QStringLiteral("confirmed elsewhere");
    case UnitStep::NotApplied:
        return QStringLiteral("not applied");
    case UnitStep::EdidResetting:
        return QStringLiteral("resetting EDID");
    case UnitStep::EdidReset:
        return QStringLiteral("EDID reset");
    case UnitStep::EdidFailed:
        return QStringLiteral("EDID reset failed");
    case UnitStep::EdidAbandoned:
        return QStringLiteral("EDID reset abandoned");
    case UnitStep::Overdue:
        return QStringLiteral("overdue");
    case UnitStep::NoLongerOverdue:
        return QStringLiteral("no longer overdue");
    case UnitStep::Adopted:
        return QStringLiteral("adopted");
    case UnitStep::NotResumed:
        return QStringLiteral("not resumed");
    }
    return QString();
}

std::optional<StatusLogText> statusLogText(const UnitEvent &event)
{
    switch (event.step) {
    case UnitStep::Retried:
        return StatusLogText{kUpdater, QStringLiteral("Retrying the update of ") + nameAndIp(event)};
    case UnitStep::Commanding:
        return StatusLogText{kUpdater, QStringLiteral("Commanding ") + nameAndIp(event)};
    case UnitStep::CommandUnanswered:
        return StatusLogText{event.ip, event.detail};
    case UnitStep::Fetched:
        return StatusLogText{event.ip, event.detail + QStringLiteral(" (") + QString::number(event.size)
                                           + QStringLiteral(" bytes) sent")};
    case UnitStep::FetchCut:
        return StatusLogText{event.ip, cutText(event)};
    case UnitStep::Refused:
        return StatusLogText{event.ip, event.detail};
    case UnitStep::Confirming:
        return StatusLogText{kUpdater, QStringLiteral("Confirming ") + nameAndIp(event)};
    case UnitStep::ConfirmedElsewhere:
        return StatusLogText{kUpdater,
                             QStringLiteral("Another device (perhaps K-Director or K-Relay) confirmed the update for ")
                                 + nameAndIp(event)};
    case UnitStep::NotApplied:
        return StatusLogText{kUpdater, QStringLiteral("Update was not applied for ") + nameAndIp(event)};
    case UnitStep::EdidResetting:
        return StatusLogText{kUpdater, QStringLiteral("Resetting EDID ") + nameAndIp(event)};
    case UnitStep::EdidReset:
        return StatusLogText{event.ip, QStringLiteral("Successfully Reset EDID (") + event.ip + QLatin1Char(')')};
    case UnitStep::EdidFailed:
        return StatusLogText{event.ip, QStringLiteral("Failed To Reset EDID (") + event.ip
                                           + QStringLiteral(") ... Updater will try again (")
                                           + QString::number(event.attempt) + QStringLiteral(" / 3)")};
    case UnitStep::EdidAbandoned:
        return StatusLogText{kUpdater, QStringLiteral("Updater has abandoned Reset EDID for ") + nameAndIp(event)};
    case UnitStep::Overdue:
        return StatusLogText{event.ip, event.detail + QLatin1Char('.')};
    case UnitStep::NoLongerOverdue:
        return StatusLogText{event.ip, QStringLiteral("No longer overdue.")};
    case UnitStep::Adopted:
        return StatusLogText{event.ip, QStringLiteral("Waited for without a new update command (last step before: %1).")
                                           .arg(event.detail.isEmpty() ? QStringLiteral("none") : event.detail)};
    case UnitStep::NotResumed:
        return StatusLogText{event.ip, QStringLiteral("Not resumed: %1.").arg(event.detail)};
    default:
        return std::nullopt;
    }
}

QString eventDescription(const UnitEvent &event)
{
    QString what;
    switch (event.step) {
    case UnitStep::Queued:
        what = QStringLiteral("queued for update (software %1, web %2).").arg(event.software, event.web);
        break;
    case UnitStep::Held:
        what = QStringLiteral("held: the rollout halted.");
        break;
    case UnitStep::TakenOut:
        what = QStringLiteral("taken out of the queue before its command.");
        break;
    case UnitStep::Removed:
        what = QStringLiteral("taken off the list.");
        break;
    case UnitStep::Commanded:
        what = QStringLiteral("answered the update command.");
        break;
    case UnitStep::FetchBegun:
        what = QStringLiteral("began to fetch %1 (%2 bytes).").arg(event.detail).arg(event.size);
        break;
    case UnitStep::WentDown:
        what = QStringLiteral("seen going down for its reboot.");
        break;
    case UnitStep::Back:
        what = QStringLiteral("back after its reboot.");
        break;
    case UnitStep::Confirmed:
        what = QStringLiteral("confirmed (software %1, web %2).").arg(event.software, event.web);
        break;
    case UnitStep::Adopted:
        what = QStringLiteral("taken in as commanded (last step before: %1); not commanded again.").arg(event.detail);
        break;
    case UnitStep::NotResumed:
        what = QStringLiteral("not resumed: %1.").arg(event.detail);
        break;
    default:
        what = unitStepName(event.step) + QLatin1Char('.');
        break;
    }
    return event.name + QStringLiteral(" (") + event.ip + QStringLiteral("): ") + what;
}

// Who the unit is and where it stands: as the latest of its steps says.
static void applyIdentity(RunRecord &row, const UnitEvent &event)
{
    row.mac = event.mac;
    if (!event.name.isEmpty())
        row.name = event.name;
    if (!event.ip.isEmpty())
        row.ip = event.ip;
    if (!event.serial.isEmpty())
        row.serial = event.serial;
    if (!event.type.isEmpty())
        row.type = event.type;
    if (!event.status.isEmpty())
        row.finalStatus = event.status;
    // A transfer's progress is not a step of its own once it began.
    if (event.step != UnitStep::FetchProgress || row.step.isEmpty())
        row.step = unitStepName(event.step);
}

void applyEvent(RunRecord &row, const UnitEvent &event)
{
    applyIdentity(row, event);
    switch (event.step) {
    case UnitStep::Queued:
        // Queued again within the batch (after a stop): its dates before stay those of its first
        // queueing in the batch.
        if (row.swBefore.isEmpty() && row.webBefore.isEmpty()) {
            row.swBefore = event.software;
            row.webBefore = event.web;
        }
        row.rollout = event.plan;
        row.held = false;
        row.takenOut = false;
        break;
    case UnitStep::Retried:
        row.retried = true;
        break;
    case UnitStep::Held:
        row.held = true;
        break;
    case UnitStep::Adopted:
    case UnitStep::NotResumed:
        // Its dates as it stands when the batch picks it up.
        if (row.swBefore.isEmpty() && row.webBefore.isEmpty()) {
            row.swBefore = event.software;
            row.webBefore = event.web;
        }
        row.image = event.package;
        row.imageSha256 = event.packageSha256;
        row.rollout = event.plan;
        break;
    case UnitStep::TakenOut:
        row.takenOut = true;
        break;
    case UnitStep::Removed:
        row.finalStatus = QStringLiteral("Removed from the list.");
        break;
    case UnitStep::Commanding:
        // A new attempt: what the row showed of the last one is over.
        row.image = event.package;
        row.imageSha256 = event.packageSha256;
        row.canary = row.canary || event.canary;
        row.bytesServed = 0;
        row.commanded = row.fetched = row.rebootSeen = row.confirmed = QDateTime();
        row.swAfter.clear();
        row.webAfter.clear();
        break;
    case UnitStep::Commanded:
        row.commanded = event.time;
        break;
    case UnitStep::FetchBegun:
    case UnitStep::FetchProgress:
    case UnitStep::FetchCut:
        row.bytesServed = event.bytes;
        break;
    case UnitStep::Fetched:
        row.bytesServed = event.size;
        row.fetched = event.time;
        break;
    case UnitStep::WentDown:
        if (!row.rebootSeen.isValid())
            row.rebootSeen = event.time;
        break;
    case UnitStep::Confirmed:
        row.confirmed = event.time;
        row.swAfter = event.software;
        row.webAfter = event.web;
        break;
    case UnitStep::ConfirmedElsewhere:
    case UnitStep::NotApplied:
        row.swAfter = event.software;
        row.webAfter = event.web;
        break;
    case UnitStep::Overdue:
        row.overdue = true;
        break;
    default:
        break;
    }
}
