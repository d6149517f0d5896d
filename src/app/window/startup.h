#pragma once

// The whole life of the updater process: folders, optional log file, single-instance lock,
// style sheet, main window and event loop. Returns the process exit code: 0 when the operator
// refuses to override the lock, -1 when started with any command-line argument, otherwise the
// event loop's result.
int updaterMain(int &argc, char **argv);
