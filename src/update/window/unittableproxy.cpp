#include "unittableproxy.h"

#include "app/window/windowlook.h"
#include "update/fleetmodel.h"

#include <QBrush>
#include <QPainter>
#include <QPixmap>

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

CellColour UnitTableProxy::colourOf(PreflightVerdict verdict)
{
    switch (verdict) {
    case PreflightVerdict::Ok:
        return CellColour::Green;
    case PreflightVerdict::Warn:
        return CellColour::Orange;
    case PreflightVerdict::Fail:
        break;
    }
    return CellColour::Red;
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
    if ((role == Qt::DecorationRole || role == Qt::ToolTipRole) && index.column() == kNameColumn
        && !checkMarks.isEmpty()) {
        const auto mark = checkMarks.constFind(QSortFilterProxyModel::data(index, kMacRole).toString());
        if (mark != checkMarks.cend() && role == Qt::ToolTipRole)
            return mark->text;
        if (mark != checkMarks.cend())
            return markedIcon(QSortFilterProxyModel::data(index, kIconPathRole).toString(), mark->verdict);
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

void UnitTableProxy::setCheckMarks(const QHash<QString, CheckMark> &marks)
{
    checkMarks = marks;
    tellNamesChanged();
}

void UnitTableProxy::clearCheckMark(const QString &mac)
{
    if (checkMarks.remove(mac))
        tellNamesChanged();
}

void UnitTableProxy::tellNamesChanged()
{
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, kNameColumn), index(rowCount() - 1, kNameColumn),
                           {Qt::DecorationRole, Qt::ToolTipRole});
}

// The unit's icon with a dot of the verdict's colour in its lower right quarter.
QIcon UnitTableProxy::markedIcon(const QString &path, PreflightVerdict verdict) const
{
    const QString key = path + QLatin1Char('|') + verdictKey(verdict);
    auto icon = icons.find(key);
    if (icon != icons.end())
        return *icon;
    constexpr int kSide = 32;
    QPixmap pixmap(kSide, kSide);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (!path.isEmpty())
        QIcon(path).paint(&painter, pixmap.rect());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 2));
    painter.setBrush(background(colourOf(verdict)));
    painter.drawEllipse(QRectF(kSide / 2.0, kSide / 2.0, kSide / 2.0 - 1, kSide / 2.0 - 1));
    painter.end();
    return *icons.insert(key, QIcon(pixmap));
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
