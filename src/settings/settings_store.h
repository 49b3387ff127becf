// The user settings that survive between runs.
// Persistent store: QSettings, organisation "Corvane", application
// "Pitchwell", group "Settings" (~/.config/Corvane/Pitchwell.conf on Linux,
// HKEY_CURRENT_USER\Software\Corvane\Pitchwell\Settings on Windows).
// Main thread only.
#pragma once

#include <cstdint>
#include <string>

struct Settings {
  // Folders, each with a trailing separator.
  struct Folders {
    std::string program;    // "path": kept and written back unchanged
    std::string recent;     // "recent": folder of the last file opened
    std::string recentOut;  // "recentout": folder of the last output file
  };
  // The save dialog's choices.
  struct Encoder {
    int32_t typeIndex = 0;     // "defaultcodec": the file-type index
    int32_t bitrateIndex = 3;  // 1-based index into the bitrate list; not stored
    int32_t bitrateKbps = 0;   // the bit rate at bitrateIndex; not stored
  };

  Folders folders;
  Encoder encoder;
  int32_t volume = 8000;  // "volume": volume knob position, 1 … 10000
  // Added later, beside the keys above (which stay as they are):
  int32_t practiceDrawer = 0;  // "practicedrawer": 1 when the practice drawer was open
  int32_t keepSettings = 0;    // "keepsettings": 1 when a new song keeps the five sliders
  int32_t sendReports = 1;     // "sendreports": 0 when the user turned error reports off
};

// Where Load and Save look. Empty fields select the program's own choices.
struct SettingsStore {
  std::string file;        // an INI file instead of the per-user store
  std::string programDir;  // the folder the defaults name, instead of the executable's
};

// Sets the defaults (path := the program's folder with a trailing separator;
// recent and recentout := store.programDir when given, else the user's music
// folder, else home; volume 8000; defaultcodec 0; practicedrawer 0;
// sendreports 1), then takes every value the store holds. Value names match
// without regard to case; a value of the wrong type counts as absent.
// Creates an empty store when there is none, so that Save can write at
// exit. A store that cannot be opened leaves the defaults. The bit rate
// (encoder.bitrateIndex, encoder.bitrateKbps) is not touched. Never reports
// anything.
void Load(Settings& settings, const SettingsStore& store = {});

// Writes path, recent, recentout (text) and volume, defaultcodec,
// practicedrawer, sendreports (integers) into an existing store; writes
// nothing when the store is missing or cannot be written. Never reports
// anything.
void Save(const Settings& settings, const SettingsStore& store = {});

// The user's music folder (home when there is none), with a trailing
// separator.
std::string UserMusicFolder();

// Folder of the running executable, with a trailing separator.
std::string ProgramFolder();

// Where the per-user store lives (a file path, or a registry path on Windows).
std::string SettingsLocation();
