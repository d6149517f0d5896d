#include "excelimport.h"
#include "ui_excelimport.h"

#include "adding/csvimport.h"
#include "app/debuglog.h"
#include "app/window/operatorquestions.h"

#include <QDir>
#include <QFileInfo>
#include <QScrollBar>

static const char kLogSource[] = "excelimport";

namespace {

// The folder of the last chosen export, shared by every import dialog for the whole run.
QString &rememberedFolder()
{
    static QString folder = QDir::homePath();
    return folder;
}

} // namespace

ExcelImport::ExcelImport(QWidget *parent) : QDialog(parent), ui(new Ui::ExcelImport)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("CSV Import Wizard"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/spreadsheet_icon.png")));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(this, &QDialog::rejected, this, &ExcelImport::on_finished);
}

ExcelImport::~ExcelImport()
{
    delete ui;
}

void ExcelImport::appendResult(const QString &text)
{
    ui->resultsEdit->append(text);
}

void ExcelImport::on_browseFileButton_clicked()
{
    OperatorQuestions::FileQuestion question;
    question.caption = QStringLiteral("Quillet CSV Import");
    question.folder = rememberedFolder();
    question.filter = QStringLiteral("Quillet CSV (*.csv)");
    const QString path = OperatorQuestions::current().askOpenFileName(this, question);
    if (!path.isEmpty())
        rememberedFolder() = QFileInfo(path).absolutePath();
    ui->browseFileEdit->setText(path);

    unitsToAdd.clear();
    if (path.isEmpty())
        return;

    ui->resultsEdit->clear();
    const CsvImportResult result = importCsvFile(path, existingUnits);
    importHeaderList = result.headers;
    if (result.outcome == CsvImportResult::TooLarge) {
        for (const QString &line : result.report)
            appendResult(line);
        return;
    }

    if (result.outcome == CsvImportResult::BadHeader) {
        askOperator(this, QMessageBox::NoIcon, QString(),
                    QStringLiteral("Invalid CSV Header. MAC and SN fields are required.\n\nOther items and columns may "
                                   "be blank if you do not wish to overwrite a setting."));
        return;
    }
    for (const QString &line : result.report)
        appendResult(line);
    unitsToAdd = result.unitsToAdd;
    if (result.outcome == CsvImportResult::Abandoned) {
        askOperator(this, QMessageBox::NoIcon, QString(),
                    QStringLiteral("Import abandoned. Invalid Serial Number for this line:\n\n")
                        + result.abandonedLine);
        return;
    }
    ui->resultsEdit->verticalScrollBar()->setValue(0);
}

void ExcelImport::on_importButton_clicked()
{
    if (unitsToAdd.isEmpty()) {
        appendResult(QStringLiteral("No missing units to add."));
    } else {
        for (const MarluneUnit &unit : std::as_const(unitsToAdd)) {
            appendResult(QStringLiteral("Checking ") + unit.name);
            BLOG << unit.name;
            Q_EMIT unitChangedSignal(unit);
        }
    }
    appendResult(QStringLiteral("\nFinished. If you do not not see an unit, there may not be an update for it.\n"));
    Q_EMIT NeedRefreshSignal();
}

void ExcelImport::on_finished()
{
    BLOG << "deleting instance";
    deleteLater();
}
