#pragma once

#include <QDebug>
#include <QString>

namespace Bryx {

// Builds the head of a debug line: "source/line(Class::function):".
// prettyFunction is the compiler's full signature; only the qualified name is kept.
QString logPrefix(const char *source, int line, const char *prettyFunction);

// The same head with the function named as given: "source/line(function):".
QString logPrefixNamed(const char *source, int line, const char *function);

// The qualified function name inside a compiler signature such as
// "void MainWindow::refreshTimerTimeout()" -> "MainWindow::refreshTimerTimeout".
QString qualifiedFunctionName(const char *prettyFunction);

} // namespace Bryx

// Every debug line of the updater has the shape "source/line(Class::function): items", with one
// blank between items and nothing quoted. Each source file names its source unit once:
//     static const char kLogSource[] = "mainwindow";
// and then writes  BLOG << "text" << value;
#define BLOG qDebug().noquote() << Bryx::logPrefix(kLogSource, __LINE__, Q_FUNC_INFO)

// A line whose source unit and function are not those of the code that writes it: the window's
// own lines, written for it by the core and the pipeline that took over its work. Support finds
// them in LOGFILE.txt by the window's names, so they keep them:
//     BLOG_AS("mainwindow", "MainWindow::testFinished") << ip << port << result;
#define BLOG_AS(source, function) qDebug().noquote() << Bryx::logPrefixNamed(source, __LINE__, function)
