// MainWindow: Check Selected Units: what would stop the selected units' update, found before
// anything is sent to them, shown in a dialog and on the table's rows. The core's check decides;
// the window asks for it and shows it.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/window/operatorquestions.h"
#include "update/preflight.h"
#include "update/unitevent.h"
#include "update/updatercore.h"
#include "update/window/preflightdialog.h"
#include "update/window/unittableproxy.h"

#include <QPushButton>

void MainWindow::setUpCheck()
{
    // A unit's mark stays until the next check or until its update begins.
    connect(engine, &UpdaterCore::unitStepped, this, [this](const UnitEvent &event) {
        if (event.step == UnitStep::Queued || event.step == UnitStep::Retried)
            tableProxy->clearCheckMark(event.mac);
    });
}

// The selected units, each once, in the order the update would queue them, with the rollout
// plan shown. The window goes on while their ports are tried; the button waits for the verdicts.
void MainWindow::on_checkButton_clicked()
{
    if (checkRun)
        return;
    QStringList macs;
    QSet<QString> seen;
    for (const QString &mac : selectedMacs()) {
        if (!seen.contains(mac)) {
            seen.insert(mac);
            macs.append(mac);
        }
    }
    if (macs.isEmpty()) {
        askOperator(this, QMessageBox::Information, QStringLiteral("No units selected"),
                    QStringLiteral("Please select at least 1 unit."), QMessageBox::Ok);
        return;
    }
    ui->checkButton->setEnabled(false);
    toStatusLog(QStringLiteral("Updater"), QStringLiteral("Checking %1 units...").arg(macs.size()));
    checkRun = new PreflightRun(*engine, macs, rolloutPlanShown(), this);
    connect(checkRun, &PreflightRun::finished, this, &MainWindow::showCheck);
    // With no port to try, the verdicts come before start() returns.
    checkRun->start();
}

void MainWindow::showCheck()
{
    const QList<UnitPreflight> results = checkRun->results();
    checkRun->deleteLater();
    checkRun = nullptr;
    ui->checkButton->setEnabled(true);
    toStatusLog(QStringLiteral("Updater"), preflightSummary(results));

    QHash<QString, UnitTableProxy::CheckMark> marks;
    for (const UnitPreflight &unit : results) {
        QStringList lines{QStringLiteral("Check: ") + verdictKey(unit.verdict)};
        for (const PreflightReason &reason : unit.reasons)
            lines << reason.text;
        marks.insert(unit.mac, {unit.verdict, lines.join(QLatin1Char('\n'))});
    }
    tableProxy->setCheckMarks(marks);

    // One dialog, made at the first check and kept, hidden, when closed.
    if (!checkDialog) {
        checkDialog = new PreflightDialog(this);
        connect(checkDialog, &PreflightDialog::exportTold, this,
                [this](const QString &text) { toStatusLog(QStringLiteral("Updater"), text); });
    }
    checkDialog->showResults(results);
    checkDialog->show();
    checkDialog->raise();
    checkDialog->activateWindow();
}
