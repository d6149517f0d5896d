#include "adding/window/addbyip.h"
#include "app/folders.h"
#include "app/updatersettings.h"
#include "net/marluneconnectreduced.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "simulatorprocess.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

namespace {

QStringList statusLines(QDialog *dialog)
{
    return dialog->findChild<QPlainTextEdit *>("statusTextEdit")->toPlainText().split(QLatin1Char('\n'));
}

// Types the addresses into a dialog and presses Discover.
void discover(QDialog *dialog, const QString &start, const QString &end)
{
    dialog->findChild<QLineEdit *>("startIPEdit")->setText(start);
    dialog->findChild<QLineEdit *>("endIPEdit")->setText(end);
    QTest::mouseClick(dialog->findChild<QPushButton *>("discoverButton"), Qt::LeftButton);
}

// Runs fn on the modal dialog the window opens, as soon as it is up.
void onModalDialog(const std::function<void(QDialog *)> &fn)
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, fn] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->stop();
        timer->deleteLater();
        fn(dialog);
    });
    timer->start();
}

} // namespace

class TestAddByIP : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void addressRange_data();
    void addressRange();
    void refusedInput_data();
    void refusedInput();
    void singleAddress_data();
    void singleAddress();
    void rememberedRanges_data();
    void rememberedRanges();
    void rangeUpToTheLastAddressEnds();
    void probesFindExactlyTheUnitsInRange_data();
    void probesFindExactlyTheUnitsInRange();
    void closingWhileProbingEndsCleanly();

private:
    QTemporaryDir packages;
};

void TestAddByIP::initTestCase()
{
    QVERIFY(writePackage(packages.path(), QStringLiteral("k220_x"), QStringLiteral("3/2/2015"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("wp_x"), QStringLiteral("6/1/2014"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("vod_x"), QStringLiteral("4/4/2016"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("ae_x"), QStringLiteral("6/1/2015"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("k3_x"), QStringLiteral("12/24/2015"), 1425384000));
    QVERIFY(writePackage(packages.path(), QStringLiteral("k225_x"), QStringLiteral("6/1/2015"), 1425384000));
    Folders::setApplicationFolder(packages.path());
    Folders::createStartupFolders();
}

void TestAddByIP::addressRange_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("problem");
    QTest::addColumn<quint32>("count");

    QTest::newRow("range") << "10.0.0.1" << "10.0.0.9" << int(AddressRange::None) << 9u;
    QTest::newRow("end-empty-is-start") << "10.0.0.1" << "" << int(AddressRange::None) << 1u;
    QTest::newRow("same") << "10.0.0.1" << "10.0.0.1" << int(AddressRange::None) << 1u;
    QTest::newRow("reversed") << "10.0.0.5" << "10.0.0.3" << int(AddressRange::Reversed) << 0u;
    QTest::newRow("bad-start") << "10.0.0.300" << "10.0.0.3" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("text-start") << "lobby" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("bad-end") << "10.0.0.1" << "10.0.0.x" << int(AddressRange::BadEnd) << 0u;
    QTest::newRow("leading-zeros-are-decimal") << "192.168.001.010" << "192.168.1.19" << int(AddressRange::None)
                                               << 10u;
    QTest::newRow("short-form-start-refused") << "10.1" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("short-form-end-refused") << "10.0.0.1" << "10.0.1" << int(AddressRange::BadEnd) << 0u;
    QTest::newRow("hexadecimal-refused") << "0x0a.0.0.1" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("five-parts-refused") << "10.0.0.1.5" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("empty-part-refused") << "10..0.1" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("four-digits-refused") << "10.0.0.0001" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("non-ascii-digits-refused") << QString::fromUtf8("10.0.0.\u0661") << "" << int(AddressRange::BadStart)
                                              << 0u;
    QTest::newRow("unspecified-ipv6-refused") << "::" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("ipv6-start-refused") << "fe80::1" << "" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("ipv6-end-refused") << "10.0.0.1" << "::1" << int(AddressRange::BadEnd) << 0u;
    QTest::newRow("ipv4-mapped-ipv6-refused") << "::ffff:10.0.0.1" << "10.0.0.2" << int(AddressRange::BadStart) << 0u;
    QTest::newRow("up-to-the-last") << "255.255.255.250" << "255.255.255.255" << int(AddressRange::None) << 6u;
}

void TestAddByIP::addressRange()
{
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(int, problem);
    QFETCH(quint32, count);

    const AddressRange range = parseAddressRange(start, end);
    QCOMPARE(int(range.problem), problem);
    if (problem == AddressRange::None)
        QCOMPARE(range.end - range.start + 1, count);
}

void TestAddByIP::refusedInput_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("line");

    QTest::newRow("invalid-start") << "  10.0.0.999 " << "" << "Invalid Start IP Address";
    QTest::newRow("invalid-end") << "10.0.0.1" << " nowhere " << "Invalid End IP Address";
    QTest::newRow("reversed") << " 10.0.0.5 " << "10.0.0.3  " << "End Address must be greater than or equal to Start.";
}

void TestAddByIP::refusedInput()
{
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, line);

    AddByIP dialog;
    MarluneConnect connection;
    dialog.connection = &connection;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Add By IP"));
    QCOMPARE(statusLines(&dialog).first(), QStringLiteral("Set start/stop addresses, and then click Discover."));
    discover(&dialog, start, end);

    const QStringList lines = statusLines(&dialog);
    QCOMPARE(lines.size(), 2);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}: ") + QRegularExpression::escape(line) + '$')
                .match(lines.last())
                .hasMatch());
    // The fields show the trimmed text, and Discover stays off for good.
    QCOMPARE(dialog.findChild<QLineEdit *>("startIPEdit")->text(), start.trimmed());
    QVERIFY(!dialog.findChild<QPushButton *>("discoverButton")->isEnabled());
}

void TestAddByIP::singleAddress_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("line");
    QTest::newRow("udp-counts-the-current-address") << true << "Looking via UDP for units at 10.77.3.1 ( 1 left to test.)";
    QTest::newRow("tcp-does-not") << false << "Looking via TCP for units at 10.77.3.1 (0 left to test.)";
}

void TestAddByIP::singleAddress()
{
    QFETCH(bool, udp);
    QFETCH(QString, line);

    AddByIP dialog;
    MarluneConnect connection;
    connection.init();
    dialog.connection = &connection;
    dialog.udp = udp;
    discover(&dialog, QStringLiteral("10.77.3.1"), QString());
    QCOMPARE(dialog.findChild<QLineEdit *>("endIPEdit")->text(), QStringLiteral("10.77.3.1"));
    const QStringList lines = statusLines(&dialog);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(1).endsWith(line), qPrintable(lines.at(1)));
    QVERIFY(lines.at(2).endsWith(QLatin1String(": Finished.")));

    // The next dialog begins with the range probed last, and offers it again in its list.
    AddByIP next;
    QCOMPARE(next.findChild<QLineEdit *>("startIPEdit")->text(), QStringLiteral("10.77.3.1"));
    QCOMPARE(next.findChild<QLineEdit *>("endIPEdit")->text(), QStringLiteral("10.77.3.1"));
    const auto *recent = next.findChild<QComboBox *>("recentRangesCombo");
    QVERIFY(recent && !recent->isHidden());
    QCOMPARE(recent->itemText(0), QStringLiteral("10.77.3.1"));
}

// The ranges kept for the dialog: newest first, each once, the last eight; what the file holds
// that is no range is left out, and with nothing left the dialog offers none.
void TestAddByIP::rememberedRanges_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QStringList>("remembered");
    QTest::addColumn<QStringList>("offered");

    QStringList ten;
    for (int i = 1; i <= 10; ++i)
        ten.append(QStringLiteral("10.1.0.%1-10.1.0.20").arg(i));
    QTest::newRow("newest first, each once, the last eight")
        << QVariant() << ten + QStringList{QStringLiteral("10.1.0.9-10.1.0.20")}
        << QStringList{"10.1.0.9-10.1.0.20", "10.1.0.10-10.1.0.20", "10.1.0.8-10.1.0.20", "10.1.0.7-10.1.0.20",
                       "10.1.0.6-10.1.0.20", "10.1.0.5-10.1.0.20", "10.1.0.4-10.1.0.20", "10.1.0.3-10.1.0.20"};
    QTest::newRow("damaged entries left out")
        << QVariant(QStringList{"10.0.0.9-10.0.0.1", "lobby", "10.0.0.1-", "10.0.0.2-10.0.0.3-10.0.0.4", "",
                                " 10.0.0.5", "10.0.0.6"})
        << QStringList() << QStringList{"10.0.0.6"};
    QTest::newRow("not a list at all") << QVariant(QRect(1, 2, 3, 4)) << QStringList() << QStringList();
}

void TestAddByIP::rememberedRanges()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, remembered);
    QFETCH(QStringList, offered);

    QSettings(UpdaterSettings::path(), QSettings::IniFormat).setValue(QStringLiteral("probe/ranges"), stored);
    for (const QString &range : std::as_const(remembered))
        UpdaterSettings::rememberProbeRanges({range});
    QCOMPARE(UpdaterSettings::probeRanges(), offered);

    AddByIP dialog;
    auto *recent = dialog.findChild<QComboBox *>("recentRangesCombo");
    QVERIFY(recent);
    QCOMPARE(recent->count(), offered.size());
    QCOMPARE(recent->isHidden(), offered.isEmpty());
    // Choosing one puts it in both fields.
    if (offered.size() > 1) {
        recent->setCurrentIndex(1);
        Q_EMIT recent->activated(1);
        QCOMPARE(dialog.findChild<QLineEdit *>("startIPEdit")->text(), offered.at(1).section('-', 0, 0));
        QCOMPARE(dialog.findChild<QLineEdit *>("endIPEdit")->text(), offered.at(1).section('-', 1, 1));
    }
}

void TestAddByIP::rangeUpToTheLastAddressEnds()
{
    AddByIP dialog;
    MarluneConnect connection;
    connection.init();
    dialog.connection = &connection;
    discover(&dialog, QStringLiteral("255.255.255.250"), QStringLiteral("255.255.255.255"));
    const QStringList lines = statusLines(&dialog);
    QCOMPARE(lines.size(), 1 + 6 + 1);
    QVERIFY(lines.at(6).endsWith(QLatin1String("255.255.255.255 ( 1 left to test.)")));
    QVERIFY(lines.last().endsWith(QLatin1String(": Finished.")));
}

void TestAddByIP::probesFindExactlyTheUnitsInRange_data()
{
    QTest::addColumn<bool>("udp");
    QTest::newRow("udp") << true;
    QTest::newRow("tcp") << false;
}

void TestAddByIP::probesFindExactlyTheUnitsInRange()
{
    QFETCH(bool, udp);

    // The window is up before the units, so its start-up discovery finds none of them.
    ScriptedOperator questions;
    MainWindow window;
    PipelineState &state = window.pipelineForTests().state();
    stopTicks(window);
    window.findChild<QRadioButton *>("udpRadio")->setChecked(udp);
    window.findChild<QRadioButton *>("tcpRadio")->setChecked(!udp);
    SimulatorProcess simulator;
    QVERIFY(simulator.start(QStringLiteral("[a]\nfamily=k220-encoder\nip=10.77.1.1\n"
                                           "[b]\nfamily=k220-decoder\nip=10.77.1.2\n"
                                           "[c]\nfamily=k330-encoder\nip=10.77.1.3\n"
                                           "[d]\nfamily=wp\nip=10.77.1.4\n"
                                           "[e]\nfamily=vod\nip=10.77.1.5\n"
                                           "[f]\nfamily=atr\nip=10.77.1.6\n"
                                           "[g]\nfamily=k225-decoder\nip=10.77.1.7\n"
                                           "[h]\nfamily=legacy-encoder\nip=10.77.1.8\n"),
                            8));

    // 10.77.1.1 and 10.77.1.8 are outside the range; all six inside it have a package.
    const QSet<QString> inRange{"10.77.1.2", "10.77.1.3", "10.77.1.4", "10.77.1.5", "10.77.1.6", "10.77.1.7"};
    // A unit may answer more than one of the probe's queries, and each answer is queued, so
    // the wait is on the distinct addresses heard from, not on the queue's length.
    const auto addressesFound = [&] {
        QSet<QString> found;
        for (const MarluneUnit &unit : std::as_const(state.vUnitsIncoming))
            found.insert(unit.ip);
        return found;
    };
    QStringList lines;
    onModalDialog([&](QDialog *dialog) {
        discover(dialog, QStringLiteral("10.77.1.2"), QStringLiteral("10.77.1.7"));
        // The replies to the UDP queries come back through the window's endpoint. The bound is
        // for a loaded machine running sanitizer builds; the wait ends as soon as all are in.
        [[maybe_unused]] const bool all = QTest::qWaitFor([&] { return addressesFound().contains(inRange); }, 60000);
        lines = statusLines(dialog);
        dialog->reject();
    });
    QMetaObject::invokeMethod(&window, "on_addByIPButton_clicked");
    QVERIFY(state.knownUnitsOnly); // set again once the dialog is closed
    QCOMPARE(addressesFound(), inRange);
    QCOMPARE(lines.size(), 1 + 6 + 1);
    const QString via = udp ? QStringLiteral("UDP") : QStringLiteral("TCP");
    QVERIFY(lines.at(1).endsWith(QStringLiteral("Looking via %1 for units at 10.77.1.2 ").arg(via)
                                 + (udp ? QStringLiteral("( 6 left to test.)") : QStringLiteral("(5 left to test.)"))));
    QVERIFY(lines.last().endsWith(QLatin1String(": Finished.")));
}

void TestAddByIP::closingWhileProbingEndsCleanly()
{
    ScriptedOperator questions;
    MainWindow window;
    PipelineState &state = window.pipelineForTests().state();
    stopTicks(window);

    QPointer<QDialog> opened;
    int destroyed = 0;
    int linesWhenClosed = 0;
    onModalDialog([&](QDialog *dialog) {
        opened = dialog;
        connect(dialog, &QObject::destroyed, this, [&destroyed] { ++destroyed; });
        // Close it a moment into a probe of most of the address space.
        QTimer::singleShot(200, dialog, [&, dialog] {
            linesWhenClosed = int(statusLines(dialog).size());
            dialog->close();
        });
        discover(dialog, QStringLiteral("10.77.4.0"), QStringLiteral("255.255.255.255"));
    });
    QMetaObject::invokeMethod(&window, "on_addByIPButton_clicked");

    QVERIFY(opened.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(destroyed, 1);
    QVERIFY(linesWhenClosed > 1);
    QVERIFY(state.knownUnitsOnly);
}

QTEST_MAIN(TestAddByIP)
#include "tst_addbyip.moc"
