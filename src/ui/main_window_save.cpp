// The save command of the main window.
#include "main_window.h"

void MainWindow::save() {}
