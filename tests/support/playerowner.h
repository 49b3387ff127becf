// Stands in for the main window in tests that play: a Qt application for
// posted events, and an owner that reacts to the end of playback as the
// window does. Header-only: for tests that link the player.
#pragma once

#include <QCoreApplication>
#include <QObject>

#include "player.h"

namespace pwtest {

inline QCoreApplication* EnsureCoreApp() {
  static int argc = 1;
  static char name[] = "pitchwell-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
  return app;
}

// Counts kPlaybackEndedEvent and calls the player's EndOfPlayback for each.
// Set `player` to the player that posts to it.
class PlayerOwner : public QObject {
 public:
  int ends = 0;
  Player* player = nullptr;
  bool event(QEvent* e) override {
    if (e->type() == kPlaybackEndedEvent) {
      ++ends;
      if (player != nullptr) player->EndOfPlayback();
      return true;
    }
    return QObject::event(e);
  }
};

}  // namespace pwtest
