// The save dialog: its types and bit-rate row, the row hidden for the types
// without a bit rate, the type's extension forced on the output, the
// question when another type's extension is typed, the source refused with
// the dialog left open, and the question before a file is replaced; and the
// name it is given to propose. The tests answer the dialog through accept(),
// as OK would.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <string>
#include <vector>

#include "message_capture.h"
#include "export/save_command.h"
#include "ui/save_dialog.h"
#include "testaudio.h"
#include "widget_app.h"

namespace {

class SaveDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pwtest::EnsureWidgetApp();
    dir_ = QString::fromStdString(pwtest::TempDir("save-dialog"));
    source_ = dir_ + QStringLiteral("/song.wav");
    pwtest::WriteWav(source_.toStdString(), pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
  }

  // A dialog as the save command prepares it.
  std::unique_ptr<SaveDialog> Dialog(int32_t type = 1) {
    auto dialog = std::make_unique<SaveDialog>(nullptr, 1.0f);
    dialog->setSourceName(source_.toStdString());
    dialog->setFolder(dir_);
    dialog->selectType(type);
    // Another type's extension is asked about only where a test expects it.
    dialog->askSwitchType = [](const QString& question) {
      ADD_FAILURE() << "asked: " << question.toStdString();
      return QMessageBox::Cancel;
    };
    return dialog;
  }

  // OK with `name` typed: true when the dialog closed accepted.
  static bool Confirm(SaveDialog& dialog, const QString& name) {
    dialog.setResult(QDialog::Rejected);
    dialog.selectName(name);
    dialog.accept();
    return dialog.result() == QDialog::Accepted;
  }

  QString dir_;
  QString source_;
  pwtest::MessageCapture messages_;
};

TEST_F(SaveDialogTest, QtsOwnDialogWithTheFourTypesAndTheBitrates) {
  auto dialog = Dialog();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Save As..."));
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
  const QStringList types = {QStringLiteral("MP3 File (*.mp3)"), QStringLiteral("WAV File (*.wav)"),
                             QStringLiteral("FLAC File (*.flac)"), QStringLiteral("M4A File (*.m4a)")};
  EXPECT_EQ(dialog->nameFilters(), types);
  EXPECT_EQ(dialog->directory().absolutePath(), dir_);

  auto* label = dialog->findChild<QLabel*>(QStringLiteral("bitrateLabel"));
  auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("bitrateCombo"));
  ASSERT_TRUE(label && combo);
  EXPECT_EQ(label->text(), QStringLiteral("Bitrate (Kb/s):"));
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  EXPECT_EQ(items.join(QLatin1Char(' ')), QStringLiteral("96 112 128 160 192 224 256 320"));
  // 128 until the user picks another.
  EXPECT_EQ(combo->currentText(), QStringLiteral("128"));
  EXPECT_EQ(dialog->bitrateIndex(), 3);
  dialog->selectBitrate(7);
  EXPECT_EQ(combo->currentText(), QStringLiteral("256"));
  dialog->selectBitrate(0);  // nothing valid stored: 128
  EXPECT_EQ(dialog->bitrateIndex(), 3);
}

TEST_F(SaveDialogTest, TheBitrateRowIsOnlyForMp3AndM4aAlsoWhenTheDialogOpens) {
  // 0: nothing stored yet, the default type (MP3).
  const struct { int32_t stored, type; bool row; } cases[] = {
      {0, 1, true}, {1, 1, true}, {2, 2, false}, {3, 3, false}, {4, 4, true}, {9, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    auto dialog = Dialog(c.stored);
    EXPECT_EQ(dialog->typeIndex(), c.type);
    EXPECT_EQ(dialog->bitrateRowActive(), c.row);
    auto* label = dialog->findChild<QLabel*>(QStringLiteral("bitrateLabel"));
    auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("bitrateCombo"));
    EXPECT_EQ(combo->isHidden(), !c.row);
    EXPECT_EQ(combo->isEnabled(), c.row);
    EXPECT_EQ(label->isHidden(), !c.row);
    EXPECT_EQ(label->isEnabled(), c.row);
  }
}

// The user steps through the type box: the row follows each type.
TEST_F(SaveDialogTest, TheRowFollowsTheTypeTheUserPicks) {
  auto dialog = Dialog(1);
  dialog->show();
  auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  ASSERT_NE(types, nullptr);
  const bool expected[] = {true, false, false, true};  // MP3, WAV, FLAC, M4A
  for (int i = 1; i < 4; ++i) {
    QTest::keyClick(types, Qt::Key_Down);
    ASSERT_EQ(dialog->typeIndex(), i + 1);
    EXPECT_EQ(dialog->bitrateRowActive(), expected[i]) << i + 1;
  }
  QTest::keyClick(types, Qt::Key_Up);
  EXPECT_EQ(dialog->typeIndex(), 3);
  EXPECT_FALSE(dialog->bitrateRowActive());
  dialog->hide();
}

// Another of the four types' extensions is asked about first (answered
// No here: the selected type stays); any other extension is replaced.
TEST_F(SaveDialogTest, TheTypesExtensionIsForcedOnTheOutput) {
  const struct { const char* typed; int32_t type; const char* written; const char* asked; } cases[] = {
      {"song.txt", 3, "song.flac", nullptr},
      {"out", 1, "out.mp3", nullptr},
      {"out.MP3", 2, "out.wav", "Save as MP3 instead? (\"out.MP3\")"},
      {"my.mix.wav", 4, "my.mix.m4a", "Save as WAV instead? (\"my.mix.wav\")"},
      {"take.flac", 3, "take.flac", nullptr},
      {"song", 1, "song.mp3", nullptr},
      {"take.ogg", 2, "take.wav", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    auto dialog = Dialog(c.type);
    std::vector<QString> asked;
    dialog->askSwitchType = [&](const QString& question) {
      asked.push_back(question);
      return QMessageBox::No;
    };
    ASSERT_TRUE(Confirm(*dialog, QString::fromLatin1(c.typed)));
    EXPECT_EQ(asked, c.asked ? std::vector<QString>{QString::fromUtf8(c.asked)} : std::vector<QString>{});
    EXPECT_EQ(dialog->typeIndex(), c.type);
    EXPECT_EQ(dialog->chosenName(), dir_ + QLatin1Char('/') + QLatin1String(c.typed));
    EXPECT_EQ(dialog->outputName(), dir_ + QLatin1Char('/') + QLatin1String(c.written));
    EXPECT_FALSE(dialog->overwriteConfirmed());
  }
  EXPECT_TRUE(messages_.seen.empty());
}

// "song.flac" typed while MP3 is selected: Yes saves it as FLAC (and the
// dialog shows FLAC, without the bit-rate row), No as MP3, Cancel goes back
// to the dialog with nothing changed.
TEST_F(SaveDialogTest, AnotherTypesExtensionIsAskedAbout) {
  const struct {
    const char* typed;
    int32_t type;
    QMessageBox::StandardButton answer;
    int32_t typeAfter;  // 0: the dialog stays open
    const char* written;
    const char* question;
  } cases[] = {
      {"song.flac", 1, QMessageBox::Yes, 3, "song.flac", "Save as FLAC instead? (\"song.flac\")"},
      {"song.flac", 1, QMessageBox::No, 1, "song.mp3", "Save as FLAC instead? (\"song.flac\")"},
      {"song.flac", 1, QMessageBox::Cancel, 0, nullptr, "Save as FLAC instead? (\"song.flac\")"},
      {"Take.M4A", 2, QMessageBox::Yes, 4, "Take.m4a", "Save as M4A instead? (\"Take.M4A\")"},
      {"mix.flac.mp3", 4, QMessageBox::Yes, 1, "mix.flac.mp3", "Save as MP3 instead? (\"mix.flac.mp3\")"},
      {"demo.wav", 3, QMessageBox::No, 3, "demo.flac", "Save as WAV instead? (\"demo.wav\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.typed) + " answered " + std::to_string(int(c.answer)));
    auto dialog = Dialog(c.type);
    dialog->show();
    std::vector<QString> asked;
    dialog->askSwitchType = [&](const QString& question) {
      asked.push_back(question);
      return c.answer;
    };
    const bool accepted = Confirm(*dialog, QString::fromLatin1(c.typed));
    EXPECT_EQ(asked, std::vector<QString>{QString::fromUtf8(c.question)});
    EXPECT_EQ(accepted, c.typeAfter != 0);
    EXPECT_EQ(dialog->isVisible(), c.typeAfter == 0);
    EXPECT_EQ(dialog->typeIndex(), c.typeAfter != 0 ? c.typeAfter : c.type);
    EXPECT_EQ(dialog->bitrateRowActive(), dialog->typeIndex() == 1 || dialog->typeIndex() == 4);
    if (accepted) {
      EXPECT_EQ(dialog->outputName(), dir_ + QLatin1Char('/') + QLatin1String(c.written));
    }
    dialog->hide();
  }
  // The type switched to is checked like any other: the source's own name
  // as its own type is refused after the yes, and the dialog stays on WAV.
  auto dialog = Dialog(1);
  dialog->askSwitchType = [](const QString&) { return QMessageBox::Yes; };
  EXPECT_FALSE(Confirm(*dialog, QStringLiteral("song.wav")));
  EXPECT_EQ(dialog->typeIndex(), 2);
  ASSERT_EQ(messages_.seen.size(), 1u);
  EXPECT_EQ(messages_.seen[0].text, kOverwriteSourceMessage);
}

// The source in any spelling that ends up as the source file is refused
// with the information box, and the dialog stays open for another name.
TEST_F(SaveDialogTest, TheSourceIsRefusedAndTheDialogStaysOpen) {
  QDir(dir_).mkdir(QStringLiteral("sub"));
  const struct { const char* typed; int32_t type; } refused[] = {
      {"song.wav", 2}, {"song", 2}, {"song.mp3", 2}, {"sub/../song.txt", 2}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.typed);
    auto dialog = Dialog(c.type);
    bool asked = false;
    dialog->confirmReplace = [&](const QString&) { return asked = true; };
    // "song.mp3" with WAV selected: kept as WAV, which is the source.
    dialog->askSwitchType = [](const QString&) { return QMessageBox::No; };
    dialog->show();
    messages_.seen.clear();
    EXPECT_FALSE(Confirm(*dialog, QString::fromLatin1(c.typed)));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(asked);
    ASSERT_EQ(messages_.seen.size(), 1u);
    EXPECT_EQ(messages_.seen[0].kind, pw::MessageKind::Information);
    EXPECT_EQ(messages_.seen[0].text, kOverwriteSourceMessage);

    // The same name as another type is a different file.
    messages_.seen.clear();
    dialog->selectType(3);
    EXPECT_TRUE(Confirm(*dialog, QString::fromLatin1(c.typed)));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(messages_.seen.empty());
  }
}

// Replacing is asked about for the file that will be written, which may
// not be the name typed.
TEST_F(SaveDialogTest, ReplacingAnExistingOutputIsAskedFirst) {
  pwtest::WriteWav((dir_ + QStringLiteral("/old.flac")).toStdString(), pwtest::Sine(440, 8000, 1, 80), 8000, 1, 16);
  pwtest::WriteWav((dir_ + QStringLiteral("/old.txt")).toStdString(), pwtest::Sine(440, 8000, 1, 80), 8000, 1, 16);
  std::vector<QString> asked;
  bool answer = false;
  auto dialog = Dialog(3);
  dialog->confirmReplace = [&](const QString& name) {
    asked.push_back(name);
    return answer;
  };

  EXPECT_FALSE(Confirm(*dialog, QStringLiteral("old.txt")));  // no: the dialog stays
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], QStringLiteral("old.flac"));

  answer = true;
  EXPECT_TRUE(Confirm(*dialog, QStringLiteral("old.txt")));
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(dialog->outputName(), dir_ + QStringLiteral("/old.flac"));
  EXPECT_TRUE(dialog->overwriteConfirmed());

  // old.txt exists, old.mp3 does not: nothing to replace, nothing asked.
  auto mp3 = Dialog(1);
  mp3->confirmReplace = [&](const QString& name) {
    asked.push_back(name);
    return true;
  };
  EXPECT_TRUE(Confirm(*mp3, QStringLiteral("old.txt")));
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_FALSE(mp3->overwriteConfirmed());
  EXPECT_TRUE(messages_.seen.empty());
}

// The save writes the source's karaoke companion beside the output: the
// question names whichever of the two exists, and its yes covers both.
TEST_F(SaveDialogTest, AnExistingCompanionIsAskedAboutLikeTheOutput) {
  const auto touch = [](const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(24, '\x09'));
  };
  touch(dir_ + QStringLiteral("/song.cdg"));
  struct Case {
    const char* name;
    bool audioExists;
    bool companionExists;
    const char* asked;  // nullptr: nothing asked
  };
  const Case cases[] = {
      {"fresh", false, false, nullptr},
      {"audio", true, false, "audio.mp3"},
      {"graphics", false, true, "graphics.cdg"},
      {"both", true, true, "both.mp3 and both.cdg"},
  };
  for (const Case& c : cases) {
    const QString base = dir_ + QLatin1Char('/') + QLatin1String(c.name);
    if (c.audioExists) touch(base + QStringLiteral(".mp3"));
    if (c.companionExists) touch(base + QStringLiteral(".cdg"));
    for (const bool answer : {false, true}) {
      std::vector<QString> asked;
      auto dialog = Dialog(1);
      dialog->confirmReplace = [&](const QString& name) {
        asked.push_back(name);
        return answer;
      };
      const bool accepted = Confirm(*dialog, QLatin1String(c.name));
      if (c.asked == nullptr) {
        EXPECT_TRUE(asked.empty()) << c.name;
        EXPECT_TRUE(accepted) << c.name;
        EXPECT_FALSE(dialog->overwriteConfirmed()) << c.name;
        continue;
      }
      EXPECT_EQ(asked, (std::vector<QString>{QString::fromLatin1(c.asked)})) << c.name;
      EXPECT_EQ(accepted, answer) << c.name;
      EXPECT_EQ(dialog->overwriteConfirmed(), accepted) << c.name;
    }
  }
  // Where the output's companion would be the source's own, it is not
  // written, so it is not asked about.
  std::vector<QString> asked;
  auto dialog = Dialog(1);
  dialog->confirmReplace = [&](const QString& name) {
    asked.push_back(name);
    return true;
  };
  EXPECT_TRUE(Confirm(*dialog, QStringLiteral("song")));
  EXPECT_TRUE(asked.empty());
  EXPECT_TRUE(messages_.seen.empty());
}

TEST(ProposedSaveName, NamesTheChangedValuesAndKeepsTheExtensionWhole) {
  const auto values = [](double speed, double tempo, double pitch, double cents, double treble, double bass) {
    EffectValues v;
    v.speedPercent = speed;
    v.tempoPercent = tempo;
    v.pitchSemitones = pitch;
    v.fineTuneCents = cents;
    v.treblePercent = treble;
    v.bassPercent = bass;
    return v;
  };
  const struct {
    const char* source;
    EffectValues values;
    int32_t type;
    const char* point;
    const char* proposed;
    const char* written;  // what saving the proposal as `type` writes
  } cases[] = {
      {"/m/Song.wav", {}, 1, ".", "Song", "Song.mp3"},
      {"/m/Song.wav", values(0, -30, 2, 0, 0, 0), 1, ".", "Song (tempo −30 %, +2 st).mp3",
       "Song (tempo −30 %, +2 st).mp3"},
      {"/m/Song.wav", values(10, 0, 0, 0, 0, 0), 3, ".", "Song (speed +10 %).flac", "Song (speed +10 %).flac"},
      {"/m/Song.wav", values(-50, 0, -1.5, 0, 0, 0), 2, ".", "Song (speed −50 %, −1.5 st).wav",
       "Song (speed −50 %, −1.5 st).wav"},
      {"/m/Song.wav", values(0, 0, 2.5, 0, 0, 0), 4, ".", "Song (+2.5 st).m4a", "Song (+2.5 st).m4a"},
      {"/m/Song.wav", values(0, 0, 0, 14, 40, 20), 1, ".", "Song (+14 cents, treble +40 %, bass +20 %).mp3",
       "Song (+14 cents, treble +40 %, bass +20 %).mp3"},
      {"/m/Song.wav", values(10, -30, 2, 14, 40, 20), 1, ".",
       "Song (speed +10 %, tempo −30 %, +2 st, +14 cents, treble +40 %, bass +20 %).mp3",
       "Song (speed +10 %, tempo −30 %, +2 st, +14 cents, treble +40 %, bass +20 %).mp3"},
      // Rounded as the labels round: a tempo of −29.96 shows as −30.0.
      {"/m/Song.wav", values(0, -29.96, 0, -13.6, 0, 0), 1, ".", "Song (tempo −30 %, −14 cents).mp3",
       "Song (tempo −30 %, −14 cents).mp3"},
      {"/m/Song.wav", values(0, 33.349, 0, 0, 0, 0), 1, ".", "Song (tempo +33.3 %).mp3", "Song (tempo +33.3 %).mp3"},
      // What shows as zero is not a change.
      {"/m/Song.wav", values(0.04, -0.04, 0.04, 0.4, 0.04, 0), 2, ".", "Song", "Song.wav"},
      {"/m/Song.wav", values(0, 0, 2.5, 0, 0, 0), 1, ",", "Song (+2,5 st).mp3", "Song (+2,5 st).mp3"},
      {"/m/Song.wav", values(5, 0, 0, 0, 0, 0), 0, ".", "Song (speed +5 %).mp3", "Song (speed +5 %).mp3"},
      // The base as the unchanged proposal has it; a dot in it keeps the
      // extension on.
      {"/m/caf\xE9.wav", values(0, 5, 0, 0, 0, 0), 1, ".", "café (tempo +5 %).mp3", "café (tempo +5 %).mp3"},
      {"/m/a.b.flac", {}, 2, ".", "a.b.wav", "a.b.wav"},
      {"/m/.hidden", {}, 1, ".", ".hidden.mp3", ".hidden.mp3"},
  };
  for (const auto& c : cases) {
    const QString proposed = ProposedSaveName(c.source, c.values, c.type, c.point);
    EXPECT_EQ(proposed, QString::fromUtf8(c.proposed)) << c.proposed;
    const std::string written = OutputFileName("/out/" + proposed.toStdString(), c.type < 1 ? 1 : c.type);
    EXPECT_EQ(written, std::string("/out/") + c.written) << c.proposed;
  }
}

}  // namespace
