// Output streams: the service's state (device, streams) behind one mutex
// that only the calling threads take. The output threads never touch it;
// they see each stream through its atomics (output_stream.h).
//
// A stream or sync callback must not call back into these functions: a stop
// on another thread may be holding the mutex while it waits for that very
// callback to return. Such calls fail with BASS_ERROR_NOTAVAIL.
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "bass_internal.h"
#include "output_device.h"
#include "output_stream.h"

namespace pwbass::out {
namespace {

struct Service {
  std::mutex lock;
  bool ready = false;
  Device device;
  std::vector<std::unique_ptr<Stream>> streams;
  DWORD nextStream = 1;
  HSYNC nextSync = 1;

  ~Service() { release(); }

  void release() {
    streams.clear();  // each stops its callbacks before it goes
    if (ready) closeDevice(device);
    ready = false;
  }

  Stream* find(HSTREAM h) {
    for (auto& s : streams)
      if (s->handle() == h) return s.get();
    return nullptr;
  }
};

Service& service() {
  static Service s;
  return s;
}

// Runs `f` on the stream `h` under the service's lock; the error code is
// BASS_OK unless the lookup or `f` sets another.
template <typename T, typename F>
T withStream(HSTREAM h, T failed, F&& f) {
  if (inCallback()) return fail(BASS_ERROR_NOTAVAIL, failed);
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.ready) return fail(BASS_ERROR_INIT, failed);
  Stream* stream = s.find(h);
  if (stream == nullptr) return fail(BASS_ERROR_HANDLE, failed);
  setError(BASS_OK);
  return f(*stream);
}

}  // namespace

BOOL init(int device, DWORD freq) {
  if (inCallback()) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.ready) return fail(BASS_ERROR_ALREADY, BOOL(0));
  if (const int error = openDevice(device, freq, &s.device); error != BASS_OK) return fail(error, BOOL(0));
  s.ready = true;
  setError(BASS_OK);
  return 1;
}

BOOL freeAll() {
  if (inCallback()) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.ready) return fail(BASS_ERROR_INIT, BOOL(0));
  s.release();
  setError(BASS_OK);
  return 1;
}

HSTREAM create(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user) {
  if (inCallback()) return fail(BASS_ERROR_NOTAVAIL, HSTREAM(0));
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.ready) return fail(BASS_ERROR_INIT, HSTREAM(0));
  if (proc == nullptr) return fail(BASS_ERROR_ILLPARAM, HSTREAM(0));
  if (flags & BASS_STREAM_DECODE) return fail(BASS_ERROR_NOTAVAIL, HSTREAM(0));
  // Any rate and up to eight channels can be created: refusing what the
  // program does not play is the file-open step's job, with its own message.
  // Channels beyond the first two are not heard.
  if (!(flags & BASS_SAMPLE_FLOAT) || freq < 4000 || freq > 384000 || chans < 1 || chans > 8)
    return fail(BASS_ERROR_FORMAT, HSTREAM(0));

  StreamFormat format{};
  if (const int error = chooseFormat(s.device, int(freq), int(chans), &format); error != BASS_OK)
    return fail(error, HSTREAM(0));
  const HSTREAM handle = kOutputTag | (s.nextStream & ~kTagMask);
  s.nextStream = (s.nextStream + 1) & ~kTagMask;
  if (s.nextStream == 0) s.nextStream = 1;
  auto stream = std::make_unique<Stream>(handle, format, proc, user);
  if (const int error = startSink(s.device, *stream); error != BASS_OK) return fail(error, HSTREAM(0));
  s.streams.push_back(std::move(stream));
  setError(BASS_OK);
  return handle;
}

BOOL free(HSTREAM h) {
  if (inCallback()) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
  Service& s = service();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.ready) return fail(BASS_ERROR_INIT, BOOL(0));
  for (auto it = s.streams.begin(); it != s.streams.end(); ++it) {
    if ((*it)->handle() == h) {
      s.streams.erase(it);  // stops the callbacks first
      setError(BASS_OK);
      return 1;
    }
  }
  return fail(BASS_ERROR_HANDLE, BOOL(0));
}

BOOL getInfo(HSTREAM h, BASS_CHANNELINFO* info) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    *info = BASS_CHANNELINFO{};
    info->freq = DWORD(st.format().rate);
    info->chans = DWORD(st.format().channels);
    info->flags = BASS_SAMPLE_FLOAT;
    return BOOL(1);
  });
}

BOOL getAttribute(HSTREAM h, DWORD attrib, float* value) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    switch (attrib) {
      case BASS_ATTRIB_FREQ:
        *value = float(st.format().rate);
        return BOOL(1);
      case BASS_ATTRIB_VOL:
        *value = st.volume();
        return BOOL(1);
      default:
        return fail(BASS_ERROR_ILLPARAM, BOOL(0));
    }
  });
}

BOOL setAttribute(HSTREAM h, DWORD attrib, float value) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    if (attrib == BASS_ATTRIB_FREQ) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
    if (attrib != BASS_ATTRIB_VOL || !std::isfinite(value)) return fail(BASS_ERROR_ILLPARAM, BOOL(0));
    st.setVolume(value);
    return BOOL(1);
  });
}

DWORD getData(HSTREAM h, void* buffer, DWORD length) {
  return withStream(h, DWORD(-1), [&](Stream& st) {
    if (buffer == nullptr) return fail(BASS_ERROR_ILLPARAM, DWORD(-1));
    const double now = st.sink() != nullptr ? st.sink()->now() : 0.0;
    return st.heard(static_cast<float*>(buffer), length, now);
  });
}

QWORD getPosition(HSTREAM h) {
  return withStream(h, QWORD(-1), [&](Stream& st) { return st.pulled(); });
}

HSYNC setSync(HSTREAM h, DWORD type, QWORD /*param*/, SYNCPROC* proc, void* user) {
  return withStream(h, HSYNC(0), [&](Stream& st) {
    const DWORD kind = type & ~DWORD(BASS_SYNC_MIXTIME);
    if (kind != BASS_SYNC_END || proc == nullptr) return fail(BASS_ERROR_ILLPARAM, HSYNC(0));
    Service& s = service();  // already locked by withStream
    const HSYNC id = s.nextSync++;
    if (s.nextSync == 0) s.nextSync = 1;
    if (!st.addSync(id, (type & BASS_SYNC_MIXTIME) != 0, proc, user)) return fail(BASS_ERROR_MEM, HSYNC(0));
    return id;
  });
}

BOOL play(HSTREAM h, BOOL restart) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    st.play(restart != 0);
    return BOOL(1);
  });
}

BOOL pause(HSTREAM h) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    if (!st.pause()) return fail(BASS_ERROR_NOTAVAIL, BOOL(0));
    return BOOL(1);
  });
}

BOOL stop(HSTREAM h) {
  return withStream(h, BOOL(0), [&](Stream& st) {
    st.stop();
    return BOOL(1);
  });
}

DWORD isActive(HSTREAM h) {
  return withStream(h, DWORD(BASS_ACTIVE_STOPPED), [&](Stream& st) { return st.active(); });
}

}  // namespace pwbass::out
