#include "mainwindow.h"

#include "../app/debuglog.h"
#include "../app/folders.h"

#include <QFile>
#include <QLabel>

static const char kLogSource[] = "mainwindow";

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Bryx Updater"));
    auto *label = new QLabel(QStringLiteral("Bryx Updater is starting."), this);
    label->setAlignment(Qt::AlignCenter);
    setCentralWidget(label);
    resize(847, 559);
}

MainWindow::~MainWindow() = default;

void MainWindow::appIsQuitting()
{
    // A missing lock file is not an error.
    QFile::remove(Folders::lockFilePath());
    BLOG << "lock file removed";
}
