#include "statuscelldelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

StatusCellDelegate::StatusCellDelegate(int progressRole, QObject *parent)
    : QStyledItemDelegate(parent), progressRole(progressRole)
{
}

void StatusCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QVariant progress = index.data(progressRole);
    if (!progress.isValid() || progress.toInt() < 0) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The cell's background and selection first, without its text: the bar carries the text.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = qBound(0, progress.toInt(), 100);
    bar.text = index.data(Qt::DisplayRole).toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state = option.state | QStyle::State_Horizontal;
    bar.fontMetrics = option.fontMetrics;
    bar.palette = option.palette;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}
