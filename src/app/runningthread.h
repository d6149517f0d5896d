#pragma once

#include <QThread>

// Starts the thread and returns once it runs. A thread makes its event loop's wake-up
// descriptors as it starts, after QThread::start() has returned; waiting for it means none is
// left to be made later, when the process may have run out of descriptors.
void startRunning(QThread *thread, QThread::Priority priority = QThread::InheritPriority);
