#include "updatersettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace UpdaterSettings {

namespace {

const QString kCanaryKey = QStringLiteral("rollout/canary");
const QString kMaxInFlightKey = QStringLiteral("rollout/maxInFlight");
const QString kStopAfterFailuresKey = QStringLiteral("rollout/stopAfterFailures");
// Written by earlier versions: the window's place in the toolkit's own format.
const QString kWindowGeometryKey = QStringLiteral("window/geometry");
const QString kWindowFrameKey = QStringLiteral("window/frame");
const QString kWindowClientKey = QStringLiteral("window/client");
const QString kWindowMaximizedKey = QStringLiteral("window/maximized");
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

WindowPlace windowPlace()
{
    const QSettings settings(path(), QSettings::IniFormat);
    WindowPlace place;
    place.frame = settings.value(kWindowFrameKey).toRect();
    place.client = settings.value(kWindowClientKey).toRect();
    place.maximized = settings.value(kWindowMaximizedKey, false).toBool();
    const QRect bounds(-kMaxWindowSide, -kMaxWindowSide, 2 * kMaxWindowSide, 2 * kMaxWindowSide);
    const QRect widest =
        place.client.marginsAdded(QMargins(kMaxFrameMargin, kMaxFrameMargin, kMaxFrameMargin, kMaxFrameMargin));
    if (place.client.isEmpty() || !bounds.contains(place.frame) || !place.frame.contains(place.client)
        || !widest.contains(place.frame))
        return {};
    return place;
}

void setWindowPlace(const WindowPlace &place)
{
    QSettings settings(path(), QSettings::IniFormat);
    settings.remove(kWindowGeometryKey);
    settings.setValue(kWindowFrameKey, place.frame);
    settings.setValue(kWindowClientKey, place.client);
    settings.setValue(kWindowMaximizedKey, place.maximized);
}

} // namespace UpdaterSettings
