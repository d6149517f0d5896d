#include "updatersettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace UpdaterSettings {

namespace {

const QString kCanaryKey = QStringLiteral("rollout/canary");
const QString kMaxInFlightKey = QStringLiteral("rollout/maxInFlight");
const QString kStopAfterFailuresKey = QStringLiteral("rollout/stopAfterFailures");
const QString kWindowGeometryKey = QStringLiteral("window/geometry");
const QString kKeepHistoryKey = QStringLiteral("history/keep");

int planNumber(const QSettings &settings, const QString &key)
{
    bool ok = false;
    const int value = settings.value(key, 0).toInt(&ok);
    return ok ? qBound(0, value, kMaxPlanNumber) : 0;
}

} // namespace

QString path()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(base).filePath(QStringLiteral("bryx-updater/updater.ini"));
}

QString historyPath()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(base).filePath(QStringLiteral("bryx-updater/history.sqlite"));
}

bool keepHistory()
{
    return QSettings(path(), QSettings::IniFormat).value(kKeepHistoryKey, true).toBool();
}

RolloutPlan rolloutPlan()
{
    const QSettings settings(path(), QSettings::IniFormat);
    RolloutPlan plan;
    plan.canary = planNumber(settings, kCanaryKey);
    plan.maxInFlight = planNumber(settings, kMaxInFlightKey);
    plan.stopAfterFailures = planNumber(settings, kStopAfterFailuresKey);
    return plan;
}

void setRolloutPlan(const RolloutPlan &plan)
{
    QSettings settings(path(), QSettings::IniFormat);
    settings.setValue(kCanaryKey, plan.canary);
    settings.setValue(kMaxInFlightKey, plan.maxInFlight);
    settings.setValue(kStopAfterFailuresKey, plan.stopAfterFailures);
}

QByteArray windowGeometry()
{
    return QSettings(path(), QSettings::IniFormat).value(kWindowGeometryKey).toByteArray();
}

void setWindowGeometry(const QByteArray &geometry)
{
    QSettings(path(), QSettings::IniFormat).setValue(kWindowGeometryKey, geometry);
}

} // namespace UpdaterSettings
