#include "options.h"

#include "core/file_names.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "engine/effect_values.h"
#include "export/save_command.h"

namespace render {
namespace {

// Plain decimal figures only: strtod would also take "0x10", "inf" and
// leading blanks.
bool IsDecimal(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0, dots = 0;
  for (; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) ++digits;
    else if (text[i] == '.' && ++dots == 1) continue;
    else break;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t start = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == start) return false;
  }
  return i == text.size();
}

std::optional<double> Number(const std::string& text) {
  if (text.empty() || !IsDecimal(text)) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace

std::optional<int64_t> TimeMs(const std::string& text) {
  double total = 0;
  size_t start = 0;
  int parts = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    const std::string part = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    const auto v = Number(part);
    // Only the last part may have a fraction; the ones after the first stay below 60.
    if (!v || *v < 0 || part.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
    if (colon != std::string::npos && part.find('.') != std::string::npos) return std::nullopt;
    if (parts > 0 && *v >= 60) return std::nullopt;
    total = total * 60 + *v;
    if (++parts > 3) return std::nullopt;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (total > 1e9) return std::nullopt;
  return int64_t(std::llround(total * 1000));
}

namespace {

std::optional<int32_t> Integer(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return int32_t(v);
}

struct SliderOption {
  const char* name;
  SliderArg Options::*field;
  ValueRange range;
  const char* rangeText;
};

const SliderOption kSliders[] = {
    {"--speed", &Options::speed, kSpeedPercentRange, "between -50 and 100 (percent)"},
    {"--tempo", &Options::tempo, kTempoPercentRange, "between -50 and 100 (percent)"},
    {"--pitch", &Options::pitch, kPitchSemitoneRange, "between -12 and 12 (semitones)"},
    {"--treble", &Options::treble, kTreblePercentRange, "between 0 and 100 (percent)"},
    {"--bass", &Options::bass, kBassPercentRange, "between 0 and 100 (percent)"},
};

}  // namespace

std::string UsageText() {
  return "usage: pitchwell-render [--speed PCT] [--tempo PCT] [--pitch ST] [--treble PCT] [--bass PCT]\n"
         "                        [--cents C] [--formant] [--from T] [--to T]\n"
         "                        [--from-marker NAME] [--to-marker NAME]\n"
         "                        [--bitrate KBPS] [-f FORMAT] [-y] [-q] INPUT OUTPUT\n"
         "       pitchwell-render [options] -o DIR [-j N] INPUT...\n"
         "       pitchwell-render --info INPUT\n"
         "       pitchwell-render [--speed PCT] [--tempo PCT] --bpm INPUT\n"
         "       pitchwell-render --key INPUT\n"
         "       pitchwell-render --help | --version\n";
}

std::string HelpText() {
  return "pitchwell-render: saves an audio file through Pitchwell's effect chain, exactly as the\n"
         "window's SAVE does with the sliders at the given values.\n\n" +
         UsageText() +
         "\nEffects (the window's sliders; 0 leaves a stage out):\n"
         "  --speed PCT     speed change, -50 … 100 % (pitch and duration together)\n"
         "  --tempo PCT     tempo change, -50 … 100 % (duration only)\n"
         "  --pitch ST      pitch change, -12 … 12 semitones (the slider has tenths)\n"
         "  --treble PCT    treble boost, 0 … 100 %\n"
         "  --bass PCT      bass boost, 0 … 100 %\n"
         "  Values may be written --pitch -12 or --pitch=-12.\n"
         "\nPractice tools (as in the window's practice drawer):\n"
         "  --cents C       fine pitch offset, -100 … 100 cents, on top of --pitch (tuning a\n"
         "                  recording to A = 440 Hz: the opposite of what --key measures)\n"
         "  --formant       keep the formants (a voice's character) when the pitch moves\n"
         "  --from T, --to T  render only this stretch of INPUT; T in seconds (12.5), M:SS or\n"
         "                  H:MM:SS (1:05.25); no .cdg is written for a part of a song\n"
         "  --from-marker NAME, --to-marker NAME\n"
         "                  render from or up to the marker named NAME (exactly) that the\n"
         "                  window's song memory keeps for INPUT; the song is known by its\n"
         "                  sound, wherever its file lies now. One alone renders from the marker\n"
         "                  to the end, or from the start to the marker; each may go with the\n"
         "                  other end's --to or --from. The memory is only read\n"
         "                  ($XDG_DATA_HOME/pitchwell/songs.sqlite, ~/.local/share by default)\n"
         "\nOutput:\n"
         "  OUTPUT's extension picks the format: .mp3 .wav .flac .m4a. With -f/--format FORMAT\n"
         "  (mp3, wav, flac, m4a) OUTPUT gets that format's extension instead, as in the save\n"
         "  dialog (song.txt with -f flac writes song.flac).\n"
         "  --bitrate KBPS  MP3 and M4A bit rate: 96 112 128 160 192 224 256 320 (default 128)\n"
         "  WAV and FLAC keep 24 bits from a 24-bit source and are 16-bit otherwise.\n"
         "  The source is never overwritten. Tags are copied and a .cdg file beside the source\n"
         "  (.cdg, .CDG or any other case) is written, time-scaled, beside the output. It is not\n"
         "  written where it would take the place of the source's own .cdg.\n"
         "  -y, --overwrite replace an OUTPUT (and its .cdg) that already exists; without it an\n"
         "                  existing file is refused (exit status 1). Even then the old file stays\n"
         "                  as it was until the new one is complete: the output is written under a\n"
         "                  temporary name in OUTPUT's folder and renamed at the end. An interrupted\n"
         "                  or failed render removes only that temporary file.\n"
         "  OUTPUT must be a regular file or not exist yet: a named pipe, device or folder there\n"
         "  (or at the .cdg's place) is refused.\n"
         "\nBatch:\n"
         "  -o DIR          writes DIR/NAME.EXT for each INPUT (NAME: the input's name without\n"
         "                  its extension; EXT from -f, default mp3)\n"
         "  -j N            renders N files at once (default 1), on N threads of this process\n"
         "\nInformation:\n"
         "  --info INPUT    sample rate, channels, bits and exact duration of INPUT (bits: the\n"
         "                  source's resolution, 32 for float; \"none (lossy)\" for lossy codecs)\n"
         "  --bpm INPUT     measures the tempo and prints the BPM label as the window shows it\n"
         "                  after GET BPM (ORIGINAL/MODIFIED, the modified figure following\n"
         "                  --speed and --tempo), or --- when no tempo is found\n"
         "  --key INPUT     measures the musical key and the tuning in cents against A = 440 Hz:\n"
         "                  \"A minor, tuning +14 \u00a2\" (\u22127 \u00a2 when flat), or --- when nothing\n"
         "                  tonal is heard\n"
         "\nOther:\n"
         "  -q, --quiet     no progress bar (it is drawn on stderr when that is a terminal)\n"
         "  -h, --help      this text\n"
         "  --version       the program's version\n"
         "\nNotices (an MP3 bit rate lowered to what the sample rate allows) are printed and do\n"
         "not change the exit status.\n"
         "\nExit status:\n"
         "  0    saved\n"
         "  1    usage error; also: OUTPUT is the source file, or OUTPUT (or its .cdg) exists\n"
         "       and -y was not given, or the song memory does not know INPUT or its marker\n"
         "  2    the input cannot be used (nor the song memory, for a marker)\n"
         "  3    the output cannot be written (full disk, no permission, not a regular file,\n"
         "       ...): nothing was saved, and a file that was at OUTPUT is as it was\n"
         "  4    saved, but the input is damaged or truncated: it ended before its stated\n"
         "       length, and what could be decoded was saved\n"
         "  5    saved, with a warning: the .cdg companion was not written\n"
         "  128+N  ended by signal N (130 Ctrl-C, 129 hang-up, 143 TERM): the file in progress\n"
         "       was not saved (in a batch, the files finished before stay)\n"
         "A batch exits with the most serious status of its files, in this order: signal, 3, 2,\n"
         "1, 4, 5, 0.\n";
}

ParseResult Parse(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  bool info = false, bpm = false, key = false, help = false, version = false;
  auto fail = [](std::string text) { return ParseResult{std::nullopt, std::move(text)}; };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      positional.insert(positional.end(), args.begin() + long(i) + 1, args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }

    // Splits "--name=value", "-jN" and "--name value"; a value may start
    // with '-' (negative figures).
    std::string name = arg, value;
    bool attached = false;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        attached = true;
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      attached = true;
    }
    auto takeValue = [&](std::string& out) -> bool {
      if (attached) {
        out = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto flag = [&](bool& target) -> bool {
      if (attached) return false;
      target = true;
      return true;
    };

    if (name == "-h" || name == "--help") {
      if (!flag(help)) return fail("option " + name + " takes no value");
    } else if (name == "--version") {
      if (!flag(version)) return fail("option --version takes no value");
    } else if (name == "--info") {
      if (!flag(info)) return fail("option --info takes no value");
    } else if (name == "--bpm") {
      if (!flag(bpm)) return fail("option --bpm takes no value");
    } else if (name == "--key") {
      if (!flag(key)) return fail("option --key takes no value");
    } else if (name == "-q" || name == "--quiet") {
      if (!flag(o.quiet)) return fail("option " + name + " takes no value");
    } else if (name == "-y" || name == "--overwrite") {
      if (!flag(o.overwrite)) return fail("option " + name + " takes no value");
    } else if (name == "--bitrate") {
      if (!takeValue(o.bitrateText)) return fail("option --bitrate needs a value");
      const auto kbps = Integer(o.bitrateText);
      if (!kbps || BitrateIndexOf(*kbps) == 0)
        return fail("--bitrate must be one of 96 112 128 160 192 224 256 320, not '" + o.bitrateText + "'");
      o.bitrate = *kbps;
    } else if (name == "-f" || name == "--format") {
      if (!takeValue(o.formatText)) return fail("option " + name + " needs a value");
      o.formatIndex = FormatIndexOfExtension(o.formatText);
      if (o.formatIndex == 0) return fail("unknown format '" + o.formatText + "' (mp3, wav, flac or m4a)");
    } else if (name == "-o" || name == "--output-dir") {
      if (!takeValue(o.outputDir) || o.outputDir.empty()) return fail("option " + name + " needs a folder");
    } else if (name == "--formant") {
      if (!flag(o.formant)) return fail("option --formant takes no value");
    } else if (name == "--cents") {
      std::string text;
      if (!takeValue(text)) return fail("option --cents needs a value");
      const auto v = Number(text);
      if (!v || *v < -100 || *v > 100) return fail("--cents must be a number between -100 and 100, not '" + text + "'");
      o.cents = *v;
    } else if (name == "--from" || name == "--to") {
      std::string text;
      if (!takeValue(text)) return fail("option " + name + " needs a time");
      const auto ms = TimeMs(text);
      if (!ms) return fail(name + " must be a time such as 12.5, 1:05 or 1:02:03, not '" + text + "'");
      (name == "--from" ? o.fromMs : o.toMs) = *ms;
    } else if (name == "--from-marker" || name == "--to-marker") {
      std::string& target = name == "--from-marker" ? o.fromMarker : o.toMarker;
      if (!takeValue(target) || target.empty()) return fail("option " + name + " needs a marker's name");
    } else if (name == "-j" || name == "--jobs") {
      std::string text;
      if (!takeValue(text)) return fail("option " + name + " needs a value");
      const auto n = Integer(text);
      if (!n || *n < 1 || *n > 256) return fail("-j must be a number of files from 1 to 256, not '" + text + "'");
      o.jobs = *n;
    } else {
      const SliderOption* slider = nullptr;
      for (const auto& s : kSliders)
        if (name == s.name) slider = &s;
      if (!slider) return fail("unknown option '" + arg + "'");
      SliderArg& target = o.*(slider->field);
      if (!takeValue(target.text)) return fail(std::string("option ") + slider->name + " needs a value");
      const auto figure = Number(target.text);
      if (!figure || !std::isfinite(*figure) || *figure < slider->range.minimum || *figure > slider->range.maximum)
        return fail(std::string(slider->name) + " must be a number " + slider->rangeText + ", not '" + target.text +
                    "'");
      target.value = *figure;
    }
  }

  if (help) {
    o.mode = Mode::Help;
    return {o, {}};
  }
  if (version) {
    o.mode = Mode::Version;
    return {o, {}};
  }
  if (info && bpm) return fail("--info and --bpm cannot be combined");
  if (key && (info || bpm)) return fail(std::string("--key and ") + (info ? "--info" : "--bpm") + " cannot be combined");
  if (o.fromMs >= 0 && !o.fromMarker.empty()) return fail("--from and --from-marker cannot be combined");
  if (o.toMs >= 0 && !o.toMarker.empty()) return fail("--to and --to-marker cannot be combined");
  if (info || bpm || key) {
    const std::string mode = info ? "--info" : bpm ? "--bpm" : "--key";
    if (!o.outputDir.empty()) return fail("-o is for rendering, not with " + mode);
    if (!o.fromMarker.empty() || !o.toMarker.empty())
      return fail(std::string(o.fromMarker.empty() ? "--to-marker" : "--from-marker") + " is for rendering, not with " +
                  mode);
    if (positional.size() != 1) return fail(mode + " takes exactly one INPUT");
    o.mode = info ? Mode::Info : bpm ? Mode::Bpm : Mode::Key;
    o.inputs = positional;
    return {o, {}};
  }
  if (!o.outputDir.empty()) {
    if (positional.empty()) return fail("no INPUT given");
    o.mode = Mode::Batch;
    o.inputs = positional;
    if (o.formatIndex == 0) o.formatIndex = 1;  // MP3, the save dialog's first type
    return {o, {}};
  }
  if (positional.size() != 2) return fail(positional.size() < 2 ? "INPUT and OUTPUT are needed" : "too many arguments (use -o DIR for several inputs)");
  o.mode = Mode::Render;
  o.inputs = {positional[0]};
  o.output = positional[1];
  if (o.formatIndex == 0) {
    o.formatIndex = FormatIndexOfExtension(FileExtension(o.output));
    if (o.formatIndex == 0)
      return fail("cannot tell the format from '" + o.output + "': use .mp3 .wav .flac or .m4a, or --format");
  }
  if (o.jobs != 1) return fail("-j is for batches (with -o DIR)");
  if (o.fromMs >= 0 && o.toMs >= 0 && o.toMs <= o.fromMs) return fail("--to must come after --from");
  // Less than a millisecond is less than a frame at any rate we save: nothing.
  if (o.fromMs < 0 && o.toMs == 0) return fail("--to must come after the start of INPUT");
  return {o, {}};
}

}  // namespace render
