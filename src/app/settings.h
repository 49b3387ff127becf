// The user settings that survive between runs, and the program-wide record.
// Persistent store: QSettings, organisation "Corvane", application
// "Pitchwell", group "Settings" (~/.config/Corvane/Pitchwell.conf on Linux).
// Main thread only.
#pragma once

#include <cstdint>
#include <string>

struct config {
  std::string path;       // "path": kept and written back unchanged
  std::string recent;     // "recent": folder of the last file opened
  std::string recentout;  // "recentout": folder of the last output file
  int32_t Bitrate = 0;    // kb/s chosen in the save dialog; not stored
  int32_t volume = 8000;  // "volume": volume knob position, 1 … 10000
  int32_t defaultcodec = 0;  // "defaultcodec": save dialog's file-type index
  int32_t BitrateIndex = 3;  // 1-based index into the bitrate list; not stored
};

// The program-wide settings record.
extern config Settings;
