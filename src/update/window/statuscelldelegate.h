#pragma once

#include <QStyledItemDelegate>

// Draws a status cell that carries a transfer's progress (an int in progressRole, 0 to 100) as
// a progress bar with the cell's text on it; every other cell as usual.
class StatusCellDelegate final : public QStyledItemDelegate
{
    Q_OBJECT

public:
    StatusCellDelegate(int progressRole, QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    int progressRole;
};
