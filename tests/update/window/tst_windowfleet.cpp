#include "app/folders.h"
#include "csvreader.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "simulatorprocess.h"
#include "update/preflight.h"
#include "updatelab.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>

namespace {
constexpr qint64 kWeb = 1425384000; // 03/03/2015
}

// The real window at start-up, in front of a simulated fleet: discovery, the package rule and
// the first merge put the units in the table; then the operator filters, searches, moves by the
// keyboard and selects the units needing an update, and only those are updated.
class TestWindowFleet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tableListsTheFleet();
    void checkSelectedUnits();
};

void TestWindowFleet::tableListsTheFleet()
{
    QTemporaryDir packages;
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_demo"), QStringLiteral("3/2/2015"), kWeb,
                         QStringLiteral("1/1/2014")));
    QVERIFY(writePackage(packages.path(), QStringLiteral("k3_demo"), QStringLiteral("12/24/2015"), kWeb));
    QVERIFY(writePackage(packages.path(), QStringLiteral("dvr_demo"), QStringLiteral("1/29/2014"), kWeb));
    QVERIFY(writePackage(packages.path(), QStringLiteral("ae_demo"), QStringLiteral("6/1/2015"), kWeb));
    Folders::setApplicationFolder(packages.path());

    SimulatorProcess simulator;
    QVERIFY(simulator.start(QStringLiteral(
                                "[fleet]\nwebversion=1425384000\n"
                                "[enc-old]\nfamily=k220-encoder\nname=Zulu encoder\nip=10.77.1.1\nswversion=1/1/2015\n"
                                "[enc-new]\nfamily=k330-encoder\nname=Alpha encoder\nip=10.77.1.2\nswversion=12/24/2015\n"
                                "[dec]\nfamily=k220-decoder\nname=Wall\nip=10.77.1.3\nswversion=3/2/2015\n"
                                "[too-old]\nfamily=k220-decoder\nname=Attic\nip=10.77.1.4\nswversion=6/1/2013\n"
                                "[rec]\nfamily=recorder\nname=Recorder\nip=10.77.1.5\nswversion=1/29/2014\n"
                                "[audio]\nfamily=atr\nname=Speaker\nip=10.77.1.6\nswversion=5/1/2015\n"
                                "[legacy]\nfamily=legacy-encoder\nname=Old one\nip=10.77.1.7\n"
                                "[panel]\nfamily=kpanel\nname=Panel\nip=10.77.1.8\n"),
                            8));

    ScriptedOperator questions;
    MainWindow window;
    PipelineState &state = window.pipelineForTests().state();
    auto *table = unitTableOf(window);
    // Units without a package (the legacy encoder, the panel) never enter the list.
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 6, 60000);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("unitsLabel"))->text(), QStringLiteral("6 units"));

    // Decoders first, then audio, encoders, recorders; within a type by product name, then name.
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row)
        rows << table->item(row, 0)->text() + QLatin1Char('|') + table->item(row, 1)->text() + QLatin1Char('|')
                    + table->item(row, 7)->text();
    QCOMPARE(rows, (QStringList{"Attic|K2-DEC|Cannot update. Min SW is 01/01/2014", "Wall|K2-DEC|No update needed.",
                                "Speaker|ATR|Update Available", "Zulu encoder|K2-ENC|Update Available",
                                "Alpha encoder|K3-ENC|No update needed.", "Recorder|DVR|No update needed."}));
    QCOMPARE(table->item(0, 2)->text(), state.vUnits.first().mac);
    QCOMPARE(table->item(2, 3)->text(), QStringLiteral("10.77.1.6"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("answeredLabel"))->text(),
             QStringLiteral("8 units answered, 6 listed (2 without a package)"));

    // The filter and the search hide rows and remove none.
    const auto shownRows = [table] {
        QStringList names;
        for (int row = 0; row < table->rowCount(); ++row)
            if (!table->isRowHidden(row))
                names << table->item(row, 0)->text();
        return names;
    };
    auto *filter = window.findChild<QComboBox *>(QStringLiteral("stateFilter"));
    auto *search = window.findChild<QLineEdit *>(QStringLiteral("searchEdit"));
    filter->setCurrentIndex(int(ViewFilter::NeedsAttention));
    QCOMPARE(shownRows(), QStringList{"Attic"});
    filter->setCurrentIndex(int(ViewFilter::All));
    search->setText(QStringLiteral("zulu 10.77"));
    QCOMPARE(shownRows(), QStringList{"Zulu encoder"});
    search->clear();
    QCOMPARE(table->rowCount(), 6);

    // Tab leaves the table both ways.
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    table->setFocus();
    QTest::keyClick(table->view, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget *>(QStringLiteral("clearButton")));
    table->setFocus();
    QTest::keyClick(table->view, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget *>(QStringLiteral("checkButton")));

    // Only the units offered an update they may take are selected, the one too old is named, and
    // the update goes to exactly those.
    questions.answersByTitle.insert(QStringLiteral("Reset EDID?"), QMessageBox::No);
    auto *selectNeeding = window.findChild<QPushButton *>(QStringLiteral("selectNeedingButton"));
    QCOMPARE(selectNeeding->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
    QVERIFY(selectNeeding->toolTip().endsWith(QStringLiteral("(Ctrl+Shift+A)")));
    selectNeeding->click();
    QStringList selected;
    for (const QModelIndex &index : table->selectionModel()->selectedRows())
        selected << table->item(index.row(), 0)->text();
    selected.sort();
    QCOMPARE(selected, (QStringList{"Speaker", "Zulu encoder"}));
    const QString log = window.findChild<QPlainTextEdit *>(QStringLiteral("statusEdit"))->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("Selected 2 units needing update. Not selected: Attic (10.77.1.4): Unit needs "
                                         "to first be updated to SW version 01/01/2014 before running this update.")),
             qPrintable(log));
    window.findChild<QPushButton *>(QStringLiteral("updateButton"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(table->item(2, 7)->text(), QStringLiteral("ATR Update Confirmed."), 90000);
    QTRY_COMPARE_WITH_TIMEOUT(table->item(3, 7)->text(), QStringLiteral("K-Series Update Confirmed."), 90000);
    QStringList updated;
    for (auto run = state.runs.cbegin(); run != state.runs.cend(); ++run)
        updated << run->before.name;
    updated.sort();
    QCOMPARE(updated, (QStringList{"Speaker", "Zulu encoder"}));
}

// Check Selected Units, by its key, on a unit that answers and one whose command port is closed:
// the verdicts in the dialog, sorted and exported as the scripted operator names the file, and
// on the table's rows until the unit's update begins. The table's texts stay as they were.
void TestWindowFleet::checkSelectedUnits()
{
    UpdateLab lab;
    QVERIFY(lab.start(QStringLiteral("[good]\nfamily=k220-decoder\nname=Good\nip=10.77.1.1\n"
                                     "[closed]\nfamily=k220-decoder\nname=Closed\nip=10.77.1.2\nbehaviour=port50002\n"),
                      2, 2));
    QVERIFY(lab.waitForStatus(QStringLiteral("Closed"), QStringLiteral("Update Available")));
    MainWindow &window = *lab.window;
    auto *check = window.findChild<QPushButton *>(QStringLiteral("checkButton"));
    QVERIFY(check);
    QCOMPARE(check->text(), QStringLiteral("Check Selected Units"));
    QVERIFY(check->toolTip().endsWith(QStringLiteral(" (Alt+K)")));
    window.findChild<QSpinBox *>(QStringLiteral("canarySpin"))->setValue(1);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    const QKeySequence key(Qt::ALT | Qt::Key_K);
    QTest::keySequence(&window, key);
    QTRY_VERIFY(std::any_of(lab.questions.asked.cbegin(), lab.questions.asked.cend(),
                            [](const OperatorQuestions::Question &q) { return q.title == "No units selected"; }));

    for (const QString &name : {QStringLiteral("Good"), QStringLiteral("Closed")})
        lab.table()->selectionModel()->select(lab.table()->model()->index(lab.rowOf(name), 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::keySequence(&window, key);
    QVERIFY(lab.waitForLog(QStringLiteral("Checking 2 units..."), 5000));
    QVERIFY(lab.waitForLog(QStringLiteral("2 units checked: 1 ok, 0 warn, 1 fail"), kPreflightConnectMs * 3));
    QVERIFY(check->isEnabled());

    // The worst first; sorted by the verdict the other way, the unit that passed comes first.
    auto *dialog = window.findChild<QDialog *>(QStringLiteral("preflightDialog"));
    QVERIFY(dialog && dialog->isVisible());
    auto *verdicts = dialog->findChild<QTableView *>(QStringLiteral("preflightTable"));
    const auto cell = [verdicts](int row, int column) {
        return verdicts->model()->index(row, column).data().toString();
    };
    QCOMPARE(verdicts->model()->rowCount(), 2);
    QCOMPARE(cell(0, 0) + QLatin1Char('|') + cell(0, 4), QStringLiteral("Closed|fail"));
    QVERIFY2(cell(0, 5).startsWith(QStringLiteral("TCP port 50001 refused the connection.")), qPrintable(cell(0, 5)));
    verdicts->sortByColumn(4, Qt::AscendingOrder);
    QCOMPARE(cell(0, 0) + QLatin1Char('|') + cell(0, 1) + QLatin1Char('|') + cell(0, 4),
             QStringLiteral("Good|10.77.1.1|ok"));
    // The plan shown was the check's: one canary, the other waits for it.
    QCOMPARE(int(cell(0, 5).contains(QLatin1String("Canary"))) + int(cell(1, 5).contains(QLatin1String("Canary"))), 1);

    const QString exported = lab.packages.filePath(QStringLiteral("check.csv"));
    lab.questions.fileAnswers << exported;
    dialog->findChild<QPushButton *>(QStringLiteral("preflightExportButton"))->click();
    QFile file(exported);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QStringList> rows = readCsv(file.readAll());
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.first(), (QStringList{"Name", "IP", "MAC", "Type", "Verdict", "Reasons"}));
    QStringList exportedVerdicts{rows.at(1).at(0) + QLatin1Char('|') + rows.at(1).at(4),
                                 rows.at(2).at(0) + QLatin1Char('|') + rows.at(2).at(4)};
    exportedVerdicts.sort();
    QCOMPARE(exportedVerdicts, (QStringList{"Closed|fail", "Good|ok"}));
    QVERIFY(lab.log().contains(QStringLiteral("Check of 2 units exported to ") + exported));

    // The rows wear their verdicts, their texts unchanged; a unit's mark goes as its update begins.
    const auto mark = [&lab](const QString &name) {
        return lab.table()->item(lab.rowOf(name), 0).data(Qt::ToolTipRole).toString();
    };
    QVERIFY2(mark(QStringLiteral("Closed")).startsWith(QStringLiteral("Check: fail\nTCP port 50001 refused")),
             qPrintable(mark(QStringLiteral("Closed"))));
    QVERIFY(mark(QStringLiteral("Good")).startsWith(QStringLiteral("Check: ok")));
    QCOMPARE(lab.statusOf(QStringLiteral("Good")), QStringLiteral("Update Available"));
    QCOMPARE(lab.statusOf(QStringLiteral("Closed")), QStringLiteral("Update Available"));
    lab.update({QStringLiteral("Good")});
    QTRY_VERIFY(mark(QStringLiteral("Good")).isEmpty());
    QVERIFY(mark(QStringLiteral("Closed")).startsWith(QStringLiteral("Check: fail")));
}

QTEST_MAIN(TestWindowFleet)
#include "tst_windowfleet.moc"
