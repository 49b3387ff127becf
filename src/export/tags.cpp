#include "export/tags.h"

#include <taglib/wavfile.h>

#include <cstring>
#include <mutex>

#include "export/tagging/fd_stream.h"
#include "export/tagging/tag_fields.h"

namespace {

struct WriteBudget {
  int64_t bytes = -1;
  int errorNumber = 0;
};

std::mutex gBudgetLock;
WriteBudget gBudgetSetting;

WriteBudget CurrentBudget() {
  std::lock_guard lock(gBudgetLock);
  return gBudgetSetting;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string CannotWrite(const std::string& path, const std::string& why) {
  return "Cannot write " + Quoted(path) + ": " + why;
}

// The largest file a plain RIFF header can describe: its size field counts
// everything after the first 8 bytes in 32 bits.
constexpr int64_t kRiffLimitBytes = int64_t(0xFFFFFFFFu) + 8;

// RF64 (a WAV over 4 GiB): TagLib reads only plain RIFF and would take the
// 64-bit layout apart, so the file keeps no tags.
bool IsRf64(pwtag::FdStream& stream) {
  stream.seek(0);
  const TagLib::ByteVector id = stream.readBlock(4);
  stream.seek(0);
  return id == TagLib::ByteVector("RF64", 4);
}

// What the WAV will measure once TagLib has added the tags it now holds in
// memory: an ID3 chunk and an INFO list at the end, each padded to even.
int64_t WavSizeWithTags(TagLib::RIFF::WAV::File* wav, int64_t size) {
  const auto chunk = [](int64_t payload) { return payload > 0 ? 8 + payload + (payload & 1) : 0; };
  const int64_t id3 = wav->hasID3v2Tag() || !wav->ID3v2Tag()->isEmpty() ? wav->ID3v2Tag()->render().size() : 0;
  const int64_t info = wav->InfoTag()->isEmpty() ? 0 : wav->InfoTag()->render().size();
  return size + (size & 1) + chunk(id3) + chunk(info);
}

}  // namespace

void FailTagWritesAfterBytesForTesting(int64_t bytes, int errorNumber) {
  std::lock_guard lock(gBudgetLock);
  gBudgetSetting = bytes < 0 ? WriteBudget{} : WriteBudget{bytes, errorNumber};
}

TagCopyResult CopyTags(const std::string& sourcePath, const std::string& outputPath) {
  TagCopyResult result;
  const auto sourceWarning = [&](const std::string& why) {
    result.warnings.push_back("The tags of " + Quoted(sourcePath) + " were not copied: " + why);
  };

  pwtag::FdStream sourceStream(sourcePath, pwtag::FdStream::Mode::Read);
  if (!sourceStream.isOpen()) {
    sourceWarning(sourceStream.reason());
    return result;
  }
  const TagLib::FileRef source = pwtag::OpenTagFile(&sourceStream, sourcePath);
  if (source.isNull() && !sourceStream.failed() && !pwtag::KnownTagType(sourcePath))
    return result;  // a type TagLib has no tags for
  if (source.isNull() || !source.file()->isValid() || sourceStream.failed()) {
    sourceWarning(sourceStream.failed() ? sourceStream.reason() : "the tag library cannot read them");
    return result;
  }

  if (!pwtag::HasSongFields(source.file())) return result;

  const WriteBudget budget = CurrentBudget();
  pwtag::FdStream outputStream(outputPath, pwtag::FdStream::Mode::ReadWrite, budget.bytes, budget.errorNumber);
  const auto failed = [&] {
    result.failure = CannotWrite(outputPath, outputStream.reason());
    return result;
  };
  if (!outputStream.isOpen()) return failed();
  const auto tooLarge = [&] {
    result.warnings.push_back("The tags were not copied to " + Quoted(outputPath) +
                              ": the tag library cannot write them into a WAV file over 4 GiB");
    return result;
  };
  if (IsRf64(outputStream)) return outputStream.failed() ? failed() : tooLarge();

  bool saved = false;
  {
    const TagLib::FileRef output = pwtag::OpenTagFile(&outputStream, outputPath);
    if (outputStream.failed()) return failed();
    if (output.isNull() || !output.file()->isValid()) {
      result.warnings.push_back("The tags were not copied to " + Quoted(outputPath) +
                                ": the tag library cannot read that file");
      return result;
    }
    pwtag::CopyFields(source.file(), output.file());
    // TagLib would wrap the 32-bit RIFF size and put the tags inside the
    // audio as far as readers are concerned.
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(output.file());
        wav && WavSizeWithTags(wav, outputStream.length()) > kRiffLimitBytes)
      return tooLarge();
    saved = pwtag::SaveTagFile(output.file());
  }
  // Each step counts: TagLib's answer, every write it made, the flush to the
  // disk (where a delayed write error shows) and the close.
  if (outputStream.failed()) return failed();
  if (!saved) {
    result.failure = CannotWrite(outputPath, "the tags could not be saved");
    return result;
  }
  if (!outputStream.sync() || !outputStream.close()) return failed();
  return result;
}
