// Decoding streams: the handle table over ::AudioDecoder.
//
// BASS_ChannelGetData on a decoding stream delivers whole frames: a request
// that is not a multiple of the frame size is rounded down (a request
// smaller than one frame returns 0). At the end it returns (DWORD)-1 with
// error code BASS_OK, and keeps doing so; a decoder failure returns -1 with
// BASS_ERROR_DECODE. Byte positions given to BASS_ChannelSetPosition are
// rounded down to whole frames.
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "bass_internal.h"
#include "audio_decoder.h"

namespace pwbass::dec {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<::AudioDecoder>> streams;
  DWORD next = 1;
};

Table& table() {
  static Table t;
  return t;
}

// The caller's copy keeps the stream alive across a concurrent free.
std::shared_ptr<::AudioDecoder> find(HSTREAM h) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  const auto it = t.streams.find(h);
  return it != t.streams.end() ? it->second : nullptr;
}

QWORD frameBytes(const ::AudioDecoder& s) { return QWORD(s.channels()) * sizeof(float); }

}  // namespace

HSTREAM createFile(const char* path, DWORD /*flags*/) {
  try {
    AudioError error = AudioError::None;
    std::shared_ptr<::AudioDecoder> s = ::AudioDecoder::open(path, &error);
    if (!s) return fail(ErrorCode(error), HSTREAM(0));
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    // Numbers are not reused soon, so a stale handle does not reach a new stream.
    HSTREAM h = 0;
    do {
      h = kDecodeTag | (t.next & ~kTagMask);
      t.next = (t.next + 1) & ~kTagMask;
    } while ((h & ~kTagMask) == 0 || t.streams.count(h) != 0);
    t.streams.emplace(h, std::move(s));
    setError(BASS_OK);
    return h;
  } catch (const std::bad_alloc&) {
    return fail(BASS_ERROR_MEM, HSTREAM(0));
  }
}

BOOL free(HSTREAM h) {
  std::shared_ptr<::AudioDecoder> victim;
  {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.streams.find(h);
    if (it == t.streams.end()) return fail(BASS_ERROR_HANDLE, BOOL(0));
    victim = std::move(it->second);
    t.streams.erase(it);
  }
  victim.reset();  // closes the file outside the lock
  setError(BASS_OK);
  return 1;
}

QWORD getLength(HSTREAM h) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, QWORD(-1));
  setError(BASS_OK);
  return QWORD(s->lengthFrames()) * frameBytes(*s);
}

BOOL getInfo(HSTREAM h, BASS_CHANNELINFO* info) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, BOOL(0));
  *info = BASS_CHANNELINFO{};
  info->freq = DWORD(s->rate());
  info->chans = DWORD(s->channels());
  info->flags = BASS_SAMPLE_FLOAT | BASS_STREAM_DECODE;
  info->origres = DWORD(s->sourceBits());
  info->filename = s->path().c_str();
  setError(BASS_OK);
  return 1;
}

BOOL getAttribute(HSTREAM h, DWORD attrib, float* value) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, BOOL(0));
  if (attrib != BASS_ATTRIB_FREQ) return fail(BASS_ERROR_ILLPARAM, BOOL(0));
  *value = float(s->rate());
  setError(BASS_OK);
  return 1;
}

DWORD getData(HSTREAM h, void* buffer, DWORD length) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, DWORD(-1));
  const QWORD frame = frameBytes(*s);
  const int64_t frames = int64_t(length / frame);
  if (frames > 0 && buffer == nullptr) return fail(BASS_ERROR_ILLPARAM, DWORD(-1));
  if (frames == 0 && s->positionFrames() < s->lengthFrames()) {
    setError(BASS_OK);
    return 0;
  }
  const int64_t got = frames > 0 ? s->read(static_cast<float*>(buffer), frames) : 0;
  if (got < 0) return fail(BASS_ERROR_DECODE, DWORD(-1));
  setError(BASS_OK);
  return got == 0 ? DWORD(-1) : DWORD(QWORD(got) * frame);
}

QWORD getPosition(HSTREAM h) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, QWORD(-1));
  setError(BASS_OK);
  return QWORD(s->positionFrames()) * frameBytes(*s);
}

BOOL setPosition(HSTREAM h, QWORD pos) {
  const auto s = find(h);
  if (!s) return fail(BASS_ERROR_HANDLE, BOOL(0));
  const QWORD frame = pos / frameBytes(*s);
  if (frame > QWORD(s->lengthFrames())) return fail(BASS_ERROR_POSITION, BOOL(0));
  const int code = ErrorCode(s->seek(int64_t(frame)));
  if (code != BASS_OK) return fail(code, BOOL(0));
  setError(BASS_OK);
  return 1;
}

}  // namespace pwbass::dec
