#include "export/save_command.h"

#include <cmath>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <utility>

#include "export/writers/audio_writer.h"
#include "export/export_job.h"
#include "engine/session.h"

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

void PrepareForExport(Session& session, int64_t fromMs, int64_t toMs) {
  EffectChain& chain = session.chain();
  chain.loop().clear();  // a practice loop would never let the export end
  chain.setSourceEnd(-1);
  session.seekFrame(0);
  session.flush();
  const int rate = session.sampleRate();
  // Frame-exact, not through the millisecond seek.
  if (fromMs > 0) session.seekFrame(int64_t(std::llround(double(fromMs) * rate / 1000.0)));
  if (toMs >= 0) chain.setSourceEnd(int64_t(std::llround(double(toMs) * rate / 1000.0)));
}

std::unique_ptr<ExportJob> CreateExport(std::unique_ptr<Session> session, const SaveRequest& request,
                                        ExportProgress* progress) {
  session->chain().setValues(request.values);
  PrepareForExport(*session, request.fromMs, request.toMs);
  ExportJobOptions options;
  options.outName = OutputFileName(request.chosenName, request.typeIndex);
  options.formatIndex = request.typeIndex;
  options.format.pcm = SavePcmFormat(request.typeIndex, uint32_t(session->sampleRate()), uint32_t(session->channels()),
                                     session->reader().saveBits());
  options.format.bitrateKbps = request.bitrateKbps;
  options.tempoChange = TempoChangePercent(request.values.speedPercent, request.values.tempoPercent);
  options.sourceName = session->fileName();
  options.overwriteAllowed = request.overwrite;
  options.fromMs = request.fromMs;
  options.toMs = request.toMs;
  options.progress = progress;
  options.split = request.split;
  return std::make_unique<ExportJob>(std::move(session), std::move(options));
}
