#pragma once

#include "app/window/operatorquestions.h"

#include <QList>
#include <QMap>
#include <QStringList>

#include <functional>

// Answers the operator's questions from a script and records every question asked.
// Installed for its lifetime. Without a scripted answer a box gets its default button (or Ok),
// a file dialog gets "" (cancel).
class ScriptedOperator final : public OperatorQuestions
{
public:
    ScriptedOperator() { OperatorQuestions::install(this); }
    ~ScriptedOperator() override { OperatorQuestions::install(nullptr); }
    ScriptedOperator(const ScriptedOperator &) = delete;
    ScriptedOperator &operator=(const ScriptedOperator &) = delete;

    QMessageBox::StandardButton ask(QWidget *, const Question &question) override
    {
        asked.append(question);
        if (onAsk)
            onAsk(question);
        if (pressByTitle.contains(question.title))
            return question.buttonTexts.key(pressByTitle.value(question.title), QMessageBox::NoButton);
        if (answersByTitle.contains(question.title))
            return answersByTitle.value(question.title);
        if (!answers.isEmpty())
            return answers.takeFirst();
        return question.defaultButton != QMessageBox::NoButton ? question.defaultButton : QMessageBox::Ok;
    }

    QString askOpenFileName(QWidget *, const FileQuestion &question) override
    {
        filesAsked.append(question);
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }
    QString askSaveFileName(QWidget *parent, const FileQuestion &question) override
    {
        return askOpenFileName(parent, question);
    }

    // Texts of the boxes asked so far, in order.
    QStringList texts() const
    {
        QStringList result;
        for (const Question &q : asked)
            result.append(q.text);
        return result;
    }

    QList<Question> asked;
    QList<FileQuestion> filesAsked;
    QList<QMessageBox::StandardButton> answers;
    // Standing answers for boxes with these titles (they take precedence over answers).
    QMap<QString, QMessageBox::StandardButton> answersByTitle;
    // Standing answers by the text of a renamed button ("Skip Them"), for boxes with these titles.
    QMap<QString, QString> pressByTitle;
    QStringList fileAnswers;
    std::function<void(const Question &)> onAsk;
};
