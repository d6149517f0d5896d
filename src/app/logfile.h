#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

namespace LogFile {

// Process-wide message handler: every message is appended to "LOGFILE.txt" in the current
// working folder, each entry preceded by a newline; a critical message also writes the
// diagnostic report. Safe to enter from any thread: writes are serialised.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Installs messageHandler when "LOGFILE.txt" exists in the current working folder.
// Returns whether logging was switched on.
bool installIfRequested();

} // namespace LogFile
