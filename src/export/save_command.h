// The save command without its window: output names, the refusal to
// overwrite the source, the output format, and the preparation of the save's
// own session before the export job starts. The window's save dialog and the
// command-line renderer both go through here, so a rendered file is exactly a
// saved one.
//
// The caller's thread; the session is the save's own, read by nobody else.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "decode/audio_file_reader.h"
#include "export/split_render.h"
#include "export/writers/audio_writer.h"
#include "engine/effect_values.h"

class ExportJob;
class ExportProgress;
class Session;

// Bit rates offered in kb/s, at 1-based positions 1 … 8.
inline constexpr std::array<int32_t, 8> kBitrateTable = {96, 112, 128, 160, 192, 224, 256, 320};

// 1-based position of kbps in kBitrateTable, or 0 when it is not offered.
int32_t BitrateIndexOf(int32_t kbps);

// Format index for an extension (".wav", "wav", ".FLAC" …), or 0.
int32_t FormatIndexOfExtension(const std::string& extension);

// The file to be written: chosen with its extension (from the last dot of
// the file name on) replaced by the type's, or the type's appended when it
// has none. typeIndex 1 … 4.
std::string OutputFileName(const std::string& chosen, int32_t typeIndex);

inline constexpr const char* kOverwriteSourceMessage =
    "You cannot overwrite the original file. Please choose a different file name.";

// The dialog's check when the user confirms a name: the message to show
// (information box; the dialog stays open) when the file to be written is
// the source file itself, else nothing. Same file means the same file on
// disk (same device and inode), however the names are spelled.
std::optional<std::string> CheckOutputName(const std::string& chosen, int32_t typeIndex,
                                           const std::string& sourceName);

// The integer PCM handed to the writer: MP3 and M4A take 16-bit samples; WAV
// and FLAC take 24-bit samples when the source has 24 bits, 16-bit
// otherwise (8- and 32-bit sources give 16).
AudioFormat SavePcmFormat(int32_t formatIndex, uint32_t sampleRate, uint32_t channels, int32_t sourceBits);

// Clears the chain's A–B loop, puts the source at 0 and empties every stage
// and the block buffer, so that the export starts at the first sample with
// empty stages and ends at the source's end. The effect values stay: they
// are rendered. With a region (fromMs/toMs of a SaveRequest), the source
// then stands at its start and ends at its end.
void PrepareForExport(Session& session, int64_t fromMs = -1, int64_t toMs = -1);

// What the user chose.
struct SaveRequest {
  std::string chosenName;     // as typed or picked; the type's extension is forced
  int32_t typeIndex = 1;      // 1 MP3, 2 WAV, 3 FLAC, 4 M4A
  EffectValues values;        // what is rendered
  int32_t bitrateKbps = 0;    // MP3 and M4A; 0 lets the encoder choose
  // An existing output (and its .cdg companion) may be replaced: the user
  // has confirmed it (window) or asked for it (-y).
  bool overwrite = false;
  // Only this stretch of the source, in milliseconds (the A–B loop, or the
  // renderer's --from/--to); negative: from the start, to the end.
  int64_t fromMs = -1;
  int64_t toMs = -1;
  // How the stretch may be split over cores: one thread per core unless
  // told (the renderer's -j batch shares the cores among its files).
  SplitSettings split = {};
};

// The save command from the session's preparation on: the request's values
// on the session's chain, PrepareForExport, the export format for the file,
// and the job, owning the session, for the output name, with its options
// (ExportJobOptions) filled from the request and the file. The job has not
// begun: the caller either runs it (run, or start and wait) and destroys it
// after its end. progress may be null. The name must have passed
// CheckOutputName.
std::unique_ptr<ExportJob> CreateExport(std::unique_ptr<Session> session, const SaveRequest& request,
                                        ExportProgress* progress = nullptr);
