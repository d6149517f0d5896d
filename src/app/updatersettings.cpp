#include "updatersettings.h"

#include "adding/addressrange.h"

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
const QString kProbeRangesKey = QStringLiteral("probe/ranges");

int planNumber(const QSettings &settings, const QString &key)
{
    bool ok = false;
    const int value = settings.value(key, 0).toInt(&ok);
    return ok ? qBound(0, value, kMaxPlanNumber) : 0;
}

// A range as addressRangeText writes it, written again the same way; empty when it is not one.
QString probeRangeText(const QString &text)
{
    const QStringList ends = text.split(QLatin1Char('-'));
    if (ends.size() > 2 || ends.constLast().isEmpty())
        return QString();
    const AddressRange range = parseAddressRange(ends.constFirst(), ends.size() == 2 ? ends.constLast() : QString());
    return range.problem == AddressRange::None ? addressRangeText(range.start, range.end) : QString();
}

QStringList probeRangesIn(const QStringList &texts)
{
    QStringList ranges;
    for (const QString &text : texts) {
        const QString range = probeRangeText(text);
        if (!range.isEmpty() && !ranges.contains(range))
            ranges.append(range);
        if (ranges.size() == kMaxProbeRanges)
            break;
    }
    return ranges;
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

QStringList probeRanges()
{
    const QVariant value = QSettings(path(), QSettings::IniFormat).value(kProbeRangesKey);
    // One range is written as a plain value, several as a list.
    return probeRangesIn(value.userType() == QMetaType::QStringList ? value.toStringList()
                                                                    : QStringList{value.toString()});
}

void rememberProbeRanges(const QStringList &ranges)
{
    QSettings settings(path(), QSettings::IniFormat);
    settings.setValue(kProbeRangesKey, probeRangesIn(ranges + probeRanges()));
}

} // namespace UpdaterSettings
