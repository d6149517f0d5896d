#pragma once

#include "update/unitstatus.h"

#include <QMessageBox>

#include <QString>

class PackageCatalogue;
struct RolloutPlan;
class QLabel;
class QMainWindow;
class QObject;
class QTimer;
class QWidget;

namespace Ui {
class MainWindow;
}

// The main window's form, set up once: the widgets shown and the title; keys, tab order and
// names; the legend and the tooltips.
void setUpForm(Ui::MainWindow &form, QMainWindow *window);
void setUpKeys(Ui::MainWindow &form);
void explainScreen(Ui::MainWindow &form);
// The versions' tooltip: what each package entry means, its file and each image's SHA-256.
QString packagesToolTip(const PackageCatalogue &catalogue);
// The one-time warning boxes due, in their order, each with the window as its parent.
void askTableWarnings(QWidget *parent, const TableWarnings &due);
// A label on the right of the status bar, with this object name.
QLabel *addStatusLabel(Ui::MainWindow &form, QMainWindow *window, const QString &name);
// The status log, read-only, keeping at most `kept` lines, with its first line.
void startStatusLog(Ui::MainWindow &form, int kept, const QString &firstLine);
// No package has an image: the operator is told, and the versions say so.
void tellNoUpdates(Ui::MainWindow &form, QWidget *parent);
// "N units", or that there are none.
QString unitsText(int units);
// A named single-shot timer of the window.
QTimer *delayTimer(QObject *parent, const QString &name, int ms);
// A question to the operator with Yes and No (preferred: the default button); true for Yes.
bool askYes(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
            QMessageBox::StandardButton preferred = QMessageBox::Yes);
// Where to save the update report ("" when the operator cancels), offered in the folder of the
// last report of this run.
QString askReportPath(QWidget *parent);
// The rollout row shows this plan; its fields then take numbers up to the plan's limit.
void showRolloutPlan(Ui::MainWindow &form, const RolloutPlan &plan);
// A rollout halted, and why; the box says what Resume and Stop Batch then do.
void tellBatchHalted(QWidget *parent, const QString &text);
