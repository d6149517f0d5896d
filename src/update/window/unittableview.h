#pragma once

#include <QTableView>

// The unit table's view: a table view that says when its selection changed, so that the window's
// selection slot is bound to it by name.
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
};
