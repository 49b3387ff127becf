// The tag transfer the export job runs on a finished output file, on the
// job thread after the writer has completed the file and before the file is
// moved into place. (The karaoke graphics companion is in cdg_companion.h.)
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Copies the tags and pictures of SourcePath onto OutputPath (both UTF-8
// paths) through the tag library, loaded for this call and released after
// it. Which fields travel is the library's choice. Does nothing when the
// library cannot be loaded or either file cannot be opened by it (a source
// without tags is no failure). Returns false only when saving the tags into
// OutputPath failed: the output may then be damaged.
bool CopyTags(const std::string& SourcePath, const std::string& OutputPath);

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
