#include "app/folders.h"
#include "packagefolder.h"
#include "update/fleetmodel.h"
#include "update/updatercore.h"

#include <QSignalSpy>
#include <QtTest>

using namespace TableRoles;

// The fleet as the core shows it, without a window: a real core (in the test's own network
// namespace) whose listing the test arranges.
class TestFleetModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void rowsFollowTheListing();
    void onlyChangedRowsAreTold();
    void rolesOfTheCells();
    void coreTestsWhatTheStatusRulesWant();

private:
    MarluneUnit listed(const QString &name, const QString &sw, int last, bool reachable = true);
    QStringList macsShown() const;

    QTemporaryDir packages;
    UpdaterCore *core = nullptr;
};

void TestFleetModel::initTestCase()
{
    QVERIFY(packages.isValid());
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_demo"), QStringLiteral("3/2/2015"), 1425384000,
                         QStringLiteral("1/1/2014")));
    Folders::setApplicationFolder(packages.path());
    Folders::createStartupFolders();
}

void TestFleetModel::init()
{
    core = new UpdaterCore;
}

void TestFleetModel::cleanup()
{
    delete core;
    core = nullptr;
}

MarluneUnit TestFleetModel::listed(const QString &name, const QString &sw, int last, bool reachable)
{
    MarluneUnit u;
    u.name = name;
    u.deviceType = QStringLiteral("DEC");
    u.sn = QStringLiteral("K2200A");
    u.KSeries = 1;
    u.swversion = sw;
    u.webversion = QStringLiteral("03/03/2015");
    u.ip = QStringLiteral("10.77.1.%1").arg(last);
    u.subnet = QStringLiteral("255.255.0.0");
    u.mac = QStringLiteral("02:00:00:00:01:%1").arg(last, 2, 10, QLatin1Char('0'));
    u.lastSeen = QDateTime::currentDateTime().addSecs(3600);
    core->pipelineForTests().state().vUnits.append(u);
    core->pipelineForTests().state().tcpAlive[u.ip] = reachable;
    return u;
}

QStringList TestFleetModel::macsShown() const
{
    QStringList macs;
    for (int row = 0; row < core->fleet().rowCount(); ++row)
        macs << core->fleet().index(row, kMacColumn).data().toString();
    return macs;
}

// Rows are inserted, moved and removed as the listing changes, and always stand in its order.
void TestFleetModel::rowsFollowTheListing()
{
    const PipelineState &state = core->state();
    const auto listing = [&state] {
        QStringList macs;
        for (const MarluneUnit &unit : state.vUnits)
            macs << unit.mac;
        return macs;
    };
    listed(QStringLiteral("Wall"), QStringLiteral("3/2/2015"), 3);
    listed(QStringLiteral("Lobby"), QStringLiteral("1/1/2015"), 1);
    core->refreshFleet();
    QCOMPARE(macsShown(), listing());
    QCOMPARE(core->fleet().rowCount(), 2);

    QSignalSpy inserted(&core->fleet(), &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&core->fleet(), &QAbstractItemModel::rowsRemoved);
    const MarluneUnit hall = listed(QStringLiteral("Hall"), QStringLiteral("1/1/2015"), 2);
    core->refreshFleet();
    QCOMPARE(macsShown(), listing());
    QCOMPARE(inserted.size(), 1);

    core->removeUnits({hall.mac});
    QCOMPARE(macsShown(), listing());
    QCOMPARE(removed.size(), 1);
    QCOMPARE(core->fleet().rowCount(), 2);
    QCOMPARE(core->fleet().rowOf(hall.mac), -1);
}

// A queued unit's row alone changes; a refresh that finds nothing new tells nothing.
void TestFleetModel::onlyChangedRowsAreTold()
{
    listed(QStringLiteral("Lobby"), QStringLiteral("1/1/2015"), 1);
    const MarluneUnit hall = listed(QStringLiteral("Hall"), QStringLiteral("1/1/2015"), 2);
    listed(QStringLiteral("Wall"), QStringLiteral("1/1/2015"), 3);
    core->refreshFleet();
    QSignalSpy changed(&core->fleet(), &QAbstractItemModel::dataChanged);
    core->refreshFleet();
    QCOMPARE(changed.size(), 0);

    core->queueForUpdate({hall.mac});
    const int row = core->fleet().rowOf(hall.mac);
    QTRY_COMPARE(core->fleet().index(row, kStatusColumn).data().toString(), QStringLiteral("Queued for Update"));
    QVERIFY(!changed.isEmpty());
    for (const QList<QVariant> &told : std::as_const(changed)) {
        QCOMPARE(told.at(0).toModelIndex().row(), row);
        QCOMPARE(told.at(1).toModelIndex().row(), row);
    }
    QCOMPARE(CellColour(core->fleet().index(row, 1).data(kColourRole).toInt()), CellColour::Yellow);
}

void TestFleetModel::rolesOfTheCells()
{
    const MarluneUnit old = listed(QStringLiteral("Attic"), QStringLiteral("6/1/2013"), 4);
    core->refreshFleet();
    const FleetModel &fleet = core->fleet();
    QStringList headers;
    for (int column = 0; column < fleet.columnCount(); ++column) {
        headers << fleet.headerData(column, Qt::Horizontal).toString();
        QCOMPARE(fleet.index(0, column).data(kMacRole).toString(), old.mac);
    }
    QCOMPARE(headers, (QStringList{"Name", "Type", "MAC", "IP", "SN", "SW", "WEB", "Status"}));
    const QModelIndex status = fleet.index(0, kStatusColumn);
    QCOMPARE(status.data().toString(), QStringLiteral("Cannot update. Min SW is 01/01/2014"));
    QCOMPARE(status.data(kDisableRole).toString(), kDisableMarker);
    QCOMPARE(status.data(kMinimumDateRole).toString().trimmed(), QStringLiteral("01/01/2014"));
    QVERIFY(!status.data(kProgressRole).isValid());
    QCOMPARE(CellColour(status.data(kColourRole).toInt()), CellColour::DarkYellow);
    QVERIFY(fleet.index(0, kNameColumn).data(kIconPathRole).toString().startsWith(QLatin1Char(':')));
    QCOMPARE(RowKind(fleet.index(0, kNameColumn).data(kRowKindRole).toInt()), RowKind::Attention);
    QCOMPARE(fleet.selectionVerdict(0, QDateTime::currentDateTime()).kind, SelectionVerdict::TooOld);
}

// While units wait for confirmation, the core tests every unit whose status passes the package
// comparison (not every listed one), whichever front-end shows it; a warning is told once.
void TestFleetModel::coreTestsWhatTheStatusRulesWant()
{
    const MarluneUnit plain = listed(QStringLiteral("Lobby"), QStringLiteral("3/2/2015"), 1);
    MarluneUnit confirming = listed(QStringLiteral("Hall"), QStringLiteral("3/2/2015"), 2);
    core->pipelineForTests().state().vUnits.last().updateStatus = 1;
    MarluneUnit faraway = listed(QStringLiteral("Far away"), QStringLiteral("3/2/2015"), 5);
    core->pipelineForTests().state().vUnits.last().ip = QStringLiteral("192.168.99.5");
    core->pipelineForTests().state().vUnits.last().subnet = QStringLiteral("255.255.255.0");
    core->pipelineForTests().state().tcpAlive[QStringLiteral("192.168.99.5")] = true;
    core->pipelineForTests().state().vUnitsConfirm = {confirming};

    QSignalSpy refreshed(&core->fleet(), &FleetModel::refreshed);
    QSignalSpy warnings(core, &UpdaterCore::warningsDue);
    core->refreshFleet();
    QCOMPARE(refreshed.size(), 1);
    QStringList tested = refreshed.first().first().toStringList();
    tested.sort();
    QCOMPARE(tested, (QStringList{plain.ip, QStringLiteral("192.168.99.5")}));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.first().first().value<TableWarnings>().outsideSubnet->name, faraway.name);
    core->refreshFleet();
    QCOMPARE(warnings.size(), 1);
}

QTEST_GUILESS_MAIN(TestFleetModel)
#include "tst_fleetmodel.moc"
