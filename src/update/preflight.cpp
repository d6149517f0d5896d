#include "preflight.h"

#include "update/updatercore.h"

QString verdictKey(PreflightVerdict verdict)
{
    switch (verdict) {
    case PreflightVerdict::Ok:
        return QStringLiteral("ok");
    case PreflightVerdict::Warn:
        return QStringLiteral("warn");
    case PreflightVerdict::Fail:
        return QStringLiteral("fail");
    }
    return QString();
}

QString reasonKey(PreflightReason::Code code)
{
    Q_UNUSED(code)
    return QString();
}

UnitPreflight judgePreflight(const PreflightFacts &facts)
{
    return {facts.mac, facts.name, facts.ip, facts.type, PreflightVerdict::Ok, {}};
}

QString preflightCsv(const QList<UnitPreflight> &results)
{
    Q_UNUSED(results)
    return QString();
}

QString preflightSummary(const QList<UnitPreflight> &results)
{
    Q_UNUSED(results)
    return QString();
}

PreflightRun::PreflightRun(UpdaterCore &core, const QStringList &macs, const RolloutPlan &plan, QObject *parent)
    : QObject(parent), core(core), macs(macs), plan(plan)
{
}

PreflightRun::~PreflightRun() = default;

void PreflightRun::start()
{
    done = true;
    Q_EMIT finished();
}

void PreflightRun::gatherLocal() {}
void PreflightRun::startConnects() {}
void PreflightRun::connectNext() {}
void PreflightRun::connectEnded(const QString &, PreflightFacts::Port) {}
void PreflightRun::judgeAll() {}
