#include "adding/window/excelimport.h"
#include "app/folders.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

namespace {

const QByteArray kCsv = "NAME,MAC,SN,IPMODE,IP\n"
                        "Lobby,02:00:00:00:06:01,K2100A1,DHCP,10.77.1.5\n"
                        "Hall,02:00:00:00:06:02,K2200A2,DHCP,10.77.1.6\n";

} // namespace

class TestExcelImport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void formAndFileDialog();
    void reportAndAddUnitsTwice();
    void nothingToAdd();
    void boxesForBadFiles_data();
    void boxesForBadFiles();
    void cancelledBrowseKeepsNothing();
    void closingDeletesOnce();
    void openedFromTheMainWindow();

private:
    QString writeCsv(const QString &name, const QByteArray &contents);
    void browse(ExcelImport &dialog, const QString &file);
    QString results(ExcelImport &dialog) { return dialog.findChild<QTextEdit *>("resultsEdit")->toPlainText(); }

    QTemporaryDir dir;
    ScriptedOperator *questions = nullptr;
};

void TestExcelImport::init()
{
    questions = new ScriptedOperator;
}

void TestExcelImport::cleanup()
{
    delete questions;
}

QString TestExcelImport::writeCsv(const QString &name, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(dir.filePath(name)).absolutePath());
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(name));
    file.write(contents);
    return file.fileName();
}

void TestExcelImport::browse(ExcelImport &dialog, const QString &file)
{
    questions->fileAnswers = {file};
    QTest::mouseClick(dialog.findChild<QPushButton *>("browseFileButton"), Qt::LeftButton);
}

void TestExcelImport::formAndFileDialog()
{
    ExcelImport first;
    QCOMPARE(first.windowTitle(), QStringLiteral("CSV Import Wizard"));
    QVERIFY(!first.windowIcon().isNull());
    QVERIFY(!(first.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(first.findChild<QPushButton *>("browseFileButton")->text(), QStringLiteral("Browse..."));
    QCOMPARE(first.findChild<QPushButton *>("importButton")->text(), QStringLiteral("Add Units"));
    QVERIFY(first.findChild<QLineEdit *>("browseFileEdit"));

    const QString path = writeCsv(QStringLiteral("exports/site.csv"), kCsv);
    browse(first, path);
    QCOMPARE(questions->filesAsked.size(), 1);
    QCOMPARE(questions->filesAsked.first().caption, QStringLiteral("Quillet CSV Import"));
    QCOMPARE(questions->filesAsked.first().filter, QStringLiteral("Quillet CSV (*.csv)"));
    QCOMPARE(first.findChild<QLineEdit *>("browseFileEdit")->text(), path);

    // The folder chosen last is where every later dialog starts.
    ExcelImport second;
    browse(second, QString());
    QCOMPARE(questions->filesAsked.at(1).folder, QFileInfo(path).absolutePath());
}

void TestExcelImport::reportAndAddUnitsTwice()
{
    ExcelImport dialog;
    QSignalSpy units(&dialog, &ExcelImport::unitChangedSignal);
    QSignalSpy refresh(&dialog, &ExcelImport::NeedRefreshSignal);
    browse(dialog, writeCsv(QStringLiteral("two.csv"), kCsv));
    const QString report = results(dialog);
    QVERIFY(report.contains(QLatin1String("ENC: Lobby at 10.77.1.5")));
    QVERIFY(report.contains(QLatin1String("DEC: Hall at 10.77.1.6")));
    QVERIFY(report.contains(QLatin1String("2 units to be checked and added. Click \"Add Units\" to add them.")));

    QTest::mouseClick(dialog.findChild<QPushButton *>("importButton"), Qt::LeftButton);
    QCOMPARE(units.size(), 2);
    QCOMPARE(units.at(0).at(0).value<MarluneUnit>().name, QStringLiteral("Lobby"));
    QCOMPARE(refresh.size(), 1);
    QVERIFY(results(dialog).contains(QLatin1String("Checking Lobby")));
    QVERIFY(results(dialog).contains(
        QLatin1String("Finished. If you do not not see an unit, there may not be an update for it.")));
    // The list is kept: pressing again sends the same units again.
    QTest::mouseClick(dialog.findChild<QPushButton *>("importButton"), Qt::LeftButton);
    QCOMPARE(units.size(), 4);
    QCOMPARE(refresh.size(), 2);
}

void TestExcelImport::nothingToAdd()
{
    ExcelImport dialog;
    QSignalSpy refresh(&dialog, &ExcelImport::NeedRefreshSignal);
    QTest::mouseClick(dialog.findChild<QPushButton *>("importButton"), Qt::LeftButton);
    QVERIFY(results(dialog).contains(QLatin1String("No missing units to add.")));
    QVERIFY(results(dialog).contains(QLatin1String("Finished.")));
    QCOMPARE(refresh.size(), 1);
}

void TestExcelImport::boxesForBadFiles_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("unitsLeft");

    QTest::newRow("header-without-sn") << QByteArray("NAME,MAC\nLobby,02:00:00:00:06:01\n")
                                       << "Invalid CSV Header. MAC and SN fields are required.\n\nOther items and "
                                          "columns may be blank if you do not wish to overwrite a setting."
                                       << 0;
    QTest::newRow("unreadable-file") << QByteArray() << "Invalid CSV Header. MAC and SN fields are required.\n\nOther "
                                                        "items and columns may be blank if you do not wish to "
                                                        "overwrite a setting."
                                     << 0;
    QTest::newRow("untyped-serial") << kCsv + "Odd,02:00:00:00:06:03,QQ1,DHCP,10.77.1.7\n"
                                    << "Import abandoned. Invalid Serial Number for this line:\n\n"
                                       "Odd,02:00:00:00:06:03,QQ1,DHCP,10.77.1.7"
                                    << 2;
    // No box: the refusal is in the report, and nothing of the file can be added.
    QTest::newRow("larger-than-any-export") << kCsv + QByteArray(1024 * 1024, '\n') << QString() << 0;
}

void TestExcelImport::boxesForBadFiles()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, box);
    QFETCH(int, unitsLeft);

    ExcelImport dialog;
    QSignalSpy units(&dialog, &ExcelImport::unitChangedSignal);
    const QString path = contents.isEmpty() ? dir.filePath(QStringLiteral("missing.csv"))
                                            : writeCsv(QStringLiteral("%1.csv").arg(QTest::currentDataTag()), contents);
    browse(dialog, path);
    QCOMPARE(questions->texts(), box.isEmpty() ? QStringList() : QStringList{box});
    if (box.isEmpty())
        QVERIFY(results(dialog).contains(QLatin1String("Nothing was imported from it.")));
    QVERIFY(!results(dialog).contains(QLatin1String("units to be checked")));
    // The units read before the import stopped can still be added.
    QTest::mouseClick(dialog.findChild<QPushButton *>("importButton"), Qt::LeftButton);
    QCOMPARE(units.size(), unitsLeft);
}

void TestExcelImport::cancelledBrowseKeepsNothing()
{
    ExcelImport dialog;
    QSignalSpy units(&dialog, &ExcelImport::unitChangedSignal);
    browse(dialog, writeCsv(QStringLiteral("before.csv"), kCsv));
    browse(dialog, QString());
    QVERIFY(dialog.findChild<QLineEdit *>("browseFileEdit")->text().isEmpty());
    QTest::mouseClick(dialog.findChild<QPushButton *>("importButton"), Qt::LeftButton);
    QCOMPARE(units.size(), 0);
}

void TestExcelImport::closingDeletesOnce()
{
    QWidget parent;
    QPointer<ExcelImport> dialog = new ExcelImport(&parent);
    QSignalSpy destroyed(dialog.data(), &QObject::destroyed);
    dialog->show();
    dialog->reject();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(destroyed.size(), 1);
}

void TestExcelImport::openedFromTheMainWindow()
{
    QTemporaryDir packages;
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_x"), QStringLiteral("3/2/2015"), 1425384000));
    Folders::setApplicationFolder(packages.path());
    MainWindow window;
    PipelineState &state = window.pipelineForTests().state();
    stopTicks(window);
    MarluneUnit lobby;
    lobby.name = QStringLiteral("Lobby");
    lobby.mac = QStringLiteral("02:00:00:00:06:01");
    lobby.sn = QStringLiteral("K2100A1");
    lobby.ip = QStringLiteral("10.77.1.5");
    state.vUnits = {lobby};
    state.vUnitsUpdate = {lobby};

    // The button is hidden, but the dialog works when opened.
    QMetaObject::invokeMethod(&window, "on_csvImportButton_clicked");
    auto *dialog = window.findChild<ExcelImport *>();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    browse(*dialog, writeCsv(QStringLiteral("window.csv"), kCsv));
    // Lobby is listed with this MAC and serial: only Hall is offered.
    QVERIFY(!results(*dialog).contains(QLatin1String("Lobby at")));
    QTest::mouseClick(dialog->findChild<QPushButton *>("importButton"), Qt::LeftButton);
    // An unlisted unit is not added: the pipeline lists are emptied and the log says so.
    QVERIFY(state.vUnitsUpdate.isEmpty());
    QCOMPARE(state.vUnits.size(), 1);
    QVERIFY(window.findChild<QPlainTextEdit *>("statusEdit")->toPlainText().endsWith(
        QLatin1String("From Updater : Ignoring Hall (10.77.1.6) No update available.")));
    dialog->reject();
    QTRY_VERIFY(!window.findChild<ExcelImport *>());
}

QTEST_MAIN(TestExcelImport)
#include "tst_excelimport.moc"
