// Names that are not UTF-8 (an old Latin-1 "café" is the byte 0xE9): the
// window opens them from their bytes, from the command line's and from a
// drop's, shows the undecodable byte as a replacement character, and
// proposes a name for the save that is valid text.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>

#include <string>

#include "ui/main_window.h"
#include "engine/playback.h"
#include "engine/session.h"
#include "ui/save_dialog.h"
#include "ui/skin_button.h"
#include "testaudio.h"
#include "window_test.h"

namespace {

class FileNamesTest : public pwtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    dir_ = pwtest::TempDir("file-names");
    latin1_ = dir_ + "/caf\xE9.wav";
    pwtest::WriteWav(latin1_, pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
  }

  // The window with the file open and nothing said about it.
  void ExpectOpened(const MainWindow& window) {
    ASSERT_NE(window.session(), nullptr);
    EXPECT_NE(window.session(), nullptr);
    EXPECT_EQ(window.session()->fileName(), latin1_);
    const QString shown = QStringLiteral("caf\uFFFD.wav");
    EXPECT_EQ(window.windowTitle(), shown + QStringLiteral(" - Pitchwell"));
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("nameLabel"))->text(), QStringLiteral("File: ") + shown);
    EXPECT_TRUE(messages_.seen.empty()) << messages_.seen.front().text;
  }

  std::string dir_;
  std::string latin1_;
};

TEST_F(FileNamesTest, OpensTheNamesBytesAsGiven) {
  MainWindow window(store_, QString(), 1.0f);
  window.openLocalFile(QByteArray::fromStdString(latin1_));
  ExpectOpened(window);
}

// A file manager percent-encodes the byte ("caf%E9.wav") in the URL list.
TEST_F(FileNamesTest, OpensADroppedNameThatIsNotUtf8) {
  MainWindow window(store_, QString(), 1.0f);
  QMimeData mime;
  mime.setData(QStringLiteral("text/uri-list"),
               "file://" + QByteArray::fromStdString(latin1_).toPercentEncoding("/") + "\r\n");
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &drop);
  ExpectOpened(window);
}

TEST_F(FileNamesTest, TheSaveDialogProposesValidText) {
  MainWindow window(store_, QString(), 1.0f);
  window.openLocalFile(QByteArray::fromStdString(latin1_));
  QString proposed;
  window.runSaveDialog = [&](SaveDialog& dialog) {
    proposed = dialog.selectedFiles().value(0);
    return int(QDialog::Rejected);
  };
  window.findChild<SkinButton*>(QStringLiteral("saveButton"))->click();
  ASSERT_FALSE(proposed.isEmpty());
  EXPECT_EQ(QFileInfo(proposed).fileName(), QStringLiteral("caf\u00E9"));
}

TEST(ProposedSaveName, BaseNameWithoutExtensionAsValidText) {
  const struct {
    std::string source;
    QString proposed;
  } cases[] = {
      {"/m/caf\xE9.wav", QStringLiteral("caf\u00E9")},
      {"/m/caf\xC3\xA9.mp3", QStringLiteral("caf\u00E9")},
      {"/m/a.b.flac", QStringLiteral("a.b")},
      {"/m/.hidden", QStringLiteral(".hidden")},
      {"/m.d/plain", QStringLiteral("plain")},
      {"song.ogg", QStringLiteral("song")},
  };
  for (const auto& c : cases) EXPECT_EQ(ProposedSaveName(c.source), c.proposed) << c.source;
}

}  // namespace
