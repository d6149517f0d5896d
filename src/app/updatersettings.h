#pragma once

#include "update/rollout.h"

#include <QRect>
#include <QString>
#include <QStringList>

// The updater's own settings: a file of its own, apart from the files it shares with the sibling
// configuration tool, which never sees it. Values read back are clamped to what the updater
// accepts; a missing or unreadable file gives the defaults.
namespace UpdaterSettings {

// The largest canary, cap or failure threshold a plan may name.
constexpr int kMaxPlanNumber = 100000;

// The settings file: "updater.ini" in the per-user configuration folder "bryx-updater".
QString path();

// The history of batches: "history.sqlite" in the per-user data folder "bryx-updater".
QString historyPath();
// Whether the history is kept: "history/keep", true unless set to false.
bool keepHistory();

// The rollout plan the operator last used.
RolloutPlan rolloutPlan();
void setRolloutPlan(const RolloutPlan &plan);

// The main window's place as the operator left it: its frame on the screen, the contents inside
// the frame, and whether it was maximised (frame and contents then those it goes back to).
// Nothing at the first start, or when the file holds no pair of sizes that make sense.
struct WindowPlace
{
    QRect frame;
    QRect client;
    bool maximized = false;

    bool isEmpty() const { return client.isEmpty(); }
};
// A window frame is at most this much wider than its contents on each side; a screen at most
// kMaxWindowSide pixels across.
constexpr int kMaxFrameMargin = 200;
constexpr int kMaxWindowSide = 100000;
WindowPlace windowPlace();
void setWindowPlace(const WindowPlace &place);

// The address ranges probed last (the tool's --probe, the window's Add by IP), newest first:
// "probe/ranges", a list of at most kMaxProbeRanges distinct ranges, each as addressRangeText
// writes it. A value that is not such a range is left out when read.
constexpr int kMaxProbeRanges = 8;
QStringList probeRanges();
// Puts these ranges first, in their order, before those kept already.
void rememberProbeRanges(const QStringList &ranges);

} // namespace UpdaterSettings
