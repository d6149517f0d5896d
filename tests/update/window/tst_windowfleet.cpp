#include "app/folders.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "simulatorprocess.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
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
    QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget *>(QStringLiteral("selectNeedingButton")));

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

QTEST_MAIN(TestWindowFleet)
#include "tst_windowfleet.moc"
