// SAVE in the main window: each format from a generated file through the
// progress window, the dialog's choices remembered, the name proposed from
// the changed values, another type's extension asked about, a cancel that
// leaves nothing behind, a job that ends at once, and a refused source. And
// the save flow on its own, without a main window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVariantMap>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <string>
#include <vector>

#include "decode/audio_file_reader.h"
#include "export/export_job.h"
#include "ui/launcher_progress.h"
#include "ui/main_window.h"
#include "engine/playback.h"
#include "ui/playback_parameters.h"
#include "engine/session.h"
#include "message_capture.h"
#include "ui/progress_window.h"
#include "export/save_command.h"
#include "ui/save_dialog.h"
#include "ui/save_flow.h"
#include "settings/settings_store.h"
#include "playback_owner.h"
#include "scoped_environment.h"
#include "ui/skin_button.h"
#include "testaudio.h"
#include "widget_app.h"
#include "window_test.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;

// Frames a file decodes to through our own reader.
size_t DecodedFrames(const std::string& path, int channels) {
  AudioFileReader reader(path);
  EXPECT_TRUE(reader.opened()) << path;
  std::vector<float> buf(4096 * size_t(std::max(reader.channels(), 1)));
  size_t samples = 0;
  for (;;) {
    const int64_t n = reader.read(buf.data(), 4096);
    if (n == 0) break;
    samples += size_t(n) * size_t(channels);
  }
  return samples / size_t(channels);
}

// Shows and hides of a widget, in order (true: shown).
class ShowWatch : public QObject {
 public:
  std::vector<bool> seen;
  std::function<void()> onFirstProgress;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) seen.push_back(true);
    if (event->type() == QEvent::Hide) seen.push_back(false);
    if (event->type() == kExportProgressEvent && onFirstProgress) {
      auto once = std::move(onFirstProgress);
      onFirstProgress = nullptr;
      once();
    }
    return QObject::eventFilter(watched, event);
  }
};

class MainWindowSaveTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dir_ = pwtest::TempDir("main-window-save");
  }

  std::string Source(const std::string& name, double seconds, int channels, int rate = kRate) {
    const std::string path = dir_ + "/" + name;
    pwtest::WriteWav(path, pwtest::Sine(440, rate, channels, size_t(rate * seconds)), rate, channels, 16);
    return path;
  }

  // A window with `file` open whose launcher progress is recorded.
  std::unique_ptr<MainWindow> Window(const std::string& file) {
    auto window = std::make_unique<MainWindow>(store_, QString::fromStdString(file), 1.0f);
    window->launcherProgress().setSender([this](const QDBusMessage& m) {
      const QVariantMap p = m.arguments().value(1).toMap();
      launcherVisible_.push_back(p.value(QStringLiteral("progress-visible")).toBool());
      launcherProgress_.push_back(p.value(QStringLiteral("progress")).toDouble());
    });
    window->progressWindow().installEventFilter(&watch_);
    return window;
  }

  // Answers the dialog with a type, a bit rate (0: as offered) and a name.
  static void Answer(MainWindow& window, int32_t type, const std::string& name, int32_t bitrate = 0) {
    window.runSaveDialog = [=](SaveDialog& dialog) {
      dialog.selectType(type);
      if (bitrate) dialog.selectBitrate(bitrate);
      dialog.selectName(QString::fromStdString(name));
      dialog.confirmReplace = [](const QString&) { return true; };
      dialog.accept();
      return dialog.result();
    };
  }

  static void PressSave(MainWindow& window) {
    window.findChild<SkinButton*>(QStringLiteral("saveButton"))->click();
  }

  std::string dir_;
  ShowWatch watch_;
  std::vector<bool> launcherVisible_;
  std::vector<double> launcherProgress_;
};

TEST_F(MainWindowSaveTest, SavesEachFormatThroughTheProgressWindow) {
  const size_t frames = size_t(kRate * 1.5);
  auto window = Window(Source("tone.wav", 1.5, 2));
  ASSERT_TRUE(window->session() != nullptr);
  const struct { int32_t type; const char* ext; size_t slack; } cases[] = {
      {1, ".mp3", 1105 + 1152},  // MP3 keeps the decoder's delay and the last frame's padding
      {2, ".wav", 0},
      {3, ".flac", 0},
      {4, ".m4a", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext);
    watch_.seen.clear();
    launcherVisible_.clear();
    Answer(*window, c.type, dir_ + "/out");
    PressSave(*window);

    const std::string out = dir_ + "/out" + c.ext;
    ASSERT_TRUE(fs::exists(out));
    const size_t got = DecodedFrames(out, 2);
    EXPECT_GE(got, frames);
    EXPECT_LE(got, frames + c.slack);
    EXPECT_EQ(watch_.seen, (std::vector<bool>{true, false}));
    EXPECT_EQ(window->progressWindow().percent(), 100);
    EXPECT_EQ(window->progressWindow().percentText(), QStringLiteral("100 %"));
    EXPECT_EQ(window->progressWindow().timeLeftText(), QString());
    EXPECT_EQ(window->progressWindow().outputPath(), QString::fromStdString(out));
    ASSERT_GE(launcherVisible_.size(), 2u);
    EXPECT_TRUE(launcherVisible_.front());
    EXPECT_FALSE(launcherVisible_.back());
    EXPECT_TRUE(window->progressWindow().outcome().ok());
    EXPECT_EQ(window->playback()->state(), Playback::State::Stopped);
    EXPECT_EQ(window->playback()->positionMs(), 0);
    EXPECT_TRUE(pwtest::Temporaries(dir_).empty());
  }
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// A save renders its own reading of the file: what is playing plays on from
// where it was, at the values set, and a paused song stays at its place.
TEST_F(MainWindowSaveTest, SavingKeepsThePlaceAndThePlaying) {
  const auto env = pwtest::ScopedEnvironment::Audio("null");  // real time: the song lasts while saved
  auto window = Window(Source("song.wav", 60, 2, 22050));
  ASSERT_TRUE(window->session() != nullptr);
  Playback& playback = *window->playback();
  window->findChild<SkinButton*>(QStringLiteral("playButton"))->click();
  ASSERT_TRUE(pwtest::WaitUntil([&] { return playback.positionMs() >= 500; }));
  Answer(*window, 2, dir_ + "/while-playing");
  PressSave(*window);
  EXPECT_TRUE(window->progressWindow().outcome().ok());
  EXPECT_EQ(playback.state(), Playback::State::Playing);
  EXPECT_GE(playback.positionMs(), 500);
  EXPECT_EQ(DecodedFrames(dir_ + "/while-playing.wav", 2), size_t(22050 * 60));

  window->findChild<SkinButton*>(QStringLiteral("pauseButton"))->click();
  const int64_t place = playback.positionMs();
  Answer(*window, 2, dir_ + "/while-paused");
  PressSave(*window);
  EXPECT_EQ(playback.state(), Playback::State::Paused);
  EXPECT_EQ(playback.positionMs(), place);
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// With an A–B loop set, SAVE asks whether to save only the loop: yes saves
// exactly its frames, no the whole song; the loop stays on for playback.
TEST_F(MainWindowSaveTest, WithALoopSetOnlyTheLoopCanBeSaved) {
  auto window = Window(Source("song.wav", 3.0, 2));
  window->setLoop(1000, 1500);
  for (const bool loopOnly : {true, false}) {
    SCOPED_TRACE(loopOnly ? "loop only" : "whole song");
    QString asked;
    window->askSaveLoopOnly = [&](const QString& question) {
      asked = question;
      return loopOnly;
    };
    Answer(*window, 2, dir_ + (loopOnly ? "/loop" : "/whole"));
    PressSave(*window);
    EXPECT_EQ(asked, QStringLiteral("A loop is set (A 0:01.0 – B 0:01.5).\nSave only the loop?"));
    const size_t got = DecodedFrames(dir_ + (loopOnly ? "/loop.wav" : "/whole.wav"), 2);
    EXPECT_EQ(got, loopOnly ? size_t(kRate / 2) : size_t(kRate * 3));
    EXPECT_TRUE(window->session()->chain().loop().active());
    EXPECT_EQ(window->session()->chain().loop().startFrame(), kRate);
  }
}

// The bit rate of the row reaches the MP3 encoder: constant bit rate, so
// the size follows it (128 kb/s when the user leaves the row alone).
TEST_F(MainWindowSaveTest, TheChosenBitRateReachesTheEncoder) {
  const double seconds = 3.0;
  auto window = Window(Source("rate.wav", seconds, 2));
  ASSERT_TRUE(window->session() != nullptr);
  const struct { int32_t index, kbps; } cases[] = {{0, 128}, {1, 96}, {8, 320}, {5, 192}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kbps);
    const std::string name = dir_ + "/rate" + std::to_string(c.kbps);
    Answer(*window, 1, name, c.index);
    PressSave(*window);
    const double expected = c.kbps * 1000.0 / 8.0 * seconds;
    const double size = double(fs::file_size(name + ".mp3"));
    EXPECT_GT(size, 0.95 * expected);
    EXPECT_LT(size, 1.10 * expected);
    EXPECT_EQ(window->settings().encoder.bitrateKbps, c.kbps);
  }
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// The folder, the type and the bit rate of one save are where the next
// dialog opens; a cancelled dialog changes none of them; the folder and the
// type outlast the run, the bit rate does not.
TEST_F(MainWindowSaveTest, TheDialogRemembersFolderTypeAndBitrate) {
  const std::string out = dir_ + "/saved";
  fs::create_directories(out);
  const std::string source = Source("short.wav", 0.3, 1);
  {
    auto window = Window(source);
    std::vector<std::string> seen;
    window->runSaveDialog = [&](SaveDialog& dialog) {
      EXPECT_EQ(dialog.typeIndex(), 1);  // nothing stored: MP3
      EXPECT_EQ(dialog.bitrateIndex(), 3);
      EXPECT_TRUE(dialog.bitrateRowActive());
      dialog.selectType(4);
      dialog.selectBitrate(7);
      dialog.selectName(QString::fromStdString(out + "/first"));
      dialog.accept();
      return dialog.result();
    };
    PressSave(*window);
    EXPECT_TRUE(fs::exists(out + "/first.m4a"));
    EXPECT_EQ(window->settings().folders.recentOut, out + "/");
    EXPECT_EQ(window->settings().encoder.typeIndex, 4);
    EXPECT_EQ(window->settings().encoder.bitrateIndex, 7);
    EXPECT_EQ(window->settings().encoder.bitrateKbps, 256);

    bool shown = false;
    window->runSaveDialog = [&](SaveDialog& dialog) {
      shown = true;
      EXPECT_EQ(dialog.typeIndex(), 4);
      EXPECT_EQ(dialog.bitrateIndex(), 7);
      EXPECT_EQ(dialog.directory().absolutePath().toStdString(), out);
      dialog.selectType(2);
      dialog.selectName(QString::fromStdString(dir_ + "/elsewhere"));
      return int(QDialog::Rejected);
    };
    PressSave(*window);
    EXPECT_TRUE(shown);
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere.wav"));
    EXPECT_EQ(window->settings().folders.recentOut, out + "/");
    EXPECT_EQ(window->settings().encoder.typeIndex, 4);
    EXPECT_EQ(watch_.seen, (std::vector<bool>{true, false}));  // only the first save showed it
  }
  // The next run opens on M4A in the same folder, at 128 kb/s.
  auto window = Window(source);
  EXPECT_EQ(window->settings().folders.recentOut, out + "/");
  EXPECT_EQ(window->settings().encoder.typeIndex, 4);
  window->runSaveDialog = [&](SaveDialog& dialog) {
    EXPECT_EQ(dialog.typeIndex(), 4);
    EXPECT_EQ(dialog.bitrateIndex(), 3);
    return int(QDialog::Rejected);
  };
  PressSave(*window);
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// The dialog proposes the song's name with what was changed and the type's
// extension; saved as proposed, that is the file written, the dot of
// "+2.5 st" and all.
TEST_F(MainWindowSaveTest, TheProposedNameCarriesTheChangedValues) {
  auto window = Window(Source("tone.wav", 0.5, 2));
  ASSERT_TRUE(window->session() != nullptr);
  const struct {
    const char* slug;
    int32_t storedType;
    double tempo, pitch;
    const char* proposed;
    const char* written;
  } cases[] = {
      {"unchanged", 0, 0, 0, "tone", "tone.mp3"},
      {"tempo-and-pitch", 0, -30, 2.5, "tone (tempo −30 %, +2.5 st).mp3", "tone (tempo −30 %, +2.5 st).mp3"},
      {"flac", 3, 10, 0, "tone (tempo +10 %).flac", "tone (tempo +10 %).flac"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slug);
    const std::string folder = dir_ + "/" + c.slug;
    fs::create_directories(folder);
    window->parameters().setValue(PlaybackParameters::Effect::Tempo, c.tempo);
    window->parameters().setValue(PlaybackParameters::Effect::Pitch, c.pitch);
    if (c.storedType) {
      // Remembered from a save as that type, which the dialog opens on.
      window->runSaveDialog = [&](SaveDialog& dialog) {
        dialog.selectType(c.storedType);
        dialog.selectName(QString::fromStdString(folder + "/first"));
        dialog.accept();
        return dialog.result();
      };
      PressSave(*window);
    }
    QString proposed;
    window->runSaveDialog = [&](SaveDialog& dialog) {
      proposed = QFileInfo(dialog.selectedFiles().value(0)).fileName();
      dialog.selectName(QString::fromStdString(folder + "/") + proposed);
      dialog.accept();
      return dialog.result();
    };
    PressSave(*window);
    EXPECT_EQ(proposed, QString::fromUtf8(c.proposed));
    EXPECT_TRUE(fs::exists(folder + "/" + c.written)) << c.written;
  }
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// "song.flac" typed while MP3 is selected is asked about: Yes writes FLAC
// and remembers it, No writes MP3, Cancel goes back to the dialog, where
// another name can be saved.
TEST_F(MainWindowSaveTest, AnotherTypesExtensionTypedIsAskedAbout) {
  auto window = Window(Source("asked.wav", 0.5, 2));
  ASSERT_TRUE(window->session() != nullptr);
  const struct {
    QMessageBox::StandardButton answer;
    const char* folder;
    const char* written;  // nullptr: back in the dialog, nothing written
    int32_t typeAfter;
  } cases[] = {
      {QMessageBox::Yes, "yes", "song.flac", 3},
      {QMessageBox::No, "no", "song.mp3", 1},
      {QMessageBox::Cancel, "cancel", nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::string folder = dir_ + "/" + c.folder;
    fs::create_directories(folder);
    std::vector<QString> asked;
    bool stayedOpen = false;
    window->runSaveDialog = [&](SaveDialog& dialog) {
      dialog.selectType(1);
      dialog.askSwitchType = [&](const QString& question) {
        asked.push_back(question);
        return c.answer;
      };
      dialog.selectName(QString::fromStdString(folder + "/song.flac"));
      dialog.accept();
      if (dialog.result() == QDialog::Accepted) return dialog.result();
      stayedOpen = true;
      return int(QDialog::Rejected);
    };
    PressSave(*window);
    EXPECT_EQ(asked, std::vector<QString>{QStringLiteral("Save as FLAC instead? (\"song.flac\")")});
    EXPECT_EQ(stayedOpen, c.written == nullptr);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, c.written ? std::vector<std::string>{c.written} : std::vector<std::string>{});
    if (c.written) {
      const std::string out = folder + "/" + c.written;
      EXPECT_GE(DecodedFrames(out, 2), size_t(kRate / 2));
      // Written as the type saved, whatever its name says.
      std::string magic(4, '\0');
      std::ifstream(out, std::ios::binary).read(magic.data(), 4);
      EXPECT_EQ(magic == "fLaC", c.typeAfter == 3) << magic;
    }
    EXPECT_EQ(window->settings().encoder.typeIndex, c.typeAfter);
  }
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// The save flow needs no main window: a plain widget, settings and values
// are all it is given. It renders the values, asks about the loop, updates
// the settings and parents its windows to the widget.
TEST_F(MainWindowSaveTest, TheSaveFlowNeedsNoMainWindow) {
  const std::string source = Source("plain.wav", 2.0, 2);
  QWidget host;
  Settings settings;
  settings.folders.recentOut = dir_ + "/";
  PlaybackParameters parameters;
  parameters.setValue(PlaybackParameters::Effect::Tempo, 25);
  parameters.setLoop(500, 1500);
  std::vector<bool> launcherShown;
  SaveFlow flow(host, 1.0f, settings, parameters);
  flow.launcherProgress().setSender([&](const QDBusMessage& m) {
    launcherShown.push_back(m.arguments().value(1).toMap().value(QStringLiteral("progress-visible")).toBool());
  });
  EXPECT_EQ(flow.progressWindow().parentWidget(), &host);

  for (const bool loopOnly : {false, true}) {
    SCOPED_TRACE(loopOnly ? "loop" : "whole");
    QString proposed;
    QString asked;
    flow.runDialog = [&](SaveDialog& dialog) {
      EXPECT_EQ(dialog.parentWidget(), &host);
      EXPECT_EQ(dialog.directory().absolutePath().toStdString(), dir_);
      proposed = QFileInfo(dialog.selectedFiles().value(0)).fileName();
      dialog.selectType(2);
      dialog.selectName(QString::fromStdString(dir_ + (loopOnly ? "/flow-loop" : "/flow-whole")));
      dialog.accept();
      return dialog.result();
    };
    flow.askLoopOnly = [&](const QString& question) {
      asked = question;
      return loopOnly;
    };
    launcherShown.clear();
    flow.run(source);
    ASSERT_GE(launcherShown.size(), 2u);
    EXPECT_TRUE(launcherShown.front());
    EXPECT_FALSE(launcherShown.back());
    EXPECT_EQ(proposed, QString::fromUtf8(loopOnly ? "plain (tempo +25 %).wav" : "plain (tempo +25 %).mp3"));
    EXPECT_EQ(asked, QStringLiteral("A loop is set (A 0:00.5 – B 0:01.5).\nSave only the loop?"));
    EXPECT_TRUE(flow.progressWindow().outcome().ok());
    EXPECT_EQ(settings.encoder.typeIndex, 2);
    EXPECT_EQ(settings.folders.recentOut, dir_ + "/");
    // 25 % faster: four fifths of the source's (or the loop's) frames.
    const double sourceFrames = loopOnly ? kRate * 1.0 : kRate * 2.0;
    const double got = double(DecodedFrames(dir_ + (loopOnly ? "/flow-loop.wav" : "/flow-whole.wav"), 2));
    EXPECT_NEAR(got, sourceFrames / 1.25, sourceFrames * 0.01);
  }
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// Cancel while the job runs: the output never appears, the job's temporary
// file is gone, nothing is shown, and the window closes.
TEST_F(MainWindowSaveTest, CancelLeavesNoOutputAndNoTemporaryFile) {
  auto window = Window(Source("long.wav", 180, 1, 22050));
  ASSERT_TRUE(window->session() != nullptr);
  QPushButton* cancel = window->progressWindow().findChild<QPushButton*>(QStringLiteral("cancelButton"));
  ASSERT_NE(cancel, nullptr);
  watch_.onFirstProgress = [cancel] {
    cancel->click();
    cancel->click();  // changes nothing more
  };
  Answer(*window, 1, dir_ + "/cancelled");
  PressSave(*window);

  EXPECT_TRUE(window->progressWindow().outcome().cancelled);
  EXPECT_FALSE(fs::exists(dir_ + "/cancelled.mp3"));
  EXPECT_TRUE(pwtest::Temporaries(dir_).empty());
  EXPECT_EQ(watch_.seen, (std::vector<bool>{true, false}));
  EXPECT_LT(window->progressWindow().percent(), 100);
  EXPECT_EQ(window->playback()->state(), Playback::State::Stopped);
  EXPECT_EQ(window->playback()->positionMs(), 0);
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
  ASSERT_FALSE(launcherVisible_.empty());
  EXPECT_FALSE(launcherVisible_.back());
}

// A source of a few samples: one short block, and the window opens and
// closes with the bar at 100.
TEST_F(MainWindowSaveTest, AJobThatEndsAtOnceStillOpensAndClosesTheWindow) {
  const std::string source = dir_ + "/tiny.wav";
  pwtest::WriteWav(source, pwtest::Sine(440, kRate, 2, 64), kRate, 2, 16);
  auto window = Window(source);
  ASSERT_TRUE(window->session() != nullptr);
  Answer(*window, 2, dir_ + "/tiny-out");
  PressSave(*window);
  EXPECT_EQ(watch_.seen, (std::vector<bool>{true, false}));
  EXPECT_EQ(window->progressWindow().percent(), 100);
  EXPECT_EQ(DecodedFrames(dir_ + "/tiny-out.wav", 2), 64u);
  ASSERT_GE(launcherVisible_.size(), 2u);
  EXPECT_FALSE(launcherVisible_.back());
  EXPECT_DOUBLE_EQ(launcherProgress_.back(), 1.0);
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// The source under its own name (typed without extension) is refused in
// the dialog; the next name goes through.
TEST_F(MainWindowSaveTest, TheSourceIsRefusedAndAnotherNameSaved) {
  const std::string source = Source("own.wav", 0.2, 1);
  auto window = Window(source);
  int attempts = 0;
  window->runSaveDialog = [&](SaveDialog& dialog) {
    dialog.selectType(2);
    dialog.selectName(QString::fromStdString(dir_ + "/own"));
    dialog.accept();
    ++attempts;
    EXPECT_NE(dialog.result(), int(QDialog::Accepted));
    dialog.selectName(QString::fromStdString(dir_ + "/own-copy"));
    dialog.accept();
    return dialog.result();
  };
  PressSave(*window);
  EXPECT_EQ(attempts, 1);
  ASSERT_EQ(messages_.seen.size(), 1u);
  EXPECT_EQ(messages_.seen[0].text, kOverwriteSourceMessage);
  EXPECT_EQ(messages_.seen[0].kind, pw::MessageKind::Information);
  EXPECT_TRUE(fs::exists(dir_ + "/own-copy.wav"));
  EXPECT_EQ(DecodedFrames(source, 1), DecodedFrames(dir_ + "/own-copy.wav", 1));
}

// The job's failure reaches the user in an error box naming the file; a
// confirmed replacement goes through.
TEST_F(MainWindowSaveTest, AFailureIsShownAndAConfirmedReplacementMade) {
  auto window = Window(Source("src.wav", 0.5, 2));
  ASSERT_TRUE(window->session() != nullptr);
  Answer(*window, 3, dir_ + "/no-such-folder/out");
  PressSave(*window);
  EXPECT_EQ(watch_.seen, (std::vector<bool>{true, false}));
  EXPECT_FALSE(window->progressWindow().outcome().ok());
  ASSERT_EQ(messages_.seen.size(), 1u);
  EXPECT_EQ(messages_.seen[0].kind, pw::MessageKind::Error);
  EXPECT_NE(messages_.seen[0].text.find(dir_ + "/no-such-folder/out.flac"), std::string::npos)
      << messages_.seen[0].text;
  EXPECT_FALSE(fs::exists(dir_ + "/no-such-folder"));

  messages_.seen.clear();
  const std::string existing = dir_ + "/existing.wav";
  pwtest::WriteWav(existing, pwtest::Sine(440, 8000, 1, 80), 8000, 1, 16);
  std::vector<QString> asked;
  window->runSaveDialog = [&](SaveDialog& dialog) {
    dialog.selectType(2);
    dialog.selectName(QString::fromStdString(dir_ + "/existing.txt"));
    dialog.confirmReplace = [&](const QString& name) {
      asked.push_back(name);
      return true;
    };
    dialog.accept();
    return dialog.result();
  };
  PressSave(*window);
  EXPECT_EQ(asked, (std::vector<QString>{QStringLiteral("existing.wav")}));
  EXPECT_EQ(DecodedFrames(existing, 2), size_t(kRate / 2));
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
}

// Only the companion exists at the target: the question names it, and yes
// replaces it with the source's, time-scaled (here unchanged), where before
// nothing was asked and the save failed on it.
TEST_F(MainWindowSaveTest, ALeftoverCompanionIsAskedAboutAndReplaced) {
  auto window = Window(Source("karaoke.wav", 0.5, 2));
  ASSERT_TRUE(window->session() != nullptr);
  std::string graphics;
  for (int i = 0; i < 40; ++i) graphics += std::string(1, '\x09') + std::string(23, char('A' + i % 26));
  const auto write = [](const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  };
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  write(dir_ + "/karaoke.cdg", graphics);
  write(dir_ + "/sung.cdg", "left over");

  std::vector<QString> asked;
  window->runSaveDialog = [&](SaveDialog& dialog) {
    dialog.selectType(2);
    dialog.selectName(QString::fromStdString(dir_ + "/sung"));
    dialog.confirmReplace = [&](const QString& name) {
      asked.push_back(name);
      return true;
    };
    dialog.accept();
    return dialog.result();
  };
  PressSave(*window);
  EXPECT_EQ(asked, (std::vector<QString>{QStringLiteral("sung.cdg")}));
  EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
  EXPECT_EQ(DecodedFrames(dir_ + "/sung.wav", 2), size_t(kRate / 2));
  EXPECT_EQ(read(dir_ + "/sung.cdg"), graphics);
  EXPECT_TRUE(pwtest::Temporaries(dir_).empty());
}

}  // namespace
