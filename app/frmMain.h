#pragma once

#include <QMainWindow>

// The main window: the program lives in its event loop.
class frmMain : public QMainWindow
{
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    // Placement, title, level-dependent commands and status bar.
    void carga();
};
