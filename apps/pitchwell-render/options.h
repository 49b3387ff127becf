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

// A slider as given: the user's figure (kept as typed, for the batch's
// child processes) and the slider position it maps to.
struct SliderArg {
  std::string text;
  double position = 0;
};

struct Options {
  Mode mode = Mode::Render;
  SliderArg speed, tempo, pitch, treble, bass;
  int32_t bitrate = 128;      // kb/s, one of BitrateTable
  std::string bitrateText;    // as typed, empty when not given
  bool quiet = false;
  bool overwrite = false;     // -y: an existing OUTPUT (and its .cdg) may be replaced
  int32_t formatIndex = 0;    // from --format; 0 = from OUTPUT's extension
  std::string formatText;     // as typed, empty when not given
  std::string outputDir;      // -o: batch
  int32_t jobs = 1;           // -j
  std::vector<std::string> inputs;
  std::string output;         // single render
};

// Parsed options, or the reason they are refused (a usage error).
struct ParseResult {
  std::optional<Options> options;
  std::string error;
};

ParseResult Parse(const std::vector<std::string>& args);

std::string UsageText();  // the synopsis lines
std::string HelpText();   // --help

}  // namespace render
