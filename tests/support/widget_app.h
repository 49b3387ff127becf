// One QApplication for the widget tests (the offscreen platform comes from
// the test environment). Header-only; call EnsureWidgetApp() before making
// any widget.
#pragma once

#include <QApplication>

namespace pwtest {

inline QApplication* EnsureWidgetApp() {
  static int argc = 1;
  static char name[] = "pitchwell-ui-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance())
                                 ? qobject_cast<QApplication*>(QCoreApplication::instance())
                                 : new QApplication(argc, argv);
  return app;
}

}  // namespace pwtest
