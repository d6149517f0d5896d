#pragma once

#include "update/fleetview.h"
#include "update/rollout.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class UpdaterCore;

// What can be known of a unit before anything is sent to it, and whether its update looks set to
// work: a check the operator runs on a selection before updating it. Nothing is sent to a unit;
// its command port is only connected to and closed at once.

enum class PreflightVerdict { Ok, Warn, Fail };
// "ok", "warn", "fail".
QString verdictKey(PreflightVerdict verdict);

// One reason for a unit's verdict. Its severity is fixed by its code (as noted below), except
// FewDescriptors, which is a warning while one unit at a time can still be served.
struct PreflightReason
{
    enum Code {
        // The package (the selection rules and the package rule).
        NoPackage,    // fail: no package with an image serves its family
        TooOld,       // fail: it must first be brought to the package's minimum version by hand
        CannotUpdate, // fail: this updater cannot update it at all
        UpToDate,     // warn: it already has what its package offers; updating only re-flashes
        // The image its package sends.
        ImageChanged,    // fail: the file is no longer the one scanned (its record or its SHA-256)
        ImageUnreadable, // fail: the file is gone or cannot be read
        // The unit.
        NotHeardFrom,       // warn: no status lately; it is commanded once it answers again
        PortClosed,         // fail: its command port (TCP 50001) refused or did not answer
        NotInSubnet,        // fail: no address here on its subnet; it would be told none to fetch from
        ServerNotListening, // fail: the file server does not listen on the address it would be told
        // This computer (the same for every unit of the check).
        FewDescriptors, // warn: units would wait for descriptors; fail: not even one unit's worth
        LowDisk,        // warn: little room left for the history and the report
        // The rollout plan: what it will do with the unit. Severity ok: told, not judged.
        Canary,           // commanded first, alone
        WaitsForCanaries, // commanded once the canaries are confirmed
        WaitsForSlot,     // commanded when a unit in flight is done (the cap)
    };
    Code code = NoPackage;
    PreflightVerdict severity = PreflightVerdict::Ok;
    // One line for the operator.
    QString text;

    bool operator==(const PreflightReason &other) const
    {
        return code == other.code && severity == other.severity && text == other.text;
    }
};
// Stable keys for scripts: "no-package", "too-old", "cannot-update", "up-to-date",
// "image-changed", "image-unreadable", "not-heard-from", "port-closed", "not-in-subnet",
// "server-not-listening", "few-descriptors", "low-disk", "canary", "waits-for-canaries",
// "waits-for-slot".
QString reasonKey(PreflightReason::Code code);

// Below this much free space where the history and the report are written, a warning.
constexpr qint64 kPreflightDiskFloorBytes = 64LL * 1024 * 1024;
// Each unit fetching its image holds a socket and the image file, and the sending thread a copy
// of each.
constexpr int kDescriptorsPerTransfer = 4;
// The command port's connect is given this long, and at most this many are open at once.
constexpr int kPreflightConnectMs = 3000;
constexpr int kPreflightConcurrentConnects = 64;

// Everything known of one unit before anything is sent to it: filled by PreflightRun, or by tests.
struct PreflightFacts
{
    QString mac;
    QString name;
    QString ip;
    QString type;

    // The selection rules' verdict on the unit (not heard from, too old, cannot update) and
    // whether a package with an image serves it and it already has what its packages offer.
    SelectionVerdict selection;
    bool hasPackage = true;
    bool upToDate = false;

    // The image its package sends (its file name), as found now.
    enum class Image { NotChecked, Same, Changed, Unreadable };
    QString imageName;
    Image image = Image::NotChecked;

    // Its command port: one connect, nothing written.
    enum class Port { NotTried, Open, Refused, TimedOut };
    Port port = Port::NotTried;
    // This computer's address on the unit's subnet ("" for none), and whether the file server
    // listens there.
    QString localAddress;
    bool serverListening = true;

    // This computer: descriptors free now (-1: unknown) and what the batch needs; free bytes on
    // the disk of diskPath (-1: unknown).
    qint64 descriptorsFree = -1;
    qint64 descriptorsNeeded = 0;
    QString diskPath;
    qint64 diskFree = -1;

    // The rollout plan: why the unit would not be commanded at the first tick, if it would not
    // be; whether it is a canary. inFlightCap: the plan's cap, for the text.
    bool canary = false;
    bool waitsForCanaries = false;
    bool waitsForSlot = false;
    int inFlightCap = 0;
};

struct UnitPreflight
{
    QString mac;
    QString name;
    QString ip;
    QString type;
    PreflightVerdict verdict = PreflightVerdict::Ok;
    // In a fixed order: package, image, unit, this computer, plan.
    QList<PreflightReason> reasons;
};

// The verdict on one unit: every reason its facts give, and the worst severity among them.
UnitPreflight judgePreflight(const PreflightFacts &facts);
// "Name,IP,MAC,Type,Verdict,Reasons" and a row per unit, the reasons' texts joined by "; ".
QString preflightCsv(const QList<UnitPreflight> &results);
// "N units checked: A ok, B warn, C fail".
QString preflightSummary(const QList<UnitPreflight> &results);

// Gathers the facts of the given units and judges them: one TCP connect to each unit's port 50001
// (nothing sent, closed at once; kPreflightConnectMs each, at most kPreflightConcurrentConnects at
// once), one to the file server's port on each local address a unit would be told, each image
// re-identified and re-hashed once. Lives on the main thread, beside the core it reads; the
// connects are the main thread's own sockets, the hashing a short blocking read per image.
// Nothing in the core changes.
class PreflightRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PreflightRun)

public:
    // macs: the listed units to check, in the order the results keep; plan: the batch's plan.
    PreflightRun(UpdaterCore &core, const QStringList &macs, const RolloutPlan &plan, QObject *parent = nullptr);
    ~PreflightRun() override;

    // Where the report will be written, besides the history (before start()).
    void setReportPath(const QString &path) { reportPath = path; }
    void start();
    bool isFinished() const { return done; }
    // In the order of macs (a MAC no longer listed is left out).
    const QList<UnitPreflight> &results() const { return judged; }

Q_SIGNALS:
    void finished();

private:
    void gatherLocal();
    void startConnects();
    void connectNext();
    void connectEnded(const QString &key, PreflightFacts::Port result);
    void judgeAll();

    UpdaterCore &core;
    const QStringList macs;
    const RolloutPlan plan;
    QString reportPath;
    QList<PreflightFacts> facts;
    QList<UnitPreflight> judged;
    // Addresses and ports still to connect to ("ip:port"), those connecting, and what each gave.
    QStringList toConnect;
    int connecting = 0;
    QHash<QString, PreflightFacts::Port> connectResults;
    bool started = false;
    bool done = false;
};
