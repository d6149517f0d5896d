#pragma once

#include "update/rollout.h"

#include <QByteArray>
#include <QString>

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

// The main window's size, position and maximised state as the operator left them; empty at
// the first start.
QByteArray windowGeometry();
void setWindowGeometry(const QByteArray &geometry);

} // namespace UpdaterSettings
