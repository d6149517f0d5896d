#include "operatorquestions.h"

#include "app/debuglog.h"

#include <QAbstractButton>
#include <QFileDialog>

static const char kLogSource[] = "main";

namespace {

class RealDialogs final : public OperatorQuestions
{
public:
    QMessageBox::StandardButton ask(QWidget *parent, const Question &question) override
    {
        QMessageBox box(question.icon, question.title, question.text, question.buttons, parent);
        if (question.defaultButton != QMessageBox::NoButton)
            box.setDefaultButton(question.defaultButton);
        for (auto text = question.buttonTexts.cbegin(); text != question.buttonTexts.cend(); ++text)
            if (QAbstractButton *button = box.button(text.key()))
                button->setText(text.value());
        return QMessageBox::StandardButton(box.exec());
    }

    QString askOpenFileName(QWidget *parent, const FileQuestion &question) override
    {
        return QFileDialog::getOpenFileName(parent, question.caption, question.folder, question.filter);
    }

    QString askSaveFileName(QWidget *parent, const FileQuestion &question) override
    {
        return QFileDialog::getSaveFileName(parent, question.caption, question.folder, question.filter);
    }
};

RealDialogs realDialogs;
OperatorQuestions *installed = nullptr;

} // namespace

OperatorQuestions &OperatorQuestions::current()
{
    return installed ? *installed : realDialogs;
}

void OperatorQuestions::install(OperatorQuestions *questions)
{
    installed = questions;
}

QMessageBox::StandardButton askOperator(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                        const QString &text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    OperatorQuestions::Question question;
    question.icon = icon;
    question.title = title;
    question.text = text;
    question.buttons = buttons;
    question.defaultButton = defaultButton;
    return askOperator(parent, question);
}

QMessageBox::StandardButton askOperator(QWidget *parent, const OperatorQuestions::Question &question)
{
    // Support can tell from the log what the operator was shown and what came of it.
    BLOG << "Asking the operator:" << QString(question.text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QMessageBox::StandardButton answer = OperatorQuestions::current().ask(parent, question);
    if (question.buttonTexts.contains(answer))
        BLOG << "The operator's answer:" << answer << question.buttonTexts.value(answer);
    else
        BLOG << "The operator's answer:" << answer;
    return answer;
}
