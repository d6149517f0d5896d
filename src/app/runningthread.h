#pragma once

#include <QString>
#include <QThread>

// How long a new thread is waited for before its start counts as failed: far longer than a
// thread takes to start on a loaded machine.
constexpr int kThreadStartTimeoutMs = 10000;

// Starts the thread and returns once it runs. A thread makes its event loop's wake-up
// descriptors as it starts, after QThread::start() has returned; waiting for it means none is
// left to be made later, when the process may have run out of descriptors. False, with *error
// saying why, when the system would not make the thread or it did not run within timeoutMs; the
// owner then goes on without it, or says it cannot start.
bool startRunning(QThread *thread, QString *error, QThread::Priority priority = QThread::InheritPriority,
                  int timeoutMs = kThreadStartTimeoutMs);
