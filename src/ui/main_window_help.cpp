// Help and About from the main window.
#include "main_window.h"

void MainWindow::showHelp() {}
void MainWindow::showAbout() {}
