// The two steps the export job runs on a finished output file: the karaoke
// graphics companion (".cdg") and the tag transfer. Both run on the job
// thread after the writer has closed the file; both fail quietly and never
// affect the export itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// If SourceName has a companion (same folder and base name, extension
// ".cdg", or ".CDG" when there is no ".cdg"), writes OutName's companion
// (OutName with the extension ".cdg", created anew) time-scaled to the
// output: TempoChange is the change of tempo in whole percent, the output
// playing (100 + TempoChange) / 100 times as fast as the source.
//
// Faster (TempoChange >= 0): packets that carry no graphics (first byte not
// 9) are dropped, about q = |100 - 100 * 100 / (100 + TempoChange)| per 100,
// a shortfall carrying over to later chunks of 100. Slower down to half
// speed: a packet of 24 zero bytes goes in before every (100 / q)-th source
// packet. Slower than half speed: before each source packet but the first,
// as many empty packets as keep the output count at
// 1 + floor(n * 100 / (100 + TempoChange)) after n + 1 source packets.
// A trailing partial packet is not written.
//
// Nothing is written when there is no companion, when TempoChange <= -100,
// or when both names lead to the same companion file. Open, read and write
// failures end the step quietly (the output companion may then be missing
// or incomplete).
void ConvertCdgFile(const std::string& SourceName, const std::string& OutName, int32_t TempoChange);

// Copies the tags and pictures of SourcePath onto OutputPath (both UTF-8
// paths) through the tag library, loaded for this call and released after
// it. Which fields travel is the library's choice. Silently does nothing
// when the library cannot be loaded or either file cannot be opened by it.
void CopyTags(const std::string& SourcePath, const std::string& OutputPath);

// The tag library, loaded while the object lives. Looked for, by file name,
// in the folder of the running executable, then in the build tree, then on
// the system's library search path; a name containing '/' is loaded as it
// is. Used by one thread at a time.
class TagLibrary {
 public:
  TagLibrary();
  ~TagLibrary();
  TagLibrary(const TagLibrary&) = delete;
  TagLibrary& operator=(const TagLibrary&) = delete;

  bool Loaded() const { return handle != nullptr; }
  // The entry point of that name, or null (also when not loaded).
  void* Symbol(const char* name) const;
  template <typename Function>
  Function Get(const char* name) const {
    return reinterpret_cast<Function>(Symbol(name));
  }

 private:
  struct Closer {
    void operator()(void* h) const noexcept;
  };
  std::unique_ptr<void, Closer> handle;
};

// File name of the tag library ("libpwtagwrapper.so"). Tests point it at a
// missing library; change it only while no transfer runs.
void SetTagLibraryName(const std::string& name);
std::string TagLibraryName();
