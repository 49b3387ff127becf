// A private Xvfb display and a user at it: finds a window by its title,
// clicks, types and grabs parts of the screen with xdotool and ImageMagick,
// for the test and the benchmark that run the real window. Header-only.
#pragma once

#include "wait_until.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "pulse_server.h"  // Spawn, ProcessGuard

namespace pwtest {

// What a shell command prints on its standard output, without the trailing
// line break (empty when it fails).
inline std::string CommandOutput(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class XSession {
 public:
  // Starts Xvfb (1280 × 1024, `dpi` dots per inch) on a free display; its
  // log goes into `dir`.
  XSession(const std::string& dir, int dpi = 96) {
    for (int n = 141; n < 199 && display_ < 0; ++n) {
      if (!std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") &&
          !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        display_ = n;
    }
    if (display_ < 0) return;
    server_.pid = Spawn({"Xvfb", name(), "-screen", "0", "1280x1024x24", "-dpi", std::to_string(dpi), "-nolisten",
                         "tcp", "-noreset"},
                        dir + "/xvfb.log");
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display_);
    for (int i = 0; i < 100 && server_.pid > 0 && !up_; ++i) {
      up_ = std::filesystem::exists(socket);
      if (!up_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  bool up() const { return up_; }
  std::string name() const { return ":" + std::to_string(display_); }

  // Starts `args` on this display with the xcb platform, settings in
  // `configDir` and the song memory in `configDir`/data; the guard ends it.
  ProcessGuard Start(const std::vector<std::string>& args, const std::string& configDir, const std::string& log) {
    const std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    setenv("DISPLAY", name().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("XDG_CONFIG_HOME", configDir.c_str(), 1);
    setenv("XDG_DATA_HOME", (configDir + "/data").c_str(), 1);
    const pid_t pid = Spawn(args, log);
    if (platform.empty()) unsetenv("QT_QPA_PLATFORM");
    else setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    return ProcessGuard{pid, SIGTERM};  // never copied: a copy's end would end the process
  }

  // A command run against this display.
  std::string Run(const std::string& command) const { return CommandOutput("DISPLAY=" + name() + " " + command); }

  // Waits (up to a minute: a loaded machine starts programs slowly) for a
  // mapped window whose title matches `title`, then for its place and size
  // to settle; its top-left corner on the screen goes to *origin (and its
  // whole rectangle to *frame). False when none appeared.
  bool FindWindow(const std::string& title, QPoint* origin, QRect* frame = nullptr) {
    std::string id;
    if (!WaitUntil(
            [&] {
              id = Run("xdotool search --onlyvisible --name '" + title + "' 2>/dev/null | head -n 1");
              return !id.empty();
            },
            60))
      return false;
    // Placed: the same geometry twice running.
    std::string geometry, previous;
    if (!WaitUntil(
            [&] {
              previous = geometry;
              geometry = Run("xdotool getwindowgeometry --shell " + id);  // "X=..\nY=.."
              return !geometry.empty() && geometry == previous;
            },
            60))
      return false;
    const auto x = geometry.find("X="), y = geometry.find("Y=");
    const auto w = geometry.find("WIDTH="), h = geometry.find("HEIGHT=");
    if (x == std::string::npos || y == std::string::npos) return false;
    *origin = QPoint(std::atoi(geometry.c_str() + x + 2), std::atoi(geometry.c_str() + y + 2));
    if (frame != nullptr && w != std::string::npos && h != std::string::npos)
      *frame = QRect(*origin, QSize(std::atoi(geometry.c_str() + w + 6), std::atoi(geometry.c_str() + h + 7)));
    return true;
  }

  // The title of the window that has the keyboard.
  std::string FocusedTitle() const { return Run("xdotool getwindowfocus getwindowname 2>/dev/null"); }

  // True once no mapped window's title contains `title` (up to `seconds`).
  bool WaitWindowGone(const std::string& title, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (Run("xdotool search --onlyvisible --name '" + title + "' 2>/dev/null | head -n 1").empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Type(const std::string& text) const { Run("xdotool type --delay 20 '" + text + "'"); }

  void Click(QPoint screen) const {
    Run("xdotool mousemove " + std::to_string(screen.x()) + " " + std::to_string(screen.y()) + " click 1");
  }
  void Key(const std::string& key) const { Run("xdotool key " + key); }

  // The screen inside `screen`, saved to `file` and read back.
  QImage Grab(const QRect& screen, const std::string& file) const {
    Run("import -window root -crop " + std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + "+" +
        std::to_string(screen.x()) + "+" + std::to_string(screen.y()) + " +repage " + file);
    return QImage(QString::fromStdString(file));
  }

 private:
  int display_ = -1;
  bool up_ = false;
  ProcessGuard server_{-1, SIGTERM};
};

}  // namespace pwtest
