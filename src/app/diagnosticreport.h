#pragma once

#include <QByteArray>

namespace DiagnosticReport {

// Gathers the time, the network interfaces, the log file and the unit list file into
// "priorityhelp_krelay.bin" in the report folder, compressed as qCompress does. A failure to
// open any file is silent; a new report replaces the old one.
void write();

// The uncompressed report text (exposed for the tests and for write()).
QByteArray contents();

} // namespace DiagnosticReport
