#include "windowlook.h"

#include <QApplication>
#include <QFile>
#include <QPalette>

#include <cmath>

namespace {

// A placeholder in the default half-transparent text colour reads at under 4:1 on white.
const QColor kPlaceholderText(0x5c, 0x5c, 0x5c);

double luminance(const QColor &colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

} // namespace

double contrastRatio(const QColor &first, const QColor &second)
{
    const double a = luminance(first);
    const double b = luminance(second);
    return (qMax(a, b) + 0.05) / (qMin(a, b) + 0.05);
}

QColor readableTextOn(const QColor &background)
{
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return contrastRatio(black, background) >= contrastRatio(white, background) ? black : white;
}

void applyWindowLook(QApplication &app)
{
    // The palette first: the style sheet's colours are laid over it.
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::PlaceholderText, kPlaceholderText);
    QApplication::setPalette(palette);
    QFile styleSheet(QStringLiteral(":/quillet.css"));
    if (styleSheet.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
}
