#pragma once

#include "update/fleetview.h"
#include "update/preflight.h"

#include <QColor>
#include <QHash>
#include <QIcon>
#include <QSortFilterProxyModel>
#include <QStringList>

class FleetModel;

// The unit table's view of the fleet: the Show filter, the search and the order the operator
// chose by a column; the colour of a cell as its background brush, with a text colour that reads
// on it, and the icon path as an icon. The units of the last check wear their verdict.
class UnitTableProxy final : public QSortFilterProxyModel
{
public:
    explicit UnitTableProxy(FleetModel &fleet, QObject *parent = nullptr);

    // Shows the rows of this filter that the search matches.
    void setRowFilter(ViewFilter filter, const QString &search);
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // A cell of this colour: its background, and the text colour that reads best on it (black
    // or white); invalid for the default colour.
    static QColor background(CellColour colour);
    static QColor text(CellColour colour);
    // A check's verdict: green, orange or red.
    static CellColour colourOf(PreflightVerdict verdict);

    // The verdicts of the last check, by MAC, in place of the earlier ones: the Name cell shows a
    // dot of the verdict's colour on the unit's icon and says the verdict and its reasons in its
    // tooltip. No text of the table changes.
    struct CheckMark
    {
        PreflightVerdict verdict = PreflightVerdict::Ok;
        QString text;
    };
    void setCheckMarks(const QHash<QString, CheckMark> &marks);
    // The unit's mark goes (its update began).
    void clearCheckMark(const QString &mac);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    void tellNamesChanged();
    QIcon markedIcon(const QString &path, PreflightVerdict verdict) const;

    const FleetModel &fleet;
    ViewFilter filter = ViewFilter::All;
    QString search;
    mutable QHash<QString, QIcon> icons;
    QHash<QString, CheckMark> checkMarks;
};
