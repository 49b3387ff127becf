// The "Save As..." dialog of the SAVE button: Qt's own file dialog (the
// desktop's portal dialog cannot carry extra controls) with the four output
// types and a bit-rate row below them.
//
// - The type's extension is forced on the output: "song.txt" saved as FLAC
//   is written as "song.flac" (outputName()).
// - The bit-rate row ("Bitrate (Kb/s):" and 96 … 320) is hidden and
//   disabled for WAV and FLAC, which have no bit rate, also when the dialog
//   opens on one of them.
// - A name typed with the extension of another of the four types
//   ("song.flac" while MP3 is selected) is asked about: save as that type
//   instead, keep the selected type (its extension is forced), or go back.
// - Confirming the source file itself (in any spelling, with or without
//   extension) shows the information box kOverwriteSourceMessage and keeps
//   the dialog open.
// - When the file that will be written exists, or the karaoke companion
//   the save writes beside it (the source has one), the user is asked
//   before they are replaced, naming the one that exists (or both);
//   overwriteConfirmed() says whether they were.
//
// Main thread only (all members).
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>

#include "engine/effect_values.h"

class QComboBox;
class QLabel;

// The dialog's file types, "name (mask)", by format index − 1.
QStringList SaveDialogFilters();

// The name the dialog proposes for `sourceName` (a path's bytes): its base
// name without the extension, always valid text. A name that is not UTF-8
// is read as Latin-1, the encoding such old names were mostly written in.
QString ProposedSaveName(const std::string& sourceName);

// The changed values as the proposed name carries them, in this order and
// joined with ", ": "speed +10 %", "tempo −30 %", "+2 st", "+14 cents",
// "treble +40 %", "bass +20 %". Only values that show as non-zero; numbers
// rounded as the value labels round them, without a ".0" (fine tuning in
// whole cents), with a real minus sign (U+2212) and `decimalPoint`. Empty
// when nothing is changed.
QString ChangedValuesText(const EffectValues& values, const std::string& decimalPoint = ".");

// The name the dialog proposes for saving `sourceName` at `values` as
// `typeIndex` (1 … 4; anything else is MP3): "Song (tempo −30 %, +2 st).mp3"
// when a value is changed, else the base name alone ("Song"). An unchanged
// base with a dot in it gets the extension too ("a.b.mp3"), so that forcing
// the type's extension does not cut it short.
QString ProposedSaveName(const std::string& sourceName, const EffectValues& values, int32_t typeIndex,
                         const std::string& decimalPoint = ".");

// The question asked when `typedName` (a file name) carries the extension of
// type `typedType` while another is selected: "Save as FLAC instead?
// ("song.flac")".
QString SwitchTypeQuestion(int32_t typedType, const QString& typedName);

class SaveDialog : public QFileDialog {
  Q_OBJECT

 public:
  // `scale`: the main window's; its font and size follow it.
  SaveDialog(QWidget* parent, float scale);

  // The open file, which may not be chosen.
  void setSourceName(const std::string& sourceName) { sourceName_ = sourceName; }
  // Where the dialog starts; a folder that does not exist leaves Qt's choice.
  void setFolder(const QString& folder);
  // 1 MP3, 2 WAV, 3 FLAC, 4 M4A; anything else opens on MP3.
  void selectType(int32_t typeIndex);
  int32_t typeIndex() const;
  // 1-based position in kBitrateTable; out of range selects 128.
  void selectBitrate(int32_t bitrateIndex);
  int32_t bitrateIndex() const;
  // The name in the file-name box, as if typed.
  void selectName(const QString& name);

  // The bit-rate row as the user sees it (shown and enabled: MP3 and M4A).
  bool bitrateRowActive() const;

  // After acceptance: the name as chosen, and the file to be written.
  QString chosenName() const { return chosen_; }
  QString outputName() const { return output_; }
  // The file to be written existed and the user agreed to replace it.
  bool overwriteConfirmed() const { return overwrite_; }

  // Asks whether the existing `fileName` (or "a.mp3 and a.cdg") may be
  // replaced; a message box unless replaced (tests answer it).
  std::function<bool(const QString& fileName)> confirmReplace;
  // Asks SwitchTypeQuestion: Yes saves as the typed type (and selects it),
  // No keeps the selected one, Cancel leaves the dialog open; a message box
  // unless replaced (tests answer it).
  std::function<QMessageBox::StandardButton(const QString& question)> askSwitchType;

 public slots:
  // The checks above; the dialog closes only when they pass.
  void accept() override;

 private:
  void updateBitrateRow();
  bool askReplace(const QStringList& fileNames);
  // The type to save `chosen` as, after asking when its extension is
  // another type's; 0 when the user went back to the dialog.
  int32_t typeForName(const QString& chosen);

  QLabel* bitrateLabel_ = nullptr;
  QComboBox* bitrateCombo_ = nullptr;
  std::string sourceName_;
  QString chosen_;
  QString output_;
  bool overwrite_ = false;
};
