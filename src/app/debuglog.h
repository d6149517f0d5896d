#pragma once

#include <QDebug>
#include <QString>

namespace Bryx {

// Builds the head of a debug line: "source/line(Class::function):".
// prettyFunction is the compiler's full signature; only the qualified name is kept.
QString logPrefix(const char *source, int line, const char *prettyFunction);

// The qualified function name inside a compiler signature such as
// "void MainWindow::refreshTimerTimeout()" -> "MainWindow::refreshTimerTimeout".
QString qualifiedFunctionName(const char *prettyFunction);

} // namespace Bryx

// Every debug line of the updater has the shape "source/line(Class::function): items", with one
// blank between items and nothing quoted. Each source file names its source unit once:
//     static const char kLogSource[] = "mainwindow";
// and then writes  BLOG << "text" << value;
#define BLOG qDebug().noquote() << Bryx::logPrefix(kLogSource, __LINE__, Q_FUNC_INFO)
