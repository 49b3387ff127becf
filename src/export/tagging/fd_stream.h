// The stream TagLib reads and writes a file through, over a plain file
// descriptor. TagLib's own file stream ignores the results of its writes,
// truncates and seeks, so a full disk during a tag save goes unnoticed and
// leaves a damaged file behind a "saved" answer. Here every call is checked
// and the first failure is kept with the system's reason (a failed seek when
// something is next written or truncated there); from then on
// nothing more is written, and the caller, after TagLib's save, asks
// failed() and then sync() and close(), which are checked as well.
#pragma once

#include <taglib/tiostream.h>

#include <cstdint>
#include <string>

namespace pwtag {

class FdStream : public TagLib::IOStream {
 public:
  enum class Mode { Read, ReadWrite };

  // Opens an existing file; never creates one. A failure to open is kept
  // like any other (isOpen() is false then). writeBudget: for tests, the
  // bytes the stream takes in all before it fails as the system would with
  // budgetError (ENOSPC: a full disk); negative: no limit.
  FdStream(const std::string& path, Mode mode, int64_t writeBudget = -1, int budgetError = 0);
  ~FdStream() override;
  FdStream(const FdStream&) = delete;
  FdStream& operator=(const FdStream&) = delete;

  TagLib::FileName name() const override { return path_.c_str(); }
  TagLib::ByteVector readBlock(unsigned long length) override;
  void writeBlock(const TagLib::ByteVector& data) override;
  void insert(const TagLib::ByteVector& data, unsigned long start = 0, unsigned long replace = 0) override;
  void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
  bool readOnly() const override { return mode_ == Mode::Read; }
  bool isOpen() const override { return fd_ >= 0; }
  void seek(long offset, Position p = Beginning) override;
  long tell() const override;
  long length() override;
  void truncate(long length) override;

  // Forces what was written to the disk; false on failure (kept).
  bool sync();
  // Closes the descriptor; false if closing failed or anything failed before.
  bool close();

  bool failed() const { return errorNumber_ != 0; }
  int errorNumber() const { return errorNumber_; }
  // The system's text for the first failure; empty while there is none.
  const std::string& reason() const { return reason_; }

 private:
  void fail(int errorNumber);
  bool writeAt(const char* data, size_t size);
  // Moves [from, end) of the file to start at to, in pieces.
  void move(int64_t from, int64_t end, int64_t to);

  std::string path_;
  Mode mode_;
  int fd_ = -1;
  int64_t budget_;
  int budgetError_;
  int seekError_ = 0;  // of the last seek, when it failed
  int errorNumber_ = 0;
  std::string reason_;
};

}  // namespace pwtag
