#pragma once

#include <QDateTime>
#include <QString>

// One unit's run in a batch as the update report and the history keep it: what the unit was
// before and after, the image it was sent, the times of its steps and how it ended.
struct RunRecord
{
    QString mac;
    QString name;
    QString type;
    QString ip;
    QString serial;
    QString swBefore;
    QString webBefore;
    QString swAfter;
    QString webAfter;
    QString image;
    QString imageSha256;
    qint64 bytesServed = 0;
    QDateTime commanded;
    QDateTime fetched;
    QDateTime rebootSeen;
    QDateTime confirmed;
    QString finalStatus;
    // The last step the unit reached in its batch, as steps are named ("" before any).
    QString step;
    bool overdue = false;
    bool retried = false;
    // The rollout plan of its batch ("" for none) and what the rollout did with the unit.
    QString rollout;
    bool canary = false;
    bool held = false;
    bool takenOut = false;
};
