// The file a writer produces: one regular file written with plain system
// calls, every write, seek and close checked.
//
// The first failure is kept together with the system's reason ("No space
// left on device", "Permission denied", ...); from then on the file takes
// nothing more, so what is on disk ends where the failure happened and a
// writer can report the failure once, whenever it next looks.
//
// Nothing is buffered here: each write goes to the system at once (the
// writers hand over whole encoded blocks, and FFmpeg buffers on its side).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class OutputFile {
 public:
  enum class Access { Write, ReadWrite };

  OutputFile() = default;
  // Closes the file if still open; a failure to close then goes unreported.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or empties an existing one. A path that exists but is
  // not a regular file (a named pipe, a device, a folder) is refused before
  // anything is opened, so a pipe without a reader cannot block the caller.
  // False on failure, with reason() telling why.
  bool open(const std::string& path, Access access = Access::Write);

  // All of the bytes or a failure; false once the file has failed.
  bool write(const void* data, size_t size);
  // To an absolute offset; writing past the end leaves a zero-filled gap.
  bool seek(int64_t offset);
  int64_t tell() const { return position_; }
  // The file's current size, or −1 on failure.
  int64_t size();
  // Up to size bytes from the current offset (ReadWrite only): the count
  // read, less than size at the end of the file, or −1 on failure.
  int64_t read(void* data, size_t size);
  // Closes the file; false if closing failed or the file failed before.
  // Nothing is forced to the disk.
  bool close();

  bool isOpen() const { return fd_ >= 0; }
  bool failed() const { return errorNumber_ != 0; }
  int errorNumber() const { return errorNumber_; }
  // The system's text for the first failure, empty while there is none.
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return path_; }
  // "Cannot write "<path>": <reason>"
  std::string failureText() const;
  // "<path>: <reason>", the line added beneath a writer's "cannot create" text.
  std::string reasonLine() const;

  // For tests: every file opened from now on takes `bytes` bytes in all and
  // then fails as the system would with errorNumber (ENOSPC: a full disk).
  // A negative count turns this off again. Process-wide; production code
  // never sets it.
  static void failAfterBytesForTesting(int64_t bytes, int errorNumber);

 private:
  bool fail(int errorNumber);
  bool fail(int errorNumber, std::string reason);

  int fd_ = -1;
  std::string path_;
  int64_t position_ = 0;
  int64_t written_ = 0;     // every byte taken by write, for the test limit
  int64_t writeLimit_ = -1;  // from FailAfterBytesForTesting; −1 none
  int limitError_ = 0;
  int errorNumber_ = 0;
  std::string reason_;
};
