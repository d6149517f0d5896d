#pragma once

#include <QMap>
#include <QMessageBox>
#include <QString>

class QWidget;

// The one place where the updater asks the operator something: every message box and file
// dialog goes through the installed OperatorQuestions. The default shows real dialogs; tests
// install one that records each question and answers from a script.
class OperatorQuestions
{
public:
    struct Question
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        // Texts shown on some of the buttons in place of their own ("Skip Them" on No); the
        // answer is still the standard button.
        QMap<QMessageBox::StandardButton, QString> buttonTexts;
    };

    struct FileQuestion
    {
        QString caption;
        QString folder;
        QString filter;
    };

    virtual ~OperatorQuestions() = default;

    virtual QMessageBox::StandardButton ask(QWidget *parent, const Question &question) = 0;
    // The chosen file's path, or "" when the operator cancels. A file to save may be offered
    // under the name in folder (a path).
    virtual QString askOpenFileName(QWidget *parent, const FileQuestion &question) = 0;
    virtual QString askSaveFileName(QWidget *parent, const FileQuestion &question) = 0;

    // The questions in use; never null.
    static OperatorQuestions &current();
    // Installs another implementation (not owned); nullptr restores the real dialogs.
    static void install(OperatorQuestions *questions);
};

// Asks through the installed questions, and logs the question and the answer.
QMessageBox::StandardButton askOperator(QWidget *parent, const OperatorQuestions::Question &question);
// Shorthands for the common boxes.
QMessageBox::StandardButton askOperator(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                        const QString &text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
