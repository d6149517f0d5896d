#include "unittableproxy.h"

#include "app/window/windowlook.h"
#include "update/fleetmodel.h"

#include <QBrush>

using namespace TableRoles;

QColor UnitTableProxy::background(CellColour colour)
{
    switch (colour) {
    case CellColour::Yellow:
        return Qt::yellow;
    case CellColour::Red:
        return Qt::red;
    case CellColour::Magenta:
        return Qt::magenta;
    case CellColour::Green:
        return Qt::green;
    case CellColour::DarkYellow:
        return Qt::darkYellow;
    case CellColour::Orange:
        return QColor(255, 165, 0);
    case CellColour::Default:
        break;
    }
    return QColor();
}

QColor UnitTableProxy::text(CellColour colour)
{
    const QColor ground = background(colour);
    return ground.isValid() ? readableTextOn(ground) : QColor();
}

UnitTableProxy::UnitTableProxy(FleetModel &fleet, QObject *parent) : QSortFilterProxyModel(parent), fleet(fleet)
{
    setSourceModel(&fleet);
}

void UnitTableProxy::setRowFilter(ViewFilter shown, const QString &text)
{
    if (shown == filter && text == search)
        return;
    filter = shown;
    search = text;
    // One new layout: a filter that hides every third row would otherwise be told as thousands of
    // removals, each moving the view's header.
    invalidate();
}

QVariant UnitTableProxy::data(const QModelIndex &index, int role) const
{
    if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
        const CellColour colour = CellColour(QSortFilterProxyModel::data(index, kColourRole).toInt());
        const QColor shown = role == Qt::BackgroundRole ? background(colour) : text(colour);
        return shown.isValid() ? QVariant(QBrush(shown)) : QVariant();
    }
    if (role == Qt::DecorationRole && index.column() == kNameColumn) {
        const QString path = QSortFilterProxyModel::data(index, kIconPathRole).toString();
        if (path.isEmpty())
            return QVariant();
        auto icon = icons.find(path);
        if (icon == icons.end())
            icon = icons.insert(path, QIcon(path));
        return *icon;
    }
    return QSortFilterProxyModel::data(index, role);
}

// Rows are filtered out, never removed from the fleet: the pipeline stays as it is.
bool UnitTableProxy::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    if (filter == ViewFilter::All && search.trimmed().isEmpty())
        return true;
    const FleetModel::Row &row = fleet.row(sourceRow);
    return filterShows(filter, row.kind)
           && searchMatches(search, {row.texts[kNameColumn], row.texts[kIpColumn], row.texts[kMacColumn],
                                     row.texts[kSnColumn]});
}
