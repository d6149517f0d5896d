#pragma once

#include <QString>

// Where the updater keeps its files. The names are shared with the sibling configuration tool,
// so they never change: everything lives in a folder called "Quillet".
namespace Folders {

// System temporary folder + "/Quillet/": the lock file and the report folder live here.
QString tempWorkFolder();
// Per-user data location + "/Quillet/": "units.ini" and "quilletsettings.ini".
QString dataFolder();
// tempWorkFolder() + "priorityhelp/": the diagnostic report.
QString reportFolder();

QString lockFilePath();
QString reportFilePath();
QString unitListPath();
QString settingsPath();
// "LOGFILE.txt" in the current working folder, as an absolute path.
QString logFilePath();

// The folder beside the program where the update packages (*.bin, *.ver) lie: the
// application's own folder, unless another was set (tests and the demo lab use their own).
QString applicationFolder();
void setApplicationFolder(const QString &folder);
// A packages folder named by the operator (the tool's --packages): it becomes the application
// folder, and package files are read from it alone, never from the working folder.
void setPackagesFolder(const QString &folder);
// Package files are looked for in the working folder first (no packages folder was named).
bool workingFolderHoldsPackages();

// Creates the temporary work folder, the data folder and the report folder (with missing
// parents). Failures are ignored: the updater runs without them.
void createStartupFolders();

} // namespace Folders
