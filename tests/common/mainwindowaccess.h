#pragma once

#include "unittableaccess.h"
#include "update/window/mainwindow.h"

#include <QTimer>

// Drives the real window by hand in tests: its state is read and arranged through
// window.pipelineForTests().state(); ticks and redraws are run through its own slots.

inline void stopTicks(MainWindow &window)
{
    window.findChild<QTimer *>(QStringLiteral("refreshTimer"))->stop();
}

inline void tick(MainWindow &window)
{
    QMetaObject::invokeMethod(&window, "refreshTimerTimeout");
}

inline void redraw(MainWindow &window)
{
    QMetaObject::invokeMethod(&window, "forceRefresh");
}
