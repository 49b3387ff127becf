// Command line of pitchwell-render: what the user asked for, checked
// against the same ranges and lists as the window's sliders and save
// dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace render {

enum class Mode { Render, Batch, Info, Bpm, Key, Help, Version };

// An effect as given: the user's figure as typed (for the batch's child
// processes) and its value, applied exactly.
struct SliderArg {
  std::string text;
  double value = 0;
};

struct Options {
  Mode mode = Mode::Render;
  SliderArg speed, tempo, pitch, treble, bass;
  int32_t bitrate = 128;      // kb/s, one of kBitrateTable
  std::string bitrateText;    // as typed, empty when not given
  bool quiet = false;
  bool overwrite = false;     // -y: an existing OUTPUT (and its .cdg) may be replaced
  int32_t formatIndex = 0;    // from --format; 0 = from OUTPUT's extension
  std::string formatText;     // as typed, empty when not given
  std::string outputDir;      // -o: batch
  int32_t jobs = 1;           // -j
  std::vector<std::string> inputs;
  std::string output;         // single render
  // Beyond the window's sliders (its practice tools):
  double cents = 0;           // --cents: fine pitch offset, -100 … 100 cents
  bool formant = false;       // --formant: keep formants when the pitch moves
  int64_t fromMs = -1;        // --from / --to: only this stretch of the input
  int64_t toMs = -1;
  // --from-marker / --to-marker: the stretch's ends at markers of these
  // names that the song memory keeps for the input (empty: not given).
  // Resolved per input before rendering, into fromMs / toMs.
  std::string fromMarker;
  std::string toMarker;
};

// "12.5", "1:05", "1:05.25", "1:02:03": seconds, minutes and seconds, or
// hours, minutes and seconds, as milliseconds; nothing for anything else.
std::optional<int64_t> TimeMs(const std::string& text);

// Parsed options, or the reason they are refused (a usage error).
struct ParseResult {
  std::optional<Options> options;
  std::string error;
};

ParseResult Parse(const std::vector<std::string>& args);

std::string UsageText();  // the synopsis lines
std::string HelpText();   // --help

}  // namespace render
