#pragma once

#include <QColor>

class QApplication;

// How the updater's windows look, and the rule that keeps their texts readable.

// Text at least this many times as bright as its background (or the other way round) reads for
// most people, small and normal weight alike.
constexpr double kReadableContrast = 4.5;

// The contrast of two opaque colours, from their relative luminance: 1 for equal brightness, 21
// for black on white.
double contrastRatio(const QColor &first, const QColor &second);
// Black or white, whichever stands out more on this background.
QColor readableTextOn(const QColor &background);

// The application-wide look: the style sheet of the resources, and a placeholder text colour that
// reads on the fields' white.
void applyWindowLook(QApplication &app);
