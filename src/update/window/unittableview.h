#pragma once

#include <QPainter>
#include <QTableView>

// The unit table's view: a table view that says when its selection changed, so that the window's
// selection slot is bound to it by name; while it has the focus, a frame marks its current row,
// dark outside and white inside so that it shows on every row colour and on the selection.
class UnitTableView final : public QTableView
{
    Q_OBJECT

public:
    using QTableView::QTableView;

Q_SIGNALS:
    void itemSelectionChanged();

protected:
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override
    {
        QTableView::selectionChanged(selected, deselected);
        Q_EMIT itemSelectionChanged();
    }

    void paintEvent(QPaintEvent *event) override
    {
        QTableView::paintEvent(event);
        const QModelIndex current = currentIndex();
        if (!hasFocus() || !current.isValid())
            return;
        const QRect row(0, rowViewportPosition(current.row()), viewport()->width(), rowHeight(current.row()));
        QPainter painter(viewport());
        painter.setPen(QPen(Qt::black, 1));
        painter.drawRect(row.adjusted(0, 0, -1, -1));
        painter.setPen(QPen(Qt::white, 1));
        painter.drawRect(row.adjusted(1, 1, -2, -2));
    }

    // The frame moves with the current row and comes and goes with the focus.
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override
    {
        QTableView::currentChanged(current, previous);
        viewport()->update();
    }
    void focusInEvent(QFocusEvent *event) override
    {
        QTableView::focusInEvent(event);
        viewport()->update();
    }
    void focusOutEvent(QFocusEvent *event) override
    {
        QTableView::focusOutEvent(event);
        viewport()->update();
    }
};
