#pragma once

#include <QBrush>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>

// The window's unit table read as rows of cells, as the tests read it: the rows the view shows
// (filter and order applied), each cell's text, background and data.
class UnitTableAccess final : public QObject
{
public:
    struct Cell
    {
        QModelIndex index;
        QString text() const { return index.data().toString(); }
        QBrush background() const { return index.data(Qt::BackgroundRole).value<QBrush>(); }
        QVariant data(int role) const { return index.data(role); }
        explicit operator bool() const { return index.isValid(); }
        const Cell *operator->() const { return this; }
    };

    explicit UnitTableAccess(QTableView *view) : QObject(view), view(view)
    {
        setObjectName(QStringLiteral("unitTableAccess"));
    }

    int rowCount() const { return view->model()->rowCount(); }
    int columnCount() const { return view->model()->columnCount(); }
    Cell item(int row, int column) const { return {view->model()->index(row, column)}; }
    struct Header
    {
        QString label;
        QString text() const { return label; }
        const Header *operator->() const { return this; }
    };
    Header horizontalHeaderItem(int column) const { return {view->model()->headerData(column, Qt::Horizontal).toString()}; }
    bool isRowHidden(int row) const { return view->isRowHidden(row); }
    void selectRow(int row) { view->selectRow(row); }
    void clearSelection() { view->clearSelection(); }
    QModelIndexList selectedItems() const { return view->selectionModel()->selectedIndexes(); }
    QItemSelectionModel *selectionModel() const { return view->selectionModel(); }
    QAbstractItemModel *model() const { return view->model(); }
    bool isSortingEnabled() const { return view->isSortingEnabled(); }
    QAbstractItemView::SelectionBehavior selectionBehavior() const { return view->selectionBehavior(); }
    QString accessibleName() const { return view->accessibleName(); }
    void setFocus() { view->setFocus(); }

    QTableView *const view;
};

// The unit table of this window, read through the one reader it is given.
inline UnitTableAccess *unitTableOf(const QObject &window)
{
    auto *view = window.findChild<QTableView *>(QStringLiteral("unitTable"));
    if (!view)
        return nullptr;
    if (auto *access = view->findChild<QObject *>(QStringLiteral("unitTableAccess"), Qt::FindDirectChildrenOnly))
        return static_cast<UnitTableAccess *>(access);
    return new UnitTableAccess(view);
}
