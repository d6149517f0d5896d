// Takes the README's pictures of a batch update in the demo lab: the real main window, driven
// in-process as an operator would drive it, against the lab's simulated fleet. Runs inside the
// lab's private network namespace, in the lab's work folder (scripts/run.sh --batch-shots).
//
//   demoshots APP_FOLDER OUT_FOLDER [rollout|fleet]
//
// APP_FOLDER holds the lab's packages. Every unit with an update available is updated in one
// batch; OUT_FOLDER receives batch-progress.png while images are being fetched and
// batch-overdue.png once a unit that never fetches is overdue (3 minutes after its command).
// With "rollout" the batch goes one unit at a time and halts at its first failure (the unit that
// never fetches): OUT_FOLDER receives rollout-halted.png once the batch has halted, then
// history-window.png: the History window over that batch, with the steps of its first unit.
// With "fleet" (the lab's 300-unit fleet) the units needing an update are selected with Select
// Units Needing Update and updated in one batch; once the units that cannot finish are overdue
// or failed, the "Needs attention" filter is set and OUT_FOLDER receives fleet-attention.png.

#include "app/folders.h"
#include "app/window/operatorquestions.h"
#include "update/window/mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

constexpr int kStatusColumn = 7;

// Yes to updating and to the EDID reset, OK to every other box.
class DemoOperator final : public OperatorQuestions
{
public:
    QMessageBox::StandardButton ask(QWidget *, const Question &question) override
    {
        return question.buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QString askOpenFileName(QWidget *, const FileQuestion &) override { return QString(); }
    QString askSaveFileName(QWidget *, const FileQuestion &) override { return QString(); }
};

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return true;
}

QStringList statuses(const QTableView *table)
{
    QStringList texts;
    for (int row = 0; row < table->model()->rowCount(); ++row)
        texts << table->model()->index(row, kStatusColumn).data().toString();
    return texts;
}

bool save(MainWindow &window, const QString &path)
{
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "Saved" : "Could not save", qPrintable(path));
    return saved;
}

// The 300-unit lab: select what needs updating, update it, and once the units that cannot
// finish have shown it, the rows that need attention.
int fleetShot(MainWindow &window, const QString &out)
{
    auto *table = window.findChild<QTableView *>(QStringLiteral("unitTable"));
    if (!waitFor(
            [&] {
                return table->model()->rowCount() == 300 && statuses(table).count(QStringLiteral("Update Available")) >= 270;
            },
            120000))
        return 1;
    waitFor([&] { return false; }, 6000);
    window.findChild<QPushButton *>(QStringLiteral("selectNeedingButton"))->click();
    window.findChild<QPushButton *>(QStringLiteral("updateButton"))->click();
    std::printf("Waiting for the units that cannot finish to be overdue (3 minutes after their command)...\n");
    std::fflush(stdout);
    const auto settled = [&] {
        const QStringList texts = statuses(table);
        return texts.filter(QStringLiteral("Overdue")).size() >= 3
               && !texts.filter(QStringLiteral("did not answer")).isEmpty()
               && !texts.filter(QStringLiteral("EDID Reset Failed")).isEmpty();
    };
    if (!waitFor(settled, 600000))
        return 1;
    waitFor([&] { return false; }, 6000);
    window.findChild<QComboBox *>(QStringLiteral("stateFilter"))->setCurrentIndex(1);
    waitFor([&] { return false; }, 1000);
    return save(window, out + QStringLiteral("/fleet-attention.png")) ? 0 : 1;
}

// The History window over the halted batch: its units, and the steps of the first one.
int historyShot(MainWindow &window, const QString &out)
{
    window.findChild<QPushButton *>(QStringLiteral("historyButton"))->click();
    auto *history = window.findChild<QDialog *>(QStringLiteral("historyWindow"));
    auto *runs = history ? history->findChild<QTableWidget *>(QStringLiteral("historyRunTable")) : nullptr;
    if (!runs || !waitFor([&] { return runs->rowCount() > 0; }, 10000))
        return 1;
    runs->selectRow(0);
    history->resize(1100, 620);
    waitFor([&] { return false; }, 1000);
    const bool saved = history->grab().save(out + QStringLiteral("/history-window.png"));
    std::printf("%s %s/history-window.png\n", saved ? "Saved" : "Could not save", qPrintable(out));
    return saved ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool rollout = argc == 4 && QByteArray(argv[3]) == "rollout";
    const bool fleet = argc == 4 && QByteArray(argv[3]) == "fleet";
    if (argc != 3 && !rollout && !fleet) {
        std::fprintf(stderr, "usage: demoshots APP_FOLDER OUT_FOLDER [rollout|fleet]\n");
        return 2;
    }
    QFile styleSheet(QStringLiteral(":/quillet.css"));
    if (styleSheet.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
    Folders::setApplicationFolder(QString::fromLocal8Bit(argv[1]));
    Folders::createStartupFolders();
    const QString out = QString::fromLocal8Bit(argv[2]);
    DemoOperator questions;
    OperatorQuestions::install(&questions);

    MainWindow window;
    window.resize(fleet ? QSize(1400, 1000) : QSize(1100, 700));
    window.show();
    if (fleet)
        return fleetShot(window, out);
    auto *table = window.findChild<QTableView *>(QStringLiteral("unitTable"));
    // Listed once the fleet has answered; a few seconds more for the table to settle.
    if (!waitFor([&] { return table->model()->rowCount() > 0 && statuses(table).contains(QStringLiteral("Update Available")); },
                 60000))
        return 1;
    waitFor([&] { return false; }, 6000);
    const int listed = table->model()->rowCount();

    table->clearSelection();
    for (int row = 0; row < listed; ++row) {
        if (table->model()->index(row, kStatusColumn).data().toString() == QLatin1String("Update Available"))
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    if (rollout) {
        window.findChild<QSpinBox *>(QStringLiteral("maxInFlightSpin"))->setValue(1);
        window.findChild<QSpinBox *>(QStringLiteral("stopAfterSpin"))->setValue(1);
    }
    window.findChild<QPushButton *>(QStringLiteral("updateButton"))->click();
    if (rollout) {
        std::printf("Waiting for the batch to halt (3 minutes after the unit that never fetches is commanded)...\n");
        std::fflush(stdout);
        const auto held = [&] { return !statuses(table).filter(QStringLiteral("Held: ")).isEmpty(); };
        if (!waitFor(held, 600000))
            return 1;
        waitFor([&] { return false; }, 6000);
        if (!save(window, out + QStringLiteral("/rollout-halted.png")))
            return 1;
        return historyShot(window, out);
    }

    // Mid-batch: several units fetching at once, each well under way.
    const auto fetching = [&] {
        return statuses(table).filter(QRegularExpression(QStringLiteral("^Fetching image [4-8]\\d%"))).size() >= 3;
    };
    if (!waitFor(fetching, 120000) || !save(window, out + QStringLiteral("/batch-progress.png")))
        return 1;

    const auto overdue = [&] { return !statuses(table).filter(QStringLiteral("Overdue")).isEmpty(); };
    std::printf("Waiting for the unit that never fetches to be overdue (3 minutes after its command)...\n");
    std::fflush(stdout);
    if (!waitFor(overdue, 300000))
        return 1;
    // The others have finished long before; one more tick for the table to settle.
    waitFor([&] { return false; }, 6000);
    return save(window, out + QStringLiteral("/batch-overdue.png")) ? 0 : 1;
}
