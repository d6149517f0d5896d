#pragma once

#include <QMainWindow>

// The updater's one top-level window and the owner of all update state.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public Q_SLOTS:
    // Connected to the application's aboutToQuit(): removes the single-instance lock file.
    void appIsQuitting();
};
