#include "save_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QStringDecoder>

#include "audio_writer.h"
#include "cdg_companion.h"
#include "messages.h"
#include "save_command.h"
#include "skin.h"

namespace {

// Same order as the format indices (1 MP3 … 4 M4A) and kOutputExtensions.
constexpr const char* kSaveFileTypes[] = {"MP3 File (*.mp3)", "WAV File (*.wav)", "FLAC File (*.flac)",
                                          "M4A File (*.m4a)"};
constexpr int32_t kDefaultBitrateIndex = 3;  // 128 kb/s
constexpr int kFontPx = 11;                  // the main window's
constexpr QSize kDesignedSize{620, 420};

bool HasBitrate(int32_t typeIndex) { return typeIndex == FileTypeMp3 || typeIndex == FileTypeM4a; }

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
  if (typeIndex < 1 || typeIndex > int32_t(kOutputExtensions.size())) typeIndex = FileTypeMp3;
  selectNameFilter(QString::fromLatin1(kSaveFileTypes[typeIndex - 1]));
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

void SaveDialog::accept() {
  const QStringList files = selectedFiles();
  if (files.isEmpty()) return;
  const QString chosen = files.constFirst();
  // A folder typed or picked is opened, as Qt's dialog does.
  if (QFileInfo(chosen).isDir()) {
    QFileDialog::accept();
    return;
  }
  const int32_t type = typeIndex();
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
