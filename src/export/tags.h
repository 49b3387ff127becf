// The tag transfer the export job runs on a finished output file, on the
// job thread after the writer has completed the file and before the file is
// moved into place. (The karaoke graphics companion is in cdg_companion.h.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TagCopyResult {
  // Empty when the output is sound; otherwise the one message of the
  // failure, naming the output and the system's reason ("Cannot write
  // "/x/out.flac": No space left on device"). The output may then be
  // damaged and must not be kept.
  std::string failure;
  // Tags that could not be carried over for reasons that leave the output
  // sound (the source's tags unreadable, a WAV too large for them), each
  // naming the file.
  std::vector<std::string> warnings;

  bool ok() const { return failure.empty(); }
};

// Copies the song's tags and pictures of sourcePath onto outputPath (both
// UTF-8 paths) through TagLib. Which fields travel is TagLib's mapping
// between formats, less those that describe how the source was encoded
// (its encoding program and settings). A source without tags, or of a type
// TagLib does not know, leaves the output untouched and is no warning.
// Every write, seek, truncate, flush and close on the output is checked;
// the source is only read.
TagCopyResult CopyTags(const std::string& sourcePath, const std::string& outputPath);

// For tests: the tag transfers from now on take `bytes` bytes in all into
// each output, then fail as the system would with errorNumber (ENOSPC: a
// full disk). A negative count turns this off again. Process-wide;
// production code never sets it.
void FailTagWritesAfterBytesForTesting(int64_t bytes, int errorNumber);
