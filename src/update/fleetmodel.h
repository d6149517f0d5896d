#pragma once

#include "update/fleetview.h"
#include "update/unitstatus.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <array>

class QTimer;

// The unit table's columns and the item data its cells carry: all roles in one place, so that no
// two mean the same number.
namespace TableRoles {

constexpr int kColumnCount = 8;
constexpr int kNameColumn = 0;
constexpr int kMacColumn = 2;
constexpr int kIpColumn = 3;
constexpr int kSnColumn = 4;
constexpr int kSwColumn = 5;
constexpr int kWebColumn = 6;
constexpr int kStatusColumn = 7;

// Of every cell: the unit's MAC and the colour the cell is drawn in (a CellColour, as an int: the
// status cell's own colour where it has one, else the row's).
constexpr int kMacRole = Qt::UserRole;
constexpr int kColourRole = Qt::UserRole + 10;
// Of the status cell: the disable marker and the minimum software date of a unit too old for its
// package; while its unit fetches, the percent handed over, drawn as a bar.
constexpr int kDisableRole = Qt::UserRole + 5;
constexpr int kMinimumDateRole = Qt::UserRole + 6;
constexpr int kProgressRole = Qt::UserRole + 7;
// Of the name cell: the resource path of the unit's icon, and the row's RowKind for the filter.
constexpr int kIconPathRole = Qt::UserRole + 8;
constexpr int kRowKindRole = Qt::UserRole + 9;

} // namespace TableRoles

// The listed units as the unit table shows them, one row per entry of the listing, in its
// order: the eight columns' texts, the colours, the icon and where the row stands for the
// filter. Owned by the core and fed by it only, on the main thread; the window's table and the
// tool read it. A refresh follows the listing (rows inserted, removed or moved) and works out
// every row again, at once for a small fleet and kRowsPerTurn rows an event-loop turn for a large
// one; a unit an event names has its row worked out again shortly, alone. dataChanged is told for
// the rows whose look changed, and for no other.
class FleetModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FleetModel)

public:
    static constexpr int kRowsAtOnce = 250;
    static constexpr int kRowsPerTurn = 250;
    // The rows events name are worked out together, this long after the first.
    static constexpr int kNamedRowsDelayMs = 50;

    // What one row shows.
    struct Row
    {
        QString mac;
        // The unit's own texts and its status (the table shows them trimmed).
        std::array<QString, TableRoles::kColumnCount> texts;
        CellColour colour = CellColour::Default;
        // The status cell's own colour, when it overrides the row's.
        CellColour statusColour = CellColour::Default;
        QString disableMarker;
        QString minimumDate;
        int progress = -1;
        QString iconPath;
        RowKind kind = RowKind::Other;

        bool operator==(const Row &other) const;
        bool operator!=(const Row &other) const { return !(*this == other); }
    };

    FleetModel(const PipelineState &pipeline, const PackageCatalogue &packages, QObject *parent = nullptr);
    ~FleetModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const Row &row(int row) const { return rows.at(row); }
    // The first row of the unit with this MAC, or -1.
    int rowOf(const QString &mac) const { return firstRowOfMac.value(mac, -1); }
    // The listed record a row shows; nullptr once the listing has changed under it.
    const MarluneUnit *unitAt(int row) const;
    // Whether the selection rules let the row's unit be queued, and what "Select Units Needing
    // Update" does with it, by what the row shows.
    SelectionVerdict selectionVerdict(int row, const QDateTime &now) const;
    UpdateNeedVerdict updateNeed(int row, const QDateTime &now) const;
    // The listed units with these MACs that are already up to date (isUpToDate), each MAC once,
    // in the order given.
    QStringList upToDate(const QStringList &macs) const;
    // "Select Units Needing Update" over these rows: the rows it selects, and "NAME (IP): reason"
    // for each unit offered an update that the selection rules refuse. Units already on their way
    // (queued, commanded, resetting EDID) are left as they are.
    struct NeedingUpdate
    {
        QList<int> rows;
        QStringList refused;
    };
    NeedingUpdate needingUpdate(const QList<int> &rows, const QDateTime &now) const;
    // The first row of the unit at this address, or -1.
    int rowOfAddress(const QString &ip) const;
    // A refresh is under way.
    bool refreshing() const { return nextRow >= 0; }

Q_SIGNALS:
    // A refresh has worked out every row. reachabilityWanted: the addresses of the units the
    // status rules want tested (while units wait for confirmation).
    void refreshed(const QStringList &reachabilityWanted);

private:
    friend class UpdaterCore;
    // Requests of the core.
    void refresh();
    void unitNamed(const QString &mac);

    bool listingMatches() const;
    StatusCell selectionCell(int row) const;
    // The rows first to end - 1 (and the number of rows) still match the listing.
    bool sliceMatches(int first, int end) const;
    void followListing();
    void reorder(const QStringList &keys);
    Row rowFor(const MarluneUnit &unit, const PipelineIndex &index, int *testsWanted) const;
    void takeRows(int first, int end, const PipelineIndex &index, QStringList *tests);
    void takeStep();
    void showNamedRows();

    const PipelineState &pipeline;
    const PackageCatalogue &packages;
    QList<Row> rows;
    // Each row's key: its MAC, with "#n" for the n-th entry of a MAC listed again.
    QStringList keys;
    QHash<QString, int> firstRowOfMac;
    // The refresh under way: the next row to work out (-1: none), whether another follows it, and
    // the addresses its rows want tested.
    int nextRow = -1;
    bool again = false;
    QStringList testsWanted;
    QTimer *step = nullptr;
    QSet<QString> namedMacs;
    QTimer *namedDelay = nullptr;
};
