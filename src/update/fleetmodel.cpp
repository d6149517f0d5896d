#include "fleetmodel.h"

#include "app/debuglog.h"
#include "units/devicecatalogue.h"

#include <QTimer>

static const char kLogSource[] = "fleetmodel";

using namespace TableRoles;

bool FleetModel::Row::operator==(const Row &other) const
{
    return mac == other.mac && texts == other.texts && colour == other.colour && statusColour == other.statusColour
           && disableMarker == other.disableMarker && minimumDate == other.minimumDate && progress == other.progress
           && iconPath == other.iconPath && kind == other.kind;
}

FleetModel::FleetModel(const PipelineState &pipeline, const PackageCatalogue &packages, QObject *parent)
    : QAbstractTableModel(parent), pipeline(pipeline), packages(packages), step(new QTimer(this)),
      namedDelay(new QTimer(this))
{
    step->setSingleShot(true);
    step->setInterval(0);
    connect(step, &QTimer::timeout, this, &FleetModel::takeStep);
    namedDelay->setSingleShot(true);
    namedDelay->setInterval(kNamedRowsDelayMs);
    connect(namedDelay, &QTimer::timeout, this, &FleetModel::showNamedRows);
}

FleetModel::~FleetModel() = default;

int FleetModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int FleetModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant FleetModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const Row &shown = rows.at(index.row());
    const int column = index.column();
    const bool status = column == kStatusColumn;
    switch (role) {
    case Qt::DisplayRole:
        return shown.texts.at(size_t(column)).trimmed();
    case kMacRole:
        return shown.mac;
    case kColourRole:
        return int(status && shown.statusColour != CellColour::Default ? shown.statusColour : shown.colour);
    case kDisableRole:
        return status ? QVariant(shown.disableMarker) : QVariant();
    case kMinimumDateRole:
        return status && !shown.minimumDate.isEmpty() ? QVariant(shown.minimumDate) : QVariant();
    case kProgressRole:
        return status && shown.progress >= 0 ? QVariant(shown.progress) : QVariant();
    case kIconPathRole:
        return column == kNameColumn ? QVariant(shown.iconPath) : QVariant();
    case kRowKindRole:
        return int(shown.kind);
    default:
        return QVariant();
    }
}

QVariant FleetModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const names[] = {"Name", "Type", "MAC", "IP", "SN", "SW", "WEB", "Status"};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(names[section]);
    if (role == Qt::ToolTipRole && section == kSwColumn)
        return QStringLiteral("Software date of the unit (month/day/year), compared with its package's software date");
    if (role == Qt::ToolTipRole && section == kWebColumn)
        return QStringLiteral("Web date of the unit (its web interface), compared with its package's web date");
    return QVariant();
}

const MarluneUnit *FleetModel::unitAt(int row) const
{
    const QList<MarluneUnit> &units = pipeline.vUnits;
    if (row < 0 || row >= units.size() || row >= rows.size() || units.at(row).mac != rows.at(row).mac)
        return nullptr;
    return &units.at(row);
}

// What the selection rules read of a row's status: its disable marker and minimum date.
StatusCell FleetModel::selectionCell(int row) const
{
    StatusCell cell;
    cell.disableMarker = rows.at(row).disableMarker;
    cell.minimumDate = rows.at(row).minimumDate;
    return cell;
}

SelectionVerdict FleetModel::selectionVerdict(int row, const QDateTime &now) const
{
    const MarluneUnit *unit = unitAt(row);
    if (!unit)
        return {};
    return ::selectionVerdict(*unit, selectionCell(row), now);
}

UpdateNeedVerdict FleetModel::updateNeed(int row, const QDateTime &now) const
{
    const MarluneUnit *unit = unitAt(row);
    if (!unit)
        return {};
    return updateNeedVerdict(*unit, selectionCell(row), packages, now);
}

QStringList FleetModel::upToDate(const QStringList &macs) const
{
    // Read from the listing itself, not the rows, so that a unit listed since the last refresh
    // is judged too.
    QHash<QString, const MarluneUnit *> listed;
    for (const MarluneUnit &unit : pipeline.vUnits)
        listed.insert(unit.mac, &unit);
    QStringList current;
    QSet<QString> seen;
    for (const QString &mac : macs) {
        const MarluneUnit *unit = listed.value(mac);
        if (unit && !seen.contains(mac) && isUpToDate(*unit, packages))
            current << mac;
        seen.insert(mac);
    }
    return current;
}

FleetModel::NeedingUpdate FleetModel::needingUpdate(const QList<int> &shownRows, const QDateTime &now) const
{
    const PipelineIndex index(pipeline);
    NeedingUpdate needing;
    for (const int row : shownRows) {
        const MarluneUnit *unit = unitAt(row);
        if (!unit || index.isQueued(unit->mac) || index.isCommanded(unit->mac) || index.isResettingEdid(unit->mac))
            continue;
        const UpdateNeedVerdict verdict = updateNeed(row, now);
        if (verdict.kind == UpdateNeedVerdict::Refuse)
            needing.refused << unit->name + QStringLiteral(" (") + unit->ip + QStringLiteral("): ") + verdict.reason;
        else if (verdict.kind == UpdateNeedVerdict::Select)
            needing.rows << row;
    }
    return needing;
}

int FleetModel::rowOfAddress(const QString &ip) const
{
    for (int row = 0; !ip.isEmpty() && row < rows.size(); ++row) {
        if (rows.at(row).texts[kIpColumn].trimmed() == ip)
            return row;
    }
    return -1;
}

void FleetModel::refresh()
{
    followListing();
    if (refreshing()) {
        again = true;
        return;
    }
    nextRow = 0;
    again = false;
    testsWanted.clear();
    if (rows.size() <= kRowsAtOnce)
        takeStep();
    else
        step->start();
}

// One turn of a refresh: the next kRowsPerTurn rows (all of a small fleet's), with the lists
// looked up for those units alone. A change of the listing meanwhile is followed first.
void FleetModel::takeStep()
{
    if (nextRow < 0)
        return;
    // The whole listing is compared at the first turn of a refresh; a later turn compares the rows
    // it works out (a whole comparison at every turn cost a tenth of a 10,000-unit tick). A row that
    // moved behind this turn is followed by the next refresh.
    if (nextRow == 0 ? !listingMatches() : !sliceMatches(nextRow, nextRow + kRowsPerTurn))
        followListing();
    const int end = rows.size() <= kRowsAtOnce ? int(rows.size()) : qMin(int(rows.size()), nextRow + kRowsPerTurn);
    if (nextRow < end) {
        if (nextRow == 0 && end == rows.size()) {
            takeRows(0, end, PipelineIndex(pipeline), &testsWanted);
        } else {
            QSet<QString> macs;
            for (int r = nextRow; r < end; ++r)
                macs.insert(rows.at(r).mac);
            takeRows(nextRow, end, PipelineIndex(pipeline, macs), &testsWanted);
        }
    }
    nextRow = end;
    if (nextRow < rows.size()) {
        step->start();
        return;
    }
    nextRow = -1;
    const QStringList tests = std::exchange(testsWanted, {});
    Q_EMIT refreshed(tests);
    if (again && !refreshing()) {
        again = false;
        nextRow = 0;
        step->start();
    }
}

// Works out rows [first, end) again; each row whose look changed is told, alone.
void FleetModel::takeRows(int first, int end, const PipelineIndex &index, QStringList *tests)
{
    for (int r = first; r < end; ++r) {
        const MarluneUnit &unit = pipeline.vUnits.at(r);
        int wanted = 0;
        Row shown = rowFor(unit, index, &wanted);
        if (wanted > 0 && tests)
            tests->append(unit.ip);
        if (shown == rows.at(r))
            continue;
        rows[r] = std::move(shown);
        Q_EMIT dataChanged(this->index(r, 0), this->index(r, kColumnCount - 1));
    }
}

FleetModel::Row FleetModel::rowFor(const MarluneUnit &unit, const PipelineIndex &index, int *wanted) const
{
    const StatusCell cell = unitStatus(unit, pipeline, packages, index, wanted);
    Row shown;
    shown.mac = unit.mac;
    shown.texts = {unit.name, typeCodeForUnit(unit), unit.mac, unit.ip, unit.sn, unit.swversion, unit.webversion,
                   cell.text.trimmed()};
    shown.colour = rowColour(unit.mac, index);
    shown.statusColour = cell.colour;
    shown.disableMarker = cell.disableMarker;
    shown.minimumDate = cell.minimumDate;
    shown.progress = cell.progress;
    shown.iconPath = iconPathForUnit(unit);
    shown.kind = rowKind(unit, cell, pipeline, packages, index);
    if (cell.noWebVersion)
        BLOG << unit.name << "has no web version";
    if (cell.belowMinimum)
        BLOG << unit.name << " sw=" << unit.swversion << "pkg min version is " << cell.minimumDate << "unit web date"
             << unit.webversion;
    return shown;
}

void FleetModel::unitNamed(const QString &mac)
{
    if (mac.isEmpty())
        return;
    namedMacs.insert(mac);
    if (!namedDelay->isActive())
        namedDelay->start();
}

// The rows of the units events named since the last look. While the listing is changing (a tick
// merges records and sorts them afterwards) the refresh that follows shows them instead.
void FleetModel::showNamedRows()
{
    const QSet<QString> macs = std::exchange(namedMacs, {});
    if (!listingMatches())
        return;
    const PipelineIndex index(pipeline, macs);
    for (const QString &mac : macs) {
        for (int r = rowOf(mac); r >= 0 && r < rows.size() && rows.at(r).mac == mac; ++r)
            takeRows(r, r + 1, index, nullptr);
    }
}

bool FleetModel::sliceMatches(int first, int end) const
{
    const QList<MarluneUnit> &units = pipeline.vUnits;
    if (units.size() != rows.size())
        return false;
    end = qMin(end, int(rows.size()));
    for (int r = first; r < end; ++r) {
        if (units.at(r).mac != rows.at(r).mac)
            return false;
    }
    return true;
}

bool FleetModel::listingMatches() const
{
    const QList<MarluneUnit> &units = pipeline.vUnits;
    if (units.size() != rows.size())
        return false;
    for (qsizetype r = 0; r < units.size(); ++r) {
        if (units.at(r).mac != rows.at(r).mac)
            return false;
    }
    return true;
}

// The rows become the listing's entries, in its order: rows of units no longer listed are
// removed, rows that moved are moved (the selection moves with them), new units' rows are
// inserted with their own texts, their status following in the refresh.
void FleetModel::followListing()
{
    const QList<MarluneUnit> &units = pipeline.vUnits;
    QStringList wanted;
    wanted.reserve(units.size());
    QHash<QString, int> seen;
    for (const MarluneUnit &unit : units) {
        const int n = seen[unit.mac]++;
        wanted.append(n == 0 ? unit.mac : unit.mac + QLatin1Char('#') + QString::number(n));
    }
    if (wanted == keys)
        return;
    const QSet<QString> wantedSet(wanted.cbegin(), wanted.cend());
    for (int r = int(keys.size()) - 1; r >= 0;) {
        if (wantedSet.contains(keys.at(r))) {
            --r;
            continue;
        }
        int first = r;
        while (first > 0 && !wantedSet.contains(keys.at(first - 1)))
            --first;
        beginRemoveRows(QModelIndex(), first, r);
        rows.remove(first, r - first + 1);
        keys.remove(first, r - first + 1);
        endRemoveRows();
        r = first - 1;
    }
    const QSet<QString> kept(keys.cbegin(), keys.cend());
    QStringList keptInOrder;
    for (const QString &key : std::as_const(wanted))
        if (kept.contains(key))
            keptInOrder.append(key);
    if (keptInOrder != keys)
        reorder(keptInOrder);
    for (int w = 0; w < wanted.size();) {
        if (w < keys.size() && keys.at(w) == wanted.at(w)) {
            ++w;
            continue;
        }
        int end = w;
        while (end < wanted.size() && !kept.contains(wanted.at(end)))
            ++end;
        beginInsertRows(QModelIndex(), w, end - 1);
        for (int n = w; n < end; ++n) {
            const MarluneUnit &unit = units.at(n);
            Row shown;
            shown.mac = unit.mac;
            shown.texts = {unit.name, typeCodeForUnit(unit), unit.mac, unit.ip, unit.sn, unit.swversion, unit.webversion,
                           QString()};
            shown.iconPath = iconPathForUnit(unit);
            rows.insert(n, shown);
            keys.insert(n, wanted.at(n));
        }
        endInsertRows();
        w = end;
    }
    firstRowOfMac.clear();
    for (int r = int(rows.size()) - 1; r >= 0; --r)
        firstRowOfMac.insert(rows.at(r).mac, r);
}

// The kept rows take the order they have in the listing; persistent indexes (the selection, the
// current cell) move with their rows.
void FleetModel::reorder(const QStringList &order)
{
    Q_EMIT layoutAboutToBeChanged();
    QHash<QString, int> newRow;
    for (int r = 0; r < order.size(); ++r)
        newRow.insert(order.at(r), r);
    QList<Row> moved(rows.size());
    for (int r = 0; r < rows.size(); ++r)
        moved[newRow.value(keys.at(r))] = rows.at(r);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    for (const QModelIndex &old : before)
        after.append(index(newRow.value(keys.at(old.row())), old.column()));
    rows = std::move(moved);
    keys = order;
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged();
}
