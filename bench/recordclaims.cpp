#include "recordclaims.h"

#include <QDate>
#include <QSet>

namespace recordcheck {

bool sameDate(const QString &a, const QString &b)
{
    const auto date = [](const QString &text) {
        QDate d = QDate::fromString(text.trimmed(), QStringLiteral("M/d/yyyy"));
        return d.isValid() ? d : QDate::fromString(text.trimmed(), QStringLiteral("MM/dd/yyyy"));
    };
    return date(a).isValid() && date(a) == date(b);
}

// A step's recorded time lies within a few seconds of the wire's event of it.
void checkTime(const QDateTime &recorded, const QList<SimEvent> &events, const QString &who, const QString &claim,
               Tally &tally)
{
    const qint64 at = recorded.toMSecsSinceEpoch();
    const bool near =
        std::any_of(events.cbegin(), events.cend(), [&](const SimEvent &e) { return qAbs(e.ms - at) <= kSlackMs; });
    tally.check(near, who, claim, recorded.toString(Qt::ISODateWithMs),
                events.isEmpty() ? QStringLiteral("no such event in the batch")
                                 : QDateTime::fromMSecsSinceEpoch(events.last().ms).toString(Qt::ISODateWithMs));
}

namespace {

// One unit's events on the wire within the batch an account tells of.
struct UnitWire
{
    const Simulator &sim;
    QString unit;
    qint64 from = 0;
    qint64 to = kNever;
    // After this moment the wire may show what the account could not know yet.
    qint64 trusted = kNever;

    QList<SimEvent> of(const char *what, const QString &prefix = QString()) const
    {
        return sim.of(unit, QLatin1String(what), from, to, prefix);
    }
    qint64 known(const QList<SimEvent> &events) const
    {
        return std::count_if(events.cbegin(), events.cend(), [this](const SimEvent &e) { return e.ms < trusted; });
    }
};

// Commanded: exactly one update command in this batch; none the record does not show.
void checkCommand(const Account &account, const RunRecord &run, const QStringList &kinds, const UnitWire &w,
                  const QString &who, Tally &tally)
{
        const QList<SimEvent> commands = w.of("TCP", QStringLiteral("setSettings:updateUnit:"));
    const bool commanded = run.commanded.isValid() || kinds.contains(QStringLiteral("commanded"));
    if (account.timesKnown && run.commanded.isValid())
        checkTime(run.commanded, commands, who, QStringLiteral("commanded time"), tally);
    if (commanded)
        tally.check(commands.size() == 1, who, QStringLiteral("one update command"), QStringLiteral("commanded"),
                    QStringLiteral("%1 update commands").arg(commands.size()));
    else
        tally.check(w.known(commands) == 0, who, QStringLiteral("no update command unrecorded"),
                    QStringLiteral("not commanded"), QStringLiteral("%1 update commands").arg(commands.size()));

}

// Fetched: the whole image, as many bytes as the record says were served. The bytes of the whole
// fetch the wire shows (-1 for none).
qint64 checkFetch(const Account &account, const RunRecord &run, const UnitWire &w, const QString &who,
                  Tally &tally)
{
        const QList<SimEvent> whole = w.of("FETCH-OK");
    const qint64 bytes = whole.isEmpty() ? -1 : whole.last().args.value(0).toLongLong();
    // The server counts an image fetched once its last byte is handed to the connection: that
    // lies between the unit's request and its last byte read, which the kernel's buffers may
    // hold back for seconds on a slow link.
    if (account.timesKnown && run.fetched.isValid()) {
        const QList<SimEvent> starts = w.of("FETCH-START") + w.of("FETCH-RETRY");
        const qint64 at = run.fetched.toMSecsSinceEpoch();
        const bool within = !starts.isEmpty() && !whole.isEmpty() && at >= starts.first().ms - kSlackMs
                            && at <= whole.last().ms + kSlackMs;
        tally.check(within, who, QStringLiteral("fetched time"), run.fetched.toString(Qt::ISODateWithMs),
                    whole.isEmpty()
                        ? QStringLiteral("no whole fetch in the batch")
                        : QStringLiteral("fetched by %1")
                              .arg(QDateTime::fromMSecsSinceEpoch(whole.last().ms).toString(Qt::ISODateWithMs)));
    }
    if (run.fetched.isValid())
        tally.check(bytes == kImageSize, who, QStringLiteral("fetch recorded"), QStringLiteral("fetched"),
                    bytes < 0 ? QStringLiteral("no whole fetch") : QStringLiteral("%1 bytes").arg(bytes));
    else if (account.bytesKnown)
        tally.check(w.known(whole) == 0, who, QStringLiteral("fetch unrecorded"), QStringLiteral("not fetched"),
                    QStringLiteral("FETCH-OK %1").arg(bytes));
    if (account.bytesKnown && bytes >= 0)
        tally.check(run.bytesServed == bytes || whole.last().ms >= w.trusted, who, QStringLiteral("bytes served"),
                    QString::number(run.bytesServed), QString::number(bytes));
    if (account.bytesKnown && bytes < 0 && run.bytesServed > 0) {
        const QList<SimEvent> dropped = w.of("FETCH-DROPPED");
        tally.check(!dropped.isEmpty(), who, QStringLiteral("bytes served"), QString::number(run.bytesServed),
                    QStringLiteral("no fetch"));
    }

    return bytes;
}

// Seen rebooting, and confirmed: the whole image, then the confirm command, and the package's dates.
void checkRebootAndConfirmation(const Account &account, const RunRecord &run, const QStringList &kinds,
                                const UnitWire &w, qint64 bytes, const QString &who, Tally &tally)
{
    const QList<SimEvent> whole = w.of("FETCH-OK");
    // Seen rebooting: the unit went down after its fetch.
    const QList<SimEvent> downs = w.of("REBOOTING");
    if (run.rebootSeen.isValid() || kinds.contains(QStringLiteral("went down")))
        tally.check(!downs.isEmpty(), who, QStringLiteral("reboot seen"), QStringLiteral("went down"),
                    QStringLiteral("never went down"));

    // Confirmed: the whole image, then the confirm command, and the package's dates.
    const bool confirmed = run.confirmed.isValid() || run.finalStatus.contains(QLatin1String("Confirmed"));
    const QList<SimEvent> confirms = w.of("TCP", QStringLiteral("setSettings:confirmUpdate"));
    if (confirmed) {
        const qint64 fetchedAt = whole.isEmpty() ? kNever : whole.first().ms;
        const bool confirmAfter =
            std::any_of(confirms.cbegin(), confirms.cend(), [&](const SimEvent &e) { return e.ms >= fetchedAt; });
        const QList<SimEvent> ups = w.of("UP");
        const bool newDates = std::any_of(ups.cbegin(), ups.cend(), [&](const SimEvent &e) {
            return e.ms >= fetchedAt && sameDate(e.args.value(0), kPackageSw)
                   && e.args.value(1) == QString::number(kPackageWeb);
        });
        if (run.confirmed.isValid() && !run.finalStatus.isEmpty())
            tally.check(run.finalStatus.contains(QLatin1String("Confirmed")), who,
                        QStringLiteral("status of a confirmed unit"), QStringLiteral("'%1'").arg(run.finalStatus),
                        QStringLiteral("CONFIRMED"));
        tally.check(bytes == kImageSize, who, QStringLiteral("confirmed took its whole image"),
                    QStringLiteral("confirmed"),
                    bytes < 0 ? QStringLiteral("no whole fetch") : QString::number(bytes));
        tally.check(confirmAfter, who, QStringLiteral("confirmed got confirmUpdate after its fetch"),
                    QStringLiteral("confirmed"),
                    QStringLiteral("%1 confirm commands, none after the fetch").arg(confirms.size()));
        tally.check(newDates, who, QStringLiteral("confirmed runs the package"), QStringLiteral("confirmed"),
                    ups.isEmpty() ? QStringLiteral("never came up")
                                  : QStringLiteral("UP ") + ups.last().args.join(QLatin1Char(' ')));
        if (account.timesKnown && run.confirmed.isValid())
            checkTime(run.confirmed, w.of("CONFIRMED"), who, QStringLiteral("confirmed time"), tally);
        if (account.datesKnown)
            tally.check(sameDate(run.swAfter, kPackageSw), who, QStringLiteral("SW after is the package's"),
                        run.swAfter.isEmpty() ? QStringLiteral("(empty)") : run.swAfter, kPackageSw);
    } else if (account.whole) {
        const QList<SimEvent> done = w.of("CONFIRMED");
        tally.check(w.known(done) == 0, who, QStringLiteral("confirmation unrecorded"),
                    QStringLiteral("'%1'").arg(run.finalStatus), QStringLiteral("CONFIRMED"));
    }
}

} // namespace

// Holds one account against the wire. `trusted` is the moment after which the wire may show
// what the account could not know yet (the updater was killed after it): those are not asked for.
void checkAccount(const Account &account, const Simulator &sim, const QHash<QString, QString> &unitOfMac,
                  qint64 trusted, Tally &tally)
{
    const QString where =
        account.batchId > 0 ? QStringLiteral("%1 batch %2").arg(account.source).arg(account.batchId) : account.source;
    QSet<QString> recorded;
    for (const RunRecord &run : account.runs) {
        const QString unit = unitOfMac.value(run.mac.toUpper());
        if (unit.isEmpty())
            continue;
        recorded.insert(unit);
        const QString who = QStringLiteral("%1 %2").arg(where, unit);
        const QStringList kinds = account.kinds.value(run.mac);
        const UnitWire w{sim, unit, account.from, account.to, trusted};
        checkCommand(account, run, kinds, w, who, tally);
        const qint64 bytes = checkFetch(account, run, w, who, tally);
        checkRebootAndConfirmation(account, run, kinds, w, bytes, who, tally);
    }
    // A unit commanded on the wire in this batch that the account does not name at all.
    if (!account.whole)
        return;
    for (auto mac = unitOfMac.cbegin(); mac != unitOfMac.cend(); ++mac) {
        if (recorded.contains(mac.value()))
            continue;
        const QList<SimEvent> commands = sim.of(mac.value(), QStringLiteral("TCP"), account.from, account.to,
                                                QStringLiteral("setSettings:updateUnit:"));
        const qint64 known =
            std::count_if(commands.cbegin(), commands.cend(), [&](const SimEvent &e) { return e.ms < trusted; });
        tally.check(known == 0, QStringLiteral("%1 %2").arg(where, mac.value()),
                    QStringLiteral("commanded unit recorded"), QStringLiteral("no row"),
                    QStringLiteral("%1 update commands").arg(commands.size()));
    }
}

// In a batch still open, a step time once written stays as it was: a later attempt of the unit
// belongs to a batch of its own.
void checkStepsKept(const Account &before, const QList<QList<Account>> &later, Tally &tally)
{
    for (const QList<Account> &reading : later) {
        const auto again = std::find_if(reading.cbegin(), reading.cend(),
                                        [&](const Account &a) { return a.batchId == before.batchId; });
        if (again == reading.cend())
            continue;
        for (const RunRecord &run : before.runs) {
            const auto row = std::find_if(again->runs.cbegin(), again->runs.cend(),
                                          [&](const RunRecord &r) { return r.mac == run.mac; });
            if (row == again->runs.cend())
                continue;
            const QList<std::tuple<const char *, QDateTime, QDateTime>> steps{
                {"commanded", run.commanded, row->commanded},
                {"fetched", run.fetched, row->fetched},
                {"rebootSeen", run.rebootSeen, row->rebootSeen},
                {"confirmed", run.confirmed, row->confirmed}};
            for (const auto &[name, was, is] : steps) {
                if (!was.isValid())
                    continue;
                tally.check(was == is, QStringLiteral("history batch %1 %2").arg(before.batchId).arg(run.name),
                            QStringLiteral("%1 time kept").arg(QLatin1String(name)), was.toString(Qt::ISODateWithMs),
                            QStringLiteral("later %1")
                                .arg(is.isValid() ? is.toString(Qt::ISODateWithMs) : QStringLiteral("cleared")));
            }
        }
        return; // the next reading; later ones are compared from it in turn
    }
}

// A finished batch reads the same at every later reading.
void checkStable(const QList<QList<Account>> &readings, Tally &tally)
{
    for (qsizetype k = 0; k < readings.size(); ++k) {
        for (const Account &before : readings.at(k)) {
            if (before.end == QLatin1String("open")) {
                checkStepsKept(before, readings.mid(k + 1), tally);
                continue;
            }
            for (qsizetype l = k + 1; l < readings.size(); ++l) {
                const auto later = std::find_if(readings.at(l).cbegin(), readings.at(l).cend(),
                                                [&](const Account &a) { return a.batchId == before.batchId; });
                const QString batch = QStringLiteral("history batch %1").arg(before.batchId);
                if (later == readings.at(l).cend()) {
                    tally.check(false, batch, QStringLiteral("batch kept"), QStringLiteral("reading %1").arg(k + 1),
                                QStringLiteral("gone at reading %1").arg(l + 1));
                    continue;
                }
                tally.check(later->end == before.end, batch, QStringLiteral("end reads the same"),
                            QStringLiteral("%1 at reading %2").arg(before.end).arg(k + 1),
                            QStringLiteral("%1 at reading %2").arg(later->end).arg(l + 1));
                for (const RunRecord &run : before.runs) {
                    const auto again = std::find_if(later->runs.cbegin(), later->runs.cend(),
                                                    [&](const RunRecord &r) { return r.mac == run.mac; });
                    QStringList changed;
                    if (again == later->runs.cend()) {
                        changed << QStringLiteral("row gone");
                    } else {
                        const auto was = fieldsOf(run);
                        const auto is = fieldsOf(*again);
                        for (qsizetype f = 0; f < was.size(); ++f)
                            if (was.at(f).second != is.at(f).second)
                                changed << QStringLiteral("%1 '%2' then '%3'")
                                               .arg(was.at(f).first, was.at(f).second, is.at(f).second);
                    }
                    tally.check(changed.isEmpty(), QStringLiteral("%1 %2").arg(batch, run.name),
                                QStringLiteral("row reads the same"), QStringLiteral("reading %1").arg(k + 1),
                                QStringLiteral("reading %1: %2").arg(l + 1).arg(changed.join(QStringLiteral("; "))));
                }
            }
        }
    }
}


} // namespace recordcheck
