#pragma once

// The claims an account makes, each held against the wire and counted.
#include "recordaccount.h"

#include <QHash>
#include <QList>
#include <QString>

namespace recordcheck {


struct Tally
{
    int claims = 0;
    QStringList discrepancies;
    void check(bool holds, const QString &unit, const QString &claim, const QString &record, const QString &wire)
    {
        ++claims;
        if (!holds)
            discrepancies.append(QStringLiteral("%1: %2: record %3 vs wire %4").arg(unit, claim, record, wire));
    }
};

// Holds one account against the wire. `trusted` is the moment after which the wire may show
// what the account could not know yet (the updater was killed after it): those are not asked for.
void checkAccount(const Account &account, const Simulator &sim, const QHash<QString, QString> &unitOfMac,
                  qint64 trusted, Tally &tally);
void checkStepsKept(const Account &before, const QList<QList<Account>> &later, Tally &tally);
void checkStable(const QList<QList<Account>> &readings, Tally &tally);

} // namespace recordcheck
