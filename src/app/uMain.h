#pragma once

#include <QMainWindow>

// The program's main window. For now a plain window titled with the
// application's name and version, so start-up and the instance channel work
// end to end; the wizard moves in here.
class TDornFBUMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TDornFBUMainForm(QWidget *parent = nullptr);
};
