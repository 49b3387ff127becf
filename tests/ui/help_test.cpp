// Where the help file and the artwork are found (beside the program, then in
// the installed share folder), and what the user is told when help is missing
// or cannot be opened.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <stdexcept>
#include <string>
#include <vector>

#include "ui/asset_paths.h"
#include "widget_app.h"

namespace {

// An installed layout under a temporary prefix (with a space in its name, as
// a user's folders may have): <prefix>/bin and <prefix>/share/pitchwell.
class InstallTree : public ::testing::Test {
 protected:
  void SetUp() override {
    pwtest::EnsureWidgetApp();
    ASSERT_TRUE(root_.isValid());
    prefix_ = root_.filePath(QStringLiteral("my prefix"));
    ASSERT_TRUE(QDir().mkpath(bin()));
    ASSERT_TRUE(QDir().mkpath(share()));
  }

  QString bin() const { return prefix_ + QStringLiteral("/bin"); }
  QString share() const { return prefix_ + QStringLiteral("/share/pitchwell"); }
  static void Touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("<html></html>");
  }

  QTemporaryDir root_;
  QString prefix_;
};

TEST_F(InstallTree, HelpFileLookup) {
  enum Place { Nowhere, BesideProgram, InShare, Both };
  struct Case {
    const char* name;
    Place place;
    const char* found;  // relative to the prefix; empty: none
  };
  const std::vector<Case> cases = {
      {"none", Nowhere, ""},
      {"beside the program", BesideProgram, "bin/pitchwell.html"},
      {"installed", InShare, "share/pitchwell/pitchwell.html"},
      {"both: the program's folder wins", Both, "bin/pitchwell.html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(bin() + QStringLiteral("/pitchwell.html"));
    QFile::remove(share() + QStringLiteral("/pitchwell.html"));
    if (c.place == BesideProgram || c.place == Both) Touch(bin() + QStringLiteral("/pitchwell.html"));
    if (c.place == InShare || c.place == Both) Touch(share() + QStringLiteral("/pitchwell.html"));
    const QString expected = *c.found ? prefix_ + QLatin1Char('/') + QString::fromLatin1(c.found) : QString();
    EXPECT_EQ(FindHelpFile(bin()), expected);
  }
}

TEST_F(InstallTree, OnlyFilesCountAsHelp) {
  // A folder of that name is passed over; a link counts when it leads to a file.
  ASSERT_TRUE(QDir().mkpath(bin() + QStringLiteral("/pitchwell.html")));
  Touch(prefix_ + QStringLiteral("/doc/manual.html"));
  ASSERT_TRUE(QFile::link(prefix_ + QStringLiteral("/doc/manual.html"), share() + QStringLiteral("/pitchwell.html")));
  EXPECT_EQ(FindHelpFile(bin()), share() + QStringLiteral("/pitchwell.html"));
  ASSERT_TRUE(QFile::remove(prefix_ + QStringLiteral("/doc/manual.html")));
  EXPECT_EQ(FindHelpFile(bin()), QString()) << "a dangling link is no help file";
}

TEST_F(InstallTree, HelpOpensWithTheDesktopHandler) {
  Touch(share() + QStringLiteral("/pitchwell.html"));
  std::vector<QUrl> opened;
  OpenHelpFile(bin(), [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(share() + QStringLiteral("/pitchwell.html")));
  EXPECT_TRUE(opened[0].isLocalFile());
}

TEST_F(InstallTree, HelpFailuresNameTheFile) {
  struct Case {
    const char* name;
    bool present;
    bool opens;
    QString named;  // the file the message names
  };
  const std::vector<Case> cases = {
      // Missing: the place it is first looked for, beside the program.
      {"missing", false, true, bin() + QStringLiteral("/pitchwell.html")},
      // The desktop cannot open it: the file that was found.
      {"no handler", true, false, share() + QStringLiteral("/pitchwell.html")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(share() + QStringLiteral("/pitchwell.html"));
    if (c.present) Touch(share() + QStringLiteral("/pitchwell.html"));
    int calls = 0;
    try {
      OpenHelpFile(bin(), [&](const QUrl&) {
        ++calls;
        return c.opens;
      });
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to open help file " + c.named.toStdString());
    }
    EXPECT_EQ(calls, c.present ? 1 : 0);
  }
  EXPECT_EQ(HelpOpenErrorText(QStringLiteral("/opt/a b/pitchwell.html")),
            "Unable to open help file /opt/a b/pitchwell.html");
}

TEST_F(InstallTree, ArtworkLookup) {
  const QString source = QStringLiteral(PW_ASSETS_DIR "/skin.svg");
  ASSERT_TRUE(QFileInfo::exists(source));
  // Nothing installed: the source tree's.
  EXPECT_EQ(FindAsset(bin(), QStringLiteral("skin.svg")), source);
  // Installed: share/pitchwell beside bin.
  Touch(share() + QStringLiteral("/skin.svg"));
  EXPECT_EQ(FindAsset(bin(), QStringLiteral("skin.svg")), share() + QStringLiteral("/skin.svg"));
  // A copy in assets/ beside the program comes first.
  Touch(bin() + QStringLiteral("/assets/skin.svg"));
  EXPECT_EQ(FindAsset(bin(), QStringLiteral("skin.svg")), bin() + QStringLiteral("/assets/skin.svg"));
  // Subfolders keep their names.
  Touch(share() + QStringLiteral("/icons/info.svg"));
  EXPECT_EQ(FindAsset(bin(), QStringLiteral("icons/info.svg")), share() + QStringLiteral("/icons/info.svg"));
  // Found nowhere: still a path to report, in the source tree.
  EXPECT_EQ(FindAsset(bin(), QStringLiteral("nothing.svg")), QStringLiteral(PW_ASSETS_DIR "/nothing.svg"));
  EXPECT_EQ(AssetCandidates(QString(), QStringLiteral("skin.svg")), QStringList{source});
}

TEST(ProgramIcon, EverySizeIsDrawn) {
  pwtest::EnsureWidgetApp();
  const QIcon icon = ProgramIcon();
  const QList<QSize> sizes = icon.availableSizes();
  for (int pixels : {16, 22, 24, 32, 48, 64, 128, 256}) {
    SCOPED_TRACE(pixels);
    EXPECT_TRUE(sizes.contains(QSize(pixels, pixels)));
    const QImage image = icon.pixmap(QSize(pixels, pixels)).toImage();
    EXPECT_EQ(image.size(), QSize(pixels, pixels));
    EXPECT_GT(qAlpha(image.pixel(pixels / 2, pixels / 2)), 0);  // the tile is opaque in the middle
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);                     // and its corners are round
  }
}

}  // namespace
