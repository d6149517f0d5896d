#pragma once

#include "app/folders.h"
#include "mainwindowaccess.h"
#include "packagefolder.h"
#include "scriptedoperator.h"
#include "simulatorprocess.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

// A whole update lab for one test: packages for every family beside the (test) program, a
// simulated fleet on the units' side of the test's namespace, and the real main window, driven
// by its real 5-second timer. Units are found by name in the table.
class UpdateLab
{
public:
    static constexpr qint64 kPackageWeb = 1425384000; // 03/03/2015; units start at 01/01/2014

    UpdateLab()
    {
        const QString folder = packages.path();
        // Each image has its own size, so the length a unit fetched tells which image it got.
        qint64 size = 4096;
        const auto writePackage = [&size](const QString &dir, const QString &name, const QString &sw, qint64 web,
                                          const QString &minimum = QString()) {
            size += 512;
            return ::writePackage(dir, name, sw, web, minimum, QByteArray(), size);
        };
        const bool written = writePackage(folder, QStringLiteral("ae_lab"), QStringLiteral("6/1/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("wp_lab"), QStringLiteral("6/1/2014"), kPackageWeb,
                                             QStringLiteral("1/29/2013"))
                             && writePackage(folder, QStringLiteral("k110_lab"), QStringLiteral("3/2/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("k220_lab"), QStringLiteral("3/2/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("k3_lab"), QStringLiteral("12/24/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("dvr_lab"), QStringLiteral("6/1/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("k4_lab"), QStringLiteral("2/2/2016"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("kp_lab"), QStringLiteral("7/7/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("kvm_lab"), QStringLiteral("5/1/2015"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("vod_lab"), QStringLiteral("4/4/2016"), kPackageWeb)
                             && writePackage(folder, QStringLiteral("k225_lab"), QStringLiteral("6/1/2015"), kPackageWeb);
        if (!written)
            qFatal("cannot write the lab's packages");
        Folders::setApplicationFolder(folder);
        Folders::createStartupFolders();
        questions.answersByTitle.insert(QStringLiteral("Reset EDID?"), QMessageBox::No);
    }
    ~UpdateLab()
    {
        delete window;
        Folders::setApplicationFolder(QString());
    }
    UpdateLab(const UpdateLab &) = delete;
    UpdateLab &operator=(const UpdateLab &) = delete;

    // Starts the fleet (an INI text for the simulator) and the window; true once `listed` units
    // are in the table.
    bool start(const QString &fleet, int simulated, int listed)
    {
        if (!simulator.start(QStringLiteral("[fleet]\nwebversion=1388534400\nrebootSeconds=1\n") + fleet, simulated))
            return false;
        window = new MainWindow;
        return QTest::qWaitFor([&] { return table()->rowCount() == listed; }, 20000);
    }

    UnitTableAccess *table() const { return unitTableOf(*window); }
    PipelineState &state() { return window->pipelineForTests().state(); }

    int rowOf(const QString &name) const
    {
        for (int row = 0; row < table()->rowCount(); ++row)
            if (table()->item(row, 0)->text() == name)
                return row;
        return -1;
    }
    QString statusOf(const QString &name) const
    {
        const int row = rowOf(name);
        return row < 0 ? QString() : table()->item(row, 7)->text();
    }
    QColor rowColourOf(const QString &name) const
    {
        const int row = rowOf(name);
        return row < 0 ? QColor() : table()->item(row, 0)->background().color();
    }
    QString log() const { return window->findChild<QPlainTextEdit *>(QStringLiteral("statusEdit"))->toPlainText(); }

    // Selects the named units' rows and presses Update, answering Yes.
    void update(const QStringList &names, bool resetEdid = false)
    {
        table()->clearSelection();
        for (const QString &name : names) {
            const int row = rowOf(name);
            if (row < 0)
                qFatal("no row named %s", qPrintable(name));
            table()->selectionModel()->select(table()->model()->index(row, 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        questions.answersByTitle.insert(QStringLiteral("Reset EDID?"), resetEdid ? QMessageBox::Yes : QMessageBox::No);
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("updateButton")), Qt::LeftButton);
    }

    bool waitForStatus(const QString &name, const QString &status, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return statusOf(name) == status; }, timeoutMs);
    }
    bool waitForLog(const QString &text, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs);
    }

    QTemporaryDir packages;
    ScriptedOperator questions;
    SimulatorProcess simulator;
    MainWindow *window = nullptr;
};
