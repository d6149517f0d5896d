#include "app/folders.h"
#include "app/updatersettings.h"
#include "app/window/windowlook.h"
#include "history/historystore.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "units/unitlookup.h"
#include "update/updatercore.h"
#include "update/window/historywindow.h"
#include "update/window/unittableproxy.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTcpServer>
#include <QTextBlock>
#include <QtTest>

#include <optional>

namespace {

constexpr qint64 kWeb = 1425384000; // shown by units as 03/03/2015

MarluneUnit unit(const QString &name, const QString &type, const QString &sn, quint32 kSeries, const QString &sw,
                 int last)
{
    MarluneUnit u;
    u.name = name;
    u.deviceType = type;
    u.sn = sn;
    u.KSeries = kSeries;
    u.swversion = sw;
    u.webversion = QStringLiteral("03/03/2015");
    u.ip = QStringLiteral("10.77.1.%1").arg(last);
    u.subnet = QStringLiteral("255.255.0.0");
    u.mac = QStringLiteral("02:00:00:00:01:%1").arg(last, 2, 10, QLatin1Char('0'));
    return u;
}

// A unit on a subnet no address of this workstation is on.
MarluneUnit outsideSubnet()
{
    MarluneUnit u = unit("Far away", "DEC", "K2200A", 1, "3/2/2015", 17);
    u.ip = QStringLiteral("192.168.99.5");
    u.subnet = QStringLiteral("255.255.255.0");
    return u;
}

// Receives the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

// Counts the paints of the widget it watches.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

// A colour the style sheet names: a name, #hex or rgb(r, g, b); invalid for anything else.
QColor sheetColour(const QString &value)
{
    static const QRegularExpression rgb(QStringLiteral("^rgb\\((\\d+),\\s*(\\d+),\\s*(\\d+)\\)$"));
    const QRegularExpressionMatch match = rgb.match(value.trimmed());
    if (match.hasMatch())
        return QColor(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const QColor named = QColor::fromString(value.trimmed());
    return named.isValid() && named.alpha() == 255 ? named : QColor();
}

// The colours a background of the style sheet paints: itself, or each stop of a gradient.
QList<QColor> sheetGrounds(const QString &value)
{
    QList<QColor> grounds;
    if (value.contains(QLatin1String("gradient"))) {
        static const QRegularExpression stop(QStringLiteral("stop:\\s*[\\d.]+\\s+([^,)]+)"));
        for (const QRegularExpressionMatch &match : stop.globalMatch(value))
            grounds << sheetColour(match.captured(1));
    } else {
        grounds << sheetColour(value);
    }
    grounds.removeAll(QColor());
    return grounds;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    // Two screens side by side: a large one, the primary (the first by name), and a smaller one
    // to its right.
    static void initMain() { qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" BRYX_TEST_DATA_DIR "/screens.json"); }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void formAfterStartUp();
    void noPackagesBox();
    void fileServerPortTaken();
    void statusLogLines_data();
    void statusLogLines();
    void packageRuleAndKnownUnitsGate();
    void forcedRecordFromImport();
    void refusedSelections_data();
    void refusedSelections();
    void offlineUnitSelectionWarns();
    void updateButtonQueuesEachUnitOnce();
    void updateButtonRefusalAndNothingSelected();
    void upToDateUnitsAskedFirst_data();
    void upToDateUnitsAskedFirst();
    void stopBatchCountsWhatGoesOn();
    void removedQueuedUnitIsNeverCommanded();
    void closingAsksWhileUnitsTakeTheirImage();
    void doubleClickOpensWebPage();
    void warningsShownOncePerRun();
    void slowOperatorSeesEachWarningOnce();
    void foreverDecoration();
    void debugDumpAndSmallButtons();
    void calmerLogAndRememberedSize();
    void burstOfLogLinesPaintedTogether();
    void reachabilityBookkeeping();
    void historyWindowWithoutHistory_data();
    void historyWindowWithoutHistory();
    void resumeLastBatch_data();
    void resumeLastBatch();
    void keys_data();
    void keys();
    void tabFollowsReadingOrder();
    void focusIsFramed();
    void contrast_data();
    void contrast();
    void rowsShownBesideTheFilter();
    void firstStartShowsFifteenRows();
    void rememberedPlaceFitsTheScreen_data();
    void rememberedPlaceFitsTheScreen();

private:
    MainWindow *makeWindow();
    void listUnits(const QList<MarluneUnit> &units);
    UnitTableAccess *table() { return unitTableOf(*window); }
    int rowOf(const QString &mac);

    QTemporaryDir packageFolder;
    ScriptedOperator *questions = nullptr;
    MainWindow *window = nullptr;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(packageFolder.isValid());
    QVERIFY(writePackage(packageFolder.path(), QStringLiteral("k220_demo"), QStringLiteral("3/2/2015"), kWeb,
                         QStringLiteral("1/1/2014")));
    QVERIFY(writePackage(packageFolder.path(), QStringLiteral("dvr_demo"), QStringLiteral("1/1/2015"), kWeb));
    QVERIFY(writePackage(packageFolder.path(), QStringLiteral("wp_demo"), QStringLiteral("6/1/2013"), kWeb,
                         QStringLiteral("1/29/2013")));
    Folders::createStartupFolders();
}

void TestMainWindow::init()
{
    Folders::setApplicationFolder(packageFolder.path());
    questions = new ScriptedOperator;
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
    delete questions;
    questions = nullptr;
}

MainWindow *TestMainWindow::makeWindow()
{
    window = new MainWindow;
    // Ticks are driven by hand in these tests.
    stopTicks(*window);
    return window;
}

void TestMainWindow::listUnits(const QList<MarluneUnit> &units)
{
    PipelineState &state = window->pipelineForTests().state();
    for (const MarluneUnit &u : units) {
        state.vUnits.append(u);
        state.tcpAlive[u.ip] = true;
    }
    redraw(*window);
}

int TestMainWindow::rowOf(const QString &mac)
{
    for (int row = 0; row < table()->rowCount(); ++row)
        if (table()->item(row, 2)->text() == mac)
            return row;
    return -1;
}

void TestMainWindow::formAfterStartUp()
{
    makeWindow();
    QVERIFY(questions->asked.isEmpty());
    QCOMPARE(window->windowTitle(), QStringLiteral("Bryx Updater"));
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    window->show();

    const auto visible = [this](const char *name) {
        QWidget *widget = window->findChild<QWidget *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget->isVisibleTo(window);
    };
    for (const char *shown : {"unitsLabel", "resetEDIDCheck", "removeButton", "addByIPButton", "discoverButton",
                              "unitTable", "versionsBlurb", "clearButton", "updateButton", "trafficLogLabel",
                              "statusEdit", "versionLabel", "clearLogButton", "historyButton", "centralWidget"})
        QVERIFY2(visible(shown), shown);
    for (const char *hidden : {"udpRadio", "tcpRadio", "csvImportButton", "debugButton", "menuBar"})
        QVERIFY2(!visible(hidden), hidden);

    QCOMPARE(window->findChild<QPushButton *>("removeButton")->text(), QStringLiteral("Remove Unit"));
    QCOMPARE(window->findChild<QPushButton *>("updateButton")->text(), QStringLiteral("Update Selected Units"));
    // Keyboard and screen readers: Ctrl+U updates, the widgets have names.
    QCOMPARE(window->findChild<QPushButton *>("updateButton")->shortcut(), QKeySequence(QStringLiteral("Ctrl+U")));
    QCOMPARE(window->findChild<QPushButton *>("historyButton")->shortcut(), QKeySequence(QStringLiteral("Ctrl+H")));
    QCOMPARE(window->findChild<QPushButton *>("updateButton")->accessibleName(), QStringLiteral("Update Selected Units"));
    QCOMPARE(table()->accessibleName(), QStringLiteral("Units"));
    QCOMPARE(window->findChild<QCheckBox *>("resetEDIDCheck")->text(), QStringLiteral("Reset Encoder EDID"));
    QVERIFY(window->findChild<QRadioButton *>("udpRadio")->isChecked());
    QVERIFY(window->findChild<QAction *>("actionExit"));
    QVERIFY(!table()->isSortingEnabled());
    QCOMPARE(table()->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(table()->columnCount(), 8);
    QStringList headers;
    for (int c = 0; c < 8; ++c)
        headers << table()->horizontalHeaderItem(c)->text();
    QCOMPARE(headers, (QStringList{"Name", "Type", "MAC", "IP", "SN", "SW", "WEB", "Status"}));
    QCOMPARE(table()->rowCount(), 0);
    QCOMPARE(window->findChild<QLabel *>("unitsLabel")->text(),
             QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units."));
    QVERIFY(window->findChild<QLabel *>("versionLabel")->text().startsWith(QLatin1String("Updater Version: ")));
    QCOMPARE(window->findChild<QLabel *>("versionsBlurb")->text(),
             QStringLiteral("WP:(06/01/2013 , 03/03/2015)   K220:(03/02/2015 , 03/03/2015)   DVR:(01/01/2015 , "
                            "03/03/2015)"));
    const QString versionsTip = window->findChild<QLabel *>("versionsBlurb")->toolTip();
    QVERIFY2(versionsTip.contains(QStringLiteral("\nWP: wp_demo.bin, software 06/01/2013, web 03/03/2015\n")),
             qPrintable(versionsTip));
    QVERIFY(QRegularExpression(QStringLiteral("\nwp_demo.bin  SHA-256 [0-9a-f]{64}\nk220_demo.bin  SHA-256 [0-9a-f]{64}"
                                              "\ndvr_demo.bin  SHA-256 [0-9a-f]{64}$"))
                .match(versionsTip)
                .hasMatch());

    auto *log = window->findChild<QPlainTextEdit *>("statusEdit");
    QVERIFY(log->isReadOnly());
    const QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), QStringLiteral("Update Server running..."));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} From Updater : Sent Discover Packet\\.$"))
                .match(lines.last())
                .hasMatch());
    // Auto Discover ran: its button waits for the next tick, unknown units are welcome.
    QVERIFY(!window->findChild<QPushButton *>("discoverButton")->isEnabled());
    QCOMPARE(window->findChild<QStatusBar *>("statusBar")->currentMessage(), QStringLiteral("Discovering..."));
    PipelineState &state = window->pipelineForTests().state();
    QVERIFY(!state.knownUnitsOnly);
    tick(*window);
    QVERIFY(window->findChild<QPushButton *>("discoverButton")->isEnabled());
}

void TestMainWindow::noPackagesBox()
{
    QTemporaryDir empty;
    Folders::setApplicationFolder(empty.path());
    makeWindow();
    QCOMPARE(questions->asked.size(), 1);
    const OperatorQuestions::Question &q = questions->asked.first();
    QCOMPARE(q.icon, QMessageBox::Warning);
    QCOMPARE(q.title, QStringLiteral("There are no updates."));
    QCOMPARE(q.text, QStringLiteral("Bryx Updater found no updates. The unit table will be blank. \n\nCheck this "
                                    "directory for missing *.bin and *.ver files:\n\n")
                         + empty.path());
    QCOMPARE(q.buttons, QMessageBox::Ok);
    QCOMPARE(window->findChild<QLabel *>("versionsBlurb")->text(), QStringLiteral("There are no updates available!"));
}

void TestMainWindow::fileServerPortTaken()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 50005));
    makeWindow();
    const QString log = window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText();
    QVERIFY(log.startsWith(QLatin1String("Update Server NOT running. Could not bind to port 50005!\n")));
}

void TestMainWindow::statusLogLines_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("expectedMiddle");

    QTest::newRow("listed-unit") << "10.77.1.5" << " Lobby (10.77.1.5): ";
    QTest::newRow("unlisted-address") << "10.77.1.99" << " From Updater : ";
    QTest::newRow("listed-without-name") << "10.77.1.6" << " From Updater : ";
    QTest::newRow("label") << "Updater" << " From Updater : ";
}

void TestMainWindow::statusLogLines()
{
    QFETCH(QString, source);
    QFETCH(QString, expectedMiddle);

    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    state.vUnits = {unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5), unit("", "ENC", "K2100B", 1, "3/2/2015", 6)};
    window->toStatusLog(source, QStringLiteral("Hello there."));
    const QString last = window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText().section('\n', -1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}")
                                + QRegularExpression::escape(expectedMiddle) + QStringLiteral("Hello there\\.$"))
                 .match(last)
                 .hasMatch(),
             qPrintable(last));
}

void TestMainWindow::packageRuleAndKnownUnitsGate()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit listed = unit("Listed", "ENC", "K2100A", 1, "3/2/2015", 5);
    const MarluneUnit stranger = unit("Stranger", "DEC", "K2200A", 1, "3/2/2015", 7);
    const MarluneUnit noPackage = unit("Old", "ENC", "JT1", 0, "1/1/2010", 8);
    state.vUnits = {listed};

    state.knownUnitsOnly = true;
    window->pipelineForTests().unitChanged(stranger);
    window->pipelineForTests().unitChanged(listed);
    QCOMPARE(state.vUnitsIncoming.size(), 1);
    QCOMPARE(state.vUnitsIncoming.first().mac, listed.mac);

    state.knownUnitsOnly = false;
    window->pipelineForTests().unitChanged(stranger);
    window->pipelineForTests().unitChanged(noPackage);
    QCOMPARE(state.vUnitsIncoming.size(), 2);

    // The next tick merges: the stranger joins the list and counts as reachable.
    tick(*window);
    QCOMPARE(state.vUnits.size(), 2);
    QVERIFY(state.vUnitsIncoming.isEmpty());
    QVERIFY(state.tcpAlive.value(stranger.ip));
    QCOMPARE(questions->texts().count(QStringLiteral("Do not power down equipment during update! \n\nDoing so may "
                                                     "render it inoperable.")),
             1);
    tick(*window);
    QCOMPARE(questions->asked.size(), 1); // the power-off warning is shown once per run
}

void TestMainWindow::forcedRecordFromImport()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit listed = unit("Listed", "ENC", "K2100A", 1, "3/2/2015", 5);
    state.vUnits = {listed};
    state.vUnitsUpdate = {listed};
    state.edidAttempts[listed.ip] = 2;

    window->pipelineForTests().unitChangedForced(listed);
    QCOMPARE(state.vUnitsUpdate.size(), 1);

    MarluneUnit imported = unit("Imported", "DEC", "K2200A", 1, "1/1/2009", 9);
    window->pipelineForTests().unitChangedForced(imported);
    QVERIFY(state.vUnitsUpdate.isEmpty());
    QVERIFY(state.edidAttempts.isEmpty());
    QCOMPARE(state.vUnits.size(), 1);
    QVERIFY(window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText().endsWith(
        QLatin1String(" From Updater : Ignoring Imported (10.77.1.9) No update available.")));
}

void TestMainWindow::refusedSelections_data()
{
    QTest::addColumn<MarluneUnit>("record");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    MarluneUnit dvr = unit("Old recorder", "DVR", "JD1", 0, "1/1/2015", 11);
    dvr.fwversion = QStringLiteral("0/0/0");
    QTest::newRow("below-minimum") << unit("Too old", "ENC", "K2100A", 1, "6/1/2013", 10) << "Warning."
                                   << "Unit needs to first be updated to SW version 01/01/2014 before running this "
                                      "update.";
    QTest::newRow("original-recorder") << dvr << "Cannot update." << "Unit cannot be updated with this Updater.";
}

void TestMainWindow::refusedSelections()
{
    QFETCH(MarluneUnit, record);
    QFETCH(QString, title);
    QFETCH(QString, text);

    makeWindow();
    listUnits({record, unit("Fine", "DEC", "K2200A", 1, "3/2/2015", 12)});
    table()->selectRow(rowOf(record.mac));
    QCOMPARE(questions->asked.size(), 1);
    QCOMPARE(questions->asked.first().title, title);
    QCOMPARE(questions->asked.first().text, text);
    QVERIFY(table()->selectedItems().isEmpty());

    // The same selection while an update runs (buttons off until the next tick) is not judged.
    window->findChild<QPushButton *>("updateButton")->setEnabled(false);
    table()->selectRow(rowOf(record.mac));
    QCOMPARE(questions->asked.size(), 1);
}

void TestMainWindow::offlineUnitSelectionWarns()
{
    makeWindow();
    MarluneUnit silent = unit("Quiet one", "ENC", "K2100A", 1, "1/1/2015", 13);
    silent.lastSeen = QDateTime::currentDateTime().addSecs(-120);
    listUnits({silent});
    table()->selectRow(0);
    QCOMPARE(questions->asked.size(), 1);
    QCOMPARE(questions->asked.first().title, QStringLiteral("Warning."));
    QCOMPARE(questions->asked.first().text, QStringLiteral("Updater is still establishing communication with Quiet one"));
    QVERIFY(!table()->selectedItems().isEmpty()); // the selection stays
}

void TestMainWindow::updateButtonQueuesEachUnitOnce()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit encoder = unit("Encoder", "ENC", "K2100A", 1, "1/1/2015", 14);
    listUnits({encoder});
    state.edidAttempts[encoder.ip] = 2;
    state.fetchTimeByMac[encoder.mac] = QDateTime::currentDateTime();

    table()->selectRow(0); // eight cells of one row
    QCOMPARE(table()->selectionModel()->selectedIndexes().size(), 8);
    questions->answers = {QMessageBox::Yes, QMessageBox::Yes};
    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);

    QCOMPARE(questions->asked.size(), 2);
    QCOMPARE(questions->asked.at(0).title, QStringLiteral("Update Units?"));
    QCOMPARE(questions->asked.at(0).text, QStringLiteral("Update selected units?"));
    QCOMPARE(questions->asked.at(0).defaultButton, QMessageBox::Yes);
    QCOMPARE(questions->asked.at(1).title, QStringLiteral("Reset EDID?"));
    QCOMPARE(questions->asked.at(1).text, QStringLiteral("Reset EDID on encoders?"));
    QVERIFY(window->findChild<QCheckBox *>("resetEDIDCheck")->isChecked());
    QCOMPARE(state.vUnitsUpdate.size(), 1);
    QVERIFY(state.edidAttempts.isEmpty());
    QVERIFY(state.fetchTimeByMac.isEmpty());
    QCOMPARE(window->findChild<QStatusBar *>("statusBar")->currentMessage(), QStringLiteral("Updating 1 units."));
    QVERIFY(table()->selectedItems().isEmpty());
    QCOMPARE(table()->item(0, 7)->text(), QStringLiteral("Queued for Update"));
    QCOMPARE(table()->item(0, 0)->background().color(), QColor(Qt::yellow));

    // Pressing again with the unit still queued does not queue it twice; the EDID box is not
    // asked while the option is ticked.
    table()->selectRow(0);
    questions->answers = {QMessageBox::Yes};
    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);
    QCOMPARE(questions->asked.size(), 3);
    QCOMPARE(state.vUnitsUpdate.size(), 1);
}

void TestMainWindow::updateButtonRefusalAndNothingSelected()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    listUnits({unit("Encoder", "ENC", "K2100A", 1, "1/1/2015", 14)});
    // Every press forgets the EDID resets given up so far, before it asks anything.
    const QString ip = state.vUnits.first().ip;
    state.edidAttempts[ip] = 3;

    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);
    QCOMPARE(questions->asked.size(), 1);
    QCOMPARE(questions->asked.at(0).title, QStringLiteral("No units selected"));
    QCOMPARE(questions->asked.at(0).text, QStringLiteral("Please select at least 1 unit."));
    QVERIFY(state.edidAttempts.isEmpty());

    state.edidAttempts[ip] = 3;
    table()->selectRow(0);
    questions->answers = {QMessageBox::No};
    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);
    QCOMPARE(questions->asked.size(), 2);
    QVERIFY(state.vUnitsUpdate.isEmpty());
    QVERIFY(state.edidAttempts.isEmpty());

    // An encoder queued while the EDID question is answered No leaves the option off.
    questions->answers = {QMessageBox::Yes, QMessageBox::No};
    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);
    QCOMPARE(state.vUnitsUpdate.size(), 1);
    QVERIFY(!window->findChild<QCheckBox *>("resetEDIDCheck")->isChecked());
}

void TestMainWindow::upToDateUnitsAskedFirst_data()
{
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QString>("press"); // in the "Units Up to Date" box
    QTest::addColumn<bool>("late");     // answered after a few ticks
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QStringList>("queued");
    QTest::addColumn<QStringList>("logged");

    const QString guard = QStringLiteral("Units Up to Date");
    const QString update = QStringLiteral("Update Units?");
    QTest::newRow("none-up-to-date") << QStringList{"Encoder"} << QString() << false
                                     << QStringList{update, "Reset EDID?"} << QStringList{"Encoder"}
                                     << QStringList{"Updating 1 units \u00b7 all at once",
                                                    "Resetting EDID on 1 encoders after their update"};
    QTest::newRow("skip-them") << QStringList{"Encoder", "Wall"} << "Skip Them" << false
                               << QStringList{guard, update, "Reset EDID?"} << QStringList{"Encoder"}
                               << QStringList{"Updating 1 units (1 up to date skipped) \u00b7 all at once"};
    QTest::newRow("skip-them-late") << QStringList{"Encoder", "Wall"} << "Skip Them" << true
                                    << QStringList{guard, update, "Reset EDID?"} << QStringList{"Encoder"}
                                    << QStringList{"Updating 1 units (1 up to date skipped)"};
    // With a rollout plan shown: canary 1, 2 in flight, stop after 1 failed unit.
    QTest::newRow("update-all-paced")
        << QStringList{"Lobby", "Encoder", "Wall"} << "Update All" << false << QStringList{guard, update, "Reset EDID?"}
        << QStringList{"Encoder", "Lobby", "Wall"}
        << QStringList{"Updating 3 units \u00b7 1 first, then at most 2 in flight, stop after 1 failed unit"};
    QTest::newRow("cancel") << QStringList{"Encoder", "Wall"} << "Cancel" << false << QStringList{guard}
                            << QStringList() << QStringList();
    QTest::newRow("all-up-to-date-skipped")
        << QStringList{"Wall", "Lobby"} << "Skip Them" << true << QStringList{guard} << QStringList()
        << QStringList{"Nothing to update: all 2 selected units are already up to date"};
}

// Units already up to date are asked about before the update question; the status log then says
// how many units are updated and how many were left out.
void TestMainWindow::upToDateUnitsAskedFirst()
{
    QFETCH(QStringList, selected);
    QFETCH(QString, press);
    QFETCH(bool, late);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, queued);
    QFETCH(QStringList, logged);
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    listUnits({unit("Encoder", "ENC", "K2100A", 1, "1/1/2015", 21), unit("Wall", "DEC", "K2200A", 1, "3/2/2015", 22),
               unit("Lobby", "DEC", "K2200B", 1, "3/2/2015", 23)});
    for (const QString &name : selected)
        table()->selectionModel()->select(
            table()->model()->index(rowOf(findUnit(state.vUnits, &MarluneUnit::name, name)->mac), 0),
            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (press == QLatin1String("Cancel"))
        questions->answersByTitle.insert(QStringLiteral("Units Up to Date"), QMessageBox::Cancel);
    else
        questions->pressByTitle.insert(QStringLiteral("Units Up to Date"), press);
    int ticksWhileAsked = 0;
    questions->onAsk = [&](const OperatorQuestions::Question &question) {
        // The engine goes on while the operator reads the box.
        for (; late && question.title == QLatin1String("Units Up to Date") && ticksWhileAsked < 3; ++ticksWhileAsked) {
            tick(*window);
            QCoreApplication::processEvents();
        }
    };
    if (QString(QTest::currentDataTag()).endsWith(QLatin1String("-paced"))) {
        for (const char *spin : {"canarySpin", "stopAfterSpin"})
            window->findChild<QSpinBox *>(spin)->setValue(1);
        window->findChild<QSpinBox *>("maxInFlightSpin")->setValue(2);
    }
    const auto forgetPlan = qScopeGuard([] { UpdaterSettings::setRolloutPlan(RolloutPlan()); });
    QTest::mouseClick(window->findChild<QPushButton *>("updateButton"), Qt::LeftButton);

    QStringList titles;
    for (const OperatorQuestions::Question &question : questions->asked)
        titles << question.title;
    // The ticks' own one-time warning may come up while the box is open.
    titles.removeAll(QStringLiteral("Power Off Warning"));
    QVERIFY2(titles == asked, qPrintable(titles.join('|')));
    QCOMPARE(ticksWhileAsked, late ? 3 : 0);
    if (!press.isEmpty()) {
        const OperatorQuestions::Question &guard = questions->asked.first();
        QCOMPARE(guard.text, QStringLiteral("%1 of the %2 selected units are already up to date. Update them too?")
                                 .arg(selected.contains("Encoder") ? selected.size() - 1 : selected.size())
                                 .arg(selected.size()));
        QCOMPARE(guard.defaultButton, QMessageBox::No);
        QCOMPARE(guard.buttons, QMessageBox::No | QMessageBox::Yes | QMessageBox::Cancel);
        QCOMPARE(guard.buttonTexts.value(QMessageBox::No), QStringLiteral("Skip Them"));
        QCOMPARE(guard.buttonTexts.value(QMessageBox::Yes), QStringLiteral("Update All"));
    }
    QStringList names;
    for (const MarluneUnit &u : state.vUnitsUpdate)
        names << u.name;
    names.sort();
    QCOMPARE(names, queued);
    const QString log = window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText();
    for (const QString &line : logged)
        QVERIFY2(log.contains(line), qPrintable(log));
    QCOMPARE(log.contains(QLatin1String("Updating ")), !queued.isEmpty());
}

void TestMainWindow::stopBatchCountsWhatGoesOn()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const QList<MarluneUnit> units{unit("One", "DEC", "K2200A", 1, "1/1/2015", 24),
                                   unit("Two", "DEC", "K2200B", 1, "1/1/2015", 25),
                                   unit("Three", "DEC", "K2200C", 1, "1/1/2015", 26)};
    listUnits(units);
    window->pipelineForTests().queueForUpdate({units.at(0).mac, units.at(1).mac, units.at(2).mac});
    state.vUnitsConfirm = {state.vUnitsUpdate.takeFirst()}; // commanded
    redraw(*window);
    questions->answersByTitle.insert(QStringLiteral("Stop Batch"), QMessageBox::Yes);
    window->findChild<QPushButton *>("stopBatchButton")->click();
    QVERIFY(state.vUnitsUpdate.isEmpty());
    QVERIFY(window->findChild<QPlainTextEdit *>("statusEdit")
                ->toPlainText()
                .contains(QLatin1String("2 queued units taken out of the queue; 1 commanded units go on.")));
}

void TestMainWindow::removedQueuedUnitIsNeverCommanded()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit queued = unit("Queued", "DEC", "K2200A", 1, "1/1/2015", 15);
    const MarluneUnit other = unit("Other", "DEC", "K2200B", 1, "1/1/2015", 16);
    listUnits({queued, other});
    state.vUnitsUpdate = {queued};
    state.vUnitsFinished = {queued};
    state.fetchTimeByMac[queued.mac] = QDateTime::currentDateTime();
    QTcpServer unitSide;
    QVERIFY(unitSide.listen(QHostAddress(queued.ip), 50001));

    table()->selectRow(rowOf(queued.mac));
    QTest::mouseClick(window->findChild<QPushButton *>("removeButton"), Qt::LeftButton);
    QCOMPARE(state.vUnits.size(), 1);
    QVERIFY(state.vUnitsUpdate.isEmpty());
    QVERIFY(state.vUnitsFinished.isEmpty());
    QVERIFY(state.fetchTimeByMac.isEmpty());
    QCOMPARE(table()->rowCount(), 1);
    QVERIFY(table()->selectedItems().isEmpty());

    tick(*window);
    QCoreApplication::processEvents();
    QVERIFY(!unitSide.hasPendingConnections());
    QVERIFY(!window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText().contains(QLatin1String("Commanding")));
}

// A unit between its command and the end of its transfer would be left mid-update: closing the
// window asks first, and No keeps it open. A unit that took its image, or is overdue, does not ask.
void TestMainWindow::closingAsksWhileUnitsTakeTheirImage()
{
    makeWindow();
    window->show();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit taking = unit("Taking", "DEC", "K2200A", 1, "1/1/2015", 15);
    const MarluneUnit fetched = unit("Fetched", "DEC", "K2200B", 1, "1/1/2015", 16);
    listUnits({taking, fetched});
    state.vUnitsConfirm = {taking, fetched};
    state.runs[taking.mac].commandedMs = 1;
    state.runs[fetched.mac].commandedMs = 1;
    state.runs[fetched.mac].fetchedMs = 2;

    // Ctrl+Q closes the window the same way.
    QVERIFY(QTest::qWaitForWindowActive(window));
    questions->answers = {QMessageBox::No};
    QTest::keySequence(window, QKeySequence(Qt::CTRL | Qt::Key_Q));
    QCOMPARE(questions->texts(), QStringList{"1 units are taking their image from this computer; quitting now breaks "
                                             "their update. Quit anyway?"});
    QVERIFY(window->isVisible());
    state.runs[taking.mac].overdue = Overdue::NoFetch;
    QVERIFY(window->close());
    QCOMPARE(questions->asked.size(), 1);
}

void TestMainWindow::doubleClickOpensWebPage()
{
    makeWindow();
    listUnits({unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5)});
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");

    questions->answers = {QMessageBox::Yes};
    QMetaObject::invokeMethod(window, "on_unitTable_doubleClicked", Q_ARG(QModelIndex, table()->model()->index(0, 3)));
    QCOMPARE(questions->asked.size(), 1);
    QCOMPARE(questions->asked.first().title, QStringLiteral("Lobby"));
    QCOMPARE(questions->asked.first().text, QStringLiteral("Go to http://10.77.1.5/ ?"));
    QCOMPARE(catcher.opened, (QList<QUrl>{QUrl(QStringLiteral("http://10.77.1.5"))}));

    questions->answers = {QMessageBox::No};
    QMetaObject::invokeMethod(window, "on_unitTable_doubleClicked", Q_ARG(QModelIndex, table()->model()->index(0, 0)));
    QCOMPARE(catcher.opened.size(), 1);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void TestMainWindow::warningsShownOncePerRun()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit faraway = outsideSubnet();
    listUnits({faraway, unit("Old wall A", "WP", "JW1", 0, "1/1/2013", 18),
                       unit("Old wall B", "WP", "JW2", 0, "1/2/2013", 19)});

    const QStringList texts = questions->texts();
    QCOMPARE(texts.size(), 2);
    QCOMPARE(texts.at(0),
             QStringLiteral("The updater has detected a unit that is outside your subnet. This is often an IP "
                            "configuration problem. Please check your network settings. <br><br>You may want to "
                            "give your computer a second IP address so that it can talk to this unit:<br><br>"
                            "DEC:<b><font color='red'>Far away</font></b>&nbsp;(02:00:00:00:01:17)&nbsp;&nbsp;<b>"
                            "192.168.99.5 / 255.255.255.0 </b><br><br><i>Broadcast IP Reset</i> in Quillet can "
                            "reset this unit to AUTO-IP a 169.254.X.X address."));
    QCOMPARE(questions->asked.at(1).title, QStringLiteral("Manual Update Needed."));
    // The last too-old unit in table order is named.
    QCOMPARE(texts.at(1), QStringLiteral("Updater found one or more units too old for automatic updates. Please use "
                                         "unit web interface to update. Then future updates can be automated.\n\n"
                                         "Go to: \nOld wall B\n10.77.1.19"));

    // Firewall: units were commanded 30 seconds ago, but no file was ever served.
    state.serverContacted = true;
    state.updateCommanded = true;
    state.lastUpdateCommandTime = QDateTime::currentDateTime().addSecs(-30);
    redraw(*window);
    QCOMPARE(questions->asked.size(), 3);
    QVERIFY(questions->texts().at(2).startsWith(
        QLatin1String("The updater has detected a possible problem with your firewall. <br><br>")));

    redraw(*window);
    redraw(*window);
    QCOMPARE(questions->asked.size(), 3);
}

// An operator who leaves each box open while ticks and redraws go on (a modal box lets events
// run): every once-only box opens once all the same.
void TestMainWindow::slowOperatorSeesEachWarningOnce()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    MarluneUnit faraway = outsideSubnet();
    MarluneUnit oldWall = unit("Old wall", "WP", "JW1", 0, "1/1/2013", 18);
    for (MarluneUnit *u : {&faraway, &oldWall})
        u->lastSeen = QDateTime::currentDateTime().addSecs(3600); // online throughout
    state.serverContacted = true;
    state.updateCommanded = true;
    state.lastUpdateCommandTime = QDateTime::currentDateTime().addSecs(-30);

    int open = 0;
    questions->onAsk = [&](const OperatorQuestions::Question &) {
        if (open > 0)
            return;
        ++open;
        for (int i = 0; i < 3; ++i) {
            tick(*window);
            redraw(*window);
            QCoreApplication::processEvents();
        }
        --open;
    };
    listUnits({faraway, oldWall});
    tick(*window);
    tick(*window);
    redraw(*window);

    QMap<QString, int> shown;
    for (const OperatorQuestions::Question &question : std::as_const(questions->asked))
        ++shown[question.title.isEmpty() ? question.text.section(QLatin1Char('.'), 0, 0) : question.title];
    QCOMPARE(shown, (QMap<QString, int>{{"Power Off Warning", 1},
                                        {"Manual Update Needed.", 1},
                                        {"The updater has detected a unit that is outside your subnet", 1},
                                        {"The updater has detected a possible problem with your firewall", 1}}));
}

void TestMainWindow::foreverDecoration()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit looping = unit("Looping", "DEC", "K2200A", 1, "3/2/2015", 20);
    state.foreverMACList = {looping.mac};
    state.foreverCount[looping.mac] = 4;
    listUnits({looping});
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("Looping [4]"));
    redraw(*window);
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("Looping [4]"));
}

void TestMainWindow::debugDumpAndSmallButtons()
{
    makeWindow();
    listUnits({unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5)});
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^mainwindow/\\d+\\(MainWindow::on_debugButton_clicked\\): vUnits.size\\(\\) 1$")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("on_debugButton_clicked\\): \"Lobby\" 0$")));
    QMetaObject::invokeMethod(window, "on_debugButton_clicked");

    table()->selectRow(0);
    QTest::mouseClick(window->findChild<QPushButton *>("clearButton"), Qt::LeftButton);
    QVERIFY(table()->selectedItems().isEmpty());
    QTest::mouseClick(window->findChild<QPushButton *>("clearLogButton"), Qt::LeftButton);
    QVERIFY(window->findChild<QPlainTextEdit *>("statusEdit")->toPlainText().isEmpty());
}

// "Problems only" shows the problem lines alone, and every line again when cleared; a double
// click on a line that names a unit selects its row; the window's size is remembered.
void TestMainWindow::calmerLogAndRememberedSize()
{
    makeWindow();
    listUnits({unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5), unit("Hall", "DEC", "K2200A", 1, "3/2/2015", 6)});
    window->toStatusLog(QStringLiteral("10.77.1.5"), QStringLiteral("Overdue: no image fetch after 3 min."));
    window->toStatusLog(QStringLiteral("Updater"), QStringLiteral("Commanding Hall (10.77.1.6)"));
    auto *log = window->findChild<QPlainTextEdit *>("statusEdit");
    auto *problemsOnly = window->findChild<QCheckBox *>("problemsOnlyCheck");
    const int lines = log->blockCount();
    problemsOnly->setChecked(true);
    QCOMPARE(log->blockCount(), 1);
    QVERIFY(log->toPlainText().endsWith(QStringLiteral("Lobby (10.77.1.5): Overdue: no image fetch after 3 min.")));
    problemsOnly->setChecked(false);
    QCOMPARE(log->blockCount(), lines);

    QTextCursor hall(log->document()->findBlockByNumber(lines - 1));
    QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(hall).center());
    const QList<QModelIndex> rows = table()->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(table()->item(rows.first().row(), 0)->text(), QStringLiteral("Hall"));

    window->show();
    window->setGeometry(100, 100, 1234, 777);
    delete window;
    makeWindow();
    QCOMPARE(window->size(), QSize(1234, 777));
}

// Status-log lines that come one event-loop turn after another, as a fleet's fetches report
// them: each is in the log at once, and the log is painted once for many of them, not per line.
void TestMainWindow::burstOfLogLinesPaintedTogether()
{
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *log = window->findChild<QPlainTextEdit *>("statusEdit");
    PaintCounter counter;
    log->viewport()->installEventFilter(&counter);
    constexpr int kLines = 60;
    for (int i = 0; i < kLines; ++i) {
        window->toStatusLog(QStringLiteral("Updater"), QStringLiteral("Line %1").arg(i));
        QVERIFY(log->toPlainText().endsWith(QStringLiteral("Line %1").arg(i)));
        QCoreApplication::processEvents();
    }
    // The last lines are painted too, shortly.
    if (const auto *delay = window->findChild<QTimer *>(QStringLiteral("logPaintDelay")))
        QTRY_VERIFY(!delay->isActive());
    QCoreApplication::processEvents();
    QVERIFY(counter.paints >= 1);
    QVERIFY2(counter.paints <= kLines / 4, qPrintable(QString::number(counter.paints)));
}

void TestMainWindow::reachabilityBookkeeping()
{
    makeWindow();
    PipelineState &state = window->pipelineForTests().state();
    const MarluneUnit rebooting = unit("Rebooting", "DEC", "K2200A", 1, "3/2/2015", 21);
    state.vUnitsConfirm = {rebooting};

    // Never tested: false, and a first test starts (nothing listens there: it fails).
    bool alive = true;
    QMetaObject::invokeMethod(window, "isAliveTCPCheck", Q_RETURN_ARG(bool, alive), Q_ARG(MarluneUnit, rebooting));
    QVERIFY(!alive);
    QTRY_COMPARE(state.vUnitsRebooted.size(), 1);
    QVERIFY(state.tcpAlive.contains(rebooting.ip));

    // Asked again within 5 seconds: no new test; the stored result is delivered again at once,
    // and the unit is in the rebooted list exactly once, however often it is reported.
    state.vUnitsRebooted.clear();
    QMetaObject::invokeMethod(window, "isAliveTCPCheck", Q_RETURN_ARG(bool, alive), Q_ARG(MarluneUnit, rebooting));
    QCOMPARE(state.vUnitsRebooted.size(), 1);
    QMetaObject::invokeMethod(window, "isAliveTCPCheck", Q_RETURN_ARG(bool, alive), Q_ARG(MarluneUnit, rebooting));
    QCOMPARE(state.vUnitsRebooted.size(), 1);
    QCOMPARE(state.vUnitsRebooted.first().mac, rebooting.mac);
}

void TestMainWindow::historyWindowWithoutHistory_data()
{
    QTest::addColumn<QByteArray>("file"); // the history file's bytes; none when null
    QTest::addColumn<QString>("notice");

    QTest::newRow("no-file") << QByteArray() << QStringLiteral("No history has been kept yet (%1).");
    QTest::newRow("not-a-database") << QByteArray("not a database\n").repeated(100)
                                    << QStringLiteral("The history cannot be read: %1: ");
}

// The window says why there is nothing to show, shows empty tables, and creates no file.
void TestMainWindow::historyWindowWithoutHistory()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, notice);
    // This window's core keeps no history, so that nothing but the test writes the file.
    QSettings(UpdaterSettings::path(), QSettings::IniFormat).setValue(QStringLiteral("history/keep"), false);
    const QString path = UpdaterSettings::historyPath();
    // The file and its write-ahead log, left by the windows of the tests before.
    const auto removeHistory = [&path] {
        for (const char *suffix : {"", "-wal", "-shm"})
            QFile::remove(path + QLatin1String(suffix));
    };
    const auto restore = qScopeGuard([&removeHistory] {
        QSettings(UpdaterSettings::path(), QSettings::IniFormat).remove(QStringLiteral("history/keep"));
        removeHistory();
    });
    removeHistory();
    if (!file.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile bad(path);
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write(file) == file.size());
    }
    makeWindow();
    QTest::mouseClick(window->findChild<QPushButton *>("historyButton"), Qt::LeftButton);
    auto *history = window->findChild<HistoryWindow *>();
    QVERIFY(history && history->isVisible());
    const QString shown = history->findChild<QLabel *>("historyNoticeLabel")->text();
    QVERIFY2(shown.startsWith(notice.arg(QDir::toNativeSeparators(path))), qPrintable(shown));
    for (const char *table : {"historyBatchTable", "historyRunTable", "historyStepTable"})
        QCOMPARE(history->findChild<QTableWidget *>(table)->rowCount(), 0);
    QVERIFY(!history->findChild<QPushButton *>("historyExportButton")->isEnabled());
    QTest::mouseClick(history->findChild<QPushButton *>("historyRefreshButton"), Qt::LeftButton);
    QCOMPARE(history->findChild<QLabel *>("historyNoticeLabel")->text(), shown);
    QCOMPARE(QFileInfo::exists(path), !file.isNull());
}

void TestMainWindow::resumeLastBatch_data()
{
    QTest::addColumn<QString>("end"); // how the history's last batch ended
    QTest::addColumn<bool>("offered");

    QTest::newRow("closed with units queued") << "closed" << true;
    QTest::newRow("completed") << "completed" << false;
}

// A batch cut short is offered once at start, in the status log and with its button; pressed and
// answered, the button queues its units in a batch that names it, with its plan, and goes.
void TestMainWindow::resumeLastBatch()
{
    QFETCH(QString, end);
    QFETCH(bool, offered);
    const QString path = UpdaterSettings::historyPath();
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
    const QList<MarluneUnit> units{unit("Lobby", "ENC", "K2100A", 1, "1/1/2014", 5),
                                   unit("Hall", "DEC", "K2200A", 1, "1/1/2014", 6)};
    qint64 cut = 0;
    {
        HistoryStore store(QStringLiteral("cut-batch"));
        QString error;
        QVERIFY2(store.open(path, &error), qPrintable(error));
        cut = store.beginBatch({0, QDateTime::currentDateTime(), {}, {}, QStringLiteral("1 at a time"), false, {}, 0,
                                {}, {}});
        for (const MarluneUnit &u : units) {
            HistoryStore::UnitRun run;
            run.mac = u.mac;
            run.name = u.name;
            run.ip = u.ip;
            run.step = QStringLiteral("queued");
            QVERIFY(store.saveUnitRun(cut, run));
        }
        QVERIFY(store.endBatch(cut, QDateTime::currentDateTime(), end));
    }
    makeWindow();
    listUnits(units);
    auto *button = window->findChild<QPushButton *>("resumeLastBatchButton");
    QTRY_VERIFY(window->core().lastBatchKnown());
    QCOMPARE(button->isVisibleTo(window), offered);
    const auto offers = [this] {
        return window->findChild<QPlainTextEdit *>("statusEdit")
            ->toPlainText()
            .count(QStringLiteral(" with 2 of 2 units not confirmed: Resume Last Batch picks it up."));
    };
    QCOMPARE(offers(), offered ? 1 : 0);
    if (!offered)
        return;
    QCOMPARE(button->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+L")));

    questions->answersByTitle.insert(QStringLiteral("Resume Last Batch"), QMessageBox::Yes);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY2(questions->texts().last().contains(QStringLiteral("2 units queued again")),
             qPrintable(questions->texts().last()));
    const PipelineState &state = window->core().state();
    QCOMPARE(state.vUnitsUpdate.size(), 2);
    QCOMPARE(state.resumes, cut);
    QCOMPARE(state.rollout.plan.maxInFlight, 1);
    QVERIFY(!button->isVisibleTo(window));
    QCOMPARE(offers(), 1);
}

// Alt and a letter: the Show filter takes the focus, the batch buttons and Check Selected Units
// are pressed.
void TestMainWindow::keys_data()
{
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("target"); // the button pressed, or the field that takes the focus

    QTest::newRow("alt-s-show") << QKeySequence(Qt::ALT | Qt::Key_S) << "stateFilter";
    QTest::newRow("alt-r-resume") << QKeySequence(Qt::ALT | Qt::Key_R) << "resumeButton";
    QTest::newRow("alt-b-stop-batch") << QKeySequence(Qt::ALT | Qt::Key_B) << "stopBatchButton";
    QTest::newRow("alt-k-check") << QKeySequence(Qt::ALT | Qt::Key_K) << "checkButton";
}

void TestMainWindow::keys()
{
    QFETCH(QKeySequence, keys);
    QFETCH(QString, target);

    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window));
    for (const char *name : {"resumeButton", "stopBatchButton"})
        window->findChild<QPushButton *>(name)->setEnabled(true);
    table()->setFocus();
    std::optional<QSignalSpy> clicks;
    if (auto *button = window->findChild<QPushButton *>(target))
        clicks.emplace(button, &QPushButton::clicked);
    QTest::keySequence(window, keys);
    if (clicks)
        QTRY_COMPARE(clicks->size(), 1);
    else
        QCOMPARE(QApplication::focusWidget()->objectName(), target);
}

// Tab goes through the window as one reads it, row by row from the top, and from the last
// control back to the first.
void TestMainWindow::tabFollowsReadingOrder()
{
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window));
    for (const char *name : {"discoverButton", "retryButton", "resumeButton", "stopBatchButton"})
        window->findChild<QPushButton *>(name)->setEnabled(true);
    const QStringList order{"resetEDIDCheck",  "removeButton",      "addByIPButton",       "discoverButton",
                            "stateFilter",     "searchEdit",        "selectNeedingButton", "checkButton", "unitTable",
                            "clearButton",     "retryButton",       "updateButton",        "canarySpin",
                            "maxInFlightSpin", "stopAfterSpin",     "resumeButton",        "stopBatchButton",
                            "statusEdit",      "problemsOnlyCheck", "saveReportButton",    "historyButton",
                            "clearLogButton",  "resetEDIDCheck"};
    window->findChild<QWidget *>(order.first())->setFocus();
    QStringList visited{QApplication::focusWidget()->objectName()};
    while (visited.size() < order.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
}

// With the focus, the table's current row wears a frame (dark outside, white inside) and the
// status log a blue one.
void TestMainWindow::focusIsFramed()
{
    applyWindowLook(*qApp);
    const auto plain = qScopeGuard([] { qApp->setStyleSheet(QString()); });
    makeWindow();
    listUnits({unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5), unit("Hall", "DEC", "K2200A", 1, "3/2/2015", 6)});
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window));

    QTableView *view = table()->view;
    view->setFocus();
    view->setCurrentIndex(view->model()->index(1, 3));
    const QImage rows = view->viewport()->grab().toImage();
    const int top = view->rowViewportPosition(1);
    QCOMPARE(rows.pixelColor(view->columnViewportPosition(0) + 4, top), QColor(Qt::black));
    QCOMPARE(rows.pixelColor(view->columnViewportPosition(0) + 4, top + 1), QColor(Qt::white));

    auto *log = window->findChild<QPlainTextEdit *>("statusEdit");
    const auto edge = [log] { return log->grab().toImage().pixelColor(0, log->height() / 2); };
    const QColor away = edge();
    log->setFocus();
    QCOMPARE(edge(), QColor(0x1f, 0x5f, 0x99));
    QVERIFY(away != edge());
}

// Every text the window draws on a colour of its own stands out at least 4.5 times from it:
// the style sheet's texts on their grounds, the selection, the search field's placeholder and
// the table's cells in each row colour.
void TestMainWindow::contrast_data()
{
    QTest::addColumn<QColor>("text");
    QTest::addColumn<QColor>("ground");

    QFile sheetFile(QStringLiteral(":/quillet.css"));
    QVERIFY(sheetFile.open(QIODevice::ReadOnly));
    QString sheet = QString::fromLatin1(sheetFile.readAll());
    sheet.remove(QRegularExpression(QStringLiteral("/\\*.*?\\*/"), QRegularExpression::DotMatchesEverythingOption));
    // Each selector's properties, a later rule overriding an earlier one.
    QMap<QString, QMap<QString, QString>> rules;
    static const QRegularExpression rule(QStringLiteral("([^{}]+)\\{([^}]*)\\}"));
    for (const QRegularExpressionMatch &match : rule.globalMatch(sheet)) {
        for (const QString &selector : match.captured(1).split(QLatin1Char(','))) {
            for (const QString &declaration : match.captured(2).split(QLatin1Char(';'))) {
                if (declaration.contains(QLatin1Char(':')))
                    rules[selector.trimmed()][declaration.section(QLatin1Char(':'), 0, 0).trimmed()] =
                        declaration.section(QLatin1Char(':'), 1).trimmed();
            }
        }
    }
    static const QRegularExpression state(QStringLiteral("(?<!:):[\\w-]+$"));
    for (auto selector = rules.cbegin(); selector != rules.cend(); ++selector) {
        // A state of a sub-control (QMenuBar::item:selected) writes in the sub-control's colour.
        QString text = selector->value(QStringLiteral("color"));
        if (text.isEmpty())
            text = rules.value(QString(selector.key()).remove(state)).value(QStringLiteral("color"));
        const QList<std::pair<QString, QString>> pairs{{text, selector->value(QStringLiteral("background"))},
                                                       {text, selector->value(QStringLiteral("background-color"))},
                                                       {selector->value(QStringLiteral("selection-color")),
                                                        selector->value(QStringLiteral("selection-background-color"))}};
        for (const auto &[textValue, groundValue] : pairs) {
            if (!sheetColour(textValue).isValid())
                continue;
            for (const QColor &ground : sheetGrounds(groundValue))
                QTest::addRow("%s %s on %s", qPrintable(selector.key()), qPrintable(textValue),
                              qPrintable(ground.name()))
                    << sheetColour(textValue) << ground;
        }
    }

    applyWindowLook(*qApp);
    const auto plain = qScopeGuard([] { qApp->setStyleSheet(QString()); });
    QTableView table;
    table.ensurePolished();
    QTest::newRow("selected row") << table.palette().color(QPalette::HighlightedText)
                                  << table.palette().color(QPalette::Highlight);
    QLineEdit search;
    search.ensurePolished();
    const QColor base = search.palette().color(QPalette::Base);
    const QColor placeholder = search.palette().color(QPalette::PlaceholderText);
    const double alpha = placeholder.alphaF();
    QTest::newRow("search placeholder") << QColor::fromRgbF(
        float(alpha * placeholder.redF() + (1 - alpha) * base.redF()),
        float(alpha * placeholder.greenF() + (1 - alpha) * base.greenF()),
        float(alpha * placeholder.blueF() + (1 - alpha) * base.blueF()))
                                        << base;

    for (const CellColour colour : {CellColour::Yellow, CellColour::Red, CellColour::Magenta, CellColour::Green,
                                    CellColour::DarkYellow, CellColour::Orange})
        QTest::addRow("cell %s", qPrintable(UnitTableProxy::background(colour).name()))
            << UnitTableProxy::text(colour) << UnitTableProxy::background(colour);
}

void TestMainWindow::contrast()
{
    QFETCH(QColor, text);
    QFETCH(QColor, ground);
    const double ratio = contrastRatio(text, ground);
    QVERIFY2(ratio >= kReadableContrast, qPrintable(QStringLiteral("%1:1").arg(ratio, 0, 'f', 2)));
}

// "Showing N of M units" while the filter or the search hides rows, following the fleet.
void TestMainWindow::rowsShownBesideTheFilter()
{
    makeWindow();
    listUnits({unit("Lobby", "ENC", "K2100A", 1, "3/2/2015", 5), unit("Hall", "DEC", "K2200A", 1, "3/2/2015", 6),
               unit("Stage", "DEC", "K2200B", 1, "1/1/2015", 7)});
    auto *shown = window->findChild<QLabel *>("shownLabel");
    QVERIFY(shown);
    QVERIFY(!shown->isVisibleTo(window));
    auto *search = window->findChild<QLineEdit *>("searchEdit");
    search->setText(QStringLiteral("lobby"));
    QVERIFY(shown->isVisibleTo(window));
    QCOMPARE(shown->text(), QStringLiteral("Showing 1 of 3 units"));
    listUnits({unit("Lobby annex", "DEC", "K2200C", 1, "3/2/2015", 8)});
    QCOMPARE(shown->text(), QStringLiteral("Showing 2 of 4 units"));
    search->clear();
    QVERIFY(!shown->isVisibleTo(window));
    auto *filter = window->findChild<QComboBox *>("stateFilter");
    filter->setCurrentIndex(int(ViewFilter::Done));
    QCOMPARE(shown->text(), QStringLiteral("Showing 3 of 4 units"));
    QVERIFY(shown->isVisibleTo(window));
    filter->setCurrentIndex(int(ViewFilter::All));
    QVERIFY(!shown->isVisibleTo(window));
}

// At the first start the table shows at least 15 rows on a screen that has the room, and the
// whole window is on the screen.
void TestMainWindow::firstStartShowsFifteenRows()
{
    QSettings(UpdaterSettings::path(), QSettings::IniFormat).remove(QStringLiteral("window"));
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QTableView *view = table()->view;
    const int rowHeight = view->verticalHeader()->defaultSectionSize();
    QVERIFY2(view->viewport()->height() >= 15 * rowHeight,
             qPrintable(QStringLiteral("%1 px for rows of %2 px").arg(view->viewport()->height()).arg(rowHeight)));
    QVERIFY(window->width() >= 847);
    QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
}

void TestMainWindow::rememberedPlaceFitsTheScreen_data()
{
    // Where the operator left the window's frame, and where it comes back at the next starts.
    QTest::addColumn<QRect>("left");
    QTest::addColumn<QRect>("back");

    QTest::newRow("top-of-the-screen") << QRect(0, 0, 1200, 800) << QRect(0, 0, 1200, 800);
    QTest::newRow("middle") << QRect(300, 200, 1300, 700) << QRect(300, 200, 1300, 700);
    QTest::newRow("second-screen") << QRect(2000, 10, 1150, 700) << QRect(2000, 10, 1150, 700);
    QTest::newRow("off-every-screen") << QRect(5000, 3000, 1200, 800) << QRect(720, 280, 1200, 800);
    QTest::newRow("larger-than-the-screen") << QRect(-50, -30, 2500, 1400) << QRect(0, 0, 1920, 1080);
    QTest::newRow("too-tall-for-the-second-screen") << QRect(2000, 100, 1200, 900) << QRect(2000, 0, 1200, 720);
}

void TestMainWindow::rememberedPlaceFitsTheScreen()
{
    QFETCH(QRect, left);
    QFETCH(QRect, back);

    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // The frame where the operator left it: a move places the frame, a resize sizes the contents.
    const QRect frame = window->frameGeometry();
    const QRect contents = window->geometry();
    window->resize(left.size().shrunkBy({contents.left() - frame.left(), contents.top() - frame.top(),
                                         frame.right() - contents.right(), frame.bottom() - contents.bottom()}));
    window->move(left.topLeft());
    QCOMPARE(window->frameGeometry(), left);
    QVERIFY(window->close());
    // Three starts: the place does not creep.
    for (int start = 0; start < 3; ++start) {
        delete window;
        makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_COMPARE(window->frameGeometry(), back);
        QVERIFY(window->close());
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
