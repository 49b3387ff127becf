#include "ui/save_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QStringDecoder>

#include <cmath>

#include "export/writers/audio_writer.h"
#include "export/cdg_companion.h"
#include "core/file_names.h"
#include "core/messages.h"
#include "export/save_command.h"
#include "ui/skin.h"

namespace {

// Same order as the format indices (1 MP3 … 4 M4A) and kOutputExtensions.
constexpr const char* kSaveFileTypes[] = {"MP3 File (*.mp3)", "WAV File (*.wav)", "FLAC File (*.flac)",
                                          "M4A File (*.m4a)"};
// The types as the questions name them, by format index − 1.
constexpr const char* kTypeNames[] = {"MP3", "WAV", "FLAC", "M4A"};
constexpr int32_t kDefaultBitrateIndex = 3;  // 128 kb/s
constexpr int kFontPx = 11;                  // the main window's
constexpr QSize kDesignedSize{620, 420};

// What selectType opens on: anything out of range is MP3.
int32_t ValidType(int32_t typeIndex) {
  return typeIndex < 1 || typeIndex > int32_t(kOutputExtensions.size()) ? int32_t(FileTypeMp3) : typeIndex;
}

bool HasBitrate(int32_t typeIndex) { return typeIndex == FileTypeMp3 || typeIndex == FileTypeM4a; }

constexpr const char* kMinus = "\u2212";

// A value as its label rounds it (`significant` digits, one decimal), with
// a sign and without a ".0"; empty when it shows as zero.
std::string NameNumber(double v, int significant, const std::string& decimalPoint) {
  if (!std::isfinite(v) || LabelNumber(v, significant) == "0.0") return {};
  std::string text = LabelNumber(v, significant, {decimalPoint, std::string(), kMinus});
  const std::string zeroTenth = decimalPoint + "0";
  if (text.size() > zeroTenth.size() && text.compare(text.size() - zeroTenth.size(), zeroTenth.size(), zeroTenth) == 0)
    text.resize(text.size() - zeroTenth.size());
  return v > 0 ? "+" + text : text;
}

// Fine tuning in whole cents, as the tuning caption shows it.
std::string CentsNumber(double cents) {
  const double whole = std::isfinite(cents) ? std::nearbyint(cents) : 0.0;
  if (whole == 0) return {};
  return (whole > 0 ? "+" : kMinus) + std::to_string(int64_t(std::fabs(whole)));
}

}  // namespace

QStringList SaveDialogFilters() {
  QStringList filters;
  for (const char* type : kSaveFileTypes) filters << QString::fromLatin1(type);
  return filters;
}

QString ProposedSaveName(const std::string& sourceName) {
  std::string base = sourceName.substr(sourceName.find_last_of('/') + 1);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  const QByteArray bytes = QByteArray::fromStdString(base);
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString decoded = utf8(bytes);
  return utf8.hasError() ? QString::fromLatin1(bytes) : decoded;
}

QString ChangedValuesText(const EffectValues& values, const std::string& decimalPoint) {
  struct Part {
    std::string number;
    const char* before;
    const char* after;
  };
  // Significant digits as the value labels use them.
  const Part parts[] = {
      {NameNumber(values.speedPercent, 7, decimalPoint), "speed ", " %"},
      {NameNumber(values.tempoPercent, 7, decimalPoint), "tempo ", " %"},
      {NameNumber(values.pitchSemitones, 3, decimalPoint), "", " st"},
      {CentsNumber(values.fineTuneCents), "", " cents"},
      {NameNumber(values.treblePercent, 3, decimalPoint), "treble ", " %"},
      {NameNumber(values.bassPercent, 3, decimalPoint), "bass ", " %"},
  };
  QStringList shown;
  for (const Part& p : parts)
    if (!p.number.empty()) shown << QString::fromStdString(p.before + p.number + p.after);
  return shown.join(QStringLiteral(", "));
}

QString ProposedSaveName(const std::string& sourceName, const EffectValues& values, int32_t typeIndex,
                         const std::string& decimalPoint) {
  QString name = ProposedSaveName(sourceName);
  const QString changed = ChangedValuesText(values, decimalPoint);
  if (!changed.isEmpty()) name += QStringLiteral(" (") + changed + QLatin1Char(')');
  // Qt's dialog and the forced extension take the last dot on for one.
  if (!changed.isEmpty() || name.contains(QLatin1Char('.')))
    name += QLatin1String(kOutputExtensions[size_t(ValidType(typeIndex) - 1)]);
  return name;
}

QString SwitchTypeQuestion(int32_t typedType, const QString& typedName) {
  return QStringLiteral("Save as %1 instead? (\"%2\")")
      .arg(QLatin1String(kTypeNames[ValidType(typedType) - 1]), typedName);
}

SaveDialog::SaveDialog(QWidget* parent, float scale) : QFileDialog(parent) {
  setObjectName(QStringLiteral("saveDialog"));
  // Qt's own dialog: the portal's cannot take the bit-rate row.
  setOption(QFileDialog::DontUseNativeDialog);
  // Replacing is asked about here, for the name that will really be
  // written (the chosen one with the type's extension), not the typed one.
  setOption(QFileDialog::DontConfirmOverwrite);
  setAcceptMode(QFileDialog::AcceptSave);
  setFileMode(QFileDialog::AnyFile);
  setFilter(filter() & ~QDir::CaseSensitive);
  setWindowTitle(QStringLiteral("Save As..."));
  setNameFilters(SaveDialogFilters());
  // A window does not take its parent's font: the main window's, scaled.
  setFont(SkinFont(Face::Tahoma, kFontPx, scale));
  resize(QSize(qRound(kDesignedSize.width() * scale), qRound(kDesignedSize.height() * scale)));

  bitrateLabel_ = new QLabel(QStringLiteral("Bitrate (Kb/s):"), this);
  bitrateLabel_->setObjectName(QStringLiteral("bitrateLabel"));
  bitrateCombo_ = new QComboBox(this);
  bitrateCombo_->setObjectName(QStringLiteral("bitrateCombo"));
  for (int32_t kbps : kBitrateTable) bitrateCombo_->addItem(QString::number(kbps));
  bitrateLabel_->setBuddy(bitrateCombo_);
  // Qt's dialog lays itself out on a grid: the row goes under the type row.
  if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
    const int row = grid->rowCount();
    grid->addWidget(bitrateLabel_, row, 0);
    grid->addWidget(bitrateCombo_, row, 1, Qt::AlignLeft);
  }
  selectBitrate(kDefaultBitrateIndex);

  connect(this, &QFileDialog::filterSelected, this, [this](const QString&) { updateBitrateRow(); });
  updateBitrateRow();
}

void SaveDialog::setFolder(const QString& folder) {
  if (!folder.isEmpty() && QDir(folder).exists()) setDirectory(folder);
}

void SaveDialog::selectType(int32_t typeIndex) {
  selectNameFilter(QString::fromLatin1(kSaveFileTypes[ValidType(typeIndex) - 1]));
  // A filter chosen by the program sends no filterSelected.
  updateBitrateRow();
}

int32_t SaveDialog::typeIndex() const {
  const qsizetype i = SaveDialogFilters().indexOf(selectedNameFilter());
  return i < 0 ? FileTypeMp3 : int32_t(i) + 1;
}

void SaveDialog::selectBitrate(int32_t bitrateIndex) {
  if (bitrateIndex < 1 || bitrateIndex > int32_t(kBitrateTable.size())) bitrateIndex = kDefaultBitrateIndex;
  bitrateCombo_->setCurrentIndex(bitrateIndex - 1);
}

int32_t SaveDialog::bitrateIndex() const { return bitrateCombo_->currentIndex() + 1; }

void SaveDialog::selectName(const QString& name) { selectFile(name); }

bool SaveDialog::bitrateRowActive() const {
  return !bitrateCombo_->isHidden() && bitrateCombo_->isEnabled() && !bitrateLabel_->isHidden();
}

void SaveDialog::updateBitrateRow() {
  const bool active = HasBitrate(typeIndex());
  for (QWidget* w : {static_cast<QWidget*>(bitrateLabel_), static_cast<QWidget*>(bitrateCombo_)}) {
    w->setVisible(active);
    w->setEnabled(active);
  }
}

bool SaveDialog::askReplace(const QStringList& fileNames) {
  const QString question =
      fileNames.size() == 1
          ? QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(fileNames.constFirst())
          : QStringLiteral("%1 already exist.\nDo you want to replace them?").arg(fileNames.join(QLatin1String(" and ")));
  return QMessageBox::warning(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

int32_t SaveDialog::typeForName(const QString& chosen) {
  const int32_t selected = typeIndex();
  const int32_t typed = FormatIndexOfExtension(FileExtension(chosen.toStdString()));
  if (typed == 0 || typed == selected) return selected;
  const QString question = SwitchTypeQuestion(typed, QFileInfo(chosen).fileName());
  const QMessageBox::StandardButton answer =
      askSwitchType ? askSwitchType(question)
                    : QMessageBox::question(this, windowTitle(), question,
                                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
  if (answer == QMessageBox::Yes) {
    selectType(typed);
    return typed;
  }
  return answer == QMessageBox::No ? selected : 0;
}

void SaveDialog::accept() {
  const QStringList files = selectedFiles();
  if (files.isEmpty()) return;
  const QString chosen = files.constFirst();
  // A folder typed or picked is opened, as Qt's dialog does.
  if (QFileInfo(chosen).isDir()) {
    QFileDialog::accept();
    return;
  }
  const int32_t type = typeForName(chosen);
  if (type == 0) return;
  if (const auto refusal = CheckOutputName(chosen.toStdString(), type, sourceName_)) {
    pw::ShowMessage(pw::MessageKind::Information, *refusal);
    return;
  }
  const QString output = QString::fromStdString(OutputFileName(chosen.toStdString(), type));
  // The save also writes the source's karaoke companion beside the output
  // (unless that would be the source's own): an existing one is replaced
  // under the same answer, as the renderer's -y does.
  QStringList existing;
  const auto present = [](const QFileInfo& f) { return f.exists() || f.isSymLink(); };
  const QFileInfo target(output);
  if (present(target)) existing << target.fileName();
  const std::string sourceCompanion = sourceName_.empty() ? std::string() : FindCompanion(sourceName_);
  if (!sourceCompanion.empty()) {
    const std::string companion = CompanionName(output.toStdString());
    const QFileInfo companionFile(QString::fromStdString(companion));
    if (!IsSourceCompanion(sourceCompanion, companion) && present(companionFile)) existing << companionFile.fileName();
  }
  bool overwrite = false;
  if (!existing.isEmpty()) {
    if (!(confirmReplace ? confirmReplace(existing.join(QLatin1String(" and "))) : askReplace(existing))) return;
    overwrite = true;
  }
  chosen_ = chosen;
  output_ = output;
  overwrite_ = overwrite;
  QFileDialog::accept();
}
