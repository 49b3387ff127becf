// Screenshots of the real program under Xvfb, as a user sees it, at 96 and
// 144 dots per inch (run by bench/screens.sh, which says where they go).
// For each density: a minute of generated music opened and playing, two
// frames a second apart ("window-<dpi>.png" and "window-<dpi>-later.png"),
// checked to differ in the spectrum display, the time label and the
// position slider and nowhere else; then the practice drawer open with a
// loop set and the trainer running ("practice-<dpi>.png"); then the Save As
// dialog on MP3 and on WAV, the progress window mid-save and the About
// window ("save-mp3-", "save-wav-", "progress-", "about-<dpi>.png").
//
//   screens OUTPUT_FOLDER
//
// Exit status 0 when every shot was taken and every check held, 1 otherwise.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "analysis/song_identity.h"
#include "bench_material.h"
#include "decode/audio_file_reader.h"
#include "memory/song_memory.h"
#include "testaudio.h"
#include "window_layout.h"
#include "x_session.h"

namespace {
constexpr int kRate = 44100;

// Outside the panel's rounded corners a shot shows the bare screen; make
// that transparent, as it is on a desktop.
QImage RoundCorners(const QImage& shot, double radius) {
  QImage out(shot.size(), QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter p(&out);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(0, 0, shot.width(), shot.height()), radius, radius);
  p.setClipPath(path);
  p.drawImage(0, 0, shot);
  return out;
}

// The pixels where two shots differ, as the smallest rectangle around them
// within each of `regions` plus a count of those outside every region.
struct Difference {
  std::vector<int> inside;  // differing pixels per region
  int outside = 0;
  QPoint firstOutside;
};

Difference Compare(const QImage& a, const QImage& b, const std::vector<QRect>& regions) {
  Difference d;
  d.inside.assign(regions.size(), 0);
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) == b.pixel(x, y)) continue;
      bool found = false;
      for (size_t r = 0; r < regions.size(); ++r) {
        if (regions[r].contains(x, y)) {
          ++d.inside[r];
          found = true;
        }
      }
      if (!found && d.outside++ == 0) d.firstOutside = QPoint(x, y);
    }
  }
  return d;
}

// Waits for the window titled `title` and saves a shot of it.
bool ShootWindow(pwtest::XSession& x, const std::string& title, const std::string& file, const std::string& dir) {
  QPoint at;
  QRect frame;
  if (!x.FindWindow(title, &at, &frame) || frame.isEmpty()) {
    std::fprintf(stderr, "screens: no \"%s\" window\n", title.c_str());
    return false;
  }
  const QImage shot = x.Grab(frame, dir + "/window.png");
  if (shot.isNull() || !shot.save(QString::fromStdString(file))) return false;
  std::printf("%s (%dx%d)\n", file.c_str(), frame.width(), frame.height());
  return true;
}

// The remembered loop: bars 10 to 13 of the song at 100 BPM.
constexpr int64_t kLoopStartMs = 21600, kLoopEndMs = 31200;

bool ShootPlaying(int dpi, const std::string& out, const std::string& song) {
  const float scale = float(dpi) / 96.0f;
  const pwtest::WindowLayout layout = pwtest::MainWindowLayout(scale);
  const std::string dir = pwtest::TempDir("screens-" + std::to_string(dpi));
  pwtest::XSession x(dir, dpi);
  if (!x.up()) {
    std::fprintf(stderr, "screens: Xvfb could not start\n");
    return false;
  }
  // What a desktop does to state its density: Xft.dpi in the root window's
  // resources, from which Qt takes the screen's logical dots per inch.
  x.Run("xprop -root -format RESOURCE_MANAGER 8s -set RESOURCE_MANAGER 'Xft.dpi:\t" + std::to_string(dpi) + "'");

  // A home of its own: the save dialog starts there and the save lands there.
  setenv("HOME", dir.c_str(), 1);
  // The song as a musician left it last time: three named sections and a
  // loop over the chorus, remembered by the program's own memory.
  {
    SongMemory memory(QString::fromStdString(dir + "/config/data/pitchwell/songs.sqlite"));
    AudioFileReader reader(song);
    SongRecord record;
    record.loop = SongLoop{kLoopStartMs, kLoopEndMs, true};
    record.markers = {{4800, "Verse"}, {kLoopStartMs, "Chorus"}, {40800, "Solo"}};
    if (!memory.save(SongContentKey(reader), QString::fromStdString(song), record))
      std::fprintf(stderr, "screens: the song memory could not be written: %s\n", memory.problem().toStdString().c_str());
  }
  pwtest::ProcessGuard program = x.Start({PW_WINDOW_EXE, song}, dir + "/config", dir + "/pitchwell.log");
  QPoint origin;
  if (program.pid <= 0 || !x.FindWindow("Evening Groove.wav - Pitchwell", &origin)) {
    std::fprintf(stderr, "screens: no window at %d dpi (see %s/pitchwell.log)\n", dpi, dir.c_str());
    return false;
  }
  const QRect window(origin, layout.size);
  x.Click(origin + layout.getBpm);  // tempo, key and tuning for the labels and the drawer
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  x.Click(origin + layout.play);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // the display's afterglow builds up
  const QImage first = x.Grab(window, dir + "/first.png");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const QImage later = x.Grab(window, dir + "/later.png");
  if (first.isNull() || later.isNull() || first.size() != layout.size) {
    std::fprintf(stderr, "screens: the shots at %d dpi failed\n", dpi);
    return false;
  }
  const double radius = 14.0 * dpi / 96.0;
  const std::string name = out + "/window-" + std::to_string(dpi);
  RoundCorners(first, radius).save(QString::fromStdString(name + ".png"));
  RoundCorners(later, radius).save(QString::fromStdString(name + "-later.png"));

  const char* names[] = {"spectrum display", "time label", "position slider"};
  const Difference d = Compare(first, later, {layout.spectrum, layout.timeLabel, layout.positionSlider});
  bool ok = d.outside == 0;
  std::printf("%s.png (%dx%d at %d,%d), one second later %s-later.png:", name.c_str(), window.width(),
              window.height(), window.x(), window.y(), name.c_str());
  for (size_t r = 0; r < d.inside.size(); ++r) {
    std::printf(" %s %d px changed;", names[r], d.inside[r]);
    ok = ok && d.inside[r] > 0;
  }
  std::printf(" elsewhere %d px%s\n", d.outside,
              d.outside > 0 ? (" (first at " + std::to_string(d.firstOutside.x()) + "," +
                               std::to_string(d.firstOutside.y()) + ")").c_str()
                            : "");

  // One shot of the window where it is now, `size` big, into
  // OUT/STEM-DPI.png with its corners rounded; false when it failed.
  const auto shoot = [&](const std::string& stem, const QSize& size, const char* caption) {
    const QImage shot = x.Grab(QRect(origin, size), dir + "/" + stem + ".png");
    if (shot.isNull()) return false;
    const std::string file = out + "/" + stem + "-" + std::to_string(dpi) + ".png";
    RoundCorners(shot, radius).save(QString::fromStdString(file));
    std::printf("%s (%s)\n", file.c_str(), caption);
    return true;
  };

  // The practice drawer: opened with P, the remembered loop and markers on
  // the lane, the trainer started from the drawer.
  x.Key("p");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Where the screen is short, the window has lifted itself to open it.
  if (!x.FindWindow("Evening Groove.wav - Pitchwell", &origin)) return false;
  x.Click(origin + layout.trainerButton);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  if (!shoot("practice", layout.sizeWithDrawer, "the practice drawer: loop and markers, trainer running")) return false;

  // A double-click inside the loop on the lane zooms to it.
  const QRect lane = layout.lane.translated(origin);
  const int insideLoop = lane.left() + int(lane.width() * ((kLoopStartMs + kLoopEndMs) / 2.0) / 60000.0);
  x.Run("xdotool mousemove " + std::to_string(insideLoop) + " " + std::to_string(lane.center().y()) +
        " click --repeat 2 --delay 80 1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  if (!shoot("lane-zoomed", layout.sizeWithDrawer, "the lane zoomed to the loop")) return false;

  // The keyboard: Tab to a slider (its focus ring), Enter on it opens the
  // exact-value editor over its label, a value typed in.
  x.Click(origin + layout.loopClearButton);  // a whole-song save, slow enough to catch
  x.Key("p");  // the drawer closes again
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  if (!x.FindWindow("Evening Groove.wav - Pitchwell", &origin)) return false;
  for (int i = 0; i < 3; ++i) x.Key("Tab");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ok = shoot("focus", layout.size, "a slider focused by Tab; PLAY lit while playing") && ok;
  x.Key("Return");
  x.Type("+2.5");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ok = shoot("editor", layout.size, "the exact-value editor over a label") && ok;
  x.Key("Escape");

  // The dialogs: SAVE on MP3 (the bit-rate row), the progress window of a
  // pitch-shifted save (slow enough to catch), About.
  x.Click(origin + layout.pitchThumb);
  for (int i = 0; i < 20; ++i) x.Key("Up");  // +2 st
  x.Click(origin + layout.save);
  ok = ShootWindow(x, "Save As", out + "/save-mp3-" + std::to_string(dpi) + ".png", dir) && ok;
  x.Type("Evening Groove up 2");
  x.Key("Return");
  QPoint progressAt;
  QRect progress;
  if (x.FindWindow("Processing", &progressAt, &progress)) {
    // Long enough into the save for the time left to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    x.Grab(progress, dir + "/progress.png").save(QString::fromStdString(out + "/progress-" + std::to_string(dpi) + ".png"));
    std::printf("%s/progress-%d.png (saving)\n", out.c_str(), dpi);
    x.WaitWindowGone("Processing", 120);
  } else {
    std::fprintf(stderr, "screens: no progress window at %d dpi\n", dpi);
    ok = false;
  }
  x.Click(origin + layout.about);
  ok = ShootWindow(x, "About Pitchwell", out + "/about-" + std::to_string(dpi) + ".png", dir) && ok;
  program.Stop();

  // SAVE once more, on WAV this time (the type the dialog opens on is the
  // one remembered in the settings): no bit-rate row.
  const std::string config = dir + "/config";
  std::filesystem::create_directories(config + "/Corvane");
  std::ofstream(config + "/Corvane/Pitchwell.conf") << "[Settings]\ndefaultcodec=2\n";
  pwtest::ProcessGuard again = x.Start({PW_WINDOW_EXE, song}, config, dir + "/pitchwell-2.log");
  if (again.pid <= 0 || !x.FindWindow("Evening Groove.wav - Pitchwell", &origin)) return false;
  x.Click(origin + layout.save);
  ok = ShootWindow(x, "Save As", out + "/save-wav-" + std::to_string(dpi) + ".png", dir) && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: screens OUTPUT_FOLDER\n");
    return 1;
  }
  const std::string out = argv[1];
  setenv("PITCHWELL_AUDIO", "null", 1);  // real time, silent: no sound server needed
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string song = pwtest::TempDir("screens-song") + "/Evening Groove.wav";
  pwtest::WriteWav(song, bench::DemoSong(60, kRate), kRate, 2, 16);

  bool ok = true;
  for (int dpi : {96, 144}) ok = ShootPlaying(dpi, out, song) && ok;
  return ok ? 0 : 1;
}
