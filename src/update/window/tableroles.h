#pragma once

#include <Qt>

// The unit table's columns the window's files share, and the item data each cell carries: all
// roles in one place, so that no two mean the same number.
namespace TableRoles {

constexpr int kSwColumn = 5;
constexpr int kWebColumn = 6;
constexpr int kStatusColumn = 7;

// Of every cell: the unit's MAC; of the status cell also the disable marker and the minimum
// software date of a unit too old for its package.
constexpr int kMacRole = Qt::UserRole;
constexpr int kDisableRole = Qt::UserRole + 5;
constexpr int kMinimumDateRole = Qt::UserRole + 6;
// Of a status cell while its unit fetches: the percent handed over, drawn as a bar.
constexpr int kProgressRole = Qt::UserRole + 7;
// Of a name cell: the resource path of its icon, so that a redraw sets the icon only when it changes.
constexpr int kIconPathRole = Qt::UserRole + 8;
// Of a name cell: the row's RowKind, for the state filter.
constexpr int kRowKindRole = Qt::UserRole + 9;

} // namespace TableRoles
