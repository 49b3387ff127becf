#include "save_command.h"

#include <cmath>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <utility>

#include "player.h"
#include "effect_chain.h"
#include "engine.h"
#include "export_job.h"
#include "audio_writer.h"
#include "slider_mapping.h"

int32_t BitrateIndexOf(int32_t kbps) {
  const auto it = std::find(kBitrateTable.begin(), kBitrateTable.end(), kbps);
  return it == kBitrateTable.end() ? 0 : int32_t(it - kBitrateTable.begin()) + 1;
}

int32_t FormatIndexOfExtension(const std::string& extension) {
  std::string ext = extension;
  if (ext.empty() || ext[0] != '.') ext.insert(ext.begin(), '.');
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  for (size_t i = 0; i < kOutputExtensions.size(); ++i)
    if (ext == kOutputExtensions[i]) return int32_t(i) + 1;
  return 0;
}

std::string OutputFileName(const std::string& chosen, int32_t typeIndex) {
  const size_t i = size_t(std::clamp<int32_t>(typeIndex, 1, int32_t(kOutputExtensions.size())) - 1);
  return ChangeFileExt(chosen, kOutputExtensions[i]);
}

std::optional<std::string> CheckOutputName(const std::string& chosen, int32_t typeIndex,
                                           const std::string& sourceName) {
  // Linux names are case-sensitive and may reach one file by several
  // spellings (./, .., links): ask the file system. A name that does not
  // exist yet cannot be the source.
  std::error_code ec;
  if (std::filesystem::equivalent(OutputFileName(chosen, typeIndex), sourceName, ec) && !ec)
    return std::string(kOverwriteSourceMessage);
  return std::nullopt;
}

AudioFormat SavePcmFormat(int32_t formatIndex, uint32_t sampleRate, uint32_t channels, int32_t sourceBits) {
  const bool packed24 = sourceBits == 24 && (formatIndex == FileTypeWav || formatIndex == FileTypeFlac);
  return MakeAudioFormat(SampleEncoding::Integer, sampleRate, uint16_t(channels), packed24 ? 24 : 16);
}

void PrepareForExport(Player& player, EffectChain& chain, int64_t fromMs, int64_t toMs) {
  chain.Loop.clear();  // a practice loop would never let the export end
  chain.SetSourceEnd(-1);
  player.Stop();
  player.SetPositionMs(0);
  chain.FlushAll();
  if (fromMs > 0 && player.Reader && player.Reader->Decoder) {
    // Frame-exact, not through the millisecond seek.
    player.Reader->Decoder->seek(int64_t(std::llround(double(fromMs) * player.SampleRate / 1000.0)));
    player.Reader->UpdatePosition();
  }
  if (toMs >= 0) chain.SetSourceEnd(int64_t(std::llround(double(toMs) * player.SampleRate / 1000.0)));
}

std::unique_ptr<ExportJob> CreateExport(Engine& engine, const SaveRequest& request, ExportProgress* progress) {
  Player& player = engine.player;
  ExportJobOptions options;
  options.outName = OutputFileName(request.chosenName, request.typeIndex);
  PrepareForExport(player, engine.chain, request.fromMs, request.toMs);
  const int32_t sourceBits = player.Reader ? player.Reader->SourceBits : 16;
  options.formatIndex = request.typeIndex;
  options.format.pcm = SavePcmFormat(request.typeIndex, player.SampleRate, player.Channels, sourceBits);
  options.format.bitrateKbps = request.bitrateKbps;
  options.tempoChange = pw::TempoChange(request.speedPosition, request.tempoPosition);
  options.sourceName = player.FileName;
  options.overwriteAllowed = request.overwrite;
  options.fromMs = request.fromMs;
  options.toMs = request.toMs;
  options.progress = progress;
  return std::make_unique<ExportJob>(engine, std::move(options));
}
