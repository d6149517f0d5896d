// The main window's form: its keys, names and explanations, the packages' tooltip and the
// one-time warning boxes. Free of the window's state: MainWindow calls these once, or when told.

#include "windowform.h"
#include "ui_mainwindow.h"

#include "app/folders.h"
#include "app/window/operatorquestions.h"
#include "app/updatersettings.h"
#include "packages/packagecatalogue.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QShortcut>
#include <QTimer>

namespace {

// The row colours, as the legend shows them.
const char kLegend[] = "<span style='color:#c9b800'>&#9632;</span>&nbsp;queued&nbsp; "
                       "<span style='color:red'>&#9632;</span>&nbsp;commanded&nbsp; "
                       "<span style='color:magenta'>&#9632;</span>&nbsp;EDID reset&nbsp; "
                       "<span style='color:#00a000'>&#9632;</span>&nbsp;finished&nbsp; "
                       "<span style='color:#ffa500'>&#9632;</span>&nbsp;overdue&nbsp; "
                       "<span style='color:#808000'>&#9632;</span>&nbsp;cannot update";

// A control's text as it is shown: without the & that marks its Alt key.
QString shownText(QString text)
{
    return text.remove(QLatin1Char('&'));
}

} // namespace

void setUpForm(Ui::MainWindow &form, QMainWindow *window)
{
    form.setupUi(window);
    form.udpRadio->hide();
    form.tcpRadio->hide();
    form.csvImportButton->hide();
    window->setWindowTitle(QStringLiteral("Bryx Updater"));
    form.debugButton->hide();
    form.menuBar->hide();
    // Exit's key works while the menu bar that holds it is hidden.
    window->addAction(form.actionExit);
    form.unitTable->setSortingEnabled(false);
    form.unitTable->verticalHeader()->show();
    form.unitTable->horizontalHeader()->setStretchLastSection(true);
    form.versionLabel->setText(QStringLiteral("Updater Version: ") + QString::fromLatin1(__DATE__).simplified());
}

QLabel *addStatusLabel(Ui::MainWindow &form, QMainWindow *window, const QString &name)
{
    auto *label = new QLabel(window);
    label->setObjectName(name);
    form.statusBar->addPermanentWidget(label);
    return label;
}

void startStatusLog(Ui::MainWindow &form, int kept, const QString &firstLine)
{
    form.statusEdit->setReadOnly(true);
    form.statusEdit->setMaximumBlockCount(kept);
    form.statusEdit->setPlainText(firstLine);
}

void tellNoUpdates(Ui::MainWindow &form, QWidget *parent)
{
    askOperator(parent, QMessageBox::Warning, QStringLiteral("There are no updates."),
                QStringLiteral("Bryx Updater found no updates. The unit table will be blank. \n\n"
                               "Check this directory for missing *.bin and *.ver files:\n\n")
                    + Folders::applicationFolder(),
                QMessageBox::Ok, QMessageBox::Ok);
    form.versionsBlurb->setText(QStringLiteral("There are no updates available!"));
}

QString unitsText(int units)
{
    if (units == 0)
        return QStringLiteral("&nbsp;&nbsp;&nbsp;You have <b></b>no units.");
    return QString::number(units) + QStringLiteral(" units");
}

QTimer *delayTimer(QObject *parent, const QString &name, int ms)
{
    auto *timer = new QTimer(parent);
    timer->setObjectName(name);
    timer->setSingleShot(true);
    timer->setInterval(ms);
    return timer;
}

// Keyboard: Tab leaves the table; the buttons an operator needs in a batch have keys; every
// control has a name for screen readers and for tools that drive the window.
void setUpKeys(Ui::MainWindow &form)
{
    // Ctrl+U updates (Ctrl+A in the table selects every unit).
    form.updateButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    form.updateButton->setToolTip(QStringLiteral("Update the selected units (Ctrl+U)"));
    form.unitTable->setAccessibleName(QStringLiteral("Units"));
    form.statusEdit->setAccessibleName(QStringLiteral("Status Log"));
    form.versionsBlurb->setAccessibleName(QStringLiteral("Versions"));
    const QList<QAbstractButton *> buttons{form.updateButton,     form.retryButton,    form.clearButton,
                                           form.removeButton,     form.addByIPButton,  form.discoverButton,
                                           form.saveReportButton, form.clearLogButton, form.resetEDIDCheck,
                                           form.resumeButton,     form.stopBatchButton};
    for (QAbstractButton *button : buttons)
        button->setAccessibleName(shownText(button->text()));
    form.canarySpin->setAccessibleName(form.canaryLabel->text());
    form.maxInFlightSpin->setAccessibleName(form.maxInFlightLabel->text());
    form.stopAfterSpin->setAccessibleName(form.stopAfterLabel->text());
    form.stateFilter->setAccessibleName(shownText(form.filterLabel->text()));
    // Alt and the underlined letter: Alt+S moves to Show, Alt+R resumes, Alt+B stops the batch.
    for (QAbstractButton *button : {form.resumeButton, form.stopBatchButton})
        button->setToolTip(button->toolTip() + QStringLiteral(" (")
                           + QKeySequence::mnemonic(button->text()).toString(QKeySequence::NativeText)
                           + QLatin1Char(')'));
    form.actionExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    form.unitTable->setTabKeyNavigation(false);
    const struct
    {
        QAbstractButton *button;
        QKeySequence keys;
    } shortcuts[] = {{form.selectNeedingButton, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A)},
                     {form.discoverButton, QKeySequence(Qt::Key_F5)},
                     {form.retryButton, QKeySequence(Qt::CTRL | Qt::Key_R)},
                     {form.saveReportButton, QKeySequence(Qt::CTRL | Qt::Key_S)},
                     {form.historyButton, QKeySequence(Qt::CTRL | Qt::Key_H)},
                     {form.resumeLastBatchButton, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L)},
                     {form.clearButton, QKeySequence(Qt::CTRL | Qt::Key_D)},
                     {form.checkButton, QKeySequence(Qt::ALT | Qt::Key_K)}};
    for (const auto &shortcut : shortcuts) {
        shortcut.button->setShortcut(shortcut.keys);
        const QString tip = shortcut.button->toolTip().isEmpty() ? shortcut.button->text() : shortcut.button->toolTip();
        shortcut.button->setToolTip(tip + QStringLiteral(" (") + shortcut.keys.toString(QKeySequence::NativeText)
                                    + QLatin1Char(')'));
        shortcut.button->setAccessibleName(shortcut.button->text());
    }
    form.selectNeedingButton->setToolTip(
        QStringLiteral("Select the shown units whose package offers them an update they may take (%1)")
            .arg(shortcuts[0].keys.toString(QKeySequence::NativeText)));
    // Tab goes as one reads the window: row by row from the top, each row from left to right.
    QWidget *order[] = {form.resetEDIDCheck,      form.udpRadio,         form.tcpRadio,
                        form.csvImportButton,     form.removeButton,     form.addByIPButton,
                        form.discoverButton,      form.stateFilter,      form.searchEdit,
                        form.selectNeedingButton, form.unitTable,        form.clearButton,
                        form.retryButton,         form.updateButton,     form.canarySpin,
                        form.maxInFlightSpin,     form.stopAfterSpin,    form.resumeButton,
                        form.stopBatchButton,     form.statusEdit,       form.debugButton,
                        form.problemsOnlyCheck,   form.saveReportButton, form.historyButton,
                        form.resumeLastBatchButton, form.clearLogButton};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    // Check Selected Units comes right after the button beside it.
    QWidget::setTabOrder(form.selectNeedingButton, form.checkButton);
    // The status log takes Tab as a move to the next control, not as a character.
    form.statusEdit->setTabChangesFocus(true);
}

void explainScreen(Ui::MainWindow &form)
{
    form.legendLabel->setText(QString::fromLatin1(kLegend));
    form.legendLabel->setToolTip(
        QStringLiteral("Row colours: yellow, queued for update; red, commanded (waiting for its reboot and "
                       "confirmation); magenta, resetting its EDID; green, finished. A status cell is orange when "
                       "its unit is overdue and dark yellow when the unit cannot be updated with these packages."));
    form.resetEDIDCheck->setToolTip(
        QStringLiteral("Once an encoder's update is confirmed, reset its EDID to the encoder's default: the "
                       "sources connected to it read the display data again, and may blank or change "
                       "resolution for a moment."));
    form.unitsLabel->setToolTip(QStringLiteral("Units listed: those that answered and have a package here"));
}

// What each entry means, the file behind it, and each image's SHA-256, for the operator to hold
// against the one it was published with.
QString packagesToolTip(const PackageCatalogue &catalogue)
{
    QStringList lines{QStringLiteral("Each package: KEY:(software date , web date) a unit is updated to.")};
    for (const UpdatePackage *package : std::as_const(catalogue.packages)) {
        if (package->description().isEmpty())
            continue;
        lines << package->name.toUpper() + QStringLiteral(": ") + package->newFilename + QStringLiteral(", software ")
                     + package->swVer.toString(QStringLiteral("MM/dd/yyyy")) + QStringLiteral(", web ")
                     + package->webVer.toString(QStringLiteral("MM/dd/yyyy"));
    }
    for (const UpdatePackage *image : catalogue.images()) {
        lines << image->newFilename + QStringLiteral("  SHA-256 ")
                     + (image->imageSha256.isEmpty() ? QStringLiteral("unknown: the file could not be read")
                                                     : image->imageSha256);
    }
    return lines.join(QLatin1Char('\n'));
}

// The one-time warnings, in this order; ticks go on while a box is open.
void askTableWarnings(QWidget *parent, const TableWarnings &due)
{
    if (due.firewall) {
        QCoreApplication::processEvents();
        askOperator(parent, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a possible problem with your firewall. <br><br>Units "
                                   "are trying to connect, but the updater cannot send the requested file. This is "
                                   "usually a firewall problem. Try disabling your firewall and restarting the "
                                   "updater. <br><br>When finished, re-enable your firewall."),
                    QMessageBox::Ok);
    }
    if (const std::optional<MarluneUnit> &unit = due.outsideSubnet) {
        QCoreApplication::processEvents();
        askOperator(parent, QMessageBox::Warning, QString(),
                    QStringLiteral("The updater has detected a unit that is outside your subnet. This is often an "
                                   "IP configuration problem. Please check your network settings. <br><br>You may "
                                   "want to give your computer a second IP address so that it can talk to this "
                                   "unit:<br><br>")
                        + unit->deviceType + QStringLiteral(":<b><font color='red'>") + unit->name
                        + QStringLiteral("</font></b>&nbsp;(") + unit->mac + QStringLiteral(")&nbsp;&nbsp;<b>")
                        + unit->ip + QStringLiteral(" / ") + unit->subnet + QStringLiteral(" </b>")
                        + QStringLiteral("<br><br><i>Broadcast IP Reset</i> in Quillet can reset this unit to "
                                         "AUTO-IP a 169.254.X.X address."),
                    QMessageBox::Ok);
    }
    if (const std::optional<MarluneUnit> &unit = due.tooOld) {
        QCoreApplication::processEvents();
        askOperator(parent, QMessageBox::Warning, QStringLiteral("Manual Update Needed."),
                    QStringLiteral("Updater found one or more units too old for automatic updates. Please use unit "
                                   "web interface to update. Then future updates can be automated.\n\nGo to: \n")
                        + unit->name + QLatin1Char('\n') + unit->ip,
                    QMessageBox::Ok, QMessageBox::Ok);
    }
}


bool askYes(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
            QMessageBox::StandardButton preferred)
{
    return askOperator(parent, icon, title, text, QMessageBox::Yes | QMessageBox::No, preferred) == QMessageBox::Yes;
}

QString askReportPath(QWidget *parent)
{
    static QString folder = QDir::homePath();
    OperatorQuestions::FileQuestion question;
    question.caption = QStringLiteral("Save Report");
    question.folder = folder + QStringLiteral("/update-report-")
                      + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmm")) + QStringLiteral(".csv");
    question.filter = QStringLiteral("CSV files (*.csv)");
    const QString path = OperatorQuestions::current().askSaveFileName(parent, question);
    if (!path.isEmpty())
        folder = QFileInfo(path).absolutePath();
    return path;
}

void showRolloutPlan(Ui::MainWindow &form, const RolloutPlan &plan)
{
    form.canarySpin->setValue(plan.canary);
    form.maxInFlightSpin->setValue(plan.maxInFlight);
    form.stopAfterSpin->setValue(plan.stopAfterFailures);
    for (QSpinBox *spin : {form.canarySpin, form.maxInFlightSpin, form.stopAfterSpin})
        spin->setMaximum(UpdaterSettings::kMaxPlanNumber);
}

void tellBatchHalted(QWidget *parent, const QString &text)
{
    askOperator(parent, QMessageBox::Warning, QStringLiteral("Rollout Stopped"),
                text
                    + QStringLiteral("\n\nUnits already commanded go on. Resume goes on with the batch; Stop Batch "
                                     "takes the held units out of the queue."),
                QMessageBox::Ok);
}
